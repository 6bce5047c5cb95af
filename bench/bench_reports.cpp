// The reports on a history the size of a month of a large fleet: the one bench_history
// fills (10,000,000 rows of 1,000 vehicles in November 2026 with --vehicles 1000), kept
// with --keep and named here with --dir. Measured, --runs times (3), medians:
//
//  - the month's fleet summary of all vehicles (podsumowanie), by day too (--dzien),
//    and the drivers' summary (kierowcy);
//  - one vehicle's trips (trasy) and stops (postoje) for the month, --queries vehicles
//    (20), median and worst;
//  - the XLSX of the month's fleet summary;
//  - with --baseline, the fleet summary (once) and the trips again through the store's
//    Query alone (whole history rows, sorted), as any store without a scan of its own
//    would give them, to set the lean scan beside.
//
// The files are read in the system's page cache: the first summary is run once before
// the measured ones.
//
// Usage: bench_reports --dir DIRECTORY [--runs 3] [--queries 20] [--baseline]
//        (DIRECTORY/historia as bench_history --vehicles 1000 --keep --dir DIRECTORY left it)

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <tuple>
#include <string>
#include <vector>

#include "BenchProcess.hpp"
#include "common/DateTime.hpp"
#include "common/PolishTime.hpp"
#include "history/SqliteHistoryStore.hpp"
#include "reports/FleetReport.hpp"
#include "reports/XlsxReport.hpp"

using namespace serwer;
using bench::Clock;

namespace {

// The store read through Query alone: HistoryStore's own ScanTrack.
class QueryOnly : public HistoryStore {
public:
    explicit QueryOnly(HistoryStore& store) : store_(store) {}
    void Append(const std::vector<HistoryRecord>& rows) override { store_.Append(rows); }
    std::vector<HistoryRecord> Query(const HistoryQuery& q) override { return store_.Query(q); }
    void AppendEvents(const std::vector<Event>& events) override { store_.AppendEvents(events); }
    std::vector<Event> QueryEvents(const EventQuery& q) override { return store_.QueryEvents(q); }
    void RemoveEvents(const EventQuery& q) override { store_.RemoveEvents(q); }
    int Prune(int keepDays, std::int64_t nowUtc) override { return store_.Prune(keepDays, nowUtc); }

private:
    HistoryStore& store_;
};

std::int64_t PolishMidnight(int year, int month, int day) {
    return UtcSecondOfPolish(DateTime::FromParts({year, month, day, 0, 0, 0, 0}));
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir;
    int runs = 3, queries = 20;
    bool baseline = false;
    for (int i = 1; i < argc; ++i)
        if (!std::strcmp(argv[i], "--baseline")) baseline = true;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--baseline")) --i;
        else if (!std::strcmp(argv[i], "--dir")) dir = argv[i + 1];
        else if (!std::strcmp(argv[i], "--runs")) runs = std::stoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--queries")) queries = std::stoi(argv[i + 1]);
    }
    if (dir.empty()) {
        std::fprintf(stderr, "usage: bench_reports --dir DIRECTORY [--runs 3] [--queries 20]\n");
        return 2;
    }
    SqliteHistoryStore store(HistoryDirectory(dir));
    ReportContext context;
    context.tankLitres = [](const std::string&) { return std::optional<double>(60.0); };
    ReportRequest month;
    month.fromUtc = PolishMidnight(2026, 11, 1);
    month.toUtc = PolishMidnight(2026, 12, 1);

    QueryOnly queryOnly(store);
    HistoryStore* reader = &store;
    const auto timed = [&](const ReportRequest& request, std::size_t* rows) {
        const auto start = Clock::now();
        const ReportTable table = MakeReport(*reader, request, context);
        if (rows) *rows = table.rows.size();
        return bench::Seconds(Clock::now() - start);
    };
    month.kind = ReportKind::Podsumowanie;
    std::size_t rows = 0;
    std::printf("warm-up summary: %.2f s\n", timed(month, &rows));

    for (auto [kind, perDay, name] : {std::tuple{ReportKind::Podsumowanie, false, "fleet summary, month"},
                                      std::tuple{ReportKind::Podsumowanie, true, "fleet summary by day, month"},
                                      std::tuple{ReportKind::Kierowcy, false, "drivers' summary, month"}}) {
        ReportRequest request = month;
        request.kind = kind;
        request.perDay = perDay;
        std::vector<double> times;
        for (int r = 0; r < runs; ++r) times.push_back(timed(request, &rows));
        std::printf("%-40s %8.2f s (median of %d; %zu rows)\n", name, bench::Median(times), runs, rows);
    }
    const auto trips = [&](ReportKind kind, const char* name) {
        std::vector<double> times;
        std::size_t found = 0;
        for (int q = 0; q < queries; ++q) {
            ReportRequest request = month;
            request.kind = kind;
            request.registrations = {"SK" + std::to_string(10000 + q * 37 % 1000)};
            times.push_back(timed(request, &rows) * 1000.0);
            found += rows;
        }
        std::printf("%-40s %8.1f ms (median of %d vehicles, worst %.1f; %zu rows in all)\n", name,
                    bench::Median(times), queries, *std::max_element(times.begin(), times.end()), found);
    };
    trips(ReportKind::Trasy, "one vehicle's trips, month");
    trips(ReportKind::Postoje, "one vehicle's stops, month");
    const ReportTable summary = MakeReport(store, month, context);
    const auto start = Clock::now();
    const std::string xlsx = ReportXlsx(summary);
    std::printf("%-40s %8.1f ms (%zu bytes)\n", "XLSX of the fleet summary", bench::Seconds(Clock::now() - start) * 1000,
                xlsx.size());
    if (baseline) {
        reader = &queryOnly;
        trips(ReportKind::Trasy, "baseline: trips through Query");
        const double seconds = timed(month, &rows);
        std::printf("%-40s %8.2f s (once; %zu rows)\n", "baseline: fleet summary through Query", seconds, rows);
    }
    return 0;
}

// The position history at the size of a month of a large fleet: a SqliteHistoryStore
// filled with --rows rows (10,000,000) of --vehicles vehicles (2,000) received in one
// month (November 2026, one month file), after --previous-rows rows (1,000,000) of the
// month before (October 2026, a smaller file), then:
//
//  - the fill: rows appended in time order (every vehicle's fix of one slot, then the
//    next slot), --batch rows (10,000) per Append, each Append one durable transaction
//    as the server's group writes are; the rate of every tenth of the month's rows;
//  - the bytes per row on disk: the month file's size / its rows, after a checkpoint
//    (the write-ahead log emptied into the file);
//  - one vehicle-day: Query for one registration over one Polish day, then ExportTrack
//    in each format, --queries times (20) for different vehicles and days; medians;
//  - SummarizeDays of that vehicle-day, and Query + SummarizeDays of a vehicle's whole
//    Polish month; medians over the same vehicles;
//  - Prune: once the previous month's file has ended more than 365 days ago (drops the
//    smaller file), and once the big month's has (drops the file of --rows rows; left
//    out with --keep): the time of each Prune call and the bytes it freed.
//
// The rows are made from one record built by the unit simulator (MakeHistoryRecord of
// the sample position), with the registration, the times, the coordinates, the speed,
// the GPS status and the odometer varied per row; the 128 raw bytes are the same in
// every row (the same size as real ones). Fixes come every few minutes from 04:00 to
// 20:00 UTC (05:00 to 21:00 Polish winter time); how often follows from the rows per
// vehicle and day.
//
// The queries run with the files in the system's page cache (they were just written).
//
// Usage: bench_history [--rows 10000000] [--previous-rows 1000000] [--vehicles 2000]
//                      [--batch 10000] [--queries 20] [--dir DIRECTORY] [--keep]
// The history goes to DIRECTORY/historia (which must be empty); without --dir, DIRECTORY
// is a fresh one under /tmp. At the end the history (and a fresh DIRECTORY) is removed,
// unless --keep is given.

#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BenchMonthRows.hpp"
#include "BenchProcess.hpp"
#include "common/DateTime.hpp"
#include "history/DaySummary.hpp"
#include "history/HistoryRecord.hpp"
#include "history/SqliteHistoryStore.hpp"
#include "history/TrackExport.hpp"
#include "link/PositionRecord.hpp"
#include "unitsim/PositionRecordBuilder.hpp"

using namespace serwer;

namespace fs = std::filesystem;
using bench::Clock;
using bench::MonthRows;

namespace {

struct Options {
    long long rows = 10'000'000;
    long long previousRows = 1'000'000;
    int vehicles = 2000;
    int batch = 10000;
    int queries = 20;
    std::string dir;
    bool keep = false;
};

std::string Registration(int vehicle) { return "SK" + std::to_string(10000 + vehicle); }

std::int64_t UtcSeconds(int year, int month, int day, int hour = 0, int minute = 0) {
    return DateTime::FromParts({year, month, day, hour, minute, 0, 0}).Ms() / DateTime::kMsPerSecond;
}

// The UTC span of a Polish day or of several, [from, to).
std::pair<std::int64_t, std::int64_t> PolishSpan(int year, int month, int day, int toYear, int toMonth, int toDay) {
    return {LocalToFixTime(DateTime::FromParts({year, month, day, 0, 0, 0, 0})).Ms() / DateTime::kMsPerSecond,
            LocalToFixTime(DateTime::FromParts({toYear, toMonth, toDay, 0, 0, 0, 0})).Ms() / DateTime::kMsPerSecond};
}

double Ms(Clock::duration d) { return bench::Seconds(d) * 1000; }

std::uintmax_t SizeOf(const fs::path& path) {
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    return ec ? 0 : size;
}

// A month file with its write-ahead log and shared-memory file.
std::uintmax_t MonthFileBytes(const std::string& path) {
    return SizeOf(path) + SizeOf(path + "-wal") + SizeOf(path + "-shm");
}

// Empties the write-ahead log of a month file into the file itself.
void Checkpoint(const std::string& path) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK)
        sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    sqlite3_close_v2(db);
}

// Appends a month's rows; returns the seconds it took. `tenths`: the rate of each tenth.
double Fill(SqliteHistoryStore& store, MonthRows& rows, int batch, std::vector<double>* tenths, long long total) {
    std::vector<HistoryRecord> buffer;
    buffer.reserve(static_cast<std::size_t>(batch));
    const auto start = Clock::now();
    auto tenthStart = start;
    long long nextTenth = total / 10;
    while (!rows.Done()) {
        rows.Next(buffer, batch);
        store.Append(buffer);
        if (tenths && rows.Made() >= nextTenth) {
            const auto now = Clock::now();
            tenths->push_back(static_cast<double>(total / 10) / bench::Seconds(now - tenthStart));
            std::printf("  %lld rows, %.0f rows/s over the last %lld\n", rows.Made(), tenths->back(), total / 10);
            std::fflush(stdout);
            tenthStart = now;
            nextTenth += total / 10;
        }
    }
    return bench::Seconds(Clock::now() - start);
}

std::string Runs(const std::vector<double>& v, const char* format) {
    std::string s;
    char buffer[64];
    for (double x : v)
        std::snprintf(buffer, sizeof buffer, format, x), s += (s.empty() ? "" : " ") + std::string(buffer);
    return s;
}

std::string Mib(std::uintmax_t bytes) {
    char text[64];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--keep")
            o.keep = true;
        else if (a == "--rows" && hasValue)
            o.rows = std::atoll(argv[++i]);
        else if (a == "--previous-rows" && hasValue)
            o.previousRows = std::atoll(argv[++i]);
        else if (a == "--vehicles" && hasValue)
            o.vehicles = std::atoi(argv[++i]);
        else if (a == "--batch" && hasValue)
            o.batch = std::atoi(argv[++i]);
        else if (a == "--queries" && hasValue)
            o.queries = std::atoi(argv[++i]);
        else if (a == "--dir" && hasValue)
            o.dir = argv[++i];
        else {
            std::fprintf(stderr,
                         "usage: bench_history [--rows N] [--previous-rows N] [--vehicles N] [--batch N]"
                         " [--queries N] [--dir DIRECTORY] [--keep]\n");
            return 2;
        }
    }
    if (o.rows < o.vehicles || o.vehicles < 1 || o.batch < 1 || o.queries < 1) {
        std::fprintf(stderr, "bench_history: --rows must be at least --vehicles, the others at least 1\n");
        return 2;
    }
    const bool ownDirectory = o.dir.empty();
    if (ownDirectory) {
        std::string pattern = "/tmp/serwer-bench-history-XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            return 1;
        }
        o.dir = pattern;
    }
    const std::string directory = o.dir + "/historia";
    if (fs::exists(directory) && !fs::is_empty(directory)) {
        std::fprintf(stderr, "bench_history: %s is not empty\n", directory.c_str());
        return 1;
    }

    const HistoryRecord model = MakeHistoryRecord(BuildPositionRecord(SamplePosition("SK10000")), 0);
    const int year = 2026, month = 11;
    auto store = std::make_unique<SqliteHistoryStore>(directory);
    const std::string previousFile = store->MonthFile(UtcSeconds(year, month - 1, 1));
    const std::string monthFile = store->MonthFile(UtcSeconds(year, month, 1));

    std::printf("bench_history: %lld rows of %d vehicles in %s, %lld rows in the month before; batches of %d\n", o.rows,
                o.vehicles, directory.c_str(), o.previousRows, o.batch);
    std::fflush(stdout);

    // The month before, then the month: each in time order.
    double previousSeconds = 0;
    if (o.previousRows > 0) {
        MonthRows previous(model, year, month - 1, o.vehicles, o.previousRows);
        previousSeconds = Fill(*store, previous, o.batch, nullptr, o.previousRows);
        std::printf("  month before: %lld rows in %.1f s\n", o.previousRows, previousSeconds);
        std::fflush(stdout);
    }
    MonthRows rows(model, year, month, o.vehicles, o.rows);
    std::vector<double> tenths;
    const double fillSeconds = Fill(*store, rows, o.batch, &tenths, o.rows);

    // Closed, then checkpointed: the month's file holds every row.
    store.reset();
    for (const std::string& path : {previousFile, monthFile}) Checkpoint(path);
    const std::uintmax_t monthBytes = MonthFileBytes(monthFile), previousBytes = MonthFileBytes(previousFile);
    store = std::make_unique<SqliteHistoryStore>(directory);

    // One vehicle-day, --queries times: different vehicles, days from the 2nd to the 29th.
    std::vector<double> queryMs, exportMs[4], queryExportMs[4], allFormatsMs, summaryDayMs, dayRows, exportBytes[4];
    const ExportFormat formats[4] = {ExportFormat::Gpx, ExportFormat::Kml, ExportFormat::GeoJson, ExportFormat::Csv};
    for (int k = 0; k < o.queries; ++k) {
        const int vehicle = (k * 389 + 17) % o.vehicles;
        const int day = 2 + (k * 11) % 28;
        const auto [from, to] = PolishSpan(year, month, day, year, month, day + 1);
        const auto start = Clock::now();
        const std::vector<HistoryRecord> found = store->Query({Registration(vehicle), from, to});
        const double query = Ms(Clock::now() - start);
        queryMs.push_back(query);
        dayRows.push_back(static_cast<double>(found.size()));
        double all = query;
        for (int f = 0; f < 4; ++f) {
            const auto exportStart = Clock::now();
            const std::string document = ExportTrack(found, formats[f]);
            const double ms = Ms(Clock::now() - exportStart);
            exportMs[f].push_back(ms), queryExportMs[f].push_back(query + ms);
            exportBytes[f].push_back(static_cast<double>(document.size()));
            all += ms;
        }
        allFormatsMs.push_back(all);
        const auto summaryStart = Clock::now();
        const std::vector<DaySummary> summary = SummarizeDays(found);
        summaryDayMs.push_back(Ms(Clock::now() - summaryStart));
        if (summary.size() != 1) std::printf("  vehicle-day %d: %zu summaries, not 1\n", k, summary.size());
    }

    // One vehicle's Polish month: the query and the summary of its days.
    std::vector<double> monthQueryMs, monthSummaryMs, monthRows, monthDays;
    for (int k = 0; k < o.queries; ++k) {
        const int vehicle = (k * 389 + 17) % o.vehicles;
        const auto [from, to] = PolishSpan(year, month, 1, year, month + 1, 1);
        const auto start = Clock::now();
        const std::vector<HistoryRecord> found = store->Query({Registration(vehicle), from, to});
        monthQueryMs.push_back(Ms(Clock::now() - start));
        const auto summaryStart = Clock::now();
        const std::vector<DaySummary> summary = SummarizeDays(found);
        monthSummaryMs.push_back(Ms(Clock::now() - summaryStart));
        monthRows.push_back(static_cast<double>(found.size()));
        monthDays.push_back(static_cast<double>(summary.size()));
    }

    // Pruning: keep 365 days, a second after the previous month's file ended that long
    // ago, then after the month's file has (that Prune drops the big file).
    const auto pruneAt = [&](int y, int m) { return UtcSeconds(y + 1, m, 1) + 1 + 86400; };
    const std::uintmax_t previousOnDisk = MonthFileBytes(previousFile);
    auto start = Clock::now();
    const int droppedPrevious = store->Prune(365, pruneAt(year, month));
    const double prunePreviousMs = Ms(Clock::now() - start);
    const bool monthKept = fs::exists(monthFile), previousGone = !fs::exists(previousFile);
    int droppedMonth = 0;
    double pruneMonthMs = 0;
    const std::uintmax_t monthOnDisk = MonthFileBytes(monthFile);
    if (!o.keep) {
        start = Clock::now();
        droppedMonth = store->Prune(365, pruneAt(year, month + 1));
        pruneMonthMs = Ms(Clock::now() - start);
    }

    const char* names[4] = {"GPX", "KML", "GeoJSON", "CSV"};
    std::printf("\n%-62s %s\n", "measure", "value");
    std::printf("%-62s %lld rows in %.1f s: %.0f rows/s\n", "fill of the month (one file)", o.rows, fillSeconds,
                static_cast<double>(o.rows) / fillSeconds);
    std::printf("%-62s %s\n", "  rows/s per tenth of the month's rows", Runs(tenths, "%.0f").c_str());
    if (o.previousRows > 0)
        std::printf("%-62s %lld rows in %.1f s: %.0f rows/s\n", "fill of the month before (empty at the start)",
                    o.previousRows, previousSeconds, static_cast<double>(o.previousRows) / previousSeconds);
    std::printf("%-62s every %lld s per vehicle, 04:00-20:00 UTC\n", "fixes",
                static_cast<long long>(rows.IntervalSeconds()));
    std::printf("%-62s %s, %.1f bytes per row\n", "month file after a checkpoint", Mib(monthBytes).c_str(),
                static_cast<double>(monthBytes) / static_cast<double>(o.rows));
    if (o.previousRows > 0)
        std::printf("%-62s %s, %.1f bytes per row\n", "month-before file after a checkpoint",
                    Mib(previousBytes).c_str(),
                    static_cast<double>(previousBytes) / static_cast<double>(o.previousRows));
    std::printf("%-62s %.0f (median)\n", "rows per vehicle-day", bench::Median(dayRows));
    std::printf("%-62s %.2f ms  (runs: %s)\n", "Query of one vehicle-day (median)", bench::Median(queryMs),
                Runs(queryMs, "%.2f").c_str());
    for (int f = 0; f < 4; ++f) {
        const std::string label = std::string("  ExportTrack ") + names[f] + " (median; " +
                                  std::to_string(static_cast<long long>(bench::Median(exportBytes[f]))) + " bytes)";
        std::printf("%-62s %.2f ms, with the query %.2f ms (max %.2f)\n", label.c_str(), bench::Median(exportMs[f]),
                    bench::Median(queryExportMs[f]), bench::Max(queryExportMs[f]));
    }
    std::printf("%-62s %.2f ms (max %.2f)\n", "Query + all four exports (median)", bench::Median(allFormatsMs),
                bench::Max(allFormatsMs));
    std::printf("%-62s %.3f ms\n", "SummarizeDays of the vehicle-day (median)", bench::Median(summaryDayMs));
    std::printf("%-62s %.2f ms  (%.0f rows, %.0f days)\n", "Query of one vehicle's Polish month (median)",
                bench::Median(monthQueryMs), bench::Median(monthRows), bench::Median(monthDays));
    std::printf("%-62s %.2f ms\n", "SummarizeDays of the vehicle-month (median)", bench::Median(monthSummaryMs));
    std::printf("%-62s %d file(s) in %.2f ms, %s freed; the month %s\n", "Prune, the month before", droppedPrevious,
                prunePreviousMs, previousGone ? Mib(previousOnDisk).c_str() : "nothing",
                monthKept ? "kept" : "GONE TOO");
    if (!o.keep)
        std::printf("%-62s %d file(s) in %.2f ms, %s freed\n", "Prune, the month", droppedMonth, pruneMonthMs,
                    fs::exists(monthFile) ? "nothing" : Mib(monthOnDisk).c_str());
    std::fflush(stdout);

    store.reset();
    if (!o.keep) {
        // A directory given with --dir stays; only its history goes.
        std::error_code ec;
        fs::remove_all(ownDirectory ? fs::path(o.dir) : fs::path(directory), ec);
    } else {
        std::printf("kept: %s\n", directory.c_str());
    }
    return 0;
}

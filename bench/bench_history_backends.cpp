// The two history stores side by side in one run: SqliteHistoryStore (month files in a
// fresh directory under /tmp) and PostgresHistoryStore (tables in a schema of their own
// in the database SERWER_TEST_POSTGRES names, dropped at the end). Measured:
//
//  (a) positions written per second through HistoryWriter as the server writes them:
//      --write-threads threads (1,000), each sending positions of its share of
//      --write-vehicles vehicles (10,000) and waiting, as a connection does, until each
//      is durable (Submit, then WaitUntilWritten), so that rows submitted while a write
//      runs go together into the next (group commit); --write-rows rows (200,000) per
//      run into an empty store, --runs runs (3) per store, taking turns; medians;
//  (b) with --rows rows (10,000,000) of --vehicles vehicles (2,000) received in
//      November 2026 (appended in time order, 10,000 rows per Append):
//       - one vehicle-day: Query of one vehicle's Polish day and its CSV (ExportTrack),
//         --queries vehicles and days (20); medians;
//       - the month's fleet summary of all vehicles (MakeReport, podsumowanie: the
//         ScanTrack path), --runs times; medians, with the peak memory of the process
//         while it ran (VmHWM, reset before each run); the two stores' tables must be
//         equal; with --baseline also once through Query alone (HistoryStore's own
//         ScanTrack, whole rows);
//  (c) Prune dropping that month (a month file, a partition).
// Ratios are PostgreSQL's figure over SQLite's.
//
// The rows are those of bench_history: one record of the unit simulator with the
// registration, times, coordinates, speed, GPS status and odometer varied per row.
// Before (b) the SQLite files are checkpointed and the PostgreSQL tables vacuumed and
// analyzed (as autovacuum would have done), so both are read from the page cache.
//
// Usage: bench_history_backends [--rows 10000000] [--vehicles 2000] [--write-rows 200000]
//        [--write-vehicles 10000] [--write-threads 1000] [--runs 3] [--queries 20] [--baseline]
// with SERWER_TEST_POSTGRES set (tools/test-postgres.sh starts a server with fsync=off:
// the write figures then do not wait for the disk; the settings are printed).

#include <libpq-fe.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchMonthRows.hpp"
#include "BenchProcess.hpp"
#include "common/DateTime.hpp"
#include "common/PolishTime.hpp"
#include "history/HistoryWriter.hpp"
#include "history/PostgresHistoryStore.hpp"
#include "history/SqliteHistoryStore.hpp"
#include "history/TrackExport.hpp"
#include "reports/FleetReport.hpp"
#include "unitsim/PositionRecordBuilder.hpp"

using namespace serwer;
namespace fs = std::filesystem;
using bench::Clock;
using bench::MonthRows;

namespace {

struct Options {
    long long rows = 10'000'000;
    int vehicles = 2000;
    long long writeRows = 200'000;
    int writeVehicles = 10'000;
    int writeThreads = 1000;
    int runs = 3;
    int queries = 20;
    bool baseline = false;
};

std::string Registration(int vehicle) { return "SK" + std::to_string(10000 + vehicle); }

std::int64_t UtcSeconds(int year, int month, int day) {
    return DateTime::FromParts({year, month, day, 0, 0, 0, 0}).Ms() / DateTime::kMsPerSecond;
}
std::int64_t PolishMidnight(int year, int month, int day) {
    return UtcSecondOfPolish(DateTime::FromParts({year, month, day, 0, 0, 0, 0}));
}

double Ms(Clock::duration d) { return bench::Seconds(d) * 1000; }

// The database's administration connection: schemas made and dropped, settings read.
class Admin {
public:
    explicit Admin(const std::string& uri) : conn_(PQconnectdb(uri.c_str())), uri_(uri) {
        if (PQstatus(conn_) != CONNECTION_OK) throw std::runtime_error(PQerrorMessage(conn_));
    }
    ~Admin() {
        for (const std::string& schema : schemas_) Sql("DROP SCHEMA IF EXISTS " + schema + " CASCADE");
        PQfinish(conn_);
    }
    std::string Sql(const std::string& sql) {
        PGresult* r = PQexec(conn_, sql.c_str());
        const ExecStatusType status = PQresultStatus(r);
        std::string first = PQntuples(r) > 0 ? PQgetvalue(r, 0, 0) : "";
        PQclear(r);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
            throw std::runtime_error(sql + ": " + PQerrorMessage(conn_));
        return first;
    }
    // A fresh schema; the URI of a connection that sees only it.
    std::string NewSchema(const std::string& name) {
        const std::string schema = name + "_" + std::to_string(::getpid());
        Sql("SET client_min_messages = warning");
        Sql("DROP SCHEMA IF EXISTS " + schema + " CASCADE");
        Sql("CREATE SCHEMA " + schema);
        schemas_.push_back(schema);
        return uri_ + (uri_.find('?') == std::string::npos ? "?" : "&") + "options=-csearch_path%3D" + schema;
    }
    std::string Schema() const { return schemas_.back(); }

private:
    PGconn* conn_;
    std::string uri_;
    std::vector<std::string> schemas_;
};


// (a): the rows per second of one run, through a HistoryWriter on the store.
double WriteRate(HistoryStore& store, const HistoryRecord& model, const Options& o, std::uint64_t& lost) {
    HistoryWriter writer(store, [](const std::string& text) { std::fprintf(stderr, "  writer: %s\n", text.c_str()); });
    const long long rounds = std::max<long long>(1, o.writeRows / o.writeVehicles);
    const std::int64_t start = UtcSeconds(2026, 12, 1) + 6 * 3600;
    std::vector<std::thread> threads;
    const auto began = Clock::now();
    for (int t = 0; t < o.writeThreads; ++t)
        threads.emplace_back([&, t] {
            for (long long round = 0; round < rounds; ++round)
                for (int v = t; v < o.writeVehicles; v += o.writeThreads) {
                    HistoryRecord r = model;
                    r.registration = Registration(v);
                    r.fixTimeUtc = start + round * 30 + v % 30;
                    r.receivedUtc = *r.fixTimeUtc + 2;
                    writer.WaitUntilWritten(writer.Submit(std::move(r)));
                }
        });
    for (std::thread& t : threads) t.join();
    const double seconds = bench::Seconds(Clock::now() - began);
    lost = writer.RowsLost();
    return static_cast<double>(writer.RowsWritten()) / seconds;
}

// The peak memory of this process since the last reset, in MiB; resets it.
double PeakMib() {
    const long kb = bench::StatusField(::getpid(), "VmHWM");
    std::ofstream("/proc/self/clear_refs") << "5";
    return static_cast<double>(kb) / 1024.0;
}

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

void Line(const char* what, double sqlite, double postgres, const char* unit, int digits) {
    std::printf("%-46s %12.*f %12.*f %-5s %7.2f\n", what, digits, sqlite, digits, postgres, unit,
                sqlite > 0 ? postgres / sqlite : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool value = i + 1 < argc;
        if (a == "--baseline")
            o.baseline = true;
        else if (a == "--rows" && value)
            o.rows = std::atoll(argv[++i]);
        else if (a == "--vehicles" && value)
            o.vehicles = std::atoi(argv[++i]);
        else if (a == "--write-rows" && value)
            o.writeRows = std::atoll(argv[++i]);
        else if (a == "--write-vehicles" && value)
            o.writeVehicles = std::atoi(argv[++i]);
        else if (a == "--write-threads" && value)
            o.writeThreads = std::atoi(argv[++i]);
        else if (a == "--runs" && value)
            o.runs = std::atoi(argv[++i]);
        else if (a == "--queries" && value)
            o.queries = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr,
                         "usage: bench_history_backends [--rows N] [--vehicles N] [--write-rows N] "
                         "[--write-vehicles N] [--write-threads N] [--runs N] [--queries N] [--baseline]\n");
            return 2;
        }
    }
    const char* uri = std::getenv("SERWER_TEST_POSTGRES");
    if (!uri || !*uri) {
        std::fprintf(stderr, "bench_history_backends: set SERWER_TEST_POSTGRES to a PostgreSQL URI\n");
        return 2;
    }
    if (o.rows < o.vehicles || o.vehicles < 1 || o.writeVehicles < 1 || o.writeThreads < 1 || o.runs < 1 ||
        o.queries < 1) {
        std::fprintf(stderr, "bench_history_backends: --rows must be at least --vehicles, the others at least 1\n");
        return 2;
    }
    std::string pattern = "/tmp/serwer-bench-backends-XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path dir = pattern;
    Admin admin(uri);
    std::printf(
        "bench_history_backends: SQLite %s in %s; PostgreSQL %s (fsync=%s, synchronous_commit=%s, "
        "shared_buffers=%s, full_page_writes=%s)\n",
        sqlite3_libversion(), dir.c_str(), admin.Sql("SHOW server_version").c_str(), admin.Sql("SHOW fsync").c_str(),
        admin.Sql("SHOW synchronous_commit").c_str(), admin.Sql("SHOW shared_buffers").c_str(),
        admin.Sql("SHOW full_page_writes").c_str());
    std::fflush(stdout);
    const HistoryRecord model = MakeHistoryRecord(BuildPositionRecord(SamplePosition("SK10000")), 0);

    // (a) Writing, into an empty store each run, the stores taking turns.
    std::vector<double> writeRate[2];
    for (int run = 0; run < o.runs; ++run)
        for (int kind = 0; kind < 2; ++kind) {
            std::unique_ptr<HistoryStore> store;
            if (kind == 0)
                store = std::make_unique<SqliteHistoryStore>((dir / ("zapis-" + std::to_string(run))).string());
            else
                store = std::make_unique<PostgresHistoryStore>(admin.NewSchema("bench_zapis" + std::to_string(run)));
            std::uint64_t lost = 0;
            writeRate[kind].push_back(WriteRate(*store, model, o, lost));
            std::printf("  write run %d, %s: %.0f rows/s%s\n", run + 1, kind ? "PostgreSQL" : "SQLite",
                        writeRate[kind].back(), lost ? (", LOST " + std::to_string(lost)).c_str() : "");
            std::fflush(stdout);
        }

    // (b) The month, appended to both.
    SqliteHistoryStore sqlite((dir / "historia").string());
    PostgresHistoryStore postgres(admin.NewSchema("bench_historia"));
    HistoryStore* stores[2] = {&sqlite, &postgres};
    double fillSeconds[2] = {0, 0};
    std::int64_t interval = 0;
    for (int kind = 0; kind < 2; ++kind) {
        MonthRows rows(model, 2026, 11, o.vehicles, o.rows);
        interval = rows.IntervalSeconds();
        std::vector<HistoryRecord> batch;
        const auto began = Clock::now();
        while (!rows.Done()) {
            rows.Next(batch, 10000);
            stores[kind]->Append(batch);
        }
        fillSeconds[kind] = bench::Seconds(Clock::now() - began);
        std::printf("  fill, %s: %lld rows in %.1f s\n", kind ? "PostgreSQL" : "SQLite", o.rows, fillSeconds[kind]);
        std::fflush(stdout);
    }
    {
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(sqlite.MonthFile(UtcSeconds(2026, 11, 1)).c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) ==
            SQLITE_OK)
            sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
        sqlite3_close_v2(db);
        const auto began = Clock::now();
        admin.Sql("VACUUM (ANALYZE) " + admin.Schema() + ".pozycje");
        std::printf("  PostgreSQL VACUUM (ANALYZE) pozycje: %.1f s\n", bench::Seconds(Clock::now() - began));
        std::fflush(stdout);
    }
    const std::uintmax_t fileBytes = fs::file_size(sqlite.MonthFile(UtcSeconds(2026, 11, 1)));
    const double partitionBytes =
        std::stod(admin.Sql("SELECT pg_total_relation_size('" + admin.Schema() + ".pozycje_2026_11')"));

    // One vehicle-day: Query and the CSV.
    std::vector<double> queryMs[2], exportMs[2], dayRows;
    for (int k = 0; k < o.queries; ++k) {
        const int vehicle = (k * 389 + 17) % o.vehicles, day = 2 + (k * 11) % 28;
        const HistoryQuery q{Registration(vehicle), PolishMidnight(2026, 11, day), PolishMidnight(2026, 11, day + 1)};
        std::string documents[2];
        for (int kind = 0; kind < 2; ++kind) {
            const auto began = Clock::now();
            const std::vector<HistoryRecord> found = stores[kind]->Query(q);
            const auto queried = Clock::now();
            documents[kind] = ExportTrack(found, ExportFormat::Csv);
            queryMs[kind].push_back(Ms(queried - began));
            exportMs[kind].push_back(Ms(Clock::now() - began));
            if (kind == 0) dayRows.push_back(static_cast<double>(found.size()));
        }
        if (documents[0] != documents[1]) std::printf("  vehicle-day %d: the CSVs DIFFER\n", k);
    }

    // The month's fleet summary.
    ReportContext context;
    context.tankLitres = [](const std::string&) { return std::optional<double>(60.0); };
    ReportRequest month;
    month.kind = ReportKind::Podsumowanie;
    month.fromUtc = PolishMidnight(2026, 11, 1);
    month.toUtc = PolishMidnight(2026, 12, 1);
    std::vector<double> summarySeconds[2], summaryPeak[2];
    ReportTable tables[2];
    for (int run = 0; run < o.runs; ++run)
        for (int kind = 0; kind < 2; ++kind) {
            PeakMib();
            const auto began = Clock::now();
            tables[kind] = MakeReport(*stores[kind], month, context);
            summarySeconds[kind].push_back(bench::Seconds(Clock::now() - began));
            summaryPeak[kind].push_back(PeakMib());
            std::printf("  fleet summary run %d, %s: %.2f s, peak %.0f MiB\n", run + 1, kind ? "PostgreSQL" : "SQLite",
                        summarySeconds[kind].back(), summaryPeak[kind].back());
            std::fflush(stdout);
        }
    const bool same = tables[0].rows == tables[1].rows;
    double baseline[2] = {0, 0}, baselinePeak[2] = {0, 0};
    if (o.baseline)
        for (int kind = 0; kind < 2; ++kind) {
            QueryOnly plain(*stores[kind]);
            PeakMib();
            const auto began = Clock::now();
            const ReportTable table = MakeReport(plain, month, context);
            baseline[kind] = bench::Seconds(Clock::now() - began);
            baselinePeak[kind] = PeakMib();
            std::printf("  fleet summary through Query, %s: %.2f s, peak %.0f MiB, %s\n",
                        kind ? "PostgreSQL" : "SQLite", baseline[kind], baselinePeak[kind],
                        table.rows == tables[kind].rows ? "same table" : "DIFFERS");
            std::fflush(stdout);
        }

    // (c) The month dropped.
    double pruneMs[2];
    int dropped[2];
    for (int kind = 0; kind < 2; ++kind) {
        const auto began = Clock::now();
        dropped[kind] = stores[kind]->Prune(365, UtcSeconds(2027, 12, 2));
        pruneMs[kind] = Ms(Clock::now() - began);
    }

    std::printf("\n%-46s %12s %12s %-5s %7s\n", "measure", "SQLite", "PostgreSQL", "unit", "PG/SQL");
    const std::string writeLabel = "(a) HistoryWriter, " + std::to_string(o.writeVehicles) + " vehicles, " +
                                   std::to_string(o.writeThreads) + " threads";
    Line(writeLabel.c_str(), bench::Median(writeRate[0]), bench::Median(writeRate[1]), "row/s", 0);
    std::printf("%-46s %lld rows per run, median of %d runs each\n", "", o.writeRows, o.runs);
    Line("    fill of the month, Append of 10,000 rows", static_cast<double>(o.rows) / fillSeconds[0],
         static_cast<double>(o.rows) / fillSeconds[1], "row/s", 0);
    Line("    the month on disk (file; partition+index)", static_cast<double>(fileBytes) / 1048576.0,
         partitionBytes / 1048576.0, "MiB", 0);
    std::printf("(b) %lld rows of %d vehicles in November 2026, a fix every %lld s 04:00-20:00 UTC\n", o.rows,
                o.vehicles, static_cast<long long>(interval));
    Line("    vehicle-day Query (median)", bench::Median(queryMs[0]), bench::Median(queryMs[1]), "ms", 2);
    Line("    vehicle-day Query + CSV export (median)", bench::Median(exportMs[0]), bench::Median(exportMs[1]), "ms",
         2);
    std::printf("%-46s %.0f rows per vehicle-day (median), %d vehicle-days\n", "", bench::Median(dayRows), o.queries);
    Line("    month's fleet summary (median)", bench::Median(summarySeconds[0]), bench::Median(summarySeconds[1]), "s",
         2);
    Line("    its peak memory (median)", bench::Median(summaryPeak[0]), bench::Median(summaryPeak[1]), "MiB", 0);
    std::printf("%-46s %zu rows each, %s\n", "", tables[0].rows.size(), same ? "equal" : "THE TABLES DIFFER");
    if (o.baseline) {
        Line("    the summary through Query alone (once)", baseline[0], baseline[1], "s", 2);
        Line("    its peak memory", baselinePeak[0], baselinePeak[1], "MiB", 0);
    }
    Line("(c) Prune of the month", pruneMs[0], pruneMs[1], "ms", 2);
    std::printf("%-46s %d and %d month(s) dropped\n", "", dropped[0], dropped[1]);

    std::error_code ec;
    fs::remove_all(dir, ec);
    return same ? 0 : 1;
}

#include "history/SqliteHistoryStore.hpp"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "common/DateTime.hpp"
#include "common/ServerError.hpp"
#include "common/Win1250.hpp"

namespace serwer {

namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS pozycje("
    " pojazd BLOB NOT NULL, licencja TEXT NOT NULL, czas_fix INTEGER, odebrano INTEGER NOT NULL,"
    " szerokosc REAL, dlugosc REAL, predkosc REAL, paliwo BLOB NOT NULL, silnik INTEGER NOT NULL,"
    " gps TEXT NOT NULL, kierowca BLOB NOT NULL, we1 INTEGER NOT NULL, we2 INTEGER NOT NULL,"
    " we3 INTEGER NOT NULL, przebieg INTEGER, nowa_forma INTEGER NOT NULL, rekord BLOB NOT NULL);"
    "CREATE INDEX IF NOT EXISTS pozycje_pojazd_czas ON pozycje(pojazd, czas_fix);"
    "CREATE TABLE IF NOT EXISTS zdarzenia("
    " id INTEGER PRIMARY KEY, typ TEXT NOT NULL, pojazd BLOB NOT NULL, od INTEGER NOT NULL, do INTEGER,"
    " przedzial INTEGER NOT NULL, szerokosc REAL, dlugosc REAL, strefa BLOB NOT NULL, wartosc REAL,"
    " ograniczenie REAL, dystans REAL, litry REAL, szczegol BLOB NOT NULL, opis BLOB NOT NULL);"
    "CREATE INDEX IF NOT EXISTS zdarzenia_od ON zdarzenia(od);";

constexpr const char* kEventColumns =
    "id, typ, pojazd, od, do, przedzial, szerokosc, dlugosc, strefa, wartosc, ograniczenie, dystans, litry,"
    " szczegol, opis";

constexpr const char* kColumns =
    "pojazd, licencja, czas_fix, odebrano, szerokosc, dlugosc, predkosc, paliwo, silnik, gps, kierowca,"
    " we1, we2, we3, przebieg, nowa_forma, rekord";

// The year and month (UTC) of a time, as "YYYY-MM".
std::string MonthKey(std::int64_t utc) {
    const DateTime::Parts p = DateTime::FromMs(utc * DateTime::kMsPerSecond).Split();
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02d", p.year, p.month);
    return text;
}

// "YYYY-MM" of the month n months after (or before) year/month.
std::pair<int, int> AddMonths(int year, int month, int n) {
    const int index = year * 12 + (month - 1) + n;
    return {index / 12, index % 12 + 1};
}

bool IsDamage(int code) {
    const int primary = code & 0xff;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

// An open database that closes itself.
struct Database {
    sqlite3* db = nullptr;
    Database() = default;
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;
    ~Database() { sqlite3_close_v2(db); }
};

// A prepared statement that finalizes itself.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) { code_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    int Code() const { return code_; }
    sqlite3_stmt* Get() { return stmt_; }

private:
    sqlite3_stmt* stmt_ = nullptr;
    int code_;
};

// The failure of a step, with SQLite's own explanation.
class StoreError : public ServerError {
public:
    StoreError(int code, const std::string& text) : ServerError(text), code_(code) {}
    int Code() const { return code_; }

private:
    int code_;
};

[[noreturn]] void Fail(sqlite3* db, int code, const std::string& what) {
    const char* detail = db ? sqlite3_errmsg(db) : sqlite3_errstr(code);
    throw StoreError(code, what + ": " + (detail ? detail : ""));
}

void Exec(sqlite3* db, const char* sql, const std::string& file) {
    const int code = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    if (code != SQLITE_OK) Fail(db, code, file);
}

void BindText(sqlite3_stmt* stmt, int index, const std::string& text, bool blob) {
    if (blob)
        sqlite3_bind_blob(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    else
        sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

template <typename T>
void BindOptional(sqlite3_stmt* stmt, int index, const std::optional<T>& value) {
    if (!value)
        sqlite3_bind_null(stmt, index);
    else if constexpr (std::is_floating_point_v<T>)
        sqlite3_bind_double(stmt, index, *value);
    else
        sqlite3_bind_int64(stmt, index, *value);
}

void BindRow(sqlite3_stmt* stmt, const HistoryRecord& r) {
    BindText(stmt, 1, r.registration, true);
    BindText(stmt, 2, r.ownerCode, false);
    BindOptional(stmt, 3, r.fixTimeUtc);
    sqlite3_bind_int64(stmt, 4, r.receivedUtc);
    BindOptional(stmt, 5, r.latitude);
    BindOptional(stmt, 6, r.longitude);
    BindOptional(stmt, 7, r.speedKmh);
    BindText(stmt, 8, r.fuel, true);
    sqlite3_bind_int(stmt, 9, r.engineOn);
    BindText(stmt, 10, r.gps, false);
    BindText(stmt, 11, r.driver, true);
    sqlite3_bind_int(stmt, 12, r.input1);
    sqlite3_bind_int(stmt, 13, r.input2);
    sqlite3_bind_int(stmt, 14, r.input3);
    BindOptional(stmt, 15, r.odometerKm);
    sqlite3_bind_int(stmt, 16, r.newForm);
    BindText(stmt, 17, r.raw, true);
}

std::string ColumnBytes(sqlite3_stmt* stmt, int column) {
    const void* data = sqlite3_column_blob(stmt, column);
    const int size = sqlite3_column_bytes(stmt, column);
    return data ? std::string(static_cast<const char*>(data), static_cast<std::size_t>(size)) : std::string();
}

std::optional<std::int64_t> ColumnInteger(sqlite3_stmt* stmt, int column) {
    if (sqlite3_column_type(stmt, column) == SQLITE_NULL) return std::nullopt;
    return sqlite3_column_int64(stmt, column);
}

std::optional<double> ColumnReal(sqlite3_stmt* stmt, int column) {
    if (sqlite3_column_type(stmt, column) == SQLITE_NULL) return std::nullopt;
    return sqlite3_column_double(stmt, column);
}

HistoryRecord ReadRow(sqlite3_stmt* stmt) {
    HistoryRecord r;
    r.registration = ColumnBytes(stmt, 0);
    r.ownerCode = ColumnBytes(stmt, 1);
    r.fixTimeUtc = ColumnInteger(stmt, 2);
    r.receivedUtc = sqlite3_column_int64(stmt, 3);
    // A row stored before coordinates off the globe were left out comes back without them.
    r.latitude = CoordinateWithin(ColumnReal(stmt, 4), kMaxLatitude);
    r.longitude = CoordinateWithin(ColumnReal(stmt, 5), kMaxLongitude);
    r.speedKmh = ColumnReal(stmt, 6);
    r.fuel = ColumnBytes(stmt, 7);
    r.engineOn = sqlite3_column_int(stmt, 8) != 0;
    r.gps = ColumnBytes(stmt, 9);
    r.driver = ColumnBytes(stmt, 10);
    r.input1 = sqlite3_column_int(stmt, 11) != 0;
    r.input2 = sqlite3_column_int(stmt, 12) != 0;
    r.input3 = sqlite3_column_int(stmt, 13) != 0;
    r.odometerKm = ColumnInteger(stmt, 14);
    r.newForm = sqlite3_column_int(stmt, 15) != 0;
    r.raw = ColumnBytes(stmt, 16);
    return r;
}

void BindEvent(sqlite3_stmt* stmt, const Event& e) {
    sqlite3_bind_int64(stmt, 1, static_cast<std::int64_t>(e.id));
    BindText(stmt, 2, std::string(EventTypeName(e.type)), false);
    BindText(stmt, 3, e.registration, true);
    sqlite3_bind_int64(stmt, 4, e.startUtc);
    BindOptional(stmt, 5, e.endUtc);
    sqlite3_bind_int(stmt, 6, e.interval);
    BindOptional(stmt, 7, e.latitude);
    BindOptional(stmt, 8, e.longitude);
    BindText(stmt, 9, e.zone, true);
    BindOptional(stmt, 10, e.value);
    BindOptional(stmt, 11, e.limit);
    BindOptional(stmt, 12, e.distanceKm);
    BindOptional(stmt, 13, e.litres);
    BindText(stmt, 14, e.detail, true);
    BindText(stmt, 15, e.text, true);
}

// An event row; nothing for a type this program does not know.
std::optional<Event> ReadEvent(sqlite3_stmt* stmt) {
    const auto type = EventTypeFromName(ColumnBytes(stmt, 1));
    if (!type) return std::nullopt;
    Event e;
    e.id = static_cast<std::uint64_t>(sqlite3_column_int64(stmt, 0));
    e.type = *type;
    e.registration = ColumnBytes(stmt, 2);
    e.startUtc = sqlite3_column_int64(stmt, 3);
    e.endUtc = ColumnInteger(stmt, 4);
    e.interval = sqlite3_column_int(stmt, 5) != 0;
    e.latitude = ColumnReal(stmt, 6);
    e.longitude = ColumnReal(stmt, 7);
    e.zone = ColumnBytes(stmt, 8);
    e.value = ColumnReal(stmt, 9);
    e.limit = ColumnReal(stmt, 10);
    e.distanceKm = ColumnReal(stmt, 11);
    e.litres = ColumnReal(stmt, 12);
    e.detail = ColumnBytes(stmt, 13);
    e.text = ColumnBytes(stmt, 14);
    return e;
}

// The month of a file name "pozycje-YYYY-MM.db", or nothing for any other name.
std::optional<std::pair<int, int>> MonthOfFile(const std::string& name) {
    int year = 0, month = 0;
    char tail = 0;
    if (name.size() != std::strlen("pozycje-YYYY-MM.db") ||
        std::sscanf(name.c_str(), "pozycje-%4d-%2d.d%c", &year, &month, &tail) != 3 || tail != 'b' || month < 1 ||
        month > 12)
        return std::nullopt;
    return std::make_pair(year, month);
}

}  // namespace

// The open file of the month being written, with its insert statement.
struct SqliteHistoryStore::Writer {
    std::string month;
    std::string path;
    Database database;
    sqlite3_stmt* insert = nullptr;
    sqlite3_stmt* insertEvent = nullptr;
    ~Writer() {
        sqlite3_finalize(insert);
        sqlite3_finalize(insertEvent);
    }
};

std::string HistoryDirectory(const std::string& dataDirectory) { return dataDirectory + "/historia"; }

SqliteHistoryStore::SqliteHistoryStore(std::string directory, Notice notice)
    : directory_(std::move(directory)), notice_(std::move(notice)) {}

SqliteHistoryStore::~SqliteHistoryStore() = default;

std::string SqliteHistoryStore::MonthFile(std::int64_t utc) const {
    return directory_ + "/pozycje-" + MonthKey(utc) + ".db";
}

namespace {

std::unique_ptr<SqliteHistoryStore::Writer> OpenForWriting(const std::string& month, const std::string& path) {
    auto writer = std::make_unique<SqliteHistoryStore::Writer>();
    writer->month = month;
    writer->path = path;
    sqlite3*& db = writer->database.db;
    const int code = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (code != SQLITE_OK) Fail(db, code, path);
    sqlite3_busy_timeout(db, 5000);
    Exec(db, "PRAGMA journal_mode=WAL", path);
    Exec(db, "PRAGMA synchronous=FULL", path);
    Exec(db, kSchema, path);
    const std::string sql =
        std::string("INSERT INTO pozycje(") + kColumns + ") VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)";
    int prepared = sqlite3_prepare_v3(db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &writer->insert, nullptr);
    if (prepared != SQLITE_OK) Fail(db, prepared, path);
    const std::string events =
        std::string("INSERT OR REPLACE INTO zdarzenia(") + kEventColumns + ") VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)";
    prepared = sqlite3_prepare_v3(db, events.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &writer->insertEvent, nullptr);
    if (prepared != SQLITE_OK) Fail(db, prepared, path);
    return writer;
}

// All items in one transaction through the statement; on any failure the transaction is
// rolled back.
template <typename T, typename Bind>
void InsertAll(SqliteHistoryStore::Writer& writer, sqlite3_stmt* insert, const std::vector<const T*>& items,
               Bind bind) {
    sqlite3* db = writer.database.db;
    Exec(db, "BEGIN IMMEDIATE", writer.path);
    try {
        for (const T* item : items) {
            sqlite3_reset(insert);
            sqlite3_clear_bindings(insert);
            bind(insert, *item);
            const int code = sqlite3_step(insert);
            if (code != SQLITE_DONE) Fail(db, code, writer.path);
        }
        sqlite3_reset(insert);
        Exec(db, "COMMIT", writer.path);
    } catch (...) {
        sqlite3_reset(insert);
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

// Renames a damaged file (and its write-ahead log) out of the way; returns the new name.
std::string MoveAside(const std::string& path) {
    const std::string aside = path + ".uszkodzony-" + FormatFileStamp(DateTime::Now());
    std::error_code ec;
    std::filesystem::rename(path, aside, ec);
    if (ec) throw ServerError("Cannot rename " + path + ": " + ec.message());
    std::filesystem::rename(path + "-wal", aside + "-wal", ec);
    std::filesystem::remove(path + "-shm", ec);
    return aside;
}

// The month files of the directory, with their year and month.
std::vector<std::pair<std::pair<int, int>, std::string>> MonthFiles(const std::string& directory) {
    std::vector<std::pair<std::pair<int, int>, std::string>> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(directory, ec)) {
        const std::string name = entry.path().filename().string();
        if (auto month = MonthOfFile(name)) files.emplace_back(*month, directory + "/" + name);
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Whether the file has the table: a file made by a run killed before its first write
// has none, and holds no rows.
bool HasTable(sqlite3* db, const char* name, const std::string& path) {
    Statement probe(db, "SELECT 1 FROM sqlite_master WHERE type='table' AND name=?1");
    if (probe.Code() != SQLITE_OK) Fail(db, probe.Code(), path);
    sqlite3_bind_text(probe.Get(), 1, name, -1, SQLITE_STATIC);
    const int code = sqlite3_step(probe.Get());
    if (code != SQLITE_ROW && code != SQLITE_DONE) Fail(db, code, path);
    return code == SQLITE_ROW;
}

std::int64_t MonthStartUtc(int year, int month) {
    return DateTime::FromParts({year, month, 1, 0, 0, 0, 0}).Ms() / DateTime::kMsPerSecond;
}

}  // namespace

void SqliteHistoryStore::Append(const std::vector<HistoryRecord>& rows) {
    if (rows.empty()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    // Rows of one batch normally share a month; at a month's turn they go to two files.
    WriteByMonth(rows, [](const HistoryRecord& r) { return r.receivedUtc; }, [](auto& month) {
        return [&](Writer& writer) { InsertAll(writer, writer.insert, month, BindRow); };
    });
}

template <typename T, typename TimeOf, typename MakeWrite>
void SqliteHistoryStore::WriteByMonth(const std::vector<T>& items, TimeOf timeOf, MakeWrite makeWrite) {
    std::vector<const T*> ordered;
    ordered.reserve(items.size());
    for (const T& item : items) ordered.push_back(&item);
    std::stable_sort(ordered.begin(), ordered.end(), [&](const T* a, const T* b) { return timeOf(*a) < timeOf(*b); });
    std::size_t begin = 0;
    while (begin < ordered.size()) {
        const std::string month = MonthKey(timeOf(*ordered[begin]));
        std::size_t end = begin;
        while (end < ordered.size() && MonthKey(timeOf(*ordered[end])) == month) ++end;
        const std::vector<const T*> part(ordered.begin() + begin, ordered.begin() + end);
        WriteToMonth(month, MonthFile(timeOf(*ordered[begin])), makeWrite(part));
        begin = end;
    }
}

void SqliteHistoryStore::WriteToMonth(const std::string& month, const std::string& path,
                                      const std::function<void(Writer&)>& write) {
    for (int attempt = 0;; ++attempt) {
        try {
            if (!writer_ || writer_->month != month) {
                writer_.reset();
                // Only when a file is opened: a directory removed later fails the write,
                // which closes the file, and the next write comes back here.
                if (::mkdir(directory_.c_str(), 0777) != 0 && errno != EEXIST)
                    throw ServerError("Cannot create directory " + directory_ + ": " + std::strerror(errno));
                writer_ = OpenForWriting(month, path);
            }
            write(*writer_);
            return;
        } catch (const StoreError& e) {
            // The connection is closed after any failure, so the next write opens the
            // file afresh: a full disk or a lost directory heals by itself.
            writer_.reset();
            if (!IsDamage(e.Code()) || attempt > 0) throw;
            const std::string aside = MoveAside(path);
            if (notice_)
                notice_(Cp1250("Historia pozycji: uszkodzony plik ") + path + Cp1250(" przeniesiony jako ") + aside +
                        Cp1250(", zaczęto nowy"));
        }
    }
}

std::vector<HistoryRecord> SqliteHistoryStore::Query(const HistoryQuery& query) {
    std::vector<HistoryRecord> rows;
    if (query.toUtc <= query.fromUtc) return rows;
    const DateTime::Parts from = DateTime::FromMs(query.fromUtc * DateTime::kMsPerSecond).Split();
    const DateTime::Parts to = DateTime::FromMs((query.toUtc - 1) * DateTime::kMsPerSecond).Split();
    const auto low = AddMonths(from.year, from.month, -1);
    const auto high = AddMonths(to.year, to.month, 1);

    // A row whose fix time could not be decoded is found by the time it was received.
    std::string sql = std::string("SELECT ") + kColumns +
                      " FROM pozycje WHERE (czas_fix >= ?1 AND czas_fix < ?2"
                      " OR czas_fix IS NULL AND odebrano >= ?1 AND odebrano < ?2)";
    if (query.registration) sql += " AND pojazd = ?3";
    for (const auto& [month, path] : MonthFiles(directory_)) {
        if (month < low || month > high) continue;
        Database database;
        int code = sqlite3_open_v2(path.c_str(), &database.db, SQLITE_OPEN_READONLY, nullptr);
        if (code != SQLITE_OK) Fail(database.db, code, path);
        sqlite3_busy_timeout(database.db, 5000);
        if (!HasTable(database.db, "pozycje", path)) continue;
        Statement select(database.db, sql.c_str());
        if (select.Code() != SQLITE_OK) Fail(database.db, select.Code(), path);
        sqlite3_bind_int64(select.Get(), 1, query.fromUtc);
        sqlite3_bind_int64(select.Get(), 2, query.toUtc);
        if (query.registration) BindText(select.Get(), 3, *query.registration, true);
        while ((code = sqlite3_step(select.Get())) == SQLITE_ROW) rows.push_back(ReadRow(select.Get()));
        if (code != SQLITE_DONE) Fail(database.db, code, path);
    }
    std::stable_sort(rows.begin(), rows.end(), [](const HistoryRecord& a, const HistoryRecord& b) {
        if (a.registration != b.registration) return a.registration < b.registration;
        const std::int64_t timeA = a.fixTimeUtc.value_or(a.receivedUtc), timeB = b.fixTimeUtc.value_or(b.receivedUtc);
        if (timeA != timeB) return timeA < timeB;
        return a.receivedUtc < b.receivedUtc;
    });
    return rows;
}

namespace {

constexpr const char* kTrackColumns =
    "pojazd, czas_fix, szerokosc, dlugosc, predkosc, paliwo, silnik, gps, kierowca, odebrano";

// A text column copied into `to`, whose buffer is kept from row to row.
void AssignBytes(sqlite3_stmt* stmt, int column, std::string& to) {
    const void* data = sqlite3_column_blob(stmt, column);
    to.assign(data ? static_cast<const char*>(data) : "", static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)));
}

void ReadTrackPoint(sqlite3_stmt* stmt, TrackPoint& p, std::string& scratch) {
    AssignBytes(stmt, 0, p.registration);
    p.timeUtc = sqlite3_column_int64(stmt, 1);
    const auto latitude = CoordinateWithin(ColumnReal(stmt, 2), kMaxLatitude);
    const auto longitude = CoordinateWithin(ColumnReal(stmt, 3), kMaxLongitude);
    // A place only with both coordinates, as TrackPointOf makes it.
    p.latitude = latitude && longitude ? *latitude : 0;
    p.longitude = latitude && longitude ? *longitude : 0;
    AssignBytes(stmt, 7, scratch);
    p.fix = latitude && longitude && scratch == "OK";
    p.speedKmh = ColumnReal(stmt, 4);
    AssignBytes(stmt, 5, scratch);
    p.fuelPercent = FuelPercentOfText(scratch);
    p.engineOn = sqlite3_column_int(stmt, 6) != 0;
    AssignBytes(stmt, 8, p.driver);
}

// A month file opened for reading.
struct ReadFile {
    Database database;
    std::string path;
    // One thread uses the connection: no locking per call. A file read whole is mapped,
    // so the scan reads the pages where they are instead of copying each (a look-up of
    // scattered rows is faster copying them).
    ReadFile(std::string file, bool whole) : path(std::move(file)) {
        const int code =
            sqlite3_open_v2(path.c_str(), &database.db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
        if (code != SQLITE_OK) Fail(database.db, code, path);
        sqlite3_busy_timeout(database.db, 5000);
        if (whole) sqlite3_exec(database.db, "PRAGMA mmap_size=17179869184", nullptr, nullptr, nullptr);
    }
    // Runs the statement (?1, ?2: the range; ?3: a registration when given) and gives
    // each point, with the time its row was received.
    template <typename Each>
    void Points(const std::string& sql, const TrackQuery& query, const std::string* registration, Each&& each) {
        Statement select(database.db, sql.c_str());
        if (select.Code() != SQLITE_OK) Fail(database.db, select.Code(), path);
        sqlite3_bind_int64(select.Get(), 1, query.fromUtc);
        sqlite3_bind_int64(select.Get(), 2, query.toUtc);
        if (registration) BindText(select.Get(), 3, *registration, true);
        TrackPoint point;
        std::string scratch;
        int code;
        while ((code = sqlite3_step(select.Get())) == SQLITE_ROW) {
            ReadTrackPoint(select.Get(), point, scratch);
            each(point, sqlite3_column_int64(select.Get(), 9));
        }
        if (code != SQLITE_DONE) Fail(database.db, code, path);
    }
    // The registrations of the file, each found by one step through the index.
    std::vector<std::string> Vehicles() {
        std::vector<std::string> names;
        Statement first(database.db, "SELECT MIN(pojazd) FROM pozycje");
        Statement next(database.db, "SELECT MIN(pojazd) FROM pozycje WHERE pojazd > ?1");
        if (first.Code() != SQLITE_OK) Fail(database.db, first.Code(), path);
        if (next.Code() != SQLITE_OK) Fail(database.db, next.Code(), path);
        sqlite3_stmt* step = first.Get();
        for (;;) {
            const int code = sqlite3_step(step);
            if (code != SQLITE_ROW) Fail(database.db, code, path);
            if (sqlite3_column_type(step, 0) == SQLITE_NULL) return names;
            names.push_back(ColumnBytes(step, 0));
            sqlite3_reset(next.Get());
            BindText(next.Get(), 1, names.back(), true);
            step = next.Get();
        }
    }
};

}  // namespace

void SqliteHistoryStore::ScanTrack(const TrackQuery& query, TrackVisitor& visitor) {
    if (query.toUtc <= query.fromUtc) return;
    const DateTime::Parts from = DateTime::FromMs(query.fromUtc * DateTime::kMsPerSecond).Split();
    const DateTime::Parts to = DateTime::FromMs((query.toUtc - 1) * DateTime::kMsPerSecond).Split();
    const auto low = AddMonths(from.year, from.month, -1);
    const auto high = AddMonths(to.year, to.month, 1);
    const std::string range = std::string("SELECT ") + kTrackColumns + " FROM pozycje WHERE czas_fix >= ?1 AND czas_fix < ?2";
    const std::string byVehicle = range + " AND pojazd = ?3 ORDER BY czas_fix, odebrano, rowid";
    std::vector<std::string> files;

    // A vehicle's order: the fix time, then the time received (then the order written).
    struct Seen {
        std::int64_t last = 0, lastReceived = 0;
        bool restarted = false;
    };
    std::unordered_map<std::string, Seen> seen;
    std::vector<std::string> restarted;
    const auto give = [&](TrackPoint& point, std::int64_t received) {
        auto [it, fresh] = seen.try_emplace(point.registration, Seen{point.timeUtc, received, false});
        Seen& vehicle = it->second;
        if (vehicle.restarted) return;
        if (!fresh && std::pair(point.timeUtc, received) < std::pair(vehicle.last, vehicle.lastReceived)) {
            vehicle.restarted = true;
            restarted.push_back(point.registration);
            visitor.Restart(point.registration);
            return;
        }
        vehicle.last = point.timeUtc;
        vehicle.lastReceived = received;
        visitor.Point(point);
    };

    for (const auto& [month, path] : MonthFiles(directory_)) {
        if (month < low || month > high) continue;
        const std::int64_t monthStart = MonthStartUtc(month.first, month.second);
        const auto next = AddMonths(month.first, month.second, 1);
        const std::int64_t monthEnd = MonthStartUtc(next.first, next.second);
        const std::int64_t covered = std::min(monthEnd, query.toUtc) - std::max(monthStart, query.fromUtc);
        const bool whole = query.registrations.empty() && covered * 10 >= monthEnd - monthStart;
        ReadFile file(path, whole);
        if (!HasTable(file.database.db, "pozycje", path)) continue;
        files.push_back(path);
        if (whole) {
            file.Points(range, query, nullptr, give);
            continue;
        }
        for (const std::string& registration : query.registrations.empty() ? file.Vehicles() : query.registrations)
            file.Points(byVehicle, query, &registration, give);
    }

    // The vehicles written out of order: each read whole through the index and sorted.
    for (const std::string& registration : restarted) {
        std::vector<std::pair<TrackPoint, std::int64_t>> points;  // with the time received
        for (const std::string& path : files)
            ReadFile(path, false).Points(byVehicle, query, &registration, [&](TrackPoint& p, std::int64_t received) {
                points.emplace_back(p, received);
            });
        std::stable_sort(points.begin(), points.end(), [](const auto& a, const auto& b) {
            return std::pair(a.first.timeUtc, a.second) < std::pair(b.first.timeUtc, b.second);
        });
        for (const auto& entry : points) visitor.Point(entry.first);
    }
}

void SqliteHistoryStore::AppendEvents(const std::vector<Event>& events) {
    if (events.empty()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    // An event is kept in the month file of its start, so its end replaces it there.
    WriteByMonth(events, [](const Event& e) { return e.startUtc; }, [](auto& month) {
        return [&](Writer& writer) { InsertAll(writer, writer.insertEvent, month, BindEvent); };
    });
}

namespace {

// Runs the statement on every month file that may hold events starting in the range
// (files older than the events table have none).
void ForEventMonths(const std::string& directory, const EventQuery& query, bool write, const std::string& sql,
                    const std::function<void(sqlite3_stmt*)>& each) {
    if (query.toUtc <= query.fromUtc) return;
    const DateTime::Parts from = DateTime::FromMs(query.fromUtc * DateTime::kMsPerSecond).Split();
    const DateTime::Parts to = DateTime::FromMs((query.toUtc - 1) * DateTime::kMsPerSecond).Split();
    for (const auto& [month, path] : MonthFiles(directory)) {
        if (month < std::make_pair(from.year, from.month) || month > std::make_pair(to.year, to.month)) continue;
        Database database;
        int code = sqlite3_open_v2(path.c_str(), &database.db, write ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY,
                                   nullptr);
        if (code != SQLITE_OK) Fail(database.db, code, path);
        sqlite3_busy_timeout(database.db, 5000);
        Statement probe(database.db, "SELECT 1 FROM sqlite_master WHERE type='table' AND name='zdarzenia'");
        if (probe.Code() != SQLITE_OK) Fail(database.db, probe.Code(), path);
        if (sqlite3_step(probe.Get()) != SQLITE_ROW) continue;
        Statement statement(database.db, sql.c_str());
        if (statement.Code() != SQLITE_OK) Fail(database.db, statement.Code(), path);
        sqlite3_bind_int64(statement.Get(), 1, query.fromUtc);
        sqlite3_bind_int64(statement.Get(), 2, query.toUtc);
        if (query.registration) BindText(statement.Get(), 3, *query.registration, true);
        if (query.type) BindText(statement.Get(), 4, std::string(EventTypeName(*query.type)), false);
        each(statement.Get());
    }
}

std::string EventFilter(const EventQuery& query) {
    std::string where = " WHERE od >= ?1 AND od < ?2";
    if (query.registration) where += " AND pojazd = ?3";
    if (query.type) where += " AND typ = ?4";
    return where;
}

}  // namespace

std::vector<Event> SqliteHistoryStore::QueryEvents(const EventQuery& query) {
    std::vector<Event> events;
    std::string sql = std::string("SELECT ") + kEventColumns + " FROM zdarzenia" + EventFilter(query);
    // The earliest, of equal starts the smaller id as an unsigned number, as they are sorted below.
    if (query.limit > 0) sql += " ORDER BY od, id < 0, id LIMIT " + std::to_string(query.limit);
    ForEventMonths(directory_, query, false, sql, [&](sqlite3_stmt* select) {
        int code;
        while ((code = sqlite3_step(select)) == SQLITE_ROW)
            if (auto e = ReadEvent(select)) events.push_back(std::move(*e));
        if (code != SQLITE_DONE) Fail(nullptr, code, "zdarzenia");
    });
    std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) {
        return a.startUtc != b.startUtc ? a.startUtc < b.startUtc : a.id < b.id;
    });
    // Each month gave its earliest; the months run in order.
    if (query.limit > 0 && events.size() > query.limit) events.resize(query.limit);
    return events;
}

void SqliteHistoryStore::RemoveEvents(const EventQuery& query) {
    std::lock_guard<std::mutex> lock(mutex_);
    ForEventMonths(directory_, query, true, "DELETE FROM zdarzenia" + EventFilter(query), [&](sqlite3_stmt* remove) {
        const int code = sqlite3_step(remove);
        if (code != SQLITE_DONE) Fail(nullptr, code, "zdarzenia");
    });
}

int SqliteHistoryStore::Prune(int keepDays, std::int64_t nowUtc) {
    if (keepDays <= 0) return 0;
    const std::int64_t cutoff = nowUtc - std::int64_t{keepDays} * 86400;
    std::lock_guard<std::mutex> lock(mutex_);
    int dropped = 0;
    for (const auto& [month, path] : MonthFiles(directory_)) {
        const auto next = AddMonths(month.first, month.second, 1);
        if (MonthStartUtc(next.first, next.second) > cutoff) continue;
        if (writer_ && writer_->path == path) writer_.reset();
        std::error_code ec;
        if (!std::filesystem::remove(path, ec)) continue;
        std::filesystem::remove(path + "-wal", ec);
        std::filesystem::remove(path + "-shm", ec);
        ++dropped;
    }
    return dropped;
}

}  // namespace serwer

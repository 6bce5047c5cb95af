#include "notifications/SqliteOutbox.hpp"

#include <sqlite3.h>

#include "common/ServerError.hpp"

namespace serwer {

namespace {

// A prepared statement that finalizes itself; a failure to prepare or step throws.
class Query {
public:
    Query(sqlite3* db, const char* sql, const std::string& path) : db_(db), path_(path) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) Fail();
    }
    ~Query() { sqlite3_finalize(stmt_); }
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    Query& Bind(int i, std::int64_t v) {
        sqlite3_bind_int64(stmt_, i, v);
        return *this;
    }
    Query& Bind(int i, const std::string& v) {
        sqlite3_bind_blob(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    // True while there is a row.
    bool Step() {
        const int code = sqlite3_step(stmt_);
        if (code == SQLITE_ROW) return true;
        if (code != SQLITE_DONE) Fail();
        return false;
    }
    std::int64_t Int(int column) { return sqlite3_column_int64(stmt_, column); }
    bool Null(int column) { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
    std::string Text(int column) {
        const void* data = sqlite3_column_blob(stmt_, column);
        return data ? std::string(static_cast<const char*>(data), static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
                    : std::string();
    }

private:
    [[noreturn]] void Fail() { throw ServerError(path_ + ": " + sqlite3_errmsg(db_)); }
    sqlite3* db_;
    const std::string& path_;
    sqlite3_stmt* stmt_ = nullptr;
};

// Writes without a sync of their own while it lives; the full sync again after it.
struct Unsynced {
    sqlite3* db;
    explicit Unsynced(sqlite3* d) : db(d) { sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr); }
    ~Unsynced() { sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr); }
    Unsynced(const Unsynced&) = delete;
    Unsynced& operator=(const Unsynced&) = delete;
};

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS wiadomosci(id INTEGER PRIMARY KEY, zdarzenie INTEGER NOT NULL, regula BLOB NOT NULL,"
    " kanal BLOB NOT NULL, adres BLOB NOT NULL, naglowki BLOB NOT NULL, tresc BLOB NOT NULL,"
    " utworzono INTEGER NOT NULL, niepowodzenia INTEGER NOT NULL, nastepna INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS wiadomosci_nastepna ON wiadomosci(nastepna);"
    "CREATE TABLE IF NOT EXISTS przyjete(zdarzenie INTEGER NOT NULL, regula BLOB NOT NULL, od INTEGER NOT NULL,"
    " PRIMARY KEY(zdarzenie, regula));"
    "CREATE TABLE IF NOT EXISTS dlawiki(regula BLOB NOT NULL, pojazd BLOB NOT NULL, typ INTEGER NOT NULL,"
    " wyslano INTEGER NOT NULL, wstrzymane INTEGER NOT NULL, PRIMARY KEY(regula, pojazd, typ));";

}  // namespace

SqliteOutbox::SqliteOutbox(const std::string& path) : path_(path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr) !=
        SQLITE_OK) {
        const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close_v2(db_);
        throw ServerError(path + ": " + why);
    }
    sqlite3_busy_timeout(db_, 5000);
    try {
        Exec("PRAGMA journal_mode=WAL");
        Exec("PRAGMA synchronous=FULL");
        Exec(kSchema);
    } catch (...) {
        sqlite3_close_v2(db_);
        throw;
    }
}

SqliteOutbox::~SqliteOutbox() { sqlite3_close_v2(db_); }

void SqliteOutbox::Exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) throw ServerError(path_ + ": " + sqlite3_errmsg(db_));
}

bool SqliteOutbox::Taken(std::uint64_t eventId, const std::string& rule) {
    std::lock_guard<std::mutex> lock(mutex_);
    Query q(db_, "SELECT 1 FROM przyjete WHERE zdarzenie = ? AND regula = ?", path_);
    return q.Bind(1, static_cast<std::int64_t>(eventId)).Bind(2, rule).Step();
}

ThrottleState SqliteOutbox::Throttle(const ThrottleKey& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    Query q(db_, "SELECT wyslano, wstrzymane FROM dlawiki WHERE regula = ? AND pojazd = ? AND typ = ?", path_);
    q.Bind(1, key.rule).Bind(2, key.vehicle).Bind(3, static_cast<std::int64_t>(key.type));
    if (!q.Step()) return {};
    return {true, q.Int(0), static_cast<int>(q.Int(1))};
}

void SqliteOutbox::Take(std::uint64_t eventId, const ThrottleKey& key, const ThrottleState& state,
                  const std::vector<OutboxMessage>& messages, std::int64_t eventStartUtc) {
    std::lock_guard<std::mutex> lock(mutex_);
    Exec("BEGIN IMMEDIATE");
    try {
        Query taken(db_, "INSERT OR IGNORE INTO przyjete(zdarzenie, regula, od) VALUES (?, ?, ?)", path_);
        taken.Bind(1, static_cast<std::int64_t>(eventId)).Bind(2, key.rule).Bind(3, eventStartUtc).Step();
        Query throttle(db_, "INSERT OR REPLACE INTO dlawiki(regula, pojazd, typ, wyslano, wstrzymane) VALUES (?, ?, ?, ?, ?)",
                       path_);
        throttle.Bind(1, key.rule).Bind(2, key.vehicle).Bind(3, static_cast<std::int64_t>(key.type));
        throttle.Bind(4, state.lastSentUtc).Bind(5, state.heldBack).Step();
        for (const OutboxMessage& m : messages) {
            Query insert(db_,
                         "INSERT INTO wiadomosci(zdarzenie, regula, kanal, adres, naglowki, tresc, utworzono, niepowodzenia,"
                         " nastepna) VALUES (?, ?, ?, ?, ?, ?, ?, 0, ?)",
                         path_);
            insert.Bind(1, static_cast<std::int64_t>(m.eventId)).Bind(2, m.rule).Bind(3, m.channel).Bind(4, m.address);
            insert.Bind(5, m.headers).Bind(6, m.body).Bind(7, m.createdUtc).Bind(8, m.nextUtc).Step();
        }
        Exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

std::vector<OutboxMessage> SqliteOutbox::Due(std::int64_t nowUtc, std::size_t limit) {
    std::lock_guard<std::mutex> lock(mutex_);
    Query q(db_,
            "SELECT id, zdarzenie, regula, kanal, adres, naglowki, tresc, utworzono, niepowodzenia, nastepna FROM wiadomosci"
            " WHERE nastepna <= ? ORDER BY nastepna, id LIMIT ?",
            path_);
    q.Bind(1, nowUtc).Bind(2, static_cast<std::int64_t>(limit));
    std::vector<OutboxMessage> due;
    while (q.Step())
        due.push_back({q.Int(0), static_cast<std::uint64_t>(q.Int(1)), q.Text(2), q.Text(3), q.Text(4), q.Text(5),
                       q.Text(6), q.Int(7), static_cast<int>(q.Int(8)), q.Int(9)});
    return due;
}

std::optional<std::int64_t> SqliteOutbox::NextDueUtc() { return Number("SELECT MIN(nastepna) FROM wiadomosci"); }

std::optional<std::int64_t> SqliteOutbox::Number(const char* sql) {
    std::lock_guard<std::mutex> lock(mutex_);
    Query q(db_, sql, path_);
    if (!q.Step() || q.Null(0)) return std::nullopt;
    return q.Int(0);
}

// A removal or a new try time lost to a power cut only makes a notification go again,
// which a receiver tells by its id: these need no sync of their own (the next Take's has them).
void SqliteOutbox::Remove(std::int64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Unsynced unsynced(db_);
    Query(db_, "DELETE FROM wiadomosci WHERE id = ?", path_).Bind(1, id).Step();
}

void SqliteOutbox::Retry(std::int64_t id, int failures, std::int64_t nextUtc) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Unsynced unsynced(db_);
    Query(db_, "UPDATE wiadomosci SET niepowodzenia = ?, nastepna = ? WHERE id = ?", path_)
        .Bind(1, failures)
        .Bind(2, nextUtc)
        .Bind(3, id)
        .Step();
}

std::size_t SqliteOutbox::Size() {
    std::lock_guard<std::mutex> lock(mutex_);
    Query q(db_, "SELECT COUNT(*) FROM wiadomosci", path_);
    return q.Step() ? static_cast<std::size_t>(q.Int(0)) : 0;
}

std::optional<std::int64_t> SqliteOutbox::OldestCreatedUtc() { return Number("SELECT MIN(utworzono) FROM wiadomosci"); }

std::optional<std::int64_t> SqliteOutbox::TakenUpTo() { return Number("SELECT MAX(od) FROM przyjete"); }

void SqliteOutbox::ForgetTakenBefore(std::int64_t utc) {
    std::lock_guard<std::mutex> lock(mutex_);
    Query(db_, "DELETE FROM przyjete WHERE od < ?", path_).Bind(1, utc).Step();
}

}  // namespace serwer

#include "history/HistorySpool.hpp"

#include <sqlite3.h>

#include <cstdio>
#include <memory>
#include <random>

#include "common/ServerError.hpp"
#include "common/Win1250.hpp"
#include "history/SpoolCodec.hpp"

namespace serwer {

namespace {

struct StatementDeleter {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

}  // namespace

HistorySpool::HistorySpool(std::string path) : path_(std::move(path)) {}

HistorySpool::~HistorySpool() { sqlite3_close_v2(db_); }

void HistorySpool::Fail() const { throw ServerError(Cp1250("Bufor historii ") + path_ + ": " + sqlite3_errmsg(db_)); }

void HistorySpool::Exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) Fail();
}

void HistorySpool::Open() {
    if (db_) return;
    if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        const std::string message = db_ ? sqlite3_errmsg(db_) : Cp1250("brak pamięci");
        sqlite3_close_v2(db_);
        db_ = nullptr;
        throw ServerError(Cp1250("Bufor historii ") + path_ + ": " + message);
    }
    try {
        sqlite3_busy_timeout(db_, 5000);
        Exec("PRAGMA journal_mode=WAL");
        Exec("PRAGMA synchronous=FULL");
        Exec("CREATE TABLE IF NOT EXISTS bufor(nr INTEGER PRIMARY KEY AUTOINCREMENT, wpis BLOB NOT NULL)");
        Exec("CREATE TABLE IF NOT EXISTS tozsamosc(id TEXT NOT NULL)");
        std::random_device random;
        char made[17];
        std::snprintf(made, sizeof made, "%08x%08x", random(), random());
        Exec(("INSERT INTO tozsamosc(id) SELECT '" + std::string(made) +
              "' WHERE NOT EXISTS (SELECT 1 FROM tozsamosc)")
                 .c_str());
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(db_, "SELECT id FROM tozsamosc", -1, &raw, nullptr) != SQLITE_OK) Fail();
        Statement select(raw);
        if (sqlite3_step(select.get()) != SQLITE_ROW) Fail();
        id_ = reinterpret_cast<const char*>(sqlite3_column_text(select.get(), 0));
    } catch (...) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
        throw;
    }
}

std::string HistorySpool::Id() {
    Open();
    return id_;
}

void HistorySpool::Add(const std::vector<HistoryRecord>& rows, const std::vector<Event>& events) {
    if (rows.empty() && events.empty()) return;
    Open();
    Exec("BEGIN IMMEDIATE");
    try {
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(db_, "INSERT INTO bufor(wpis) VALUES(?)", -1, &raw, nullptr) != SQLITE_OK)
            Fail();
        Statement insert(raw);
        const auto add = [&](const std::string& bytes) {
            sqlite3_bind_blob(insert.get(), 1, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
            if (sqlite3_step(insert.get()) != SQLITE_DONE) Fail();
            sqlite3_reset(insert.get());
        };
        for (const HistoryRecord& r : rows) add(EncodeSpooledRow(r));
        for (const Event& e : events) add(EncodeSpooledEvent(e));
        insert.reset();
        Exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

std::vector<SpooledItem> HistorySpool::Front(std::size_t limit) {
    Open();
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_, "SELECT nr, wpis FROM bufor ORDER BY nr LIMIT ?", -1, &raw, nullptr) != SQLITE_OK)
        Fail();
    Statement select(raw);
    sqlite3_bind_int64(select.get(), 1, static_cast<sqlite3_int64>(limit));
    std::vector<SpooledItem> items;
    int step;
    while ((step = sqlite3_step(select.get())) == SQLITE_ROW) {
        SpooledItem item;
        item.number = sqlite3_column_int64(select.get(), 0);
        const auto* data = static_cast<const char*>(sqlite3_column_blob(select.get(), 1));
        const std::string bytes(data ? data : "", static_cast<std::size_t>(sqlite3_column_bytes(select.get(), 1)));
        if (auto row = DecodeSpooledRow(bytes)) item.rows.push_back(std::move(*row));
        else if (auto event = DecodeSpooledEvent(bytes)) item.events.push_back(std::move(*event));
        else ++unreadable_;
        items.push_back(std::move(item));
    }
    if (step != SQLITE_DONE) Fail();
    return items;
}

void HistorySpool::RemoveUpTo(std::int64_t number) {
    Open();
    Exec(("DELETE FROM bufor WHERE nr <= " + std::to_string(number)).c_str());
}

std::int64_t HistorySpool::Count() {
    Open();
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_, "SELECT count(*) FROM bufor", -1, &raw, nullptr) != SQLITE_OK) Fail();
    Statement count(raw);
    if (sqlite3_step(count.get()) != SQLITE_ROW) Fail();
    return sqlite3_column_int64(count.get(), 0);
}

}  // namespace serwer

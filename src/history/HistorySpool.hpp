#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "events/Event.hpp"
#include "history/HistoryRecord.hpp"

struct sqlite3;

namespace serwer {

// One entry of the spool: a row or an event, numbered in the order it came.
struct SpooledItem {
    std::int64_t number = 0;
    std::vector<HistoryRecord> rows;  // one row, or none
    std::vector<Event> events;        // one event, or none
};

// The rows and events waiting for the database, in an SQLite file of the data directory
// (historia-bufor.db, WAL, full synchronous commits): an Add has returned once they are
// durable. Entries are numbered in order and removed once the database holds them.
// Not safe to share between threads without a lock of the caller's. Fails with
// ServerError.
class HistorySpool {
public:
    explicit HistorySpool(std::string path);  // opened (and created) at the first use
    ~HistorySpool();
    HistorySpool(const HistorySpool&) = delete;
    HistorySpool& operator=(const HistorySpool&) = delete;

    void Add(const std::vector<HistoryRecord>& rows, const std::vector<Event>& events);
    // The first entries, at most limit, in order; an entry that cannot be read is skipped
    // (and counted in Unreadable).
    std::vector<SpooledItem> Front(std::size_t limit);
    void RemoveUpTo(std::int64_t number);
    std::int64_t Count();
    // Random, made with the file: entries of a spool made again are not taken for those
    // of an earlier one.
    std::string Id();
    std::uint64_t Unreadable() const { return unreadable_; }
    const std::string& Path() const { return path_; }

private:
    void Open();
    [[noreturn]] void Fail() const;
    void Exec(const char* sql);
    std::string path_;
    sqlite3* db_ = nullptr;
    std::string id_;
    std::uint64_t unreadable_ = 0;
};

}  // namespace serwer

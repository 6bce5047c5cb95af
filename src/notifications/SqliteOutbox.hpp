#pragma once
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "notifications/Outbox.hpp"

struct sqlite3;

namespace serwer {

// The outbox in an SQLite file (powiadomienia.sqlite), written with a full sync before
// its messages are sent.
class SqliteOutbox : public Outbox {
public:
    explicit SqliteOutbox(const std::string& path);
    ~SqliteOutbox() override;
    SqliteOutbox(const SqliteOutbox&) = delete;
    SqliteOutbox& operator=(const SqliteOutbox&) = delete;

    bool Taken(std::uint64_t eventId, const std::string& rule) override;
    ThrottleState Throttle(const ThrottleKey& key) override;
    void Take(std::uint64_t eventId, const ThrottleKey& key, const ThrottleState& state,
              const std::vector<OutboxMessage>& messages, std::int64_t eventStartUtc) override;
    std::vector<OutboxMessage> Due(std::int64_t nowUtc, std::size_t limit) override;
    std::optional<std::int64_t> NextDueUtc() override;
    void Remove(std::int64_t id) override;
    void Retry(std::int64_t id, int failures, std::int64_t nextUtc) override;
    std::size_t Size() override;
    std::optional<std::int64_t> OldestCreatedUtc() override;
    std::optional<std::int64_t> TakenUpTo() override;
    void ForgetTakenBefore(std::int64_t utc) override;

private:
    void Exec(const char* sql);
    std::optional<std::int64_t> Number(const char* sql);  // the one value a query gives; none for NULL
    std::string path_;
    std::mutex mutex_;
    sqlite3* db_ = nullptr;
};

}  // namespace serwer

#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "notifications/Outbox.hpp"

namespace serwer {

// The outbox in a PostgreSQL database that several servers may share: tables
// powiadomienia_wiadomosci, powiadomienia_przyjete and powiadomienia_dlawiki, like the
// SQLite file's, with a column serwer. Every row belongs to the server named in it, and
// this outbox reads and writes only those of its own server: its messages, its events
// taken (and so its TakenUpTo) and its throttles. The tables are made and upgraded by
// the outbox (its row "powiadomienia" in wersja_schematu).
//
// One connection, used by one call at a time. A call that finds the connection lost
// resets it once and tries again; a commit whose outcome is unknown is not repeated.
class PostgresOutbox : public Outbox {
public:
    // Connects (a libpq URI) and creates the tables or checks their version. Fails with
    // ServerError when the database cannot be reached or has a schema newer than this
    // program knows.
    PostgresOutbox(const std::string& uri, const std::string& serverName);
    ~PostgresOutbox() override;
    PostgresOutbox(const PostgresOutbox&) = delete;
    PostgresOutbox& operator=(const PostgresOutbox&) = delete;

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

    struct State;  // the connection

private:
    // The one value of a query on this server's rows of a table ("MIN(nastepna)"); none for NULL.
    std::optional<std::int64_t> Number(const std::string& value, const char* table, const std::string& what);
    std::unique_ptr<State> state_;
    std::string server_;
};

}  // namespace serwer

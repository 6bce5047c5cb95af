#pragma once
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "events/EventType.hpp"
#include "notifications/Throttle.hpp"

struct sqlite3;

namespace serwer {

// A notification waiting for its receiver to accept it.
struct OutboxMessage {
    std::int64_t id = 0;          // the outbox's own number
    std::uint64_t eventId = 0;
    std::string rule;
    std::string channel;          // "email" or "webhook"
    std::string address;          // the mail address or the URL
    std::string headers;          // a webhook's own header lines ("Name: value\n")
    std::string body;             // the whole mail message, or the webhook's JSON
    std::int64_t createdUtc = 0;
    int failures = 0;
    std::int64_t nextUtc = 0;     // when it is tried (again)
};

struct ThrottleKey {
    std::string rule, vehicle;
    EventType type;
};

// The notifications not yet accepted, in an SQLite file (powiadomienia.sqlite), written
// with a full sync before they are sent: they survive restarts and a kill. Beside them,
// which events each rule has taken (so an event read again is not told twice) and the
// throttles' states. Safe to use from several threads. Fails with ServerError.
class Outbox {
public:
    explicit Outbox(const std::string& path);
    ~Outbox();
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    bool Taken(std::uint64_t eventId, const std::string& rule);
    ThrottleState Throttle(const ThrottleKey& key);
    // In one transaction: the event noted as taken by the rule, the throttle's new state
    // and the messages made (none when it was held back); eventStartUtc is the event's start.
    void Take(std::uint64_t eventId, const ThrottleKey& key, const ThrottleState& state,
              const std::vector<OutboxMessage>& messages, std::int64_t eventStartUtc);

    // The messages due at nowUtc, the earliest first.
    std::vector<OutboxMessage> Due(std::int64_t nowUtc, std::size_t limit);
    std::optional<std::int64_t> NextDueUtc();
    void Remove(std::int64_t id);  // accepted, or given up
    void Retry(std::int64_t id, int failures, std::int64_t nextUtc);

    std::size_t Size();
    std::optional<std::int64_t> OldestCreatedUtc();

    // The start time of the latest event taken (where a restart looks back from).
    std::optional<std::int64_t> TakenUpTo();
    // Forgets which events were taken before utc (they are never read again).
    void ForgetTakenBefore(std::int64_t utc);

private:
    void Exec(const char* sql);
    std::optional<std::int64_t> Number(const char* sql);  // the one value a query gives; none for NULL
    std::string path_;
    std::mutex mutex_;
    sqlite3* db_ = nullptr;
};

}  // namespace serwer

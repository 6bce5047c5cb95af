#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "events/EventType.hpp"
#include "notifications/Throttle.hpp"

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

// The notifications not yet accepted, kept durably before they are sent: they survive
// restarts and a kill. Beside them, which events each rule has taken (so an event read
// again is not told twice) and the throttles' states. Safe to use from several threads.
// Fails with ServerError.
class Outbox {
public:
    virtual ~Outbox() = default;

    virtual bool Taken(std::uint64_t eventId, const std::string& rule) = 0;
    virtual ThrottleState Throttle(const ThrottleKey& key) = 0;
    // In one transaction: the event noted as taken by the rule, the throttle's new state
    // and the messages made (none when it was held back); eventStartUtc is the event's start.
    virtual void Take(std::uint64_t eventId, const ThrottleKey& key, const ThrottleState& state,
                      const std::vector<OutboxMessage>& messages, std::int64_t eventStartUtc) = 0;

    // The messages due at nowUtc, the earliest first.
    virtual std::vector<OutboxMessage> Due(std::int64_t nowUtc, std::size_t limit) = 0;
    virtual std::optional<std::int64_t> NextDueUtc() = 0;
    virtual void Remove(std::int64_t id) = 0;  // accepted, or given up
    virtual void Retry(std::int64_t id, int failures, std::int64_t nextUtc) = 0;

    virtual std::size_t Size() = 0;
    virtual std::optional<std::int64_t> OldestCreatedUtc() = 0;

    // The start time of the latest event taken (where a restart looks back from).
    virtual std::optional<std::int64_t> TakenUpTo() = 0;
    // Forgets which events were taken before utc (they are never read again).
    virtual void ForgetTakenBefore(std::int64_t utc) = 0;
};

// The outbox in the SQLite file at sqlitePath (SqliteOutbox) or, when databaseUri names
// a PostgreSQL database, this server's part of the outbox there (PostgresOutbox).
std::unique_ptr<Outbox> OpenOutbox(const std::string& sqlitePath, const std::string& databaseUri,
                                   const std::string& serverName);

}  // namespace serwer

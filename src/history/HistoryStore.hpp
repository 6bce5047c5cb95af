#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "events/Event.hpp"
#include "history/HistoryRecord.hpp"
#include "history/TrackPoint.hpp"

namespace serwer {

// Which rows a query returns: one vehicle or all, fix times in [fromUtc, toUtc), and the
// rows without a fix time that were received in it.
struct HistoryQuery {
    std::optional<std::string> registration;  // none: every vehicle
    std::int64_t fromUtc = 0;
    std::int64_t toUtc = 0;
};

// Which events a query returns: one vehicle or all, one type or all, and those that
// started in [fromUtc, toUtc).
struct EventQuery {
    std::optional<std::string> registration;
    std::optional<EventType> type;
    std::int64_t fromUtc = 0;
    std::int64_t toUtc = 0;
    std::size_t limit = 0;  // at most this many, the earliest; 0: all
};

// Where the history is kept. The server writes through this interface only, so a
// database server can take the place of the files on one machine.
class HistoryStore {
public:
    virtual ~HistoryStore() = default;

    // Adds the rows and returns once they are durable. Fails with ServerError (the
    // text says why); then none of the rows is kept.
    virtual void Append(const std::vector<HistoryRecord>& rows) = 0;

    // The rows with a fix time in the range and those without one received in it,
    // ordered by registration and time: the fix time, or for a row without one the time
    // it was received.
    virtual std::vector<HistoryRecord> Query(const HistoryQuery& query) = 0;

    // The points with a fix time in the range, to the visitor (TrackVisitor says in
    // which order). This one reads them through Query; a store that can read less
    // gives its own.
    virtual void ScanTrack(const TrackQuery& query, TrackVisitor& visitor);

    // Adds or replaces (by id: an interval's end replaces its start) the events, and
    // returns once they are durable. Fails with ServerError; then none is kept.
    virtual void AppendEvents(const std::vector<Event>& events) = 0;
    // The events that started in the range, ordered by start (then id).
    virtual std::vector<Event> QueryEvents(const EventQuery& query) = 0;
    // Removes the events that started in the range (before they are computed again).
    virtual void RemoveEvents(const EventQuery& query) = 0;

    // Every vehicle's last position written, by registration, when the store keeps them
    // (a database that several servers share); nothing otherwise.
    virtual std::optional<std::vector<HistoryRecord>> LastPositions() { return std::nullopt; }

    // Drops what is older than keepDays days before nowUtc, in whole units of storage
    // (a row may stay somewhat longer, never shorter). keepDays 0 keeps everything.
    // Returns how many units were dropped.
    virtual int Prune(int keepDays, std::int64_t nowUtc) = 0;
};

}  // namespace serwer

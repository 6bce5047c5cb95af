#pragma once
#include <vector>

#include "events/EventDetector.hpp"
#include "history/HistoryRecord.hpp"

namespace serwer {

// The events of stored positions computed again (after the zones or the limits
// changed): the rows (ordered by vehicle and time, as a query gives them) go through
// fresh detectors, each vehicle's from its first row in them, silence found between two
// rows received that far apart. One event per id, in its last state (an interval that
// ended, ended), ordered by start. Overdue reads are not among them: they depend on the
// table, not on the positions.
std::vector<Event> ReplayEvents(const std::vector<HistoryRecord>& rows, const EventInputs& in);

// The types ReplayEvents computes.
std::vector<EventType> ReplayedEventTypes();

}  // namespace serwer

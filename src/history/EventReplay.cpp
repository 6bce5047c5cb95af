#include "history/EventReplay.hpp"

#include <algorithm>
#include <map>

namespace serwer {

std::vector<Event> ReplayEvents(const std::vector<HistoryRecord>& rows, const EventInputs& in) {
    std::map<std::string, VehicleEventState> states;
    std::map<std::uint64_t, Event> byId;
    const auto keep = [&](std::vector<Event> events) {
        for (Event& e : events) byId[e.id] = std::move(e);
    };
    for (const HistoryRecord& row : rows) {
        if (row.raw.size() != kRecordSize) continue;
        VehicleEventState& state = states[row.registration];
        keep(DetectSilence(state, row.registration, row.receivedUtc, in));
        keep(DetectPosition(state, DecodePosition(row.raw, in.decimalSeparator), row.receivedUtc, in));
    }
    std::vector<Event> events;
    events.reserve(byId.size());
    for (auto& [id, e] : byId) events.push_back(std::move(e));
    std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) {
        return a.startUtc != b.startUtc ? a.startUtc < b.startUtc : a.id < b.id;
    });
    return events;
}

std::vector<EventType> ReplayedEventTypes() {
    std::vector<EventType> types;
    for (int t = 0; t < kEventTypeCount; ++t)
        if (static_cast<EventType>(t) != EventType::ZaleglyOdczyt) types.push_back(static_cast<EventType>(t));
    return types;
}

}  // namespace serwer

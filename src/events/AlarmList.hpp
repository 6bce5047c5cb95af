#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <set>
#include <unordered_set>
#include <vector>

#include "events/Event.hpp"
#include "events/EventType.hpp"

namespace serwer {

// The alarms a dispatcher has not yet acknowledged: the events of the chosen types, in
// the order they came, newest last. An interval's end (the same id) brings its values
// up to date in place; once acknowledged, neither it nor its end comes back.
class AlarmList {
public:
    static constexpr std::size_t kDefaultCapacity = 1000;

    explicit AlarmList(std::set<EventType> types, std::size_t capacity = kDefaultCapacity)
        : types_(std::move(types)), capacity_(capacity) {}

    // True when the list changed. Beyond the capacity the oldest alarm is dropped.
    bool Add(const Event& event);
    // True when an alarm of that id was waiting.
    bool Acknowledge(std::uint64_t id);
    const std::deque<Event>& Pending() const { return pending_; }
    bool Watches(EventType type) const { return types_.count(type) != 0; }

private:
    std::set<EventType> types_;
    std::size_t capacity_;
    std::deque<Event> pending_;
    std::unordered_set<std::uint64_t> acknowledged_;  // kept until the list has seen twice its capacity
    std::deque<std::uint64_t> acknowledgedOrder_;
};

// Alarmy's default: speeding, zones, a fuel drop, silence and the named inputs.
std::set<EventType> DefaultAlarmTypes();

}  // namespace serwer

#include "events/AlarmList.hpp"

#include <algorithm>

namespace serwer {

bool AlarmList::Add(const Event& event) {
    if (!Watches(event.type) || acknowledged_.count(event.id)) return false;
    const auto same = std::find_if(pending_.begin(), pending_.end(), [&](const Event& e) { return e.id == event.id; });
    if (same != pending_.end()) {
        *same = event;
        return true;
    }
    pending_.push_back(event);
    if (pending_.size() > capacity_) pending_.pop_front();
    return true;
}

bool AlarmList::Acknowledge(std::uint64_t id) {
    const auto it = std::find_if(pending_.begin(), pending_.end(), [&](const Event& e) { return e.id == id; });
    if (it == pending_.end()) return false;
    pending_.erase(it);
    if (acknowledged_.insert(id).second) acknowledgedOrder_.push_back(id);
    // An interval ends within a day; the ids of long acknowledged alarms are not needed.
    while (acknowledgedOrder_.size() > 2 * capacity_) {
        acknowledged_.erase(acknowledgedOrder_.front());
        acknowledgedOrder_.pop_front();
    }
    return true;
}

std::set<EventType> DefaultAlarmTypes() {
    return {EventType::PrzekroczeniePredkosci, EventType::WjazdDoStrefy, EventType::WyjazdZeStrefy,
            EventType::SpadekPaliwa, EventType::BrakPozycji, EventType::Wejscie};
}

}  // namespace serwer

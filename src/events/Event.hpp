#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "events/EventType.hpp"

namespace serwer {

// One event of one vehicle. Times are UTC seconds: fix times, except for the events of
// the clock (brak_pozycji, zalegly_odczyt), which take the moment they were found. An
// interval (speeding, idling, a refuel or a fuel drop, a loss of GPS, silence) is raised
// when it starts, without an end, and raised again with the same id when it ends.
// Texts are Windows-1250 bytes.
struct Event {
    std::uint64_t id = 0;  // the same for the start and the end of an interval (EventId)
    EventType type = EventType::Zaplon;
    std::string registration;
    std::int64_t startUtc = 0;
    std::optional<std::int64_t> endUtc;  // an interval's end; none while it is open and for a moment's event
    bool interval = false;
    std::optional<double> latitude, longitude;  // where it started
    std::string zone;                           // the zone it concerns or happened in; empty: none
    // By type: the highest speed (km/h), the fuel change (percentage points), the input's
    // new state (1 or 0), the minutes of idling or silence, the odometer mark (km).
    std::optional<double> value;
    std::optional<double> limit;       // the speed limit (km/h)
    std::optional<double> distanceKm;  // the distance of a speeding interval
    std::optional<double> litres;      // a fuel change in litres, where the tank is known
    std::string detail;                // the input's name, or the new driver
    std::string text;                  // what happened, in Polish (without the registration)

    bool Open() const { return interval && !endUtc; }
    bool operator==(const Event&) const = default;
};

// The id of an event: the same for the same vehicle, type, start and zone or detail, so
// that an interval's end replaces its start and a day computed again gives the same ids.
// Fits a signed 64-bit integer.
std::uint64_t EventId(EventType type, const std::string& registration, std::int64_t startUtc,
                      const std::string& zoneOrDetail);

}  // namespace serwer

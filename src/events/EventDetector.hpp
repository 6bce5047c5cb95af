#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "events/Event.hpp"
#include "events/EventSettings.hpp"
#include "events/VehicleEventState.hpp"
#include "events/Zones.hpp"
#include "link/DecodedPosition.hpp"

namespace serwer {

// The detectors of one vehicle: pure functions of its state and what comes in (a
// position, or the clock's tick), returning the events raised. No I/O and no clock of
// their own, so a stored day can be run through them again.
struct EventInputs {
    const EventSettings& settings;
    const ZoneSet& zones;
    char decimalSeparator = ',';
};

// A position in fix-time order. One older than the newest fix seen raises nothing and
// changes nothing but the time of the last position received; so does one without a
// fix time.
std::vector<Event> DetectPosition(VehicleEventState& state, const DecodedPosition& position,
                                  std::int64_t receivedUtc, const EventInputs& in);

// The minute's tick: brak_pozycji once no position has come for BrakPozycjiMin.
std::vector<Event> DetectSilence(VehicleEventState& state, const std::string& registration, std::int64_t nowUtc,
                                 const EventInputs& in);

// The daily check of memory reads: zalegly_odczyt when reads are on and the last
// completed read (UTC; none: never) is more than OdczytDni days old; at most once a
// Polish calendar day.
std::vector<Event> DetectOverdueRead(VehicleEventState& state, const std::string& registration, bool readsOn,
                                     std::optional<std::int64_t> lastReadUtc, std::int64_t nowUtc,
                                     const EventInputs& in);

// The pane's line of an event: "WA12345: przekroczenie prędkości 112 km/h (limit 90) od 14:02".
std::string EventLine(const Event& event);

}  // namespace serwer

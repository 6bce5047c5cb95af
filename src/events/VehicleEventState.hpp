#pragma once
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "events/Event.hpp"

namespace serwer {

// What the detectors remember of one vehicle between its positions. Plain values only,
// so that it can be stored and a restart goes on where it was (an open interval is
// ended once, not twice).
struct VehicleEventState {
    std::optional<std::int64_t> newestFixUtc;  // positions older than this raise nothing
    std::optional<std::int64_t> lastReceivedUtc;
    std::optional<double> lastLatitude, lastLongitude;  // the last position with a fix

    // Speeding: the interval (raised once speedAbove reaches PredkoscPozycje).
    int speedAbove = 0;
    std::optional<Event> speeding;

    // Zones, by name: whether the vehicle is in it, and how many positions in a row
    // have said otherwise.
    struct ZoneMembership {
        bool inside = false;
        int against = 0;
    };
    std::map<std::string, ZoneMembership> zones;

    std::optional<bool> engineOn;
    std::optional<Event> idling;  // raised once it lasts PostojSilnikMin
    bool idlingRaised = false;

    // Fuel: the last readings (percent), the level changes are measured from, the last
    // moment the vehicle stood, and an open refuel or drop.
    std::vector<int> fuelReadings;  // at most 3, oldest first
    std::optional<double> fuelReference;
    std::optional<std::int64_t> lastStandingUtc;
    std::optional<Event> fuelChange;

    std::optional<std::string> driver;
    int withoutFix = 0;
    std::optional<Event> gpsLoss;
    std::optional<std::array<bool, 3>> inputs;
    std::optional<Event> silence;  // brak_pozycji while it lasts
    std::optional<std::int64_t> overdueReadDay;  // the Polish day (days since 1970) it was last raised
    std::optional<std::int64_t> odometerKm;

    bool operator==(const VehicleEventState&) const = default;
};

}  // namespace serwer

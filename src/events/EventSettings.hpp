#pragma once
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "events/AlarmList.hpp"
#include "events/EventType.hpp"

namespace serwer {

// What the detectors go by: the defaults of [Zdarzenia] and the sections [Pojazd NAZWA]
// of serwer.ini. Names are Windows-1250 bytes.
struct EventSettings {
    bool enabled = true;
    double speedLimitKmh = 0;    // Predkosc: 0 is no limit
    int speedPositions = 1;      // PredkoscPozycje
    int zonePositions = 1;       // StrefaPozycje
    int idleMinutes = 10;        // PostojSilnikMin
    int refuelPoints = 10;       // TankowanieProcent
    int fuelDropPoints = 8;      // SpadekPaliwaProcent
    int silenceMinutes = 60;     // BrakPozycjiMin
    int overdueReadDays = 2;     // OdczytDni
    std::array<std::string, 3> inputNames;  // Wejscie1..Wejscie3; empty: the input raises nothing
    std::set<EventType> alarms = DefaultAlarmTypes();  // Alarmy: the types the window's alarm list takes
    std::vector<std::string> unknownAlarmNames;         // names in Alarmy that are no event type

    struct Vehicle {
        std::optional<double> speedLimitKmh;  // Predkosc
        std::optional<int> silenceMinutes;    // BrakPozycjiMin
        std::optional<double> tankLitres;     // Zbiornik
        std::optional<int> serviceEveryKm;    // PrzegladKm
        std::optional<int> serviceFromKm;     // PrzegladOd
    };
    std::map<std::string, Vehicle> vehicles;  // by registration

    const Vehicle& For(const std::string& registration) const {
        static const Vehicle kNone;
        const auto it = vehicles.find(registration);
        return it == vehicles.end() ? kNone : it->second;
    }
};

// Below this speed a vehicle stands.
constexpr double kStandingKmh = 5.0;
// A GPS loss is the third position in a row without a fix.
constexpr int kPositionsWithoutFix = 3;
// Fuel changes count while standing and this long after a stop.
constexpr std::int64_t kFuelAfterStopSeconds = 30 * 60;

}  // namespace serwer

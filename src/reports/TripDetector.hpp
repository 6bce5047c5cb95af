#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "reports/ReportSettings.hpp"
#include "reports/Step.hpp"

namespace serwer {

// A way between two stops. Times are UTC seconds; texts Windows-1250 bytes.
struct Trip {
    std::int64_t startUtc = 0, endUtc = 0;
    Place from, to;
    double km = 0;
    double maxSpeedKmh = 0;
    std::vector<std::string> drivers;  // the identifiers seen on the way, in order, without repeats
    double fuelFall = 0;  // the level's fall over the trip (percentage points), a refuel's rise included
    bool fuelKnown = false;  // the level was read on the way
};

// A time the vehicle stood: from the first position it stood at to the last one before
// it moved on (a gap counts as standing).
struct Stop {
    std::int64_t arrivalUtc = 0;
    std::optional<std::int64_t> departureUtc;  // none: it still stood at its last position
    std::int64_t lastSeenUtc = 0;               // its last position, or the departure
    Place place;
    std::int64_t engineSeconds = 0;  // time with the engine running
};

struct TripsAndStops {
    std::vector<Trip> trips;
    std::vector<Stop> stops;
};

// One vehicle's trips and stops, from its steps in time order. A stop is standing for
// PostojMin or longer (or, with Zaplon, any time with the engine off) and every gap of
// PrzerwaMin; a trip is what lies between two stops, at least TrasaMinKm long; a shorter
// way joins the stops on either side into one. The way before the first stop is a trip
// that starts at the first position, and the one after the last ends at the last.
class TripDetector {
public:
    explicit TripDetector(const ReportSettings& settings) : settings_(settings) {}
    void Add(const Step& step, TripsAndStops& out);
    // The trip or stop still open at the last position.
    void Finish(TripsAndStops& out);

private:
    // What accumulates over a trip, or over standing that may turn out a stop.
    struct Part {
        bool open = false;
        std::int64_t startUtc = 0, endUtc = 0;
        Place start;
        double km = 0, maxSpeedKmh = 0, fuelFall = 0;
        std::int64_t engineSeconds = 0;
        bool gap = false, fuelKnown = false;
        std::vector<std::string> drivers;
        void Take(const Step& step);
        void Join(const Part& later);
    };
    bool Standing(const Step& step);
    // The standing ended at `until` (none: at the last position): a stop, or part of the trip.
    void EndStanding(std::optional<std::int64_t> until, std::int64_t lastSeen, TripsAndStops& out);
    Trip MakeTrip(std::int64_t endUtc, Place to) const;

    ReportSettings settings_;
    bool wasStanding_ = false;  // for points without a speed
    Part trip_, standing_;
    std::optional<Stop> pending_;  // the last stop, kept until the next trip is long enough
    Place lastPlace_;
    std::int64_t lastUtc_ = 0;
};

}  // namespace serwer

#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "history/TrackPoint.hpp"

namespace serwer {

// Where a vehicle was: the last fix it had at or before a point.
struct Place {
    bool known = false;
    double latitude = 0, longitude = 0;
};

// The time from one point of a vehicle to its next, with what the first point says of
// it: trips, stops and summaries are all sums over steps.
struct Step {
    TrackPoint from, to;
    Place fromPlace, toPlace;
    std::int64_t Seconds() const { return to.timeUtc - from.timeUtc; }
    bool gap = false;  // no position for PrzerwaMin or longer: nothing is known of it
    double km = 0;     // from the last fix to the fix of `to`; 0 across a gap
    // The fall of the fuel level (median of the last 3 readings) at `to`, in percentage
    // points: negative for a rise.
    double fuelFall = 0;
    bool fuelMeasured = false;  // `to` and a point before it had a level
};

// Below this speed a vehicle stands.
constexpr double kReportStandingKmh = 5.0;

// Turns one vehicle's points, in time order, into steps.
class StepMaker {
public:
    explicit StepMaker(int gapMinutes) : gapSeconds_(std::int64_t{gapMinutes} * 60) {}
    // The step from the previous point to this one; none for the first.
    std::optional<Step> Add(const TrackPoint& point);
    // The vehicle's last point and where it was then; none before the first.
    const std::optional<TrackPoint>& Last() const { return last_; }
    Place LastPlace() const { return place_; }

private:
    std::int64_t gapSeconds_;
    std::optional<TrackPoint> last_;
    Place place_;
    Place measuredFrom_;  // the last fix the way is measured from; none after a gap
    std::vector<int> readings_;  // the last fuel readings, at most 3
    std::optional<double> level_;
};

}  // namespace serwer

#pragma once
#include <array>
#include <compare>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "common/DateTime.hpp"
#include "events/Event.hpp"
#include "reports/Step.hpp"

namespace serwer {

// What the fleet summary counts for a vehicle or a driver (over a span or a day).
struct SummaryFigures {
    double km = 0;
    std::int64_t drivingSeconds = 0;  // at 5 km/h or more
    std::int64_t idlingSeconds = 0;   // under 5 km/h with the engine running
    double maxSpeedKmh = 0;
    std::array<int, kEventTypeCount> events{};  // by EventType; speeding intervals among them
    double fuelFall = 0;                        // the level's fall, percentage points (refuels as rises)
    double refuelledPoints = 0;                 // the refuels' rises
    bool fuelKnown = false;                     // the level was read
    // What was used: the fall with the refuels put back, so a refuel is no negative use.
    double FuelUsedPoints() const { return fuelFall + refuelledPoints; }
    void Add(const SummaryFigures& other);
};

// A row of the summary: a vehicle's registration or a driver's identifier, with the
// Polish day when the summary goes by days.
struct SummaryKey {
    std::string name;
    std::optional<DateTime> day;
    auto operator<=>(const SummaryKey&) const = default;
};

// The Polish day of a UTC second, remembering the last day's bounds (a stream of points
// mostly stays within one day).
class DayFinder {
public:
    DateTime DayOf(std::int64_t utc);

private:
    std::int64_t from_ = 1, to_ = 0;
    DateTime day_;
};

// One vehicle's summary rows, from its steps in time order and its events. A step
// counts for the day and the driver of its start; an event for those at its start.
class SummaryCollector {
public:
    SummaryCollector(std::string registration, bool byDriver, bool perDay)
        : registration_(std::move(registration)), byDriver_(byDriver), perDay_(perDay) {}
    void Add(const Step& step);
    // The vehicle's first point: a vehicle heard from once has a row too.
    void AddFirst(const TrackPoint& point);
    // An event that started while `driver` drove.
    void Add(const Event& event, const std::string& driver);
    const std::map<SummaryKey, SummaryFigures>& Rows() const { return rows_; }

private:
    SummaryFigures& Row(std::int64_t utc, const std::string& driver);

    std::string registration_;
    bool byDriver_, perDay_;
    DayFinder days_;
    std::map<SummaryKey, SummaryFigures> rows_;
    // The row of the last step, found again without a look-up while key and day stay.
    SummaryFigures* last_ = nullptr;
    std::string lastDriver_;
    std::optional<DateTime> lastDay_;
};

}  // namespace serwer

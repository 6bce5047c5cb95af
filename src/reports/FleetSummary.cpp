#include "reports/FleetSummary.hpp"

#include <algorithm>

#include "common/PolishTime.hpp"

namespace serwer {

void SummaryFigures::Add(const SummaryFigures& other) {
    km += other.km;
    drivingSeconds += other.drivingSeconds;
    idlingSeconds += other.idlingSeconds;
    maxSpeedKmh = std::max(maxSpeedKmh, other.maxSpeedKmh);
    for (std::size_t i = 0; i < events.size(); ++i) events[i] += other.events[i];
    fuelFall += other.fuelFall;
    refuelledPoints += other.refuelledPoints;
    fuelKnown = fuelKnown || other.fuelKnown;
}

DateTime DayFinder::DayOf(std::int64_t utc) {
    if (utc < from_ || utc >= to_) {
        day_ = PolishWallTime(utc).Date();
        from_ = UtcSecondOfPolish(day_);
        to_ = UtcSecondOfPolish(DateTime::FromMs(day_.Ms() + 36 * 3600 * DateTime::kMsPerSecond).Date());
        if (utc < from_ || utc >= to_) from_ = to_ = utc;  // not found again: no caching
    }
    return day_;
}

SummaryFigures& SummaryCollector::Row(std::int64_t utc, const std::string& driver) {
    std::optional<DateTime> day;
    if (perDay_) day = days_.DayOf(utc);
    if (last_ && day == lastDay_ && (!byDriver_ || driver == lastDriver_)) return *last_;
    last_ = &rows_[SummaryKey{byDriver_ ? driver : registration_, day}];  // a map keeps its elements in place
    lastDay_ = day;
    lastDriver_ = driver;
    return *last_;
}

void SummaryCollector::Add(const Step& step) {
    SummaryFigures& row = Row(step.from.timeUtc, step.from.driver);
    for (const auto& speed : {step.from.speedKmh, step.to.speedKmh})
        if (speed) row.maxSpeedKmh = std::max(row.maxSpeedKmh, *speed);
    row.km += step.km;
    row.fuelFall += step.fuelFall;
    row.fuelKnown = row.fuelKnown || step.fuelMeasured;
    if (step.gap || !step.from.speedKmh) return;
    if (*step.from.speedKmh >= kReportStandingKmh)
        row.drivingSeconds += step.Seconds();
    else if (step.from.engineOn)
        row.idlingSeconds += step.Seconds();
}

void SummaryCollector::AddFirst(const TrackPoint& point) {
    SummaryFigures& row = Row(point.timeUtc, point.driver);
    if (point.speedKmh) row.maxSpeedKmh = std::max(row.maxSpeedKmh, *point.speedKmh);
}

void SummaryCollector::Add(const Event& event, const std::string& driver) {
    SummaryFigures& row = Row(event.startUtc, driver);
    ++row.events[static_cast<std::size_t>(event.type)];
    if (event.type == EventType::Tankowanie && event.value) row.refuelledPoints += *event.value;
}

}  // namespace serwer

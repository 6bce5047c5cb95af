#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "common/DateTime.hpp"
#include "history/HistoryRecord.hpp"

namespace serwer {

// Speeds from this value up count as moving.
constexpr double kMovingSpeedKmh = 5.0;

// One vehicle's day (a Polish calendar day) in the history.
struct DaySummary {
    std::string registration;  // Windows-1250 bytes
    DateTime day;              // the local date at 00:00
    int positions = 0;
    double distanceKm = 0.0;  // great-circle, between consecutive fixes with GPS (HasFix) of the day
    HistoryRecord first, last;
    double maxSpeedKmh = 0.0;
    std::int64_t movingSeconds = 0;    // time from a position with speed >= kMovingSpeedKmh to the next
    std::int64_t standingSeconds = 0;  // the rest of the time from the first to the last position
};

// The great-circle distance in kilometres (haversine, mean Earth radius 6371.0088 km).
double GreatCircleKm(double lat1, double lon1, double lat2, double lon2);

// Summaries per vehicle and Polish day (of the local fix time), ordered by registration and
// day; rows without a fix time are skipped. Nothing crosses midnight: the way and the time
// from one day's last position to the next day's first belong to neither day.
std::vector<DaySummary> SummarizeDays(const std::vector<HistoryRecord>& rows);

}  // namespace serwer

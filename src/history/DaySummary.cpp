#include "history/DaySummary.hpp"

#include <algorithm>
#include <cmath>

#include "common/PolishTime.hpp"

namespace serwer {

namespace {

constexpr double kEarthRadiusKm = 6371.0088;
constexpr double kPi = 3.14159265358979323846;

double Radians(double degrees) { return degrees * kPi / 180.0; }

DateTime LocalDay(std::int64_t fixTimeUtc) { return PolishWallTime(fixTimeUtc).Date(); }

// One vehicle's rows of one local day, in fix-time order, all with a fix time.
DaySummary Summarize(const std::vector<const HistoryRecord*>& day) {
    DaySummary s;
    s.registration = day.front()->registration;
    s.day = LocalDay(*day.front()->fixTimeUtc);
    s.positions = static_cast<int>(day.size());
    s.first = *day.front();
    s.last = *day.back();
    const HistoryRecord* previousFix = nullptr;
    for (std::size_t i = 0; i < day.size(); ++i) {
        const HistoryRecord& row = *day[i];
        if (row.speedKmh) s.maxSpeedKmh = std::max(s.maxSpeedKmh, *row.speedKmh);
        if (i + 1 < day.size() && row.speedKmh && *row.speedKmh >= kMovingSpeedKmh)
            s.movingSeconds += *day[i + 1]->fixTimeUtc - *row.fixTimeUtc;
        if (!row.HasFix()) continue;
        if (previousFix)
            s.distanceKm +=
                GreatCircleKm(*previousFix->latitude, *previousFix->longitude, *row.latitude, *row.longitude);
        previousFix = &row;
    }
    s.standingSeconds = *s.last.fixTimeUtc - *s.first.fixTimeUtc - s.movingSeconds;
    return s;
}

}  // namespace

double GreatCircleKm(double lat1, double lon1, double lat2, double lon2) {
    const double dLat = Radians(lat2 - lat1);
    const double dLon = Radians(lon2 - lon1);
    const double a = std::sin(dLat / 2) * std::sin(dLat / 2) +
                     std::cos(Radians(lat1)) * std::cos(Radians(lat2)) * std::sin(dLon / 2) * std::sin(dLon / 2);
    return 2 * kEarthRadiusKm * std::asin(std::min(1.0, std::sqrt(a)));
}

std::vector<DaySummary> SummarizeDays(const std::vector<HistoryRecord>& rows) {
    // The order is made sure of here, so that a day is one run of rows.
    std::vector<const HistoryRecord*> timed;
    for (const HistoryRecord& row : rows)
        if (row.fixTimeUtc) timed.push_back(&row);
    std::stable_sort(timed.begin(), timed.end(), [](const HistoryRecord* a, const HistoryRecord* b) {
        if (a->registration != b->registration) return a->registration < b->registration;
        return *a->fixTimeUtc < *b->fixTimeUtc;
    });

    std::vector<DaySummary> summaries;
    std::vector<const HistoryRecord*> day;
    for (const HistoryRecord* row : timed) {
        if (!day.empty() && (row->registration != day.front()->registration ||
                             LocalDay(*row->fixTimeUtc) != LocalDay(*day.front()->fixTimeUtc))) {
            summaries.push_back(Summarize(day));
            day.clear();
        }
        day.push_back(row);
    }
    if (!day.empty()) summaries.push_back(Summarize(day));
    return summaries;
}

}  // namespace serwer

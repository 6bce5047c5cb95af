#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "history/HistoryRecord.hpp"

namespace serwer {

// A stored position as the reports read it: only what they go by, without the record.
// Texts are Windows-1250 bytes.
struct TrackPoint {
    std::string registration;
    std::int64_t timeUtc = 0;  // the fix time
    double latitude = 0, longitude = 0;
    bool fix = false;  // GPS "OK" with both coordinates on the globe
    std::optional<double> speedKmh;
    bool engineOn = false;
    std::optional<int> fuelPercent;  // the level the fuel text gives ("Sonda-42 %"), 0..100
    std::string driver;
    bool operator==(const TrackPoint&) const = default;
};

// Which points a scan gives: those with a fix time in [fromUtc, toUtc), of the vehicles
// named, or of all when none is.
struct TrackQuery {
    std::vector<std::string> registrations;
    std::int64_t fromUtc = 0;
    std::int64_t toUtc = 0;
};

// What a scan gives its points to. Each vehicle's points come in fix time order
// (equal times in the order they were received); the vehicles' points may come
// interleaved. When Restart names a vehicle, what was given of it is to be forgotten:
// all its points come again, in order.
class TrackVisitor {
public:
    virtual ~TrackVisitor() = default;
    virtual void Point(const TrackPoint& point) = 0;
    virtual void Restart(const std::string& registration) = 0;
};

// The level of a fuel text of the history ("Plywak-57 %", "Sonda-42 %"); nothing for
// one without a level ("Plywak-", "Sonda-błąd", empty).
std::optional<int> FuelPercentOfText(const std::string& fuel);

// The point of a history row; nothing for a row without a fix time.
std::optional<TrackPoint> TrackPointOf(const HistoryRecord& row);

}  // namespace serwer

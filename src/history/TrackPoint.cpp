#include "history/TrackPoint.hpp"

namespace serwer {

std::optional<int> FuelPercentOfText(const std::string& fuel) {
    const auto dash = fuel.find('-');
    if (dash == std::string::npos || !fuel.ends_with(" %")) return std::nullopt;
    const std::size_t begin = dash + 1, end = fuel.size() - 2;
    if (end <= begin || end - begin > 3) return std::nullopt;
    int value = 0;
    for (std::size_t i = begin; i < end; ++i) {
        if (fuel[i] < '0' || fuel[i] > '9') return std::nullopt;
        value = value * 10 + (fuel[i] - '0');
    }
    if (value > 100) return std::nullopt;
    return value;
}

std::optional<TrackPoint> TrackPointOf(const HistoryRecord& row) {
    if (!row.fixTimeUtc) return std::nullopt;
    TrackPoint p;
    p.registration = row.registration;
    p.timeUtc = *row.fixTimeUtc;
    p.fix = row.HasFix();
    if (row.HasCoordinates()) p.latitude = *row.latitude, p.longitude = *row.longitude;
    p.speedKmh = row.speedKmh;
    p.engineOn = row.engineOn;
    p.fuelPercent = FuelPercentOfText(row.fuel);
    p.driver = row.driver;
    return p;
}

}  // namespace serwer

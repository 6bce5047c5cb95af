#pragma once
// Zones for the benchmarks: a strefy.geojson of n zones around Warsaw.
#include <cstdio>
#include <string>

namespace serwer {
namespace bench {

// Zones on a grid over 52.0..52.5 N, 20.7..21.3 E: squares of 0.04° and circles of 2 km.
inline std::string ZonesGeoJson(int zones) {
    std::string out = R"({"type":"FeatureCollection","features":[)";
    for (int i = 0; i < zones; ++i) {
        const double lat = 52.0 + 0.05 * (i % 10), lon = 20.7 + 0.06 * ((i / 10) % 10);
        char feature[512];
        if (i % 2 == 0)
            std::snprintf(feature, sizeof feature,
                          R"({"type":"Feature","properties":{"nazwa":"S%d"%s},"geometry":{"type":"Polygon",)"
                          R"("coordinates":[[[%.4f,%.4f],[%.4f,%.4f],[%.4f,%.4f],[%.4f,%.4f],[%.4f,%.4f]]]}})",
                          i, i % 4 == 0 ? R"(,"predkosc":50)" : "", lon, lat, lon + 0.04, lat, lon + 0.04,
                          lat + 0.04, lon, lat + 0.04, lon, lat);
        else
            std::snprintf(feature, sizeof feature,
                          R"({"type":"Feature","properties":{"nazwa":"K%d","promien":2000},)"
                          R"("geometry":{"type":"Point","coordinates":[%.4f,%.4f]}})",
                          i, lon + 0.02, lat + 0.02);
        out += (i ? "," : "") + std::string(feature);
    }
    return out + "]}";
}

}  // namespace bench
}  // namespace serwer

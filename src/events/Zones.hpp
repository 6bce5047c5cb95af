#pragma once
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/ServerError.hpp"

namespace serwer {

// One zone of strefy.geojson: a polygon (with holes), several, or a circle. Texts are
// Windows-1250 bytes.
struct Zone {
    std::string name;                      // "nazwa"
    std::optional<double> speedLimit;      // "predkosc", km/h
    std::vector<std::string> vehicles;     // "pojazdy": the registrations it applies to; empty: all
    bool AppliesTo(const std::string& registration) const;
};

// A zone file that cannot be used; the text (Windows-1250) says where and why.
class ZoneFileError : public ServerError {
public:
    using ServerError::ServerError;
};

// The zones, with an R-tree of their bounding boxes, so that finding the zones of a
// point costs little however many there are. Immutable once built; shared by readers.
class ZoneSet {
public:
    ZoneSet();
    ~ZoneSet();
    ZoneSet(ZoneSet&&) noexcept;
    ZoneSet& operator=(ZoneSet&&) noexcept;

    // A GeoJSON FeatureCollection (RFC 7946, UTF-8, longitude first) of Polygons,
    // MultiPolygons and Points with "promien" (metres) for circles; every feature needs
    // "nazwa". Throws ZoneFileError.
    static ZoneSet FromGeoJson(const std::string& text);

    std::size_t Size() const;
    const Zone& At(std::size_t index) const;
    // The indexes of the zones that hold the point (their border included), ascending.
    std::vector<std::size_t> ZonesAt(double latitude, double longitude) const;
    // Whether a zone of that name is in the set, and the lowest speed limit of the zones
    // of that name (none: no limit).
    bool Has(const std::string& name) const;
    std::optional<double> SpeedLimitOf(const std::string& name) const;
    // True when the zone holds the point.
    bool Holds(std::size_t index, double latitude, double longitude) const;
    // The file as it was read (UTF-8), for the web page; an empty collection without one.
    const std::string& GeoJson() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The features of a zone file (UTF-8 GeoJSON, as GeoJson() gives it) that apply to any of
// the vehicles (Windows-1250), those naming none applying to all; each one's "pojazdy"
// keeps only those vehicles, so that nobody learns of the others. An empty collection
// for a text that is not a collection.
std::string ZonesGeoJsonFor(const std::string& geoJson, const std::vector<std::string>& registrations);

// The great-circle distance in kilometres (haversine, mean Earth radius).
double DistanceKm(double lat1, double lon1, double lat2, double lon2);

}  // namespace serwer

#include "events/Zones.hpp"

#include <algorithm>
#include <cmath>
#include <map>

#include <boost/geometry.hpp>
#include <boost/geometry/geometries/box.hpp>
#include <boost/geometry/geometries/multi_polygon.hpp>
#include <boost/geometry/geometries/point_xy.hpp>
#include <boost/geometry/geometries/polygon.hpp>
#include <boost/geometry/index/rtree.hpp>
#include <nlohmann/json.hpp>

#include "common/Win1250.hpp"

namespace serwer {

namespace bg = boost::geometry;
namespace bgi = boost::geometry::index;

namespace {

// Planar longitude/latitude degrees: zones are small beside the globe, and GeoJSON
// polygons are drawn straight between their vertices in these coordinates.
using Point = bg::model::d2::point_xy<double>;
using Polygon = bg::model::polygon<Point>;
using MultiPolygon = bg::model::multi_polygon<Polygon>;
using Box = bg::model::box<Point>;
using Entry = std::pair<Box, std::size_t>;

constexpr double kEarthRadiusKm = 6371.0088;
constexpr double kKmPerDegree = kEarthRadiusKm * M_PI / 180.0;

struct Shape {
    MultiPolygon area;          // a polygon zone
    std::optional<Point> centre;  // a circle zone
    double radiusKm = 0;
};

[[noreturn]] void Fail(std::size_t feature, const std::string& why) {
    throw ZoneFileError(Cp1250("strefy.geojson: obiekt ") + std::to_string(feature + 1) + ": " + Cp1250(why));
}

Point ReadPoint(const nlohmann::json& c, std::size_t feature) {
    if (!c.is_array() || c.size() < 2 || !c[0].is_number() || !c[1].is_number())
        Fail(feature, "współrzędne punktu nie są parą liczb");
    const double lon = c[0].get<double>(), lat = c[1].get<double>();
    if (!std::isfinite(lon) || !std::isfinite(lat) || std::fabs(lon) > 180 || std::fabs(lat) > 90)
        Fail(feature, "współrzędne poza zakresem");
    return Point(lon, lat);
}

Polygon ReadPolygon(const nlohmann::json& rings, std::size_t feature) {
    if (!rings.is_array() || rings.empty()) Fail(feature, "wielokąt bez pierścieni");
    Polygon polygon;
    for (std::size_t r = 0; r < rings.size(); ++r) {
        if (!rings[r].is_array() || rings[r].size() < 4) Fail(feature, "pierścień wielokąta ma mniej niż 4 punkty");
        auto& ring = r == 0 ? polygon.outer() : polygon.inners().emplace_back();
        for (const auto& c : rings[r]) ring.push_back(ReadPoint(c, feature));
    }
    bg::correct(polygon);  // either orientation is taken
    return polygon;
}

// The bounding box of the outer rings (the holes lie within them).
Box Bounds(const MultiPolygon& area) {
    Box box(Point(180, 90), Point(-180, -90));
    for (const Polygon& polygon : area)
        for (const Point& p : polygon.outer()) {
            box.min_corner().x(std::min(box.min_corner().x(), p.x()));
            box.min_corner().y(std::min(box.min_corner().y(), p.y()));
            box.max_corner().x(std::max(box.max_corner().x(), p.x()));
            box.max_corner().y(std::max(box.max_corner().y(), p.y()));
        }
    return box;
}

std::string ReadName(const nlohmann::json& properties, std::size_t feature) {
    if (!properties.is_object() || !properties.contains("nazwa") || !properties["nazwa"].is_string() ||
        properties["nazwa"].get<std::string>().empty())
        Fail(feature, "brak nazwy (właściwość \"nazwa\")");
    return Cp1250(properties["nazwa"].get<std::string>());
}

}  // namespace

struct ZoneSet::Impl {
    std::vector<Zone> zones;
    std::vector<Shape> shapes;
    bgi::rtree<Entry, bgi::quadratic<16>> tree;
    std::map<std::string, std::optional<double>> limits;  // by name: the lowest limit
    std::string geoJson = "{\"type\":\"FeatureCollection\",\"features\":[]}";
};

bool Zone::AppliesTo(const std::string& registration) const {
    return vehicles.empty() || std::find(vehicles.begin(), vehicles.end(), registration) != vehicles.end();
}

ZoneSet::ZoneSet() : impl_(std::make_unique<Impl>()) {}
ZoneSet::~ZoneSet() = default;
ZoneSet::ZoneSet(ZoneSet&&) noexcept = default;
ZoneSet& ZoneSet::operator=(ZoneSet&&) noexcept = default;

ZoneSet ZoneSet::FromGeoJson(const std::string& text) {
    nlohmann::json doc;
    try {
        doc = nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception& e) {
        throw ZoneFileError(Cp1250("strefy.geojson: błędny JSON: ") + e.what());
    }
    if (!doc.is_object() || doc.value("type", "") != "FeatureCollection" || !doc.contains("features") ||
        !doc["features"].is_array())
        throw ZoneFileError(Cp1250("strefy.geojson: to nie jest kolekcja obiektów GeoJSON (FeatureCollection)"));
    ZoneSet set;
    Impl& impl = *set.impl_;
    const auto& features = doc["features"];
    std::vector<Entry> entries;
    for (std::size_t i = 0; i < features.size(); ++i) {
        const auto& f = features[i];
        if (!f.is_object() || !f.contains("geometry") || !f["geometry"].is_object())
            Fail(i, "obiekt bez geometrii");
        const auto properties = f.value("properties", nlohmann::json::object());
        Zone zone;
        zone.name = ReadName(properties, i);
        if (properties.contains("predkosc") && !properties["predkosc"].is_null()) {
            if (!properties["predkosc"].is_number() || properties["predkosc"].get<double>() <= 0)
                Fail(i, "\"predkosc\" nie jest liczbą dodatnią");
            zone.speedLimit = properties["predkosc"].get<double>();
        }
        if (properties.contains("pojazdy") && !properties["pojazdy"].is_null()) {
            if (!properties["pojazdy"].is_array()) Fail(i, "\"pojazdy\" nie jest listą");
            for (const auto& v : properties["pojazdy"]) {
                if (!v.is_string()) Fail(i, "\"pojazdy\" zawiera coś innego niż numer rejestracyjny");
                zone.vehicles.push_back(Cp1250(v.get<std::string>()));
            }
        }
        const auto& g = f["geometry"];
        const std::string type = g.value("type", "");
        const auto& coordinates = g.contains("coordinates") ? g["coordinates"] : nlohmann::json();
        Shape shape;
        Box box;
        if (type == "Polygon") {
            shape.area.push_back(ReadPolygon(coordinates, i));
            box = Bounds(shape.area);
        } else if (type == "MultiPolygon") {
            if (!coordinates.is_array() || coordinates.empty()) Fail(i, "pusty MultiPolygon");
            for (const auto& p : coordinates) shape.area.push_back(ReadPolygon(p, i));
            box = Bounds(shape.area);
        } else if (type == "Point") {
            shape.centre = ReadPoint(coordinates, i);
            if (!properties.contains("promien") || !properties["promien"].is_number() ||
                !(properties["promien"].get<double>() > 0))
                Fail(i, "punkt bez promienia (właściwość \"promien\" w metrach)");
            shape.radiusKm = properties["promien"].get<double>() / 1000.0;
            const double dLat = shape.radiusKm / kKmPerDegree;
            const double cosLat = std::max(std::cos(shape.centre->y() * M_PI / 180.0), 1e-6);
            const double dLon = std::min(180.0, dLat / cosLat);
            box = Box(Point(shape.centre->x() - dLon, shape.centre->y() - dLat),
                      Point(shape.centre->x() + dLon, shape.centre->y() + dLat));
        } else {
            Fail(i, "nieobsługiwana geometria \"" + type + "\" (tylko Polygon, MultiPolygon i Point)");
        }
        entries.emplace_back(box, impl.zones.size());
        auto [limit, added] = impl.limits.try_emplace(zone.name, zone.speedLimit);
        if (!added && zone.speedLimit && (!limit->second || *zone.speedLimit < *limit->second))
            limit->second = zone.speedLimit;
        impl.zones.push_back(std::move(zone));
        impl.shapes.push_back(std::move(shape));
    }
    impl.tree = bgi::rtree<Entry, bgi::quadratic<16>>(entries.begin(), entries.end());
    impl.geoJson = text;
    return set;
}

std::size_t ZoneSet::Size() const { return impl_->zones.size(); }
const Zone& ZoneSet::At(std::size_t index) const { return impl_->zones.at(index); }
const std::string& ZoneSet::GeoJson() const { return impl_->geoJson; }

bool ZoneSet::Has(const std::string& name) const { return impl_->limits.count(name) != 0; }

std::optional<double> ZoneSet::SpeedLimitOf(const std::string& name) const {
    const auto it = impl_->limits.find(name);
    return it == impl_->limits.end() ? std::nullopt : it->second;
}

bool ZoneSet::Holds(std::size_t index, double latitude, double longitude) const {
    const Shape& shape = impl_->shapes.at(index);
    if (shape.centre) return DistanceKm(latitude, longitude, shape.centre->y(), shape.centre->x()) <= shape.radiusKm;
    return bg::covered_by(Point(longitude, latitude), shape.area);
}

std::vector<std::size_t> ZoneSet::ZonesAt(double latitude, double longitude) const {
    std::vector<Entry> candidates;
    impl_->tree.query(bgi::covers(Point(longitude, latitude)), std::back_inserter(candidates));
    std::vector<std::size_t> found;
    for (const Entry& e : candidates)
        if (Holds(e.second, latitude, longitude)) found.push_back(e.second);
    std::sort(found.begin(), found.end());
    return found;
}

double DistanceKm(double lat1, double lon1, double lat2, double lon2) {
    using Geo = bg::model::point<double, 2, bg::cs::spherical_equatorial<bg::degree>>;
    return bg::distance(Geo(lon1, lat1), Geo(lon2, lat2), bg::strategy::distance::haversine<double>(kEarthRadiusKm));
}

std::string ZonesGeoJsonFor(const std::string& geoJson, const std::vector<std::string>& registrations) {
    nlohmann::json out = {{"type", "FeatureCollection"}, {"features", nlohmann::json::array()}};
    const nlohmann::json doc = nlohmann::json::parse(geoJson, nullptr, false);
    if (!doc.is_object() || !doc.contains("features") || !doc["features"].is_array()) return out.dump();
    std::vector<std::string> names;  // as the file spells them
    for (const std::string& r : registrations) names.push_back(Cp1250ToUtf8(r));
    for (nlohmann::json feature : doc["features"]) {
        if (!feature.is_object()) continue;
        auto properties = feature.find("properties");
        if (properties != feature.end() && properties->is_object() && properties->contains("pojazdy") &&
            (*properties)["pojazdy"].is_array() && !(*properties)["pojazdy"].empty()) {
            nlohmann::json kept = nlohmann::json::array();
            for (const auto& v : (*properties)["pojazdy"])
                if (v.is_string() && std::find(names.begin(), names.end(), v.get<std::string>()) != names.end())
                    kept.push_back(v);
            if (kept.empty()) continue;
            (*properties)["pojazdy"] = std::move(kept);
        }
        out["features"].push_back(std::move(feature));
    }
    return out.dump();
}

}  // namespace serwer

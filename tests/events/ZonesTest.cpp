#include <gtest/gtest.h>

#include "common/Win1250.hpp"
#include "events/Zones.hpp"

using namespace serwer;

// Polygons (either orientation, with a hole), multipolygons and circles; a zone's
// border belongs to it; "pojazdy" limits a zone to its vehicles.
TEST(Zones, PolygonsWithHolesMultipolygonsAndCircles) {
    const ZoneSet zones = ZoneSet::FromGeoJson(R"({"type":"FeatureCollection","features":[
      {"type":"Feature","properties":{"nazwa":"Baza"},"geometry":{"type":"Polygon","coordinates":[
        [[20.0,52.0],[20.0,52.1],[20.1,52.1],[20.1,52.0],[20.0,52.0]],
        [[20.04,52.04],[20.06,52.04],[20.06,52.06],[20.04,52.06],[20.04,52.04]]]}},
      {"type":"Feature","properties":{"nazwa":"Łódź","predkosc":40,"pojazdy":["WA12345"]},"geometry":{"type":"MultiPolygon",
        "coordinates":[[[[19.0,51.0],[19.1,51.0],[19.1,51.1],[19.0,51.1],[19.0,51.0]]],
                       [[[19.5,51.0],[19.6,51.0],[19.6,51.1],[19.5,51.1],[19.5,51.0]]]]}},
      {"type":"Feature","properties":{"nazwa":"Stacja","promien":500},"geometry":{"type":"Point","coordinates":[21.0,52.2]}}]})");
    ASSERT_EQ(zones.Size(), 3u);
    EXPECT_EQ(zones.ZonesAt(52.02, 20.02), std::vector<std::size_t>{0});
    EXPECT_TRUE(zones.ZonesAt(52.05, 20.05).empty());  // the hole
    EXPECT_EQ(zones.ZonesAt(52.1, 20.05), std::vector<std::size_t>{0});  // on the border
    EXPECT_EQ(zones.ZonesAt(51.05, 19.55), std::vector<std::size_t>{1});
    EXPECT_TRUE(zones.ZonesAt(51.05, 19.3).empty());
    EXPECT_EQ(zones.At(1).name, Cp1250("Łódź"));
    EXPECT_EQ(zones.SpeedLimitOf(Cp1250("Łódź")), 40.0);
    EXPECT_TRUE(zones.At(1).AppliesTo("WA12345"));
    EXPECT_FALSE(zones.At(1).AppliesTo("KR1"));
    EXPECT_EQ(zones.ZonesAt(52.2040, 21.0), std::vector<std::size_t>{2});  // 445 m north
    EXPECT_TRUE(zones.ZonesAt(52.2050, 21.0).empty());                    // 556 m north
    EXPECT_NEAR(DistanceKm(52.0, 21.0, 53.0, 21.0), 111.2, 0.1);
}

// A file that cannot be used says where and why.
TEST(Zones, BadFilesAreRefusedWithTheReason) {
    auto error = [](const std::string& text) {
        try {
            ZoneSet::FromGeoJson(text);
        } catch (const ZoneFileError& e) {
            return Cp1250ToUtf8(e.what());
        }
        return std::string("accepted");
    };
    EXPECT_EQ(error("{").rfind("strefy.geojson: błędny JSON", 0), 0u);
    EXPECT_EQ(error(R"({"type":"Feature"})"),
              "strefy.geojson: to nie jest kolekcja obiektów GeoJSON (FeatureCollection)");
    EXPECT_EQ(error(R"({"type":"FeatureCollection","features":[{"type":"Feature","properties":{},
              "geometry":{"type":"Point","coordinates":[21,52]}}]})"),
              "strefy.geojson: obiekt 1: brak nazwy (właściwość \"nazwa\")");
    EXPECT_EQ(error(R"({"type":"FeatureCollection","features":[{"type":"Feature","properties":{"nazwa":"A"},
              "geometry":{"type":"Point","coordinates":[21,52]}}]})"),
              "strefy.geojson: obiekt 1: punkt bez promienia (właściwość \"promien\" w metrach)");
    EXPECT_EQ(error(R"({"type":"FeatureCollection","features":[{"type":"Feature","properties":{"nazwa":"A"},
              "geometry":{"type":"LineString","coordinates":[[21,52],[22,52]]}}]})"),
              "strefy.geojson: obiekt 1: nieobsługiwana geometria \"LineString\" (tylko Polygon, MultiPolygon i Point)");
    EXPECT_EQ(error(R"({"type":"FeatureCollection","features":[{"type":"Feature","properties":{"nazwa":"A"},
              "geometry":{"type":"Polygon","coordinates":[[[200,52],[21,53],[22,52],[200,52]]]}}]})"),
              "strefy.geojson: obiekt 1: współrzędne poza zakresem");
}

TEST(Zones, AViewersZonesAreThoseOfItsVehiclesOrOfAllAndNameNoOtherVehicle) {
    const std::string file =
        R"({"type":"FeatureCollection","features":[)"
        R"({"type":"Feature","properties":{"nazwa":"Baza","pojazdy":["WA1","KR9"]},"geometry":{"type":"Point","coordinates":[21,52]}},)"
        R"({"type":"Feature","properties":{"nazwa":"Kraków","pojazdy":["KR9"]},"geometry":{"type":"Point","coordinates":[20,50]}},)"
        R"({"type":"Feature","properties":{"nazwa":"Wszyscy"},"geometry":{"type":"Point","coordinates":[19,51]}}]})";
    EXPECT_EQ(ZonesGeoJsonFor(file, {"WA1", "WA2"}),
              R"({"features":[{"geometry":{"coordinates":[21,52],"type":"Point"},"properties":{"nazwa":"Baza",)"
              R"("pojazdy":["WA1"]},"type":"Feature"},{"geometry":{"coordinates":[19,51],"type":"Point"},)"
              R"("properties":{"nazwa":"Wszyscy"},"type":"Feature"}],"type":"FeatureCollection"})");
    EXPECT_EQ(ZonesGeoJsonFor("nie json", {"WA1"}), R"({"features":[],"type":"FeatureCollection"})");
}

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/Win1250.hpp"
#include "events/EventService.hpp"
#include "support/TestDirectory.hpp"
#include "unitsim/PositionRecordBuilder.hpp"

using namespace serwer;

namespace {
const char* const kZone = R"({"type":"FeatureCollection","features":[{"type":"Feature","properties":{"nazwa":"Baza"},
  "geometry":{"type":"Polygon","coordinates":[[[20.9,52.2],[21.1,52.2],[21.1,52.3],[20.9,52.3],[20.9,52.2]]]}}]})";
}  // namespace

// A zone file that cannot be used is reported and the previous zones stay; a good one
// is taken again. The states written at the end are read back by the next service, open
// interval and zone membership included.
TEST(EventService, BadZoneFileKeepsTheZonesAndStatesOutliveTheService) {
    TestDirectory tmp;
    const auto zones = tmp.Path() / "strefy.geojson", state = tmp.Path() / "zdarzenia-stan.json";
    std::ofstream(zones) << kZone;
    std::vector<std::string> problems;
    EventSettings settings;
    settings.speedLimitKmh = 90;
    auto make = [&] {
        return std::make_unique<EventService>(settings, zones.string(), state.string(), ',',
                                              [&](const std::string& t) { problems.push_back(Cp1250ToUtf8(t)); });
    };
    auto service = make();
    service->Load();
    ASSERT_EQ(service->Zones()->Size(), 1u);
    std::ofstream(zones) << R"({"type":"FeatureCollection","features":[{"type":"Feature","properties":{},
      "geometry":{"type":"Point","coordinates":[21,52]}}]})";
    EXPECT_FALSE(service->ReloadZonesIfChanged());
    EXPECT_EQ(problems, std::vector<std::string>{"strefy.geojson: obiekt 1: brak nazwy (właściwość \"nazwa\") (strefy bez zmian)"});
    EXPECT_EQ(service->Zones()->Size(), 1u);
    EXPECT_TRUE(service->ZoneProblem());

    std::ofstream(zones) << kZone;
    EXPECT_TRUE(service->ReloadZonesIfChanged());
    EXPECT_FALSE(service->ZoneProblem());
    PositionOptions o = SamplePosition("WA12345");
    o.latitude = CoordinateFromDegrees(52.25), o.longitude = CoordinateFromDegrees(21.0);
    o.speedHundredths = 12000;
    const auto raised = service->OnPosition(DecodePosition(BuildPositionRecord(o), ','), 0);
    ASSERT_EQ(raised.size(), 2u);  // in the zone, and speeding
    EXPECT_EQ(service->Count(EventType::PrzekroczeniePredkosci), 1u);
    service->SaveState();
    service = make();
    service->Load();
    o.minute += 1, o.speedHundredths = 1000;
    const auto ended = service->OnPosition(DecodePosition(BuildPositionRecord(o), ','), 60);
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].id, raised[1].id);
    EXPECT_TRUE(ended[0].endUtc);
}

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/Win1250.hpp"
#include "events/EventDetector.hpp"
#include "unitsim/PositionRecordBuilder.hpp"

using namespace serwer;

namespace {

// One zone, "Miasto" (limit 50), a square of 52.20..52.30 N, 20.90..21.10 E.
const char* const kCityZone = R"({"type":"FeatureCollection","features":[
 {"type":"Feature","properties":{"nazwa":"Miasto","predkosc":50},
  "geometry":{"type":"Polygon","coordinates":[[[20.9,52.2],[21.1,52.2],[21.1,52.3],[20.9,52.3],[20.9,52.2]]]}}]})";

// A vehicle's day, minute by minute (UTC, 8 Dec 2026: Polish time is an hour ahead),
// each position changing what the test says and keeping the rest.
struct Day {
    EventSettings settings;
    ZoneSet zones = ZoneSet::FromGeoJson(kCityZone);
    VehicleEventState state;
    PositionOptions o = SamplePosition("WA12345");
    int minute = 10 * 60;
    std::vector<std::string> lines;  // every event: "HH:MM type [value] [text]"

    Day() {
        o.day = 8, o.month = 12, o.year = 2026;
        o.engine = false, o.input1 = false, o.speedHundredths = 0;
        o.fuelSensorType = 0, o.fuelReading = 80;  // probe at 40 %
        At(52.10, 21.00);
    }
    void At(double lat, double lon) {
        o.latitude = CoordinateFromDegrees(lat);
        o.longitude = CoordinateFromDegrees(lon);
    }
    DecodedPosition Next() {
        o.hour = minute / 60, o.minute = minute % 60;
        ++minute;
        return DecodePosition(BuildPositionRecord(o), ',');
    }
    void Send(int times = 1) {
        for (int i = 0; i < times; ++i) Record(DetectPosition(state, Next(), 0, {settings, zones, ','}));
    }
    void Record(const std::vector<Event>& events) {
        for (const Event& e : events) lines.push_back(std::string(EventTypeName(e.type)) + " " + Cp1250ToUtf8(e.text));
    }
};

}  // namespace

// Speeding is an interval under the lowest limit of where the vehicle is; a zone is
// entered and left only after StrefaPozycje positions (no flapping at its border);
// idling, a refuel through a bad reading, a drop while parked, a driver change and a
// GPS loss each give their events, with the Polish texts.
TEST(EventDetector, MadeUpDayGivesTheseEventsInThisOrder) {
    Day d;
    d.settings.speedLimitKmh = 90;
    d.settings.zonePositions = 2;
    d.settings.vehicles["WA12345"].tankLitres = 200;
    d.Send();                                               // 10:00 (11:00 Polish): the first, nothing
    d.o.engine = true, d.Send();                            // 11:01 ignition
    d.o.speedHundredths = 10000, d.Send();                  // 11:02 over 90
    d.o.speedHundredths = 11000, d.At(52.11, 21.00), d.Send();  // 11:03
    d.o.speedHundredths = 8000, d.At(52.12, 21.00), d.Send();   // 11:04 ends, 2.2 km
    d.o.speedHundredths = 4500, d.At(52.25, 21.00), d.Send(2);  // 11:05 inside once, 11:06 entered
    d.o.speedHundredths = 7000, d.Send();                   // 11:07 over the zone's 50
    d.o.speedHundredths = 4000, d.Send();                   // 11:08 ends
    d.At(52.35, 21.00), d.Send();                           // 11:09 outside once: still in
    d.At(52.25, 21.00), d.o.speedHundredths = 200, d.Send(12);  // 11:10..11:21 idling, raised at 11:20
    d.o.engine = false, d.Send();                           // 11:22 engine off, idling ends
    d.o.fuelReading = 160, d.Send(2);                       // 11:23, 11:24 refuel to 80 %
    d.o.fuelReading = 40, d.Send();                         // 11:25 one bad reading (20 %): the refuel ends
    d.o.fuelReading = 160, d.Send(2);                       // 11:26, 11:27: no drop, the bad one smoothed away
    d.o.driverId = Bytes("123"), d.Send();                  // 11:28
    d.o.fuelReading = 120, d.Send(3);                       // 11:29..11:31 drop to 60 % while parked
    d.o.gpsStatus = 'V', d.Send(3);                         // 11:32..11:34 GPS lost at the third
    d.o.gpsStatus = 'A', d.At(52.40, 21.00), d.Send(2);     // 11:35 back, 11:36 left the zone
    const std::vector<std::string> expected = {
        "zaplon zapłon o 11:01",
        "przekroczenie_predkosci przekroczenie prędkości 100 km/h (limit 90) od 11:02",
        "przekroczenie_predkosci przekroczenie prędkości 110 km/h (limit 90) od 11:02 do 11:04, 2,2 km",
        "wjazd_do_strefy wjazd do strefy Miasto o 11:06",
        "przekroczenie_predkosci przekroczenie prędkości 70 km/h (limit 50) w strefie Miasto od 11:07",
        "przekroczenie_predkosci przekroczenie prędkości 70 km/h (limit 50) w strefie Miasto od 11:07 do 11:08, 0,0 km",
        "postoj_z_pracujacym_silnikiem postój z pracującym silnikiem od 11:10 (10 min)",
        "wylaczenie_silnika wyłączenie silnika o 11:22",
        "postoj_z_pracujacym_silnikiem postój z pracującym silnikiem od 11:10 do 11:22 (12 min)",
        "tankowanie tankowanie 40 % (80 l) od 11:24",
        "tankowanie tankowanie 40 % (80 l) od 11:24 do 11:25",
        "zmiana_kierowcy zmiana kierowcy: 123 (poprzednio Brak ID) o 11:28",
        "spadek_paliwa spadek paliwa 20 % (40 l) od 11:30",
        "spadek_paliwa spadek paliwa 20 % (40 l) od 11:30 do 11:31",
        "utrata_gps utrata sygnału GPS od 11:34",
        "utrata_gps utrata sygnału GPS od 11:34 do 11:35",
        "odzyskanie_gps odzyskanie sygnału GPS o 11:35",
        "wyjazd_ze_strefy wyjazd ze strefy Miasto o 11:36",
    };
    EXPECT_EQ(d.lines, expected);
}

// A late position (a fix older than the newest) is stored but raises nothing, and a
// copy of the state taken in the middle of a speeding interval (a restart) ends it once.
TEST(EventDetector, LatePositionsRaiseNothingAndARestartEndsAnIntervalOnce) {
    Day d;
    d.settings.speedLimitKmh = 90;
    d.o.speedHundredths = 12000, d.Send(2);  // 11:00 speeding starts, 11:01
    const int resumeAt = d.minute;
    d.minute -= 2, d.o.engine = true, d.o.speedHundredths = 0;
    d.Send();  // a late 11:00: engine on and slow, but nothing
    EXPECT_EQ(d.lines.size(), 1u);
    const VehicleEventState saved = d.state;  // what a restart reads back
    d.minute = resumeAt, d.o.engine = false, d.o.speedHundredths = 5000, d.Send();
    Day restarted;
    restarted.settings = d.settings;
    restarted.state = saved;
    restarted.o = d.o, restarted.minute = resumeAt, restarted.Send();
    const std::vector<std::string> expected = {"przekroczenie_predkosci przekroczenie prędkości 120 km/h (limit 90) od 11:00",
                                               "przekroczenie_predkosci przekroczenie prędkości 120 km/h (limit 90) od 11:00 do 11:02, 0,0 km"};
    EXPECT_EQ(d.lines, expected);
    EXPECT_EQ(restarted.lines, std::vector<std::string>{expected[1]});
}

// Silence is found by the minute's tick (per vehicle), ends with the next position; an
// overdue read is raised once a day; the service mark is passed once.
TEST(EventDetector, SilenceOverdueReadAndServiceMark) {
    Day d;
    d.settings.vehicles["WA12345"].silenceMinutes = 30;
    d.settings.vehicles["WA12345"].serviceEveryKm = 15000;
    d.o.odometerHundredsKm = 149, d.Send();  // 11:00, 14,900 km, received at 0
    const EventInputs in{d.settings, d.zones, ','};
    const std::int64_t at = 1796724000;  // 8 Dec 2026 10:00 UTC: the fix time above
    d.state.lastReceivedUtc = at;
    d.Record(DetectSilence(d.state, "WA12345", at + 29 * 60, in));
    d.Record(DetectSilence(d.state, "WA12345", at + 30 * 60, in));
    d.Record(DetectSilence(d.state, "WA12345", at + 31 * 60, in));
    d.o.odometerHundredsKm = 150;
    d.Record(DetectPosition(d.state, d.Next(), at + 45 * 60, in));
    d.Record(DetectOverdueRead(d.state, "WA12345", true, at - 3 * 86400, at, in));
    d.Record(DetectOverdueRead(d.state, "WA12345", true, at - 3 * 86400, at + 3600, in));
    d.Record(DetectOverdueRead(d.state, "WA12345", false, std::nullopt, at + 86400, in));
    d.Record(DetectOverdueRead(d.state, "WA12345", true, at + 86400 - 3600, at + 86400, in));
    const std::vector<std::string> expected = {
        "brak_pozycji brak pozycji od 11:00 (30 min)",
        "brak_pozycji brak pozycji od 11:00 do 11:45 (45 min)",
        "powrot powrót po 45 min przerwy o 11:45",
        "przeglad przegląd: przebieg 15000 km (co 15000 km)",
        "zalegly_odczyt zaległy odczyt pamięci: ostatni 3 dni temu",
    };
    EXPECT_EQ(d.lines, expected);
}

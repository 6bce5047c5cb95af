// Events through a real serwerd: a made-up day of one vehicle sent by the simulator,
// zones written by GDAL's ogr2ogr from WKT, the events read back from /api/zdarzenia.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "e2e/ServerdChild.hpp"
#include "support/TestDirectory.hpp"
#include "unitsim/PositionRecordBuilder.hpp"
#include "unitsim/SimulatedUnit.hpp"

using namespace serwer;
using namespace std::chrono_literals;

namespace {

class EventsRun : public ::testing::Test {
protected:
    void SetUp() override {
        // One zone, "Miasto" (limit 50), written as a GIS user would: ogr2ogr from a CSV with WKT.
        std::ofstream(dir_ / "strefy.csv")
            << "nazwa,predkosc,WKT\n\"Miasto\",50,\"POLYGON((20.9 52.2,21.1 52.2,21.1 52.3,20.9 52.3,20.9 52.2))\"\n";
        const std::string ogr = "cd '" + dir_.string() +
                                "' && ogr2ogr -f GeoJSON strefy.geojson strefy.csv -oo AUTODETECT_TYPE=YES "
                                "-oo KEEP_GEOM_COLUMNS=NO 2>/dev/null";
        ASSERT_EQ(std::system(ogr.c_str()), 0);
        ServerdChild::Install(dir_,
                              "Port=0\nZapisTabeliMs=0\n[Www]\nPort=0\n[Zdarzenia]\nPredkosc=90\nStrefaPozycje=2\n"
                              "[Pojazd WA12345]\nZbiornik=200\n");
        Launch();
        o_.day = 8, o_.month = 12, o_.year = 2026;
        o_.engine = false, o_.input1 = false, o_.fuelSensorType = 0, o_.fuelReading = 80;
        At(52.10, 21.00);
    }
    void Launch() {
        ASSERT_TRUE(serwerd_.Start(dir_, ""));
        port_ = serwerd_.WaitForPort(5s);
        web_ = serwerd_.WaitForNumberAfter("www on port ", 5s);
        ASSERT_GT(port_, 0);
        ASSERT_GT(web_, 0);
    }
    void At(double lat, double lon) {
        o_.latitude = CoordinateFromDegrees(lat);
        o_.longitude = CoordinateFromDegrees(lon);
    }
    // The next minute's position, sent once the previous one is in Aktualne.txt, so the
    // server commits them in fix-time order.
    void Send(int times = 1) {
        for (int i = 0; i < times; ++i) {
            o_.hour = minute_ / 60, o_.minute = minute_ % 60;
            char opis[32];
            std::snprintf(opis, sizeof opis, "2026.12.08-%02d:%02d", o_.hour + 1, o_.minute);
            ++minute_;
            units_.push_back(std::make_unique<SimulatedUnit>("127.0.0.1", port_));
            units_.back()->SendPosition(BuildPositionRecord(o_));
            for (int k = 0; k < 1000 && ReadFile(dir_ / "Aktualne.txt").find(opis) == std::string::npos; ++k)
                std::this_thread::sleep_for(5ms);
        }
    }
    // Every unit closed after its closing wait: its events are written too.
    void AllClosed() {
        for (auto& u : units_) u->WaitForClose(30s);
        units_.clear();
    }
    // "typ opis" of every event of the day, as /api/zdarzenia answers.
    std::vector<std::string> Events() {
        httplib::Client client("127.0.0.1", web_);
        const auto answer = client.Get("/api/zdarzenia?pojazd=WA12345&od=2026-12-08&do=2026-12-08");
        std::vector<std::string> lines;
        if (!answer || answer->status != 200) return {"HTTP failed"};
        body_ = answer->body;
        const nlohmann::json doc = nlohmann::json::parse(answer->body);
        for (const auto& e : doc["zdarzenia"])
            lines.push_back(e["typ"].get<std::string>() + " " + e["opis"].get<std::string>());
        return lines;
    }

    TestDirectory tmp_;
    const std::filesystem::path dir_ = tmp_.Path();
    ServerdChild serwerd_;
    int port_ = 0, web_ = 0;
    PositionOptions o_ = SamplePosition("WA12345");
    int minute_ = 10 * 60;  // 10:00 UTC, 11:00 in Poland
    std::vector<std::unique_ptr<SimulatedUnit>> units_;
    std::string body_;
};

}  // namespace

// The day crosses the zone (the server's decimal separator is the C locale's here), speeds twice (once in the zone, under its lower limit),
// idles, refuels, loses fuel while parked, changes driver and loses GPS; each interval is
// one event with its end. A restart in the middle of a speeding interval ends it once.
TEST_F(EventsRun, AMadeUpDayGivesTheseEventsAndARestartEndsAnIntervalOnce) {
    Send();                                                     // 11:00
    o_.engine = true, Send();                                   // 11:01
    o_.speedHundredths = 10000, Send();                         // 11:02
    o_.speedHundredths = 11000, At(52.11, 21.00), Send();       // 11:03
    o_.speedHundredths = 8000, At(52.12, 21.00), Send();        // 11:04
    o_.speedHundredths = 4500, At(52.25, 21.00), Send(2);       // 11:05, 11:06
    o_.speedHundredths = 7000, Send();                          // 11:07
    o_.speedHundredths = 4000, Send();                          // 11:08
    At(52.35, 21.00), Send();                                   // 11:09
    At(52.25, 21.00), o_.speedHundredths = 200, Send(12);       // 11:10..11:21
    o_.engine = false, Send();                                  // 11:22
    o_.fuelReading = 160, Send(2);                              // 11:23, 11:24
    o_.fuelReading = 40, Send();                                // 11:25
    o_.fuelReading = 160, Send(2);                              // 11:26, 11:27
    o_.driverId = Bytes("123"), Send();                         // 11:28
    o_.fuelReading = 120, Send(3);                              // 11:29..11:31
    o_.gpsStatus = 'V', Send(3);                                // 11:32..11:34
    o_.gpsStatus = 'A', At(52.40, 21.00), Send(2);              // 11:35, 11:36
    o_.engine = true, o_.speedHundredths = 12000, Send();       // 11:37 speeding again
    AllClosed();
    serwerd_.Signal(SIGTERM);
    ASSERT_EQ(serwerd_.WaitForExit(30s), 0);
    Launch();
    o_.speedHundredths = 5000, Send();  // 11:38, after the restart: the interval ends
    AllClosed();
    const std::vector<std::string> expected = {
        "zaplon zapłon o 11:01",
        "przekroczenie_predkosci przekroczenie prędkości 110 km/h (limit 90) od 11:02 do 11:04, 2.2 km",
        "wjazd_do_strefy wjazd do strefy Miasto o 11:06",
        "przekroczenie_predkosci przekroczenie prędkości 70 km/h (limit 50) w strefie Miasto od 11:07 do 11:08, 0.0 km",
        "postoj_z_pracujacym_silnikiem postój z pracującym silnikiem od 11:10 do 11:22 (12 min)",
        "wylaczenie_silnika wyłączenie silnika o 11:22",
        "tankowanie tankowanie 40 % (80 l) od 11:24 do 11:25",
        "zmiana_kierowcy zmiana kierowcy: 123 (poprzednio Brak ID) o 11:28",
        "spadek_paliwa spadek paliwa 20 % (40 l) od 11:30 do 11:31",
        "utrata_gps utrata sygnału GPS od 11:34 do 11:35",
        "odzyskanie_gps odzyskanie sygnału GPS o 11:35",
        "wyjazd_ze_strefy wyjazd ze strefy Miasto o 11:36",
        "przekroczenie_predkosci przekroczenie prędkości 120 km/h (limit 90) od 11:37 do 11:38, 0.0 km",
        "zaplon zapłon o 11:37",
    };
    EXPECT_EQ(Events(), expected) << ReadFile(dir_ / "err2.txt") << body_;
}

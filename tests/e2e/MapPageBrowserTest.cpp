// The fleet map page in a real browser: serwerd with its [Www] service, 50 simulated
// units (or a table of 10,000 vehicles), and Debian's chromium headless reading the page
// as a person's browser would. With SERWER_SCREENSHOTS set to a directory, the tests also
// leave there pictures of the page: desktop sized, with and without a chosen vehicle,
// phone sized, 10,000 vehicles over the country and in a city, and the reports view
// (tools/screenshots.sh does this).
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "accounts/SqliteAccountStore.hpp"
#include "accounts/Secrets.hpp"
#include "e2e/ServerdChild.hpp"
#include "history/SqliteHistoryStore.hpp"
#include "link/PositionRecord.hpp"
#include "support/TestDirectory.hpp"
#include "vehicles/VehicleFile.hpp"
#include "unitsim/PositionRecordBuilder.hpp"
#include "unitsim/SampleFleet.hpp"
#include "unitsim/SimulatedUnit.hpp"

using namespace serwer;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr int kVehicles = 50;
constexpr std::int64_t kMinute = DateTime::kMsPerMinute;
const char* const kChromium = "/usr/bin/chromium";

std::string Registration(int i) {
    char text[16];
    std::snprintf(text, sizeof text, "WA%05d", i);
    return text;
}

// A position of vehicle i at a UTC time, at a place of its own.
Bytes Record(int i, DateTime utc, double latitude, double longitude) {
    PositionOptions o = SamplePosition(Registration(i));
    const DateTime::Parts p = utc.Split();
    o.year = p.year, o.month = p.month, o.day = p.day, o.hour = p.hour, o.minute = p.minute;
    o.latitude = CoordinateFromDegrees(latitude);
    o.longitude = CoordinateFromDegrees(longitude);
    o.speedHundredths = i % 3 == 0 ? 0 : (30 + i) * 100;
    o.gpsStatus = i % 10 == 5 ? 'V' : 'A';
    return BuildPositionRecord(o);
}

int Count(const std::string& text, const std::string& pattern) {
    const std::regex re(pattern);
    return static_cast<int>(std::distance(std::sregex_iterator(text.begin(), text.end(), re), std::sregex_iterator()));
}

double DistanceKm(double lat1, double lon1, double lat2, double lon2) {
    const double r = M_PI / 180;
    const double h = std::pow(std::sin((lat2 - lat1) * r / 2), 2) +
                     std::cos(lat1 * r) * std::cos(lat2 * r) * std::pow(std::sin((lon2 - lon1) * r / 2), 2);
    return 2 * 6371.0088 * std::asin(std::min(1.0, std::sqrt(h)));
}

class MapPageBrowser : public ::testing::Test {
protected:
    // Chromium headless on one address of the page; what it printed (the DOM with
    // --dump-dom), or nothing when it failed or ran over its time.
    std::string Chromium(const std::string& page, const std::string& action, const std::string& windowSize) {
        const fs::path profile = tmp_.Path() / ("chromium-" + std::to_string(++runs_));
        const std::string command = "timeout 60 " + std::string(kChromium) +
                                    " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
                                    " --disable-background-networking --disable-component-update --disable-sync"
                                    " --hide-scrollbars --user-data-dir=" +
                                    profile.string() + " --window-size=" + windowSize + " --virtual-time-budget=8000 " +
                                    action + " 'http://127.0.0.1:" + std::to_string(webPort_) + page + "' 2>>" +
                                    (tmp_.Path() / "chromium.txt").string();
        FILE* out = ::popen(command.c_str(), "r");
        if (!out) return {};
        std::string printed;
        char chunk[65536];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, out)) > 0;) printed.append(chunk, n);
        const int status = ::pclose(out);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "chromium failed on " << page << ":\n"
                                                                   << ReadFile(tmp_.Path() / "chromium.txt");
        return printed;
    }

    // serwerd with these rows in Aktualne.txt and its map page (tiles from a port where
    // nothing listens).
    void StartWithTable(const std::vector<VehicleRow>& rows) {
        const Bytes table = FormatVehicleFile(rows);
        std::ofstream(dir_ / "Aktualne.txt", std::ios::binary).write(table.data(), static_cast<std::streamsize>(table.size()));
        ServerdChild::Install(dir_, "Port=0\nOdpytywac=0\n[Www]\nPort=" + std::to_string(webPort_) +
                                        "\nMapa=http://127.0.0.1:" + std::to_string(FindFreePort()) + "/{z}/{x}/{y}.png\n");
        ASSERT_TRUE(serwerd_.Start(dir_, ""));
        ASSERT_NE(serwerd_.WaitForPort(10s), 0) << ReadFile(dir_ / "stderr.txt");
    }

    TestDirectory tmp_;
    const fs::path dir_ = tmp_.Path();
    ServerdChild serwerd_;
    const int webPort_ = FindFreePort();
    int runs_ = 0;
};

}  // namespace

TEST_F(MapPageBrowser, ShowsEveryVehicleOnTheMapAndInTheListAndTheChosenOnesTrack) {
    ASSERT_TRUE(fs::exists(kChromium)) << "Debian's chromium is needed: tools/install-packages.sh chromium";
    // Tiles from a port where nothing listens: the page works on its plain background.
    // A zone around WA00001's track, and a limit every moving vehicle is above: events.
    ServerdChild::Install(dir_, "Port=0\nOdpytywac=0\n[Www]\nPort=" + std::to_string(webPort_) +
                                    "\nMapa=http://127.0.0.1:" + std::to_string(FindFreePort()) +
                                    "/{z}/{x}/{y}.png\n[Zdarzenia]\nPredkosc=20\n");
    std::ofstream(dir_ / "strefy.geojson")
        << R"({"type":"FeatureCollection","features":[{"type":"Feature","properties":{"nazwa":"Baza"},)"
           R"("geometry":{"type":"Polygon","coordinates":[[[20.9,52.1],[21.2,52.1],[21.2,52.4],[20.9,52.4],[20.9,52.1]]]}}]})";
    ASSERT_TRUE(serwerd_.Start(dir_, ""));
    const int port = serwerd_.WaitForPort(10s);
    ASSERT_NE(port, 0) << ReadFile(dir_ / "stderr.txt");

    // WA00001 drives three points of one Polish day, a minute apart; the others each
    // have one position, some five hours or two days old.
    const auto nowMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    DateTime last = DateTime::FromMs(nowMs - DateTime::kMsPerMinute);
    if (FixTimeToLocal(last).Date() != FixTimeToLocal(last.PlusMs(-2 * kMinute)).Date())
        last = LocalToFixTime(FixTimeToLocal(last).Date()).PlusMs(-kMinute);
    const double track[3][2] = {{52.2, 21.0}, {52.25, 21.05}, {52.3, 21.1}};
    std::vector<std::unique_ptr<SimulatedUnit>> units;
    for (int p = 0; p < 3; ++p) {
        units.push_back(std::make_unique<SimulatedUnit>("127.0.0.1", port));
        units.back()->SendPosition(Record(1, last.PlusMs((p - 2) * kMinute), track[p][0], track[p][1]));
        std::this_thread::sleep_for(200ms);
    }
    for (int i = 2; i <= kVehicles; ++i) {
        const std::int64_t back = i % 10 == 7 ? 5 * 60 : i % 10 == 9 ? 48 * 60 : 0;
        units.push_back(std::make_unique<SimulatedUnit>("127.0.0.1", port));
        units.back()->SendPosition(Record(i, last.PlusMs(-back * kMinute), 49.5 + (i % 8) * 0.5, 15.0 + (i / 8)));
    }
    // Every vehicle in the table, and WA00001's three points in the history.
    const std::int64_t nowS = nowMs / DateTime::kMsPerSecond;
    for (int tries = 0; tries < 300; ++tries) {
        const std::string table = ReadFile(dir_ / "Aktualne.txt");
        if (Count(table, "\"WA000[0-9][0-9]\"") == kVehicles &&
            SqliteHistoryStore(HistoryDirectory(dir_.string())).Query({"WA00001", nowS - 86400, nowS + 60}).size() == 3)
            break;
        std::this_thread::sleep_for(50ms);
    }

    const std::string day = [&] {
        const DateTime::Parts p = FixTimeToLocal(last).Split();
        char text[16];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d", p.year, p.month, p.day);
        return std::string(text);
    }();
    const std::string dom = Chromium("/?wybierz=WA00001&dzien=" + day, "--dump-dom", "1366,768");
    // Every vehicle's dot on the map's canvas, and the list of all (drawn as far as seen).
    EXPECT_NE(dom.find("data-znaczniki=\"50\""), std::string::npos);
    EXPECT_NE(dom.find("<span id=\"licznik\">50</span>"), std::string::npos);
    EXPECT_GE(Count(dom, "<li[^>]* class=\"pojazd[ \"]"), 5);
    EXPECT_EQ(Count(dom, "class=\"pojazd [^\"]*wybrany"), 1);
    EXPECT_NE(dom.find("<h2 id=\"szczegoly-nazwa\">WA00001</h2>"), std::string::npos);
    EXPECT_EQ(Count(dom, "<path[^>]* class=\"trasa[ \"]"), 1);
    EXPECT_EQ(Count(dom, "<path[^>]* class=\"punkt-trasy[ \"]"), 3);
    // The zone, the day's events in the panel, and WA00001's on its track and in its details:
    // it entered the zone and sped from its first position on.
    EXPECT_EQ(Count(dom, "<path[^>]* class=\"strefa[ \"]"), 1);
    EXPECT_GE(Count(dom, "<li class=\"zdarzenie[ \"]"), 2 + 2);
    EXPECT_EQ(Count(dom, "<path[^>]* class=\"zdarzenie-trasy[ \"]"), 2);
    const std::string own = dom.substr(dom.find("id=\"szczegoly-zdarzenia\""), 2000);
    EXPECT_NE(own.find("wjazd do strefy Baza o "), std::string::npos) << own.substr(0, 400);
    EXPECT_NE(own.find("przekroczenie prędkości 31 km/h (limit 20)"), std::string::npos) << own.substr(0, 400);

    // The track's line: its three positions, the kilometres between them, first and last fix.
    char km[32];
    std::snprintf(km, sizeof km, "%.1f", DistanceKm(52.2, 21.0, 52.25, 21.05) + DistanceKm(52.25, 21.05, 52.3, 21.1));
    std::string kmText = km;
    kmText.replace(kmText.find('.'), 1, ",");
    auto hhmm = [](DateTime utc) {
        const DateTime::Parts p = FixTimeToLocal(utc).Split();
        char text[8];
        std::snprintf(text, sizeof text, "%02d:%02d", p.hour, p.minute);
        return std::string(text);
    };
    EXPECT_NE(dom.find("<p id=\"trasa-opis\" class=\"\" data-punkty=\"3\">3 pozycje, " + kmText + " km, od " +
                       hhmm(last.PlusMs(-2 * kMinute)) + " do " + hhmm(last) + ".</p>"),
              std::string::npos)
        << dom.substr(std::min(dom.size(), dom.find("trasa-opis")), 200);

    if (const char* pictures = std::getenv("SERWER_SCREENSHOTS")) {
        fs::create_directories(pictures);
        const fs::path desktop = fs::absolute(pictures) / "map-page-desktop.png";
        const fs::path chosen = fs::absolute(pictures) / "map-page-track.png";
        const fs::path phone = fs::absolute(pictures) / "map-page-phone.png";
        Chromium("/", "--screenshot=" + desktop.string(), "1366,768");
        Chromium("/?wybierz=WA00001&dzien=" + day, "--screenshot=" + chosen.string(), "1366,768");
        Chromium("/", "--screenshot=" + phone.string(), "390,844");
        for (const fs::path& picture : {desktop, chosen, phone}) EXPECT_TRUE(fs::exists(picture)) << picture;
    }
}

TEST_F(MapPageBrowser, VehicleTextsReachThePageAsTextNeverAsElements) {
    ASSERT_TRUE(fs::exists(kChromium)) << "Debian's chromium is needed: tools/install-packages.sh chromium";
    // Texts no unit can send, but Aktualne.txt can hold (a name of up to 10 characters,
    // fuel 20); the chosen vehicle's tooltip is shown.
    std::vector<VehicleRow> rows(2);
    rows[0].NAZWA = "<b>x</b>";
    rows[1].NAZWA = "<img src>";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        rows[i].OPIS = "2026.12.09-12:30";
        rows[i].SZEROKOSC = "52.20000" + std::to_string(i) + "0N";
        rows[i].DLUGOSC = "21.0000000E";
        rows[i].GPS = "OK";
        rows[i].KIEROWCA = "<i>k</i>";
        rows[i].PALIWO = "<img src onerror=1>";
        rows[i].LICENCJA = "<u>0011</u>";
    }
    ASSERT_NO_FATAL_FAILURE(StartWithTable(rows));

    const std::string dom = Chromium("/?wybierz=%3Cimg%20src%3E", "--dump-dom", "1366,768");
    EXPECT_EQ(Count(dom, "<li[^>]* class=\"pojazd[ \"]"), 2);
    EXPECT_EQ(Count(dom, "<(b|i|u)>"), 0);
    EXPECT_EQ(Count(dom, "<img src=\"\"|<img[^>]*onerror"), 0);
    EXPECT_EQ(Count(dom, "class=\"leaflet-tooltip[^>]*><span>&lt;img src&gt;</span>"), 1)
        << dom.substr(std::min(dom.size(), dom.find("leaflet-tooltip")), 300);
    EXPECT_NE(dom.find("<h2 id=\"szczegoly-nazwa\">&lt;img src&gt;</h2>"), std::string::npos);
    EXPECT_GE(Count(dom, "&lt;b&gt;x&lt;/b&gt;"), 1);
    EXPECT_GE(Count(dom, "&lt;i&gt;k&lt;/i&gt;"), 2);
    EXPECT_GE(Count(dom, "&lt;img src onerror=1&gt;"), 1);
}

TEST_F(MapPageBrowser, TenThousandVehiclesAreCountedSearchedAndShownWithOnlyTheRowsInViewDrawn) {
    ASSERT_TRUE(fs::exists(kChromium)) << "Debian's chromium is needed: tools/install-packages.sh chromium";
    const std::vector<FleetVehicle> fleet = SampleFleet(10000);
    {
        std::vector<VehicleRow> rows;
        const DateTime now = DateTime::FromMs(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  std::chrono::system_clock::now().time_since_epoch())
                                                  .count());
        for (const FleetVehicle& v : fleet) rows.push_back(FleetRow(v, now.PlusMs(-kMinute)));
        ASSERT_NO_FATAL_FAILURE(StartWithTable(rows));
    }

    const std::string whole = Chromium("/", "--dump-dom", "1366,768");
    EXPECT_NE(whole.find("10000 pojazdów · odświeżono"), std::string::npos);
    EXPECT_NE(whole.find("data-znaczniki=\"10000\""), std::string::npos);
    EXPECT_NE(whole.find("<span id=\"licznik\">10000</span>"), std::string::npos);
    const int drawn = Count(whole, "<li[^>]* class=\"pojazd[ \"]");
    EXPECT_GE(drawn, 10);
    EXPECT_LE(drawn, 40);
    EXPECT_GE(Count(whole, "class=\"[^\"]*marker-cluster "), 5);  // the country in clusters

    // WA01230 to WA01239 match; WA01234 is chosen, with its details.
    const std::string found = Chromium("/?szukaj=WA0123&wybierz=WA01234", "--dump-dom", "1366,768");
    EXPECT_NE(found.find("<span id=\"licznik\">10 z 10000</span>"), std::string::npos);
    EXPECT_EQ(Count(found, "<li[^>]* class=\"pojazd[ \"]"), 10);
    EXPECT_EQ(Count(found, "class=\"pojazd [^\"]*wybrany"), 1);
    EXPECT_NE(found.find("<h2 id=\"szczegoly-nazwa\">WA01234</h2>"), std::string::npos);
    char latitude[32];
    std::snprintf(latitude, sizeof latitude, "%.6f", fleet[1233].latitude);
    std::string latitudeText = latitude;
    latitudeText.replace(latitudeText.find('.'), 1, ",");
    EXPECT_NE(found.find("<dt>Szerokość</dt><dd>" + latitudeText + "</dd>"), std::string::npos)
        << found.substr(std::min(found.size(), found.find("szczegoly-pola")), 400);

    if (const char* pictures = std::getenv("SERWER_SCREENSHOTS")) {
        fs::create_directories(pictures);
        const fs::path country = fs::absolute(pictures) / "map-page-10000.png";
        const fs::path city = fs::absolute(pictures) / "map-page-10000-city.png";
        Chromium("/", "--screenshot=" + country.string(), "1366,768");
        Chromium("/?wybierz=WA00001", "--screenshot=" + city.string(), "1366,768");
        for (const fs::path& picture : {country, city}) EXPECT_TRUE(fs::exists(picture)) << picture;
    }
}

// The reports view: the page asks the server for the day's trips of a vehicle whose
// positions are in the history, and draws them as a table in Polish forms.
TEST_F(MapPageBrowser, TheReportsViewDrawsTheTripsOfTheStoredPositions) {
    ASSERT_TRUE(fs::exists(kChromium)) << "Debian's chromium is needed: tools/install-packages.sh chromium";
    {
        SqliteHistoryStore store((dir_ / "historia").string());
        std::vector<HistoryRecord> rows;
        const std::int64_t start = 1796713200;  // 2026-12-08 08:00 in Poland
        // Two trips of 10 km at 60 km/h with 30 minutes of standing between them.
        for (int minute = 0; minute <= 50; ++minute) {
            HistoryRecord r;
            r.registration = "WA00001";
            r.ownerCode = "001A2B3C4D5E6F70";
            r.fixTimeUtc = start + minute * 60;
            r.receivedUtc = *r.fixTimeUtc;
            const bool standing = minute > 10 && minute <= 40;
            const double km = minute <= 10 ? minute : standing ? 10 : minute - 30;
            r.latitude = 52.0 + km / 111.19508;
            r.longitude = 21.0;
            r.speedKmh = standing ? 0 : 60;
            r.gps = "OK";
            r.driver = "0000C3";
            rows.push_back(r);
        }
        store.Append(rows);
    }
    ASSERT_NO_FATAL_FAILURE(StartWithTable({}));
    const std::string page = "/?raport=trasy&pojazd=WA00001&od=2026-12-08&do=2026-12-08";
    const std::string dom = Chromium(page, "--dump-dom", "1366,768");
    EXPECT_NE(dom.find("<p id=\"raport-stan\" role=\"status\">Wierszy: 2</p>"), std::string::npos) << dom;
    EXPECT_NE(dom.find("<th scope=\"col\">Miejsce początku</th>"), std::string::npos);
    EXPECT_NE(dom.find("<tr><td>WA00001</td><td>0000C3</td><td class=\"liczba\">2026-12-08 08:00</td>"
                       "<td>52.00000, 21.00000</td><td class=\"liczba\">2026-12-08 08:11</td>"),
              std::string::npos);
    EXPECT_NE(dom.find("<td class=\"liczba\">2026-12-08 08:40</td>"), std::string::npos);  // the second one's start
    EXPECT_NE(dom.find("<td class=\"liczba\">10,0</td>"), std::string::npos);
    if (const char* pictures = std::getenv("SERWER_SCREENSHOTS")) {
        fs::create_directories(pictures);
        const fs::path view = fs::absolute(pictures) / "map-page-reports.png";
        Chromium(page, "--screenshot=" + view.string(), "1366,768");
        EXPECT_TRUE(fs::exists(view)) << view;
    }
}

TEST_F(MapPageBrowser, EachDispatcherLogsInSeesOnlyItsOwnFleetAndLogsOut) {
    ASSERT_TRUE(fs::exists(kChromium)) << "Debian's chromium is needed: tools/install-packages.sh chromium";
    {
        SqliteAccountStore store((dir_ / "konta.db").string());
        store.Add({"anna", Role::Dispatcher, {"AAA"}, {}}, HashPassword("tajne"));
        store.Add({"bolek", Role::Dispatcher, {"BBB"}, {}}, HashPassword("inne"));
    }
    std::vector<VehicleRow> rows(3);
    const char* names[] = {"WA00001", "WA00002", "KR00003"};
    for (std::size_t i = 0; i < rows.size(); ++i) {
        rows[i].NAZWA = names[i];
        rows[i].LICENCJA = i < 2 ? "AAA" : "BBB";
        rows[i].OPIS = "2026.12.09-12:30";
        rows[i].SZEROKOSC = "52.20000" + std::to_string(i) + "0N";
        rows[i].DLUGOSC = "21.0000000E";
        rows[i].GPS = "OK";
    }
    ASSERT_NO_FATAL_FAILURE(StartWithTable(rows));
    struct Login {
        const char* name;
        const char* password;
        const char* fleet;
    };
    for (const Login& login : {Login{"anna", "tajne", "WA00001,WA00002"}, Login{"bolek", "inne", "KR00003"}}) {
        const std::string fill = std::string("document.getElementById('nazwa').value = '") + login.name +
                                 "'; document.getElementById('haslo').value = '" + login.password +
                                 "'; document.querySelector('form').submit(); 'wyslano'";
        const std::string command =
            "timeout 60 python3 " SERWER_SOURCE_DIR "/tests/e2e/browser_session.py " + std::string(kChromium) +
            " 'http://127.0.0.1:" + std::to_string(webPort_) + "/' \"location.pathname\" \"" + fill +
            "\" \"@until location.pathname === '/' && document.querySelector('#lista li[data-nazwa]') !== null\" "
            "\"location.pathname\" "
            "\"[...document.querySelectorAll('#lista li[data-nazwa]')].map((e) => e.dataset.nazwa).sort().join()\" "
            "\"document.getElementById('konto-nazwa').textContent\" "
            "\"document.getElementById('wyloguj').click(); 'wylogowano'\" "
            "\"@until location.pathname === '/logowanie' && document.readyState === 'complete'\" \"location.pathname\" "
            "\"fetch('/api/pojazdy').then((r) => r.status)\" 2>&1";
        FILE* out = ::popen(command.c_str(), "r");
        ASSERT_NE(out, nullptr);
        std::string printed;
        char chunk[4096];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, out)) > 0;) printed.append(chunk, n);
        ::pclose(out);
        const std::string sorted = std::string(login.fleet);
        EXPECT_EQ(printed, "\"/logowanie\"\n\"wyslano\"\n\"/\"\n\"" + sorted + "\"\n\"" + login.name +
                               "\"\n\"wylogowano\"\n\"/logowanie\"\n401\n");
    }
}

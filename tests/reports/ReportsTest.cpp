#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "common/Win1250.hpp"
#include "reports/FleetReport.hpp"
#include "reports/ReportFormats.hpp"
#include "reports/XlsxReport.hpp"
#include "support/HistoryBackends.hpp"
#include "support/TestDirectory.hpp"

using namespace serwer;

namespace {

constexpr std::int64_t kDec8 = 1796688000;  // 2026-12-08 00:00 UTC, 01:00 in Poland
constexpr std::int64_t kStart = kDec8 + 7 * 3600;  // 08:00 in Poland
// A kilometre northwards, in degrees of latitude, as the great-circle distance counts it.
const double kKmDegrees = 180.0 / (M_PI * 6371.0088);

// One vehicle's positions a minute apart, driving north at 60 km/h or standing.
class Drive {
public:
    explicit Drive(std::string registration) : registration_(std::move(registration)) {}
    // Points at the next `minutes` minutes, each `km` further on.
    Drive& Move(int minutes, double km = 1, double speed = 60) {
        for (int i = 0; i < minutes; ++i, km_ += km) Add(speed, true, km_);
        return *this;
    }
    // Points standing where the vehicle came to, the engine running for the first ones.
    Drive& Stand(int minutes, int engineMinutes = 0) {
        for (int i = 0; i < minutes; ++i) Add(0, i < engineMinutes, km_);
        return *this;
    }
    Drive& Skip(int minutes, double km) {
        minute_ += minutes;
        km_ += km;
        return *this;
    }
    Drive& Fuel(int percent) {
        fuel_ = percent;
        return *this;
    }
    Drive& Driver(std::string id) {
        driver_ = std::move(id);
        return *this;
    }
    std::vector<HistoryRecord> rows;

private:
    void Add(double speed, bool engine, double km) {
        HistoryRecord r;
        r.registration = registration_;
        r.ownerCode = "001A2B3C4D5E6F70";
        r.fixTimeUtc = kStart + minute_ * 60;
        r.receivedUtc = *r.fixTimeUtc + 5;
        r.latitude = 52.0 + km * kKmDegrees;
        r.longitude = 21.0;
        r.speedKmh = speed;
        r.engineOn = engine;
        r.gps = "OK";
        r.driver = driver_;
        if (fuel_) r.fuel = "Sonda-" + std::to_string(*fuel_) + " %";
        rows.push_back(r);
        ++minute_;
    }
    std::string registration_;
    std::string driver_ = "0000A1";
    std::optional<int> fuel_;
    int minute_ = 0;
    double km_ = 0;
};

std::int64_t At(int minute) { return kStart + minute * 60; }

// Each report on each kind of store.
class Reports : public OnEachHistoryBackend {
protected:
    ReportTable Run(ReportKind kind, std::vector<std::string> vehicles = {}, bool perDay = false) {
        ReportRequest request{kind, std::move(vehicles), kDec8 - 3600, kDec8 + 2 * 86400 - 3600, perDay};
        return MakeReport(store(), request, context_);
    }
    // A column's cell of a row, by the column's key.
    static const ReportCell& Cell(const ReportTable& t, std::size_t row, const std::string& key) {
        for (std::size_t c = 0; c < t.columns.size(); ++c)
            if (t.columns[c].key == key) return t.rows.at(row)[c];
        throw std::runtime_error("no column " + key);
    }
    static std::int64_t Integer(const ReportTable& t, std::size_t row, const std::string& key) {
        return std::get<std::int64_t>(Cell(t, row, key));
    }
    static double Number(const ReportTable& t, std::size_t row, const std::string& key) {
        return std::get<double>(Cell(t, row, key));
    }

    ReportContext context_;
};
INSTANTIATE_TEST_SUITE_P(Backends, Reports, kHistoryBackends, HistoryBackendName);

}  // namespace

TEST_P(Reports, ADayOfThreeTripsAndTwoStopsGivesEachWithItsTimesWayAndEngineTime) {
    Drive d("WA1");
    d.Move(31).Stand(20, 5).Move(20).Stand(10).Move(20);  // minutes 0-30, 31-50, 51-70, 71-80, 81-100
    store().Append(d.rows);

    const ReportTable trips = Run(ReportKind::Trasy);
    ASSERT_EQ(trips.rows.size(), 3u);
    const std::int64_t starts[] = {At(0), At(50), At(80)}, ends[] = {At(31), At(71), At(100)};
    const double kms[] = {31, 20, 19};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(Integer(trips, i, "poczatek"), starts[i]) << i;
        EXPECT_EQ(Integer(trips, i, "koniec"), ends[i]) << i;
        EXPECT_NEAR(Number(trips, i, "km"), kms[i], 1e-6) << i;
        EXPECT_EQ(Number(trips, i, "predkosc_maks"), 60);
    }
    EXPECT_NEAR(Number(trips, 0, "predkosc_srednia"), 60, 1e-6);
    EXPECT_EQ(std::get<std::string>(Cell(trips, 0, "kierowca")), "0000A1");
    EXPECT_EQ(std::get<std::string>(Cell(trips, 0, "miejsce_poczatku")), "52.00000, 21.00000");

    const ReportTable stops = Run(ReportKind::Postoje);
    ASSERT_EQ(stops.rows.size(), 2u);
    EXPECT_EQ(Integer(stops, 0, "przyjazd"), At(31));
    EXPECT_EQ(Integer(stops, 0, "odjazd"), At(50));
    EXPECT_EQ(Integer(stops, 0, "czas_s"), 19 * 60);
    EXPECT_EQ(Integer(stops, 0, "silnik_s"), 5 * 60);
    EXPECT_EQ(Integer(stops, 1, "przyjazd"), At(71));
    EXPECT_EQ(Integer(stops, 1, "czas_s"), 9 * 60);
    EXPECT_EQ(Integer(stops, 1, "silnik_s"), 0);

    const ReportTable summary = Run(ReportKind::Podsumowanie);
    ASSERT_EQ(summary.rows.size(), 1u);
    EXPECT_NEAR(Number(summary, 0, "km"), 70, 1e-6);
    EXPECT_EQ(Integer(summary, 0, "jazda_s"), 70 * 60);
    EXPECT_EQ(Integer(summary, 0, "postoj_silnik_s"), 5 * 60);
}

TEST_P(Reports, AStopNamesItsZoneAndAWayShorterThanTrasaMinKmJoinsTheStopsAround) {
    Drive d("WA1");
    d.Move(11).Stand(10, 10).Move(3, 0.1, 10).Stand(10, 2).Move(10);
    store().Append(d.rows);
    const ZoneSet zones = ZoneSet::FromGeoJson(
        R"({"type":"FeatureCollection","features":[{"type":"Feature","properties":{"nazwa":"Baza",)"
        R"("promien":500},"geometry":{"type":"Point","coordinates":[21.0,52.0991]}}]})");
    context_.zones = &zones;

    const ReportTable stops = Run(ReportKind::Postoje);
    ASSERT_EQ(stops.rows.size(), 1u);  // 0.3 km between the two is no trip
    EXPECT_EQ(std::get<std::string>(Cell(stops, 0, "miejsce")), "Baza");
    EXPECT_EQ(Integer(stops, 0, "przyjazd"), At(11));
    EXPECT_EQ(Integer(stops, 0, "odjazd"), At(33));
    EXPECT_EQ(Integer(stops, 0, "silnik_s"), 9 * 60 + 4 * 60 + 2 * 60);  // both stops and the way between
    EXPECT_EQ(Run(ReportKind::Trasy).rows.size(), 2u);
}

TEST_P(Reports, TwoHoursWithoutPositionsAreAStopAndTheirWayIsNotCounted) {
    Drive d("WA1");
    d.Move(11).Skip(120, 25).Move(11);
    store().Append(d.rows);
    const ReportTable stops = Run(ReportKind::Postoje);
    ASSERT_EQ(stops.rows.size(), 1u);
    EXPECT_EQ(Integer(stops, 0, "przyjazd"), At(10));
    EXPECT_EQ(Integer(stops, 0, "odjazd"), At(131));
    const ReportTable trips = Run(ReportKind::Trasy);
    ASSERT_EQ(trips.rows.size(), 2u);
    EXPECT_NEAR(Number(trips, 0, "km"), 10, 1e-6);
    EXPECT_NEAR(Number(trips, 1, "km"), 10, 1e-6);
    EXPECT_NEAR(Number(Run(ReportKind::Podsumowanie), 0, "km"), 20, 1e-6);
}

TEST_P(Reports, WithZaplonTheEngineEndsTripsNotStandingWithItRunning) {
    Drive d("WA1");
    d.Move(11).Stand(10, 10).Move(10).Stand(2).Move(10);
    store().Append(d.rows);
    EXPECT_EQ(Run(ReportKind::Trasy).rows.size(), 2u);  // ten minutes in a jam stop; two minutes do not
    context_.settings.ignition = true;
    const ReportTable trips = Run(ReportKind::Trasy);
    ASSERT_EQ(trips.rows.size(), 2u);  // the engine off for two minutes ends a trip; the jam does not
    EXPECT_EQ(Integer(trips, 0, "koniec"), At(31));
    EXPECT_EQ(Integer(trips, 1, "poczatek"), At(32));
}

TEST_P(Reports, ARefuelWithinATripIsNoNegativeUseAndTheSummaryCountsLitresAndEvents) {
    Drive d("WA1");
    for (int m = 0; m <= 20; ++m) d.Fuel(50 - m / 4).Move(1);
    d.Fuel(95).Stand(3, 3);
    for (int m = 24; m <= 40; ++m) d.Fuel(95 - (m - 24) / 4).Move(1);
    store().Append(d.rows);
    Event refuel;
    refuel.type = EventType::Tankowanie;
    refuel.registration = "WA1";
    refuel.startUtc = At(21);
    refuel.endUtc = At(23);
    refuel.interval = true;
    refuel.value = 50;
    refuel.id = EventId(refuel.type, refuel.registration, refuel.startUtc, "");
    Event speeding = refuel;
    speeding.type = EventType::PrzekroczeniePredkosci;
    speeding.startUtc = At(30);
    speeding.id = EventId(speeding.type, speeding.registration, speeding.startUtc, "");
    store().AppendEvents({refuel, speeding});
    context_.tankLitres = [](const std::string&) { return std::optional<double>(60); };

    const ReportTable trips = Run(ReportKind::Trasy);
    ASSERT_EQ(trips.rows.size(), 1u);  // three minutes at the pump are no stop
    EXPECT_NEAR(Number(trips, 0, "paliwo_proc"), 8, 1e-9);  // 5 points before the pump, 3 after
    EXPECT_NEAR(Number(trips, 0, "paliwo_l"), 4.8, 1e-9);

    const ReportTable summary = Run(ReportKind::Podsumowanie);
    EXPECT_NEAR(Number(summary, 0, "paliwo_l"), 4.8, 1e-9);
    EXPECT_NEAR(Number(summary, 0, "zatankowano_l"), 30, 1e-9);
    EXPECT_EQ(Integer(summary, 0, "przekroczenie_predkosci"), 1);
    EXPECT_EQ(Integer(summary, 0, "tankowanie"), 1);
    EXPECT_EQ(Integer(summary, 0, "zaplon"), 0);
}

TEST_P(Reports, SummariesGoByPolishDayAndByDriver) {
    Drive d("WA1");
    d.Move(6).Driver("0000B2").Move(5).Skip(16 * 60 - 11, 0).Move(4);  // the last four minutes on the next Polish day
    Drive e("WA2");
    e.Driver("0000B2").Move(3);
    store().Append(d.rows);
    store().Append(e.rows);

    const ReportTable days = Run(ReportKind::Podsumowanie, {"WA1"}, true);
    ASSERT_EQ(days.rows.size(), 2u);
    EXPECT_EQ(Integer(days, 0, "dzien"), kDec8 - 3600);
    EXPECT_EQ(Integer(days, 1, "dzien"), kDec8 + 86400 - 3600);
    EXPECT_NEAR(Number(days, 1, "km"), 3, 1e-6);

    const ReportTable drivers = Run(ReportKind::Kierowcy);
    ASSERT_EQ(drivers.rows.size(), 2u);
    EXPECT_EQ(std::get<std::string>(Cell(drivers, 0, "kierowca")), "0000A1");
    EXPECT_NEAR(Number(drivers, 0, "km"), 6, 1e-6);  // the first six steps of WA1
    EXPECT_NEAR(Number(drivers, 1, "km"), 4 + 3 + 2, 1e-6);  // the rest of WA1's day, its next day, WA2
}

namespace {

// What a scan gave: each vehicle's times, and the restarts.
struct Recorder : TrackVisitor {
    std::map<std::string, std::vector<std::int64_t>> times;
    std::vector<std::string> restarts;
    void Point(const TrackPoint& p) override { times[p.registration].push_back(p.timeUtc); }
    void Restart(const std::string& registration) override {
        restarts.push_back(registration);
        times.erase(registration);
    }
};

}  // namespace

// SQLite reads a month file whole when the range covers a tenth of it or more, and
// through the index otherwise; PostgreSQL reads every vehicle in the order written.
TEST_P(Reports, AScanGivesEachVehicleInTimeOrderWholeOrByIndexAndRestartsOneWrittenOutOfOrder) {
    Drive a("WA1"), b("WA2");
    a.Move(5);
    b.Move(5);
    std::swap(b.rows[1].fixTimeUtc, b.rows[3].fixTimeUtc);  // received out of order
    store().Append(a.rows);
    store().Append(b.rows);
    // A month file made by a run killed before its first write: no table, no rows.
    if (OnSqlite()) std::ofstream(Directory() / "historia" / "pozycje-2026-11.db");
    EXPECT_TRUE(store().Query({std::nullopt, kDec8 - 20 * 86400, kDec8 + 86400}).size() == 10u);
    const std::vector<std::int64_t> inOrder = {At(0), At(1), At(2), At(3), At(4)};
    for (const auto& [from, to] : {std::pair{kDec8 - 20 * 86400, kDec8 + 10 * 86400},  // the month file read whole
                                   std::pair{kDec8, kDec8 + 86400}}) {                // through the index
        Recorder seen;
        store().ScanTrack(TrackQuery{{}, from, to}, seen);
        EXPECT_EQ(seen.times["WA1"], inOrder);
        EXPECT_EQ(seen.times["WA2"], inOrder);
        const bool byIndex = OnSqlite() && from == kDec8;
        EXPECT_EQ(seen.restarts, (byIndex ? std::vector<std::string>{} : std::vector<std::string>{"WA2"}));
    }
    Recorder one;
    store().ScanTrack(TrackQuery{{"WA2"}, kDec8, kDec8 + 86400}, one);
    EXPECT_EQ(one.times.size(), 1u);
    EXPECT_EQ(one.times["WA2"], inOrder);
}

TEST(ReportFormats, JsonAndCsvWriteEachKindOfCellAndXlsxHoldsRealNumbersAndDates) {
    ReportTable t;
    t.kind = ReportKind::Postoje;
    t.title = Cp1250("Postoje");
    t.fromUtc = kDec8 - 3600;
    t.toUtc = kDec8 + 86400 - 3600;
    t.columns = {{"pojazd", Cp1250("Pojazd"), CellKind::Text, 0, 10},
                 {"miejsce", Cp1250("Miejsce"), CellKind::Text, 0, 20},
                 {"przyjazd", Cp1250("Przyjazd"), CellKind::Time, 0, 16},
                 {"dzien", Cp1250("Dzień"), CellKind::Date, 0, 10},
                 {"km", Cp1250("Kilometry"), CellKind::Number, 1, 8},
                 {"czas_s", Cp1250("Czas postoju"), CellKind::Duration, 0, 8},
                 {"odjazd", Cp1250("Odjazd"), CellKind::Time, 0, 16}};
    std::vector<ReportCell> row;
    row.emplace_back(Cp1250("WA1"));
    row.emplace_back(Cp1250("Łódź, \"Baza\""));
    row.emplace_back(std::int64_t{At(31)});
    row.emplace_back(std::int64_t{kDec8 - 3600});
    row.emplace_back(12.345);
    row.emplace_back(std::int64_t{5400});
    row.emplace_back(std::monostate{});
    t.rows.push_back(row);

    EXPECT_EQ(ReportCsv(t),
              "pojazd,miejsce,przyjazd,dzien,km,czas_s,odjazd\r\n"
              "WA1,\"Łódź, \"\"Baza\"\"\",2026-12-08T08:31:00+01:00,2026-12-08,12.3,5400,\r\n");
    const std::string json = ReportJson(t);
    EXPECT_NE(json.find(R"({"pojazd": "WA1", "miejsce": "Łódź, \"Baza\"", "przyjazd": "2026-12-08T08:31:00+01:00", )"
                        R"("dzien": "2026-12-08", "km": 12.3, "czas_s": 5400, "odjazd": null})"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find(R"({"klucz": "czas_s", "tytul": "Czas postoju", "typ": "sekundy"})"), std::string::npos);
    EXPECT_EQ(CellText(t.columns[5], t.rows[0][5], ','), "1:30");
    EXPECT_EQ(CellText(t.columns[4], t.rows[0][4], ','), "12,3");

    // Read back as a spreadsheet program would.
    TestDirectory dir;
    const std::string path = (dir.Path() / "raport.xlsx").string();
    std::ofstream(path, std::ios::binary) << ReportXlsx(t);
    const std::string script = "import openpyxl\n"
                               "ws = openpyxl.load_workbook('" + path + "').active\n"
                               "print(ws.title)\n"
                               "for row in ws.iter_rows(values_only=True): print(repr(row))\n"
                               "print(ws['E2'].number_format, ws['F2'].number_format, ws.freeze_panes)\n";
    std::ofstream(dir.Path() / "read.py") << script;
    FILE* pipe = ::popen(("/usr/bin/python3 " + (dir.Path() / "read.py").string() + " 2>&1").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char buf[512];
    while (std::fgets(buf, sizeof buf, pipe)) out += buf;
    ASSERT_EQ(::pclose(pipe), 0) << out;
    EXPECT_EQ(out,
              "Postoje\n"
              "('Pojazd', 'Miejsce', 'Przyjazd', 'Dzień', 'Kilometry', 'Czas postoju', 'Odjazd')\n"
              "('WA1', 'Łódź, \"Baza\"', datetime.datetime(2026, 12, 8, 8, 31), datetime.datetime(2026, 12, 8, 0, 0), "
              "12.345, datetime.timedelta(seconds=5400), None)\n"
              "0.0 [h]:mm A2\n");
}

// The web API's router, driven directly: routes and statuses, the password, the JSON of
// a known row, the history's time span, and the metrics text.
#include <gtest/gtest.h>

#include <map>

#include "accounts/Secrets.hpp"
#include "accounts/SqliteAccountStore.hpp"
#include "common/Win1250.hpp"
#include "support/TestDirectory.hpp"
#include "vehicles/DisplayTable.hpp"
#include "vehicles/TableLock.hpp"
#include "unitsim/PositionRecordBuilder.hpp"
#include "web/JointFleet.hpp"
#include "web/WebMetrics.hpp"
#include "web/WebRouter.hpp"

using namespace serwer;

namespace {

// 2026-12-09 12:00:00 UTC, 13:00 in Poland.
constexpr std::int64_t kNowUtcMs = 1796817600000;

VehicleRow KnownRow() {
    VehicleRow row;
    row.NAZWA = "WA12345";
    row.LICENCJA = "0011223344556677";
    row.OPIS = "2026.12.09-12:30";
    row.SZEROKOSC = "52.2057500N";
    row.DLUGOSC = "21.0205667W";
    row.PREDKOSC = "42.50 Km/h";
    row.GPS = "OK";
    row.SILNIK = Cp1250("ZAŁ");
    row.PALIWO = "Sonda-22 %";
    row.KIEROWCA = "Brak ID";
    row.PRZEBIEG = 12300;
    row.URZ1 = true;
    row.URZ2 = false;
    row.ODCZYT = DateTime::Make(2026, 12, 8, 6, 15);
    row.LICZNIK_ODCZYTOW = 4;
    return row;
}

int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

class WebRouterTest : public ::testing::Test {
protected:
    WebRouter Router(const std::string& password = "") {
        WebSources s;
        s.vehicles = [this] {
            ++snapshots_;
            return rows_;
        };
        s.history = [this](const HistoryQuery& q) {
            queries_.push_back(q);
            return found_;
        };
        s.events = [this](const EventQuery& q) {
            eventQueries_.push_back(q);
            return events_;
        };
        s.report = [this](const ReportRequest& q) -> std::optional<ReportTable> {
            reportRequests_.push_back(q);
            if (reportsBusy_) return std::nullopt;
            ReportTable t;
            t.kind = q.kind;
            t.title = "Trasy";
            t.fromUtc = q.fromUtc;
            t.toUtc = q.toUtc;
            t.columns = {{"pojazd", "Pojazd", CellKind::Text, 0, 10}};
            t.rows = {{ReportCell(std::string("WA1"))}};
            return t;
        };
        s.health = [this] { return health_; };
        s.metrics = [] { return std::string("serwer_vehicles 1\n"); };
        s.nowUtcMs = [this] { return now_; };
        s.assets = [this]() -> const std::vector<WebAsset>& { return assets_; };
        s.accounts = accounts_.get();
        return WebRouter(WebRouterSettings{password, refusePlain_, refusePlain_}, s);
    }
    static WebResponse Get(const WebRouter& r, const std::string& path, const std::string& query = "",
                           const std::string& method = "GET") {
        return r.Handle({method, path, query, std::nullopt});
    }

    std::unique_ptr<AccountService> accounts_;
    bool refusePlain_ = false;
    std::shared_ptr<VehicleRows> rows_ = std::make_shared<VehicleRows>(VehicleRows{{KnownRow()}, 7, {7}, 0});
    std::vector<HistoryQuery> queries_;
    std::vector<EventQuery> eventQueries_;
    std::vector<ReportRequest> reportRequests_;
    bool reportsBusy_ = false;
    std::vector<Event> events_;
    std::vector<HistoryRecord> found_;
    int snapshots_ = 0;
    std::int64_t now_ = kNowUtcMs;
    WebHealth health_{true, 3, true, false, 10, 0, true, std::string("strefy.geojson: obiekt 2: brak nazwy"), std::nullopt};
    std::vector<WebAsset> assets_{{"/index.html", "text/html; charset=utf-8", "<p>mapa</p>"},
                                  {"/static/app.js", "text/javascript; charset=utf-8", "go()"}};
};

TEST_F(WebRouterTest, RoutesAnswerWithTheirStatuses) {
    const WebRouter r = Router();
    EXPECT_EQ(Get(r, "/").Body(), "<p>mapa</p>");
    EXPECT_EQ(Get(r, "/static/app.js").contentType, "text/javascript; charset=utf-8");
    for (const char* missing :
         {"/static/../index.html", "/static/%2e%2e/app.js", "/index.html", "/api", "/api/pojazdy/"})
        EXPECT_EQ(Get(r, missing).status, 404) << missing;
    EXPECT_EQ(Get(r, "/api/mapa").Body(),
              R"({"url":"https://tile.openstreetmap.org/{z}/{x}/{y}.png","atrybucja":"© OpenStreetMap contributors"})");
    EXPECT_EQ(Get(r, "/api/mapa", "", "HEAD").status, 200);
    const WebResponse post = Get(r, "/api/pojazdy", "", "POST");
    EXPECT_EQ(post.status, 405);
    EXPECT_EQ(post.headers, (std::vector<std::pair<std::string, std::string>>{{"Allow", "GET, HEAD"}}));
    EXPECT_EQ(Get(r, "/api/zdrowie").Body(),
              R"({"status":"ok","nasluch":true,"polaczenia":3,"pojazdy":1,)"
              R"("historia":{"prowadzona":true,"blad_zapisu":false,"zapisane":10,"utracone":0},)"
              R"("zdarzenia":{"wykrywane":true,"blad_stref":"strefy.geojson: obiekt 2: brak nazwy"}})");
    // A notification waiting longer than an hour: the outbox is late.
    health_.notifications = NotificationFigures{{}, 2, 3601};
    EXPECT_NE(std::string(Get(r, "/api/zdrowie").Body())
                  .find(R"("powiadomienia":{"w_kolejce":2,"najstarsze_s":3601,"zalegle":true}})"),
              std::string::npos);
    health_.listening = false;
    EXPECT_EQ(Get(r, "/api/zdrowie").status, 503);
    EXPECT_EQ(Get(r, "/metrics").contentType, "text/plain; version=0.0.4; charset=utf-8");
}

TEST_F(WebRouterTest, ReportsTakeTheirVehiclesSpanAndFormatAndSayWhenBusy) {
    const WebRouter r = Router();
    const WebResponse csv = Get(r, "/api/raporty/trasy", "pojazd=WA1,%C5%81D1&pojazd=WA1&od=2026-12-01&do=2026-12-07&format=csv");
    ASSERT_EQ(csv.status, 200);
    EXPECT_EQ(csv.Body(), "pojazd\r\nWA1\r\n");
    EXPECT_EQ(csv.headers, (std::vector<std::pair<std::string, std::string>>{
                               {"Content-Disposition", "attachment; filename=\"trasy-2026-12-01.csv\""}}));
    ASSERT_EQ(reportRequests_.size(), 1u);
    EXPECT_EQ(reportRequests_[0].registrations, (std::vector<std::string>{"WA1", "\xA3" "D1"}));
    EXPECT_EQ(reportRequests_[0].fromUtc, 1796079600);  // 2026-12-01 00:00 in Poland
    EXPECT_EQ(reportRequests_[0].toUtc, 1796684400);    // the end of 7 December
    EXPECT_EQ(Get(r, "/api/raporty/podsumowanie", "dzien=1&format=xlsx").Body().substr(0, 2), "PK");
    EXPECT_TRUE(reportRequests_.back().perDay);
    EXPECT_EQ(Get(r, "/api/raporty/trasy").contentType, "application/json; charset=utf-8");
    EXPECT_EQ(Get(r, "/api/raporty/mapa").status, 404);
    EXPECT_EQ(Get(r, "/api/raporty/trasy", "format=pdf").status, 400);
    EXPECT_EQ(Get(r, "/api/raporty/trasy", "pojazd=A%2FB").status, 400);
    EXPECT_EQ(Get(r, "/api/raporty/trasy", "od=2026-10-01&do=2026-12-01").status, 400);
    reportsBusy_ = true;
    const WebResponse busy = Get(r, "/api/raporty/trasy");
    EXPECT_EQ(busy.status, 503);
    EXPECT_EQ(busy.headers, (std::vector<std::pair<std::string, std::string>>{{"Retry-After", "10"}}));
}

// The events: the query's vehicle, type and span reach the store; the answer lists them
// with Polish times, null for what an event has not, as JSON or CSV.
TEST_F(WebRouterTest, EventsPassTheirFiltersAndAnswerJsonOrCsv) {
    Event e;
    e.id = 42, e.type = EventType::PrzekroczeniePredkosci, e.registration = "WA12345";
    e.startUtc = 1796724120, e.endUtc = 1796724240, e.interval = true;
    e.latitude = 52.1, e.longitude = 21.0, e.value = 110, e.limit = 90;
    e.text = Cp1250("przekroczenie prędkości 110 km/h (limit 90) od 11:02 do 11:04, 2,2 km");
    events_ = {e};
    const WebRouter r = Router();
    const WebResponse json = Get(r, "/api/zdarzenia", "pojazd=WA12345&typ=przekroczenie_predkosci&od=2026-12-08");
    EXPECT_EQ(json.Body(),
              "{\"zdarzenia\": [\n{\"id\": 42, \"typ\": \"przekroczenie_predkosci\", \"pojazd\": \"WA12345\", "
              "\"od\": \"2026-12-08T11:02:00+01:00\", \"do\": \"2026-12-08T11:04:00+01:00\", \"szerokosc\": 52.1000000, "
              "\"dlugosc\": 21.0000000, \"strefa\": null, \"wartosc\": 110.00, \"limit\": 90, "
              "\"opis\": \"przekroczenie prędkości 110 km/h (limit 90) od 11:02 do 11:04, 2,2 km\"}\n]}\n");
    ASSERT_EQ(eventQueries_.size(), 1u);
    EXPECT_EQ(eventQueries_[0].registration, "WA12345");
    EXPECT_EQ(eventQueries_[0].type, EventType::PrzekroczeniePredkosci);
    EXPECT_EQ(eventQueries_[0].fromUtc, 1796684400);  // 8 Dec 00:00 Polish time
    EXPECT_EQ(eventQueries_[0].toUtc, 1796857200);    // the end of today
    e.endUtc.reset(), e.limit.reset(), e.zone = "Baza", e.text = "a, \"b\"";
    events_ = {e};
    EXPECT_EQ(Get(r, "/api/zdarzenia", "format=csv").Body(),
              "id,typ,pojazd,od,do,szerokosc,dlugosc,strefa,wartosc,limit,opis\r\n"
              "42,przekroczenie_predkosci,WA12345,2026-12-08T11:02:00+01:00,,52.1000000,21.0000000,Baza,110.00,,"
              "\"a, \"\"b\"\"\"\r\n");
    EXPECT_FALSE(eventQueries_[1].registration);
    EXPECT_EQ(Get(r, "/api/zdarzenia", "typ=nieznany").status, 400);
    EXPECT_EQ(Get(r, "/api/zdarzenia", "format=xml").status, 400);
    EXPECT_EQ(Get(r, "/api/strefy").status, 503);  // no detectors

    // A span with more than the store is asked for: the earliest, and the answer says so.
    EXPECT_EQ(eventQueries_.back().limit, WebRouter::kMaxEvents + 1);
    events_.assign(WebRouter::kMaxEvents + 1, e);
    const WebResponse many = Get(r, "/api/zdarzenia", "");
    EXPECT_TRUE(many.Body().ends_with("}\n], \"obciete\": true}\n"));
    EXPECT_EQ(std::count(many.Body().begin(), many.Body().end(), '\n'), WebRouter::kMaxEvents + 2);
    EXPECT_EQ(many.headers, (decltype(many.headers){{"X-Obciete", "10000"}}));
}

TEST_F(WebRouterTest, HistoryValidatesTheRegistrationAndTheSpan) {
    const WebRouter r = Router();
    // Overlong forms, a surrogate, beyond U+10FFFF, and characters Windows-1250 lacks.
    for (const char* bad :
         {"/api/pojazdy/%2F/historia", "/api/pojazdy/ABCDEFGHI/historia", "/api/pojazdy/A%01/historia",
          "/api/pojazdy/%ZZ/historia", "/api/pojazdy/%C5/historia", "/api/pojazdy/%E0%81%81/historia",
          "/api/pojazdy/%C0%80/historia", "/api/pojazdy/%F0%80%81%81/historia", "/api/pojazdy/%ED%A0%80/historia",
          "/api/pojazdy/%F4%90%80%80/historia", "/api/pojazdy/WA%E4%B8%AD/historia", "/api/pojazdy/WA%C2%81/historia",
          "/api/pojazdy/WA%F0%9F%9A%97/historia"})
        EXPECT_EQ(Get(r, bad).status, 400) << bad;
    for (const char* query :
         {"od=2026-13-01", "od=2026-12-09&do=2026-12-01", "od=2026-10-01&do=2026-12-01", "format=exe", "od=jutro"})
        EXPECT_EQ(Get(r, "/api/pojazdy/WA12345/historia", query).status, 400) << query;
    EXPECT_TRUE(queries_.empty());

    // A Polish registration of 8 characters (8 bytes in Windows-1250); a date alone in
    // "do" includes its day; Polish winter time is UTC+1.
    const WebResponse csv =
        Get(r, "/api/pojazdy/%C5%81%C3%93D%C5%B9%20123/historia", "od=2026-12-08&do=2026-12-08&format=csv");
    EXPECT_EQ(csv.status, 200);
    EXPECT_EQ(csv.contentType, "text/csv; charset=utf-8");
    // Without od and do: today in Poland; an ISO time with its offset is taken as it is.
    EXPECT_EQ(Get(r, "/api/pojazdy/WA12345/historia").Body(),
              R"({"pojazd":"WA12345","od":"2026-12-09T00:00:00+01:00","do":"2026-12-10T00:00:00+01:00","pozycje":[]})");
    Get(r, "/api/pojazdy/WA12345/historia", "od=2026-07-01T10:00:00+02:00&do=2026-07-01+12:30");
    ASSERT_EQ(queries_.size(), 3u);
    EXPECT_EQ(queries_[0].registration, Cp1250("ŁÓDŹ 123"));
    EXPECT_EQ(queries_[0].fromUtc, 1796684400);  // 2026-12-07 23:00 UTC
    EXPECT_EQ(queries_[0].toUtc, 1796770800);    // 2026-12-08 23:00 UTC
    EXPECT_EQ(queries_[2].fromUtc, 1782892800);  // 2026-07-01 08:00 UTC
    EXPECT_EQ(queries_[2].toUtc, 1782901800);    // 2026-07-01 10:30 UTC (12:30 summer time)
}

TEST_F(WebRouterTest, HistoryKeepsPolishTimeByTheZoneAndLimitsTheSpanToCalendarDays) {
    const WebRouter r = Router();
    // 1 to 31 October: 31 days and the hour October's change repeats; 32 days are too many.
    EXPECT_EQ(Get(r, "/api/pojazdy/WA12345/historia", "od=2026-10-01&do=2026-10-31").Body(),
              R"({"pojazd":"WA12345","od":"2026-10-01T00:00:00+02:00","do":"2026-11-01T00:00:00+01:00","pozycje":[]})");
    EXPECT_EQ(Get(r, "/api/pojazdy/WA12345/historia", "od=2026-10-01&do=2026-11-01").status, 400);
    Get(r, "/api/pojazdy/WA12345/historia", "od=2026-10-25+02:00&do=2026-10-25+03:00");
    Get(r, "/api/pojazdy/WA12345/historia", "do=2026-03-29+02:30");
    ASSERT_EQ(queries_.size(), 3u);
    EXPECT_EQ(queries_[0].toUtc - queries_[0].fromUtc, 31 * 86400 + 3600);
    EXPECT_EQ(queries_[1].fromUtc, 1792886400);  // 2026-10-25 00:00 UTC: the earlier 02:00
    EXPECT_EQ(queries_[1].toUtc, 1792893600);    // 02:00 UTC
    EXPECT_EQ(queries_[2].fromUtc, 1774738800);  // 2026-03-28 23:00 UTC: the start of the day of do
    EXPECT_EQ(queries_[2].toUtc, 1774747800);    // 01:30 UTC: a skipped time is winter time

    // A fix in the hour before March's change, and a damaged record's coordinates.
    HistoryRecord row;
    row.fixTimeUtc = 1774742460;   // 2026-03-29 00:01 UTC
    row.receivedUtc = 1792891800;  // 2026-10-25 01:30 UTC
    row.latitude = 99.9999833;
    row.longitude = 999.9999833;
    found_ = {row};
    EXPECT_EQ(Get(r, "/api/pojazdy/WA12345/historia", "od=2026-03-29&do=2026-03-29").Body(),
              R"({"pojazd":"WA12345","od":"2026-03-29T00:00:00+01:00","do":"2026-03-30T00:00:00+02:00","pozycje":[)"
              R"({"czas":"2026-03-29T01:01:00+01:00","odebrano":"2026-10-25T02:30:00+01:00","szerokosc":null,)"
              R"("dlugosc":null,"predkosc":null,"paliwo":"","silnik":false,"gps":"","kierowca":"","we1":false,)"
              R"("we2":false,"we3":false,"przebieg":null,"w_ruchu":false}]})");
}

TEST_F(WebRouterTest, PasswordIsAskedForAndAnyUserNameGoes) {
    const WebRouter r = Router(Cp1250("tajne hasło"));
    const auto with = [&](std::optional<std::string> auth) {
        return r.Handle({"GET", "/api/mapa", "", std::move(auth)}).status;
    };
    const WebResponse none = Get(r, "/api/mapa");
    EXPECT_EQ(none.status, 401);
    ASSERT_EQ(none.headers.size(), 1u);
    EXPECT_EQ(none.headers[0].first, "WWW-Authenticate");
    EXPECT_EQ(with("Basic eDp0YWpuZSBoYXNsbw=="), 401);  // x:tajne haslo
    EXPECT_EQ(with("Basic eDp0YWpuZSBoYXPFgm8x"), 401);  // x:tajne hasło1
    EXPECT_EQ(with("Basic Ojp0YWpuZSBoYXPFgm8="), 401);  // ::tajne hasło
    EXPECT_EQ(with("Bearer eDp0YWpuZSBoYXPFgm8="), 401);
    EXPECT_EQ(with("Basic YWRtaW46dGFqbmUgaGFzxYJv"), 200);  // admin:tajne hasło
    EXPECT_EQ(with("basic OnRham5lIGhhc8WCbw=="), 200);      // :tajne hasło
    EXPECT_EQ(Get(r, "/metrics", "", "DELETE").status, 401);
}

TEST_F(WebRouterTest, VehicleRowInJson) {
    EXPECT_EQ(VehicleJson(KnownRow(), kNowUtcMs),
              R"({"nazwa":"WA12345","licencja":"0011223344556677","czas":"2026-12-09T12:30:00+01:00",)"
              R"("szerokosc":52.20575,"dlugosc":-21.0205667,"predkosc":42.5,"gps":"OK","silnik":"ZAŁ",)"
              R"("paliwo":"Sonda-22 %","kierowca":"Brak ID","przebieg":12300,"we1":true,"we2":false,"we3":null,)"
              R"("odczyt":"2026-12-08T06:15:00+01:00","proba_odczytu":null,"liczba_odczytow":4,"wiek_s":1800,)"
              R"("swiezosc":"aktualna","gps_ok":true,"w_ruchu":true})");
    VehicleRow empty;
    empty.NAZWA = "KR\"1\\";
    empty.PREDKOSC = "4.99 Km/h";
    empty.SZEROKOSC = "99.9999833N";  // a damaged record's texts: no coordinates
    empty.DLUGOSC = "999.9999833E";
    EXPECT_EQ(VehicleJson(empty, kNowUtcMs),
              R"({"nazwa":"KR\"1\\","licencja":null,"czas":null,"szerokosc":null,"dlugosc":null,"predkosc":4.99,)"
              R"("gps":null,"silnik":null,"paliwo":null,"kierowca":null,"przebieg":null,"we1":null,"we2":null,)"
              R"("we3":null,"odczyt":null,"proba_odczytu":null,"liczba_odczytow":0,"wiek_s":null,)"
              R"("swiezosc":"nieaktualna","gps_ok":false,"w_ruchu":false})");
    VehicleRow march = KnownRow();
    march.OPIS = "2026.03.29-02:01";  // by the table's own rule: 00:01 UTC
    EXPECT_NE(VehicleJson(march, kNowUtcMs).find(R"("czas":"2026-03-29T01:01:00+01:00")"), std::string::npos);
    // The freshness the grid colours by, at its bounds.
    EXPECT_EQ(PositionFreshness(kMuteAfterMs), Freshness::Fresh);
    EXPECT_EQ(PositionFreshness(kMuteAfterMs + 1), Freshness::Stale);
    EXPECT_EQ(PositionFreshness(kWarnAfterMs), Freshness::Stale);
    EXPECT_EQ(PositionFreshness(kWarnAfterMs + 1), Freshness::Old);

    const std::string list = std::string(Get(Router(), "/api/pojazdy").Body());
    EXPECT_EQ(list, R"({"czas":"2026-12-09T13:00:00+01:00","wersja":1796817600000007,"pelna":true,"pojazdy":[)" +
                        VehicleJson(KnownRow(), kNowUtcMs) + "]}");
}

TEST_F(WebRouterTest, TheVehicleListIsCopiedAndEncodedAtMostOnceASecond) {
    const WebRouter router = Router();
    const std::string first(Get(router, "/api/pojazdy").Body());
    rows_ = std::make_shared<VehicleRows>(VehicleRows{{KnownRow(), KnownRow()}, 8, {7, 8}, 0});  // the table changes
    now_ += 999;
    EXPECT_EQ(Get(router, "/api/pojazdy").Body(), first);
    EXPECT_EQ(snapshots_, 1);
    now_ += 1;
    EXPECT_NE(Get(router, "/api/pojazdy").Body(), first);
    EXPECT_EQ(snapshots_, 2);
}

// Versions are the table's change numbers over a base of a thousand per millisecond of
// the router's making (kNowUtcMs here): 1796817600000000 + change.
TEST_F(WebRouterTest, AListFromAVersionHoldsOnlyTheRowsChangedSinceOrTheWholeListWhenItCannotTell) {
    const WebRouter router = Router();
    const std::string base = "1796817600000";
    const std::string empty = R"({"czas":"2026-12-09T13:00:00+01:00","wersja":)" + base + R"(007,"pelna":false,"pojazdy":[]})";
    EXPECT_EQ(Get(router, "/api/pojazdy", "od_wersji=" + base + "007").Body(), empty);
    VehicleRow moved = KnownRow();
    moved.NAZWA = "WA999";
    rows_ = std::make_shared<VehicleRows>(VehicleRows{{KnownRow(), moved, KnownRow()}, 12, {7, 12, 9}, 3});
    now_ += 1000;
    const std::string tail = R"(,"pojazdy":[)" + VehicleJson(moved, now_) + "]}";
    EXPECT_EQ(Get(router, "/api/pojazdy", "od_wersji=" + base + "009").Body(),
              R"({"czas":"2026-12-09T13:00:01+01:00","wersja":)" + base + R"(012,"pelna":false)" + tail);
    const std::string two(Get(router, "/api/pojazdy", "od_wersji=" + base + "007").Body());
    EXPECT_EQ(Count(two, "\"nazwa\""), 2);
    EXPECT_NE(two.find(R"("pelna":false)"), std::string::npos);
    // From before a vehicle went away, newer than the table, or from before a restart:
    // the whole list.
    for (const std::string& version : {base + "002", base + "013", std::string("7"), std::string("0")}) {
        const std::string body(Get(router, "/api/pojazdy", "od_wersji=" + version).Body());
        EXPECT_NE(body.find(R"("pelna":true)"), std::string::npos) << version;
        EXPECT_EQ(Count(body, "\"nazwa\""), 3) << version;
    }
    for (const char* bad : {"od_wersji=-1", "od_wersji=12x", "od_wersji=99999999999999999999999"})
        EXPECT_EQ(Get(router, "/api/pojazdy", bad).status, 400) << bad;
    EXPECT_EQ(snapshots_, 2);  // one copy a second, whatever was asked
}

TEST(VehicleSnapshotTest, ACopyTellsWhichRowsChangedAndWhenAVehicleWentAway) {
    TableLock lock;
    VehicleTable& table = lock.TableUnlocked();
    for (const char* name : {"WA1", "WA2", "WA3"}) {
        VehicleRow row;
        row.NAZWA = name;
        table.Append(row);
    }
    VehicleSnapshot snapshot(lock);
    const auto first = snapshot.Rows();
    ASSERT_EQ(first->change, 3u);
    EXPECT_EQ(first->ChangedSince(0), (std::vector<std::size_t>{0, 1, 2}));
    VehicleRow edited = table.Row(1);
    edited.KIEROWCA = "Jan";
    table.Post(1, edited);
    EXPECT_EQ(snapshot.Rows()->ChangedSince(3), std::vector<std::size_t>{1});
    EXPECT_EQ(snapshot.Rows()->ChangedSince(4), std::vector<std::size_t>{});
    EXPECT_EQ(snapshot.Rows()->ChangedSince(5), std::nullopt);  // newer than the table
    // A renamed row, then a cleared and reloaded table with one vehicle fewer.
    edited.NAZWA = "WA9";
    table.Post(1, edited);
    const auto renamed = snapshot.Rows();
    EXPECT_EQ(renamed->ChangedSince(4), std::nullopt);
    EXPECT_EQ(renamed->ChangedSince(5), std::vector<std::size_t>{});
    table.Clear();
    table.AppendLoaded({VehicleRow{}, VehicleRow{}});
    const auto reloaded = snapshot.Rows();
    EXPECT_EQ(reloaded->rows.size(), 2u);
    EXPECT_EQ(reloaded->ChangedSince(5), std::nullopt);
    EXPECT_EQ(reloaded->ChangedSince(reloaded->change), std::vector<std::size_t>{});
}

TEST(JointFleetTest, OtherServersVehiclesFollowTheTableAndTheirChangesSendTheWholeList) {
    TableLock lock;
    VehicleRow own;
    own.NAZWA = "WA1";
    own.KIEROWCA = "Jan";
    lock.TableUnlocked().Append(own);
    VehicleSnapshot snapshot(lock);
    JointFleet joint('.');
    EXPECT_EQ(joint.Join(snapshot.Rows(), std::nullopt), snapshot.Rows());  // nothing read: the table alone

    // WA1 is this server's: shown as its table has it, not from the database.
    const auto position = [](const std::string& name, int minute) {
        PositionOptions o;
        o.registration = name, o.day = 8, o.month = 12, o.year = 2026, o.hour = 10, o.minute = minute;
        return MakeHistoryRecord(BuildPositionRecord(o), 1796724000);
    };
    const auto first = joint.Join(snapshot.Rows(), std::vector{position("WA1", 1), position("KR2", 2)});
    ASSERT_EQ(first->rows.size(), 2u);
    EXPECT_EQ(first->rows[0].KIEROWCA, "Jan");
    EXPECT_EQ(first->rows[1].NAZWA, "KR2");
    EXPECT_EQ(first->rows[1].LICENCJA, position("KR2", 2).ownerCode);  // a dispatcher sees it by its owner code
    EXPECT_TRUE(first->rows[1].OPIS && first->rows[1].SZEROKOSC && first->rows[1].PREDKOSC);
    EXPECT_EQ(first->ChangedSince(first->change), std::vector<std::size_t>{});
    EXPECT_EQ(joint.Join(snapshot.Rows(), std::nullopt), first);  // nothing changed: the same copy

    // The table's change alone is told row by row; one of the others' is the whole list.
    own.KIEROWCA = "Ewa";
    lock.TableUnlocked().Post(0, own);
    const auto edited = joint.Join(snapshot.Rows(), std::nullopt);
    EXPECT_GT(edited->change, first->change);
    EXPECT_EQ(edited->ChangedSince(first->change), std::vector<std::size_t>{0});
    const auto moved = joint.Join(snapshot.Rows(), std::vector{position("KR2", 3)});
    EXPECT_GT(moved->change, edited->change);
    EXPECT_EQ(moved->ChangedSince(edited->change), std::nullopt);
    EXPECT_NE(moved->rows[1].OPIS, first->rows[1].OPIS);
}

TEST(WebMetricsTest, NamesAndValues) {
    ServerMetrics server;
    server.positionsStored = 3;
    server.newVehiclesRefused = 4;
    server.readsArchived = 1;
    server.pagesAskedAgain = 5;
    TableLock table;
    { TableLockGuard guard(table); }
    WebCounters web;
    web.CountStatus(200);
    web.CountStatus(200);
    web.CountStatus(404);
    NotificationFigures notifications;
    notifications.counts[1][1] = 7;  // webhooks retried
    notifications.outbox = 3;
    const std::string text = MetricsText({&server, &table, nullptr, &web, 2, 10, nullptr, notifications});
    for (const char* line :
         {"# TYPE serwer_positions_stored_total counter\n", "serwer_open_connections 2\n", "serwer_vehicles 10\n",
          "serwer_positions_stored_total 3\n", "# TYPE serwer_new_vehicles_refused_total counter\n",
          "serwer_new_vehicles_refused_total 4\n", "serwer_memory_reads_total{outcome=\"archived\"} 1\n",
          "serwer_memory_reads_total{outcome=\"timed_out\"} 0\n", "serwer_pages_asked_again_total 5\n",
          "# TYPE serwer_table_save_seconds histogram\n", "serwer_table_save_seconds_count 0\n",
          "serwer_table_lock_wait_seconds_bucket{le=\"0.0001\"} 1\n", "serwer_table_lock_wait_seconds_count 1\n",
          "serwer_http_requests_total{status=\"200\"} 2\n", "serwer_http_requests_total{status=\"404\"} 1\n",
          "serwer_http_connections_refused_total 0\n",
          "serwer_notifications_total{channel=\"webhook\",outcome=\"retried\"} 7\n",
          "serwer_notifications_total{channel=\"email\",outcome=\"given_up\"} 0\n", "serwer_notifications_outbox 3\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    EXPECT_EQ(text.find("serwer_history_"), std::string::npos);  // no history kept
}

}  // namespace

namespace {

// Two customers (owner codes AAA and BBB) with a dispatcher each, and an administrator.
class WebAccountsTest : public WebRouterTest {
protected:
    void SetUp() override {
        auto store = std::make_unique<SqliteAccountStore>((directory_.Path() / "konta.db").string());
        const std::string hash = HashPassword("tajne");
        store->Add({"admin", Role::Administrator, {}, {}}, hash);
        store->Add({"anna", Role::Dispatcher, {"AAA"}, {}}, hash);
        store->Add({"bolek", Role::Dispatcher, {"BBB"}, {"WA1"}}, hash);
        accounts_ = std::make_unique<AccountService>(std::move(store), (directory_.Path() / "dostep.txt").string());
        VehicleRow a1, a2, b1;
        a1.NAZWA = "WA1";
        a1.LICENCJA = "AAA";
        a2.NAZWA = "WA2";
        a2.LICENCJA = "AAA";
        b1.NAZWA = "KR9";
        b1.LICENCJA = "BBB";
        rows_ = std::make_shared<VehicleRows>(VehicleRows{{a1, a2, b1}, 7, {7, 7, 7}, 0});
    }
    // A request with a session cookie of the account (logged in through the form).
    WebResponse As(const WebRouter& r, const std::string& account, const std::string& path,
                   const std::string& query = "") {
        std::string& cookie = cookies_[account];
        if (cookie.empty()) {
            WebRequest login{"POST", "/logowanie", "", std::nullopt};
            login.body = "nazwa=" + account + "&haslo=tajne";
            login.address = "10.0.0.1";
            const WebResponse answer = r.Handle(login);
            EXPECT_EQ(answer.status, 303);
            for (const auto& [name, value] : answer.headers)
                if (name == "Set-Cookie") cookie = value.substr(0, value.find(';'));
        }
        WebRequest q{"GET", path, query, std::nullopt};
        q.cookie = cookie;
        return r.Handle(q);
    }
    TestDirectory directory_;
    std::map<std::string, std::string> cookies_;
};

}  // namespace

TEST_F(WebAccountsTest, ADispatcherSeesOnlyItsOwnVehiclesAndAnotherCustomersIsAsOneThatDoesNotExist) {
    const WebRouter r = Router();
    const std::string anna = As(r, "anna", "/api/pojazdy").Body().data();
    EXPECT_EQ(Count(anna, "\"nazwa\":"), 2);
    EXPECT_EQ(Count(anna, "\"nazwa\":\"KR9\""), 0);
    // bolek: the owner code BBB and WA1 named for him.
    const std::string bolek = As(r, "bolek", "/api/pojazdy", "od_wersji=0").Body().data();
    EXPECT_EQ(Count(bolek, "\"nazwa\":\"KR9\"") + Count(bolek, "\"nazwa\":\"WA1\""), 2);
    EXPECT_EQ(Count(bolek, "\"nazwa\":\"WA2\""), 0);
    EXPECT_EQ(Count(As(r, "admin", "/api/pojazdy").Body().data(), "\"nazwa\":"), 3);

    const WebResponse other = As(r, "anna", "/api/pojazdy/KR9/historia");
    const WebResponse missing = As(r, "anna", "/api/pojazdy/XX0/historia");
    EXPECT_EQ(other.status, 404);
    EXPECT_EQ(other.Body(), missing.Body());
    EXPECT_EQ(As(r, "anna", "/api/pojazdy/WA2/historia").status, 200);
    EXPECT_EQ(As(r, "anna", "/api/zdarzenia", "pojazd=KR9").status, 404);
    EXPECT_EQ(As(r, "anna", "/api/raporty/trasy", "pojazd=WA1,KR9").status, 404);
    EXPECT_EQ(As(r, "admin", "/api/pojazdy/KR9/historia").status, 200);

    // Without a vehicle named: a dispatcher's own, one by one; a report of exactly those.
    events_ = {};
    eventQueries_.clear();
    ASSERT_EQ(As(r, "anna", "/api/zdarzenia").status, 200);
    ASSERT_EQ(eventQueries_.size(), 2u);
    EXPECT_EQ(*eventQueries_[0].registration, "WA1");
    EXPECT_EQ(*eventQueries_[1].registration, "WA2");
    ASSERT_EQ(As(r, "bolek", "/api/raporty/podsumowanie").status, 200);
    EXPECT_EQ(reportRequests_.back().registrations, (std::vector<std::string>{"KR9", "WA1"}));
    EXPECT_TRUE(reportRequests_.back().listIsWhole);

    EXPECT_EQ(As(r, "anna", "/api/zdrowie").status, 403);
    EXPECT_EQ(As(r, "anna", "/metrics").status, 403);
    EXPECT_EQ(As(r, "admin", "/metrics").status, 200);
    EXPECT_EQ(As(r, "anna", "/api/konto").Body(), R"({"konta":true,"nazwa":"anna","rola":"dyspozytor"})");
}

TEST_F(WebAccountsTest, LoginsSessionsTokensAndLocks) {
    const WebRouter r = Router();
    // Nobody logged in: the page sends the browser to the login page, the API asks.
    EXPECT_EQ(Get(r, "/").status, 303);
    EXPECT_EQ(Get(r, "/api/pojazdy").status, 401);
    EXPECT_EQ(Get(r, "/logowanie").status, 200);

    WebRequest login{"POST", "/logowanie", "", std::nullopt};
    login.body = "nazwa=anna&haslo=tajne";
    const WebResponse ok = r.Handle(login);
    ASSERT_EQ(ok.status, 303);
    std::string setCookie;
    for (const auto& [name, value] : ok.headers)
        if (name == "Set-Cookie") setCookie = value;
    ASSERT_EQ(setCookie.size(), std::string("sesja=; Path=/; HttpOnly; SameSite=Strict").size() + 64) << setCookie;
    EXPECT_TRUE(setCookie.ends_with("; Path=/; HttpOnly; SameSite=Strict"));
    login.secure = true;
    for (const auto& [name, value] : r.Handle(login).headers) {
        if (name == "Set-Cookie") {
            EXPECT_TRUE(value.ends_with("; Secure")) << value;
        }
    }

    WebRequest withSession{"GET", "/api/pojazdy", "", std::nullopt};
    withSession.cookie = "x=1; " + setCookie.substr(0, setCookie.find(';'));
    EXPECT_EQ(r.Handle(withSession).status, 200);
    WebRequest logout = withSession;
    logout.path = "/wyloguj";
    EXPECT_EQ(r.Handle(logout).status, 303);
    EXPECT_EQ(r.Handle(withSession).status, 401);

    // Scripts: Basic with the account's name and password, or its token.
    EXPECT_EQ(r.Handle({"GET", "/api/pojazdy", "", "Basic YW5uYTp0YWpuZQ=="}).status, 200);  // anna:tajne
    const std::string token = *accounts_->Store().AddToken("anna");
    EXPECT_EQ(r.Handle({"GET", "/api/zdrowie", "", "Bearer " + token}).status, 200);
    EXPECT_EQ(r.Handle({"GET", "/api/zdrowie", "", "Bearer " + RandomToken()}).status, 401);

    // Five wrong passwords: the right one is refused too, with the time to wait.
    login.body = "nazwa=anna&haslo=zle";
    for (int i = 0; i < 5; ++i) EXPECT_EQ(r.Handle(login).status, 401);
    login.body = "nazwa=anna&haslo=tajne";
    const WebResponse locked = r.Handle(login);
    EXPECT_EQ(locked.status, 429);
    EXPECT_EQ(locked.headers.back(), (std::pair<std::string, std::string>("Retry-After", "60")));
    EXPECT_EQ(r.Handle({"GET", "/api/mapa", "", "Basic YW5uYTp0YWpuZQ=="}).status, 429);

    // Reached from other machines over plain HTTP: no password or token is taken.
    refusePlain_ = true;
    const WebRouter plain = Router();
    login.body = "nazwa=bolek&haslo=tajne";
    login.secure = false;
    EXPECT_EQ(plain.Handle(login).status, 403);
    EXPECT_EQ(plain.Handle({"GET", "/api/zdrowie", "", "Bearer " + token}).status, 403);
    login.secure = true;
    EXPECT_EQ(plain.Handle(login).status, 303);

    // The last account removed while the service is open to other machines: nobody is let in.
    for (const char* name : {"admin", "anna", "bolek"}) accounts_->Store().Remove(name);
    now_ += 1000;  // the count of accounts is read again
    EXPECT_EQ(plain.Handle({"GET", "/api/pojazdy", "", std::nullopt}).status, 403);
}

TEST_F(WebAccountsTest, AShareLinkShowsOneVehicleUntilItIsWithdrawn) {
    const WebRouter r = Router();
    found_ = {};
    const std::string token = accounts_->Store().AddShare("WA2", kNowUtcMs / 1000 + 3600);
    const WebResponse shared = Get(r, "/api/udostepnione/" + token);
    ASSERT_EQ(shared.status, 200);
    EXPECT_TRUE(shared.Body().starts_with(R"({"nazwa":"WA2","wazny_do":"2026-12-09T14:00:00+01:00","pojazd":{"nazwa":"WA2")"))
        << shared.Body();
    EXPECT_EQ(queries_.back().registration, "WA2");
    EXPECT_EQ(Get(r, "/api/pojazdy/WA2/historia").status, 401);  // nothing more
    EXPECT_EQ(accounts_->Store().WithdrawShares(token), 1);
    EXPECT_EQ(Get(r, "/api/udostepnione/" + token).status, 404);
}

TEST(WebRouterHeaders, CookiesFormsAndSchemes) {
    EXPECT_EQ(CookieValue("a=1; sesja=abc; sesja=zzz", "sesja"), "abc");
    EXPECT_EQ(CookieValue("xsesja=abc", "sesja"), std::nullopt);
    EXPECT_EQ(LoginForm("haslo=p%C3%B3%26+x&nazwa=anna"), (std::pair<std::string, std::string>("anna", "p\xC3\xB3& x")));
    EXPECT_EQ(LoginForm("nazwa=anna"), std::nullopt);
    EXPECT_EQ(BearerToken("bearer  abc "), "abc");
    EXPECT_EQ(BearerToken("Bearerabc"), std::nullopt);
    EXPECT_EQ(BasicAuthCredentials("Basic YTpiOmM="), (std::pair<std::string, std::string>("a", "b:c")));
}

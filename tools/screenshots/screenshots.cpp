// screenshots: pictures of what the dispatcher sees, for anyone who wants to look
// without a fleet: the main window with a few vehicles in the grid (the server
// running, a few units having called in, two of them too fast for the alarm list), the first page of the summary report, and
// the second page of a report long enough to run over (more units having called in),
// a vehicle's history of today, the reports dialog with today's trips of a few vehicles
// and the first page of the printout of their fleet summary.
//
//   screenshots <output directory>
//
// Meant to run under a real display server (tools/screenshots.sh uses Xvfb). The
// window works in a scratch directory of its own; nothing of an installation is used.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "app/window/HistoryDialog.hpp"
#include "app/window/PolishTranslations.hpp"
#include "app/window/ReportsDialog.hpp"
#include "app/window/TfrmMain.hpp"
#include "app/window/VehicleGridModel.hpp"
#include "common/Win1250.hpp"
#include "history/HistoryStore.hpp"
#include "link/PositionRecord.hpp"
#include "report/RaportZbiorczy.hpp"
#include "report/ReportTablePrintout.hpp"
#include "unitsim/PositionRecordBuilder.hpp"
#include "unitsim/SimulatedUnit.hpp"
#include "vehicles/VehicleFile.hpp"

using namespace serwer;

namespace {

struct Sample {
    std::string registration;
    const char* owner;
    double latitude, longitude;
    int speedHundredths;
    int fuel;
    bool engine;
    int odometerHundredsKm;
    int minutesAgo;
};

const Sample kFleet[] = {
    {"GD1234", "001A2B3C4D5E6F70", 54.3520, 18.6466, 0, 84, false, 1234, 3},
    {"GDA7781", "001A2B3C4D5E6F70", 54.4416, 18.5601, 6250, 61, true, 2210, 1},
    {"WA12345", "00AA00BB00CC00DD", 52.2297, 21.0122, 4812, 40, true, 845, 12},
    {"KR5K221", "00AA00BB00CC00DD", 50.0647, 19.9450, 0, 12, false, 3177, 240},
    {"PO9911", "0123456789ABCDEF", 52.4064, 16.9252, 9004, 77, true, 5066, 30},
};

PositionOptions Position(const Sample& s) {
    PositionOptions o = SamplePosition(s.registration);
    o.ownerCode = ParseOwnerCode(s.owner);
    const auto fix = std::chrono::system_clock::now() - std::chrono::minutes(s.minutesAgo);
    const std::time_t t = std::chrono::system_clock::to_time_t(fix);
    std::tm utc{};
    gmtime_r(&t, &utc);
    o.day = utc.tm_mday, o.month = utc.tm_mon + 1, o.year = utc.tm_year + 1900;
    o.hour = utc.tm_hour, o.minute = utc.tm_min;
    o.latitude = CoordinateFromDegrees(s.latitude);
    o.longitude = CoordinateFromDegrees(s.longitude);
    o.speedHundredths = s.speedHundredths;
    o.fuelReading = static_cast<unsigned char>(s.fuel);
    o.engine = s.engine;
    o.input1 = s.engine;
    o.odometerHundredsKm = s.odometerHundredsKm;
    return o;
}

// More vehicles for a report of more than one page: the five samples repeated with
// registrations, places, speeds and position times of their own.
std::vector<Sample> LargerFleet(int count) {
    static const char* const kPrefixes[] = {"GD", "WA", "KR", "PO", "WR", "LU", "SZ"};
    std::vector<Sample> fleet;
    for (int i = 0; i < count; ++i) {
        Sample s = kFleet[i % std::size(kFleet)];
        s.registration = kPrefixes[i % std::size(kPrefixes)] + std::to_string(20117 + 7919 * i % 70000);
        s.latitude += 0.013 * (i % 11);
        s.longitude -= 0.021 * (i % 7);
        s.speedHundredths = i % 3 == 0 ? 0 : 1500 + 397 * i;
        s.fuel = 10 + 13 * i % 85;
        s.engine = s.speedHundredths > 0;
        s.minutesAgo = 2 + 29 * i % 400;
        fleet.push_back(s);
    }
    return fleet;
}

// A made-up fleet of 500 with speeds from 0 to 121 km/h, every kind of fuel text, some
// units without a GPS fix and positions from minutes to days old.
std::vector<VehicleRow> LargeFleet() {
    const DateTime now = VehicleGridModel::FixClockNow();
    const char* const prefixes[] = {"WX", "GD", "KR", "PO", "WA", "LU", "SZ", "EL"};
    std::vector<VehicleRow> rows;
    for (int i = 0; i < 500; ++i) {
        const int h = i * 7919 % 1000;
        VehicleRow r;
        r.NAZWA = prefixes[i % 8] + std::to_string(10000 + h * 37 % 90000) + (i % 3 ? "A" : "");
        const int minutesAgo = h % 10 < 6 ? h % 90 : (h % 10 < 9 ? 200 + h * 3 : 1500 + h * 11);
        r.OPIS = FormatFixTime(now.PlusMs(-minutesAgo * DateTime::kMsPerMinute));
        r.DLUGOSC = "2" + std::to_string(h % 10) + "." + std::to_string(1000000 + h * 911) + "E";
        r.SZEROKOSC = "5" + std::to_string(h % 5) + "." + std::to_string(1000000 + h * 577) + "N";
        r.GPS = h % 13 == 0 ? "BRAK" : "OK";
        r.LICENCJA = i % 2 ? "001A2B3C4D5E6F70" : "00AA00BB00CC00DD";
        r.KIEROWCA = h % 4 ? "0A1B2C" : "Brak ID";
        const int speed = h % 3 == 0 ? 0 : (i == 7 ? 12100 : h * 131 % 12000);
        r.PREDKOSC = std::to_string(speed / 100) + "." + std::to_string(100 + speed % 100).substr(1) + " Km/h";
        r.SILNIK = Cp1250(speed ? "ZAŁ" : "WYŁ");
        r.PALIWO = h % 17 == 0 ? Cp1250("Sonda-błąd") : "Sonda-" + std::to_string(h % 101) + " %";
        if (h % 5) r.ODCZYT = now.Date().PlusDays(-1 - h % 4).PlusHours(3);
        r.PROBA_ODCZYTU = r.ODCZYT;
        r.LICZNIK_ODCZYTOW = h % 40;
        r.URZ1 = speed > 0;
        r.URZ2 = false;
        r.URZ3 = h % 7 == 0;
        r.PRZEBIEG = 1000 + h * 977;
        rows.push_back(r);
    }
    return rows;
}

// The large fleet's grid, in a window of its own over a data directory of its own.
bool GridScreenshots(const std::filesystem::path& work, const std::filesystem::path& out) {
    const std::filesystem::path fleet = work / "flota";
    std::filesystem::create_directories(fleet / "dane");
    std::filesystem::current_path(fleet);
    {
        std::ofstream ini(fleet / "serwer.ini", std::ios::binary);
        ini << "[Ustawienia]\r\nPort=" << FindFreePort() << "\r\nKatalog=dane\r\nGodzina=4\r\nOdpytywac=0\r\n";
        std::ofstream file(fleet / "dane" / "Aktualne.txt", std::ios::binary);
        file << FormatVehicleFile(LargeFleet());
    }
    TfrmMain::Options options;
    options.settingsPath = (fleet / "serwer.ini").string();
    TfrmMain window(options);
    window.resize(1600, 900);
    window.show();
    QTest::qWait(300);

    auto* grid = window.findChild<QTableView*>(QStringLiteral("DBGridEH1"));
    if (!grid) return false;
    QHeaderView* header = grid->horizontalHeader();
    int speed = -1;
    for (int c = 0; c < grid->model()->columnCount(); ++c)
        if (grid->model()->headerData(c, Qt::Horizontal).toString() == QString::fromUtf8("Prędkość")) speed = c;
    if (speed < 0) return false;
    // Two clicks on the title, as the operator does: ascending, then descending.
    for (int click = 0; click < 2; ++click) {
        grid->scrollTo(grid->model()->index(0, speed));
        const QPoint centre(header->sectionViewportPosition(speed) + header->sectionSize(speed) / 2,
                            header->height() / 2);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, centre);
        QTest::qWait(100);
    }
    grid->horizontalScrollBar()->setValue(0);
    grid->verticalScrollBar()->setValue(0);
    QTest::qWait(200);
    bool ok = window.grab().save(QString::fromStdString((out / "grid-500-by-speed.png").string()));

    // Further down and all the way to the right, a vehicle chosen.
    grid->setCurrentIndex(grid->model()->index(240, 0));
    grid->scrollTo(grid->model()->index(240, 0), QAbstractItemView::PositionAtCenter);
    grid->horizontalScrollBar()->setValue(grid->horizontalScrollBar()->maximum());
    QTest::qWait(200);
    ok = window.grab().save(QString::fromStdString((out / "grid-500-scrolled-right.png").string())) && ok;
    window.hide();
    return ok;
}

// Today's drive of each vehicle from Warsaw eastwards (the second one further north, and
// so on), every 10 minutes from 06:00 to 15:00 local time, with a stop at noon and a few
// minutes without a fix, and the events of it: the engine's starts and stops, speeding
// over 80 km/h and the losses of the fix.
class TodaysDrive : public HistoryStore {
public:
    explicit TodaysDrive(const std::vector<std::string>& registrations) {
        const DateTime morning = VehicleGridModel::FixClockNow().Date().PlusHours(6);
        for (std::size_t k = 0; k < registrations.size(); ++k) {
            const std::string& registration = registrations[k];
            for (int i = 0; i <= 54; ++i) {
                HistoryRecord r;
                r.registration = registration;
                r.fixTimeUtc = LocalToFixTime(morning.PlusMs(i * 10 * DateTime::kMsPerMinute)).Ms() / 1000;
                r.receivedUtc = *r.fixTimeUtc + 20;
                const bool stop = i >= 34 && i < 40;
                r.latitude = 52.2297 + 0.0031 * i + 0.25 * static_cast<double>(k);
                r.longitude = 21.0122 + (0.0107 + 0.001 * static_cast<double>(k)) * (stop ? 34 : i);
                r.speedKmh = stop ? 0.0 : 35.0 + ((i + 7 * static_cast<int>(k)) * 37 % 50);
                r.engineOn = !stop;
                r.gps = (i + static_cast<int>(k)) % 17 == 5 ? "BRAK" : "OK";
                r.fuel = "Sonda-" + std::to_string(80 - (i + static_cast<int>(k)) / 2) + " %";
                r.driver = k % 2 ? "0D4E5F" : "0A1B2C";
                r.odometerKm = 84500 + i * 7;
                const auto event = [&](EventType type, std::optional<double> value = std::nullopt) {
                    Event e;
                    e.type = type;
                    e.registration = registration;
                    e.startUtc = *r.fixTimeUtc;
                    e.value = value;
                    e.id = EventId(type, registration, e.startUtc, "");
                    events_.push_back(e);
                };
                if (i == 0 || i == 40) event(EventType::Zaplon);
                if (i == 34) event(EventType::WylaczenieSilnika);
                if (*r.speedKmh >= 80) event(EventType::PrzekroczeniePredkosci, r.speedKmh);
                if (r.gps != "OK") event(EventType::UtrataGps);
                rows_.push_back(r);
            }
        }
    }
    void Append(const std::vector<HistoryRecord>&) override {}
    std::vector<HistoryRecord> Query(const HistoryQuery& query) override {
        std::vector<HistoryRecord> found;
        for (const HistoryRecord& r : rows_)
            if (*r.fixTimeUtc >= query.fromUtc && *r.fixTimeUtc < query.toUtc &&
                (!query.registration || *query.registration == r.registration))
                found.push_back(r);
        return found;
    }
    int Prune(int, std::int64_t) override { return 0; }
    void AppendEvents(const std::vector<Event>&) override {}
    std::vector<Event> QueryEvents(const EventQuery& query) override {
        std::vector<Event> found;
        for (const Event& e : events_)
            if (e.startUtc >= query.fromUtc && e.startUtc < query.toUtc &&
                (!query.registration || *query.registration == e.registration) && (!query.type || *query.type == e.type))
                found.push_back(e);
        return found;
    }
    void RemoveEvents(const EventQuery&) override {}

private:
    std::vector<HistoryRecord> rows_;
    std::vector<Event> events_;
};

bool HistoryScreenshot(const std::filesystem::path& out) {
    TodaysDrive store({"WA12345"});
    HistoryDialog dialog(store, "WA12345");
    dialog.show();
    QTest::qWait(200);
    if (auto* positions = dialog.findChild<QTableView*>(QStringLiteral("tbPozycje"))) positions->selectRow(3);
    QTest::qWait(100);
    return dialog.grab().save(QString::fromStdString((out / "history-dialog.png").string()));
}

// The reports dialog with today's trips of five vehicles (the depot a zone), and the
// first page of their fleet summary as printed.
bool ReportScreenshots(const std::filesystem::path& out) {
    const std::vector<std::string> fleet = {"WA12345", "GDA7781", "KR5K221", "PO9911", "GD1234"};
    TodaysDrive store(fleet);
    ReportContext context;
    context.tankLitres = [](const std::string& registration) {
        return registration == "KR5K221" ? std::nullopt : std::optional<double>(300);
    };
    ZoneSet zones = ZoneSet::FromGeoJson(R"({"type": "FeatureCollection", "features": [{"type": "Feature",
        "properties": {"nazwa": "Baza Żerań", "promien": 800},
        "geometry": {"type": "Point", "coordinates": [21.0122, 52.2297]}}]})");
    ReportsDialog dialog(store, fleet, context, std::move(zones), nullptr, ',');
    dialog.show();
    QTest::qWait(200);
    auto* kind = dialog.findChild<QComboBox*>(QStringLiteral("cbRodzaj"));
    auto* show = dialog.findChild<QPushButton*>(QStringLiteral("btPokaz"));
    if (!kind || !show) return false;

    kind->setCurrentIndex(kind->findText(QStringLiteral("Podsumowanie floty")));
    show->click();
    const ReportTablePrintout* summary = dialog.Printout();
    bool ok = summary &&
              summary->RenderPage(0, 100).save(QString::fromStdString((out / "report-table-page.png").string()));

    kind->setCurrentIndex(kind->findText(QStringLiteral("Trasy")));
    show->click();
    QTest::qWait(200);
    ok = dialog.grab().save(QString::fromStdString((out / "reports-dialog.png").string())) && ok;
    dialog.hide();
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: screenshots <output directory>" << std::endl;
        return 2;
    }
    const std::filesystem::path out = std::filesystem::absolute(argv[1]);
    std::filesystem::create_directories(out);

    char pattern[] = "/tmp/serwer-screenshots-XXXXXX";
    if (!::mkdtemp(pattern)) return 1;
    const std::filesystem::path work = pattern;
    std::filesystem::current_path(work);
    {
        std::ofstream ini(work / "serwer.ini", std::ios::binary);
        ini << "[Ustawienia]\r\nPort=" << FindFreePort() << "\r\nKatalog=dane\r\nGodzina=4\r\nOdpytywac=0\r\n"
            << "[Zdarzenia]\r\nPredkosc=50\r\n";  // a limit, so that the alarm list has some
    }

    QApplication app(argc, argv);
    InstallPolishTranslations();
    int status = 0;
    {
        TfrmMain::Options options;
        options.settingsPath = (work / "serwer.ini").string();
        options.firstArgument = "start";
        options.timings.closingWait = std::chrono::milliseconds(50);
        TfrmMain window(options);
        window.resize(1400, 640);
        window.show();
        QTest::qWait(300);

        for (const Sample& s : kFleet) {
            SimulatedUnit unit("127.0.0.1", window.ServerPort());
            unit.SendPosition(BuildPositionRecord(Position(s)));
            unit.WaitForClose(std::chrono::seconds(10));
        }
        QTest::qWait(300);
        window.Timer1Timer();
        QTest::qWait(300);

        const QString mainPath = QString::fromStdString((out / "main-window.png").string());
        if (!window.grab().save(mainPath)) status = 1;

        const RaportZbiorczy report(window.Grid().Table().Rows(), DateTime::Now());
        const QString reportPath = QString::fromStdString((out / "report-page-1.png").string());
        if (!report.RenderPage(0, 110).save(reportPath)) status = 1;

        for (const Sample& s : LargerFleet(35)) {
            SimulatedUnit unit("127.0.0.1", window.ServerPort());
            unit.SendPosition(BuildPositionRecord(Position(s)));
            unit.WaitForClose(std::chrono::seconds(10));
        }
        QTest::qWait(300);
        window.Timer1Timer();
        const RaportZbiorczy longer(window.Grid().Table().Rows(), DateTime::Now());
        const QString secondPagePath = QString::fromStdString((out / "report-page-2.png").string());
        if (longer.PageCount() < 2 || !longer.RenderPage(1, 110).save(secondPagePath)) status = 1;

        window.StopServer();
        std::cout << mainPath.toStdString() << "\n"
                  << reportPath.toStdString() << "\n"
                  << secondPagePath.toStdString() << std::endl;
        // The window closes without asking: this is not an operator's session.
        window.hide();
    }
    if (!GridScreenshots(work, out)) status = 1;
    if (!HistoryScreenshot(out)) status = 1;
    if (!ReportScreenshots(out)) status = 1;
    std::error_code ec;
    std::filesystem::current_path("/", ec);
    std::filesystem::remove_all(work, ec);
    return status;
}

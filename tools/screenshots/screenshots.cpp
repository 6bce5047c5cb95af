// screenshots: pictures of what the dispatcher sees, for anyone who wants to look
// without a fleet: the main window with a few vehicles in the grid (the server
// running, a few units having called in), the first page of the summary report, and
// the second page of a report long enough to run over (more units having called in).
//
//   screenshots <output directory>
//
// Meant to run under a real display server (tools/screenshots.sh uses Xvfb). The
// window works in a scratch directory of its own; nothing of an installation is used.
#include <QApplication>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "app/window/PolishTranslations.hpp"
#include "app/window/TfrmMain.hpp"
#include "app/window/VehicleGridModel.hpp"
#include "report/RaportZbiorczy.hpp"
#include "unitsim/PositionRecordBuilder.hpp"
#include "unitsim/SimulatedUnit.hpp"

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
        ini << "[Ustawienia]\r\nPort=0\r\nKatalog=dane\r\nGodzina=4\r\nOdpytywac=0\r\n";
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
    std::error_code ec;
    std::filesystem::current_path("/", ec);
    std::filesystem::remove_all(work, ec);
    return status;
}

#include <QButtonGroup>
#include <QCheckBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QPlainTextEdit>
#include <QTableView>
#include <QTableWidget>

#include "app/window/PolishTranslations.hpp"
#include "app/window/TfrmOdpytajJeden.hpp"
#include "app/window/VehicleGridModel.hpp"
#include "common/Win1250.hpp"
#include "link/ConnectionServer.hpp"
#include "report/ReportPreviewDialog.hpp"
#include "unitsim/PositionRecordBuilder.hpp"
#include "unitsim/SimulatedUnit.hpp"
#include "vehicles/VehicleFile.hpp"
#include "window/WindowTestSupport.hpp"

using namespace serwer;

namespace {

const int kPort = FindFreePort();
const std::string kIni =
    "[Ustawienia]\r\nPort=" + std::to_string(kPort) + "\r\nKatalog=dane\r\nGodzina=4\r\nOdpytywac=0\r\n";

VehicleRow Vehicle(const std::string& name, std::optional<DateTime> read) {
    VehicleRow r;
    r.NAZWA = name;
    r.PREDKOSC = "0,00 Km/h";
    r.ODCZYT = read;
    r.PRZEBIEG = 123456;
    r.URZ1 = true;
    return r;
}

void WriteVehicles(const std::string& path, const std::vector<VehicleRow>& rows) {
    std::ofstream out(path, std::ios::binary);
    out << FormatVehicleFile(rows);
}

class MainWindowTest : public WindowFixture {};

TEST_F(MainWindowTest, ShowsItsCaptionsVersionAndTheStoppedState) {
    WriteIni(kIni);
    TfrmMain& w = Open();
    EXPECT_EQ(w.windowTitle(), "Serwer pozycjonowania");
    EXPECT_EQ(Find<QLabel>("lbWersja")->text(), "2.5");
    EXPECT_EQ(Find<QLabel>("lbSerwisowa")->text(), "");
    EXPECT_TRUE(Find<QLabel>("lbNieaktywny")->isVisible());
    EXPECT_FALSE(Find<QLabel>("lbAktywny")->isVisible());
    EXPECT_EQ(Find<QLabel>("lbIlosc")->text(), "0");
    EXPECT_EQ(Find<QLabel>("lbWontki")->text(), "0");
    EXPECT_EQ(Find<QLineEdit>("edPort")->text(), QString::number(kPort));
    // Outside service mode erasing is always on and cannot be switched off.
    EXPECT_TRUE(Find<QCheckBox>("cbKasuj")->isChecked());
    EXPECT_FALSE(Find<QCheckBox>("cbKasuj")->isEnabled());
    EXPECT_EQ(Find<QCheckBox>("cbKasuj")->text(), "Kasuj dane po odebraniu");
    EXPECT_FALSE(Find<QCheckBox>("cbOdbieraj")->isChecked());
    EXPECT_EQ(Find<QGroupBox>("rgGodzina")->title(), "Godzina odbierania danych");
    EXPECT_TRUE(Find<QRadioButton>("rgGodzina_4")->isChecked());
    EXPECT_EQ(Find<QRadioButton>("rgGodzina_4")->text(), "5");
    EXPECT_EQ(Find<QRadioButton>("rgGodzina_23")->text(), "00");
    EXPECT_EQ(Find<QPushButton>("btZakoncz")->text(), QString::fromUtf8("Zakończ pracę"));
    EXPECT_TRUE(std::filesystem::is_directory(dir_.Path() / "dane"));
}

TEST_F(MainWindowTest, ServiceModeShowsItsMarkerAndLetsTheEraseSwitchBeChanged) {
    WriteIni(kIni + "Kasowac=0\r\n");
    Open("sv");
    EXPECT_EQ(Find<QLabel>("lbSerwisowa")->text(), "Tryb serwisowy !");
    EXPECT_FALSE(Find<QCheckBox>("cbKasuj")->isChecked());
    EXPECT_TRUE(Find<QCheckBox>("cbKasuj")->isEnabled());
}

TEST_F(MainWindowTest, StartAnsweredNoLeavesTheServerStopped) {
    WriteIni(kIni);
    TfrmMain& w = Open();
    MessageBoxAnswerer no(QMessageBox::No);
    QTest::mouseClick(Find<QPushButton>("btStart"), Qt::LeftButton);
    ASSERT_EQ(no.Texts().size(), 1u);
    EXPECT_TRUE(no.Texts()[0].startsWith(QString::fromUtf8(
        "Uruchomienie serwera odczytów GPRS spowoduje odczyt danych z aut oraz ich skasowanie\nw samochodach !")));
    EXPECT_TRUE(no.Texts()[0].endsWith(QString::fromUtf8("zostaną stracone !!\nCzy kontynuować ?")));
    EXPECT_FALSE(w.ServerActive());
    EXPECT_TRUE(Find<QLabel>("lbNieaktywny")->isVisible());
    EXPECT_EQ(Find<QLabel>("lbPlanOdczytu")->text(), "");
}

TEST_F(MainWindowTest, StartAndStopSwitchTheControlsOfBothStates) {
    WriteIni(kIni);
    TfrmMain& w = Open();
    {
        MessageBoxAnswerer yes(QMessageBox::Yes);
        QTest::mouseClick(Find<QPushButton>("btStart"), Qt::LeftButton);
        EXPECT_EQ(yes.Texts().size(), 1u);
    }
    ASSERT_TRUE(w.ServerActive());
    EXPECT_FALSE(Find<QLabel>("lbNieaktywny")->isVisible());
    EXPECT_TRUE(Find<QLabel>("lbAktywny")->isVisible());
    EXPECT_FALSE(Find<QCheckBox>("cbKasuj")->isEnabled());
    EXPECT_FALSE(Find<QPushButton>("btOdczytajTeraz")->isEnabled());
    EXPECT_FALSE(Find<QGroupBox>("rgGodzina")->isEnabled());
    for (const char* name : {"btStart", "btStop", "btOdczytajWybrane"})
        EXPECT_TRUE(Find<QPushButton>(name)->isEnabled()) << name;
    EXPECT_TRUE(Find<QLineEdit>("edPort")->isEnabled());
    EXPECT_TRUE(Find<QCheckBox>("cbOdbieraj")->isEnabled());
    // Hour "5": the planned read is today or tomorrow at 05:00:00.
    EXPECT_TRUE(Find<QLabel>("lbPlanOdczytu")->text().endsWith(" 05:00:00"));

    QTest::mouseClick(Find<QPushButton>("btStop"), Qt::LeftButton);
    EXPECT_FALSE(w.ServerActive());
    EXPECT_TRUE(Find<QLabel>("lbNieaktywny")->isVisible());
    EXPECT_FALSE(Find<QLabel>("lbAktywny")->isVisible());
    EXPECT_TRUE(Find<QPushButton>("btOdczytajTeraz")->isEnabled());
    EXPECT_TRUE(Find<QGroupBox>("rgGodzina")->isEnabled());
    EXPECT_FALSE(Find<QCheckBox>("cbKasuj")->isEnabled());
}

TEST_F(MainWindowTest, APortOutsideOneTo65535IsRefusedInPolishAndNothingStarts) {
    WriteIni("[Ustawienia]\r\nPort=abc\r\nKatalog=dane\r\n");
    auto ok = std::make_unique<MessageBoxAnswerer>(QMessageBox::Ok);
    TfrmMain& w = Open("start");
    ASSERT_TRUE(WaitFor([&] { return !ok->Texts().empty(); }));
    EXPECT_EQ(ok->Texts().back(), QString::fromUtf8("Nieprawidłowy numer portu „abc”: podaj liczbę od 1 do 65535."));
    ok.reset();
    for (const char* port : {"0", "70000", "-1", "45 00"}) {
        MessageBoxAnswerer answer(QMessageBox::Ok);  // one per box: a new box may reuse an old one's address
        Find<QLineEdit>("edPort")->setText(port);
        w.StartServer();
        ASSERT_EQ(answer.Texts().size(), 1u) << port;
        EXPECT_TRUE(answer.Texts()[0].startsWith(QString::fromUtf8("Nieprawidłowy numer portu „") + port)) << port;
    }
    EXPECT_FALSE(w.ServerActive());
    EXPECT_TRUE(Find<QLabel>("lbNieaktywny")->isVisible());
}

TEST_F(MainWindowTest, ABusyPortNeverStopsTheRunningServerWhichNamesItsPort) {
    WriteIni(kIni);
    TfrmMain& w = Open("start");
    ASSERT_TRUE(WaitFor([&] { return w.ServerActive(); }));
    const int running = w.ServerPort();
    EXPECT_EQ(Find<QLabel>("lbNasluch")->text(), QString("na porcie %1").arg(running));
    ConnectionServer other({});
    other.Start("0");
    Find<QLineEdit>("edPort")->setText(QString::number(other.Port()));
    MessageBoxAnswerer ok(QMessageBox::Ok);
    w.StartServer();
    ASSERT_EQ(ok.Texts().size(), 1u);
    EXPECT_EQ(
        ok.Texts()[0],
        QString::fromUtf8("Port %1 jest zajęty; serwer nadal nasłuchuje na porcie %2.").arg(other.Port()).arg(running));
    EXPECT_TRUE(w.ServerActive());
    EXPECT_EQ(w.ServerPort(), running);
}

TEST_F(MainWindowTest, AutoStartStartsWithoutAskingAndConnectionThreadsUpdateTheLabels) {
    WriteIni(kIni);
    MessageBoxAnswerer no(QMessageBox::No);
    TfrmMain& w = Open("start");
    ASSERT_TRUE(WaitFor([&] { return w.ServerActive(); }));
    EXPECT_TRUE(no.Texts().empty());

    PositionOptions o;
    o.registration = "GD1234";
    o.day = 8, o.month = 12, o.year = 2026, o.hour = 10, o.minute = 0;
    o.gpsStatus = 'A';
    SimulatedUnit unit("127.0.0.1", w.ServerPort());
    unit.SendPosition(BuildPositionRecord(o));
    // The connect event shows the counter as it was (1 right after Start); the
    // position-update section shows one open connection.
    EXPECT_TRUE(WaitFor([&] { return Find<QLabel>("lbWontki")->text() == "1"; }));
    EXPECT_EQ(Find<QLabel>("lbIlosc")->text(), "1");
    unit.WaitForClose(std::chrono::seconds(10));

    // The server's save of Aktualne.txt reaches the grid without the timer.
    ASSERT_TRUE(WaitFor([&] { return w.Grid().rowCount() == 1; }, 2000));
    EXPECT_EQ(w.Grid().data(w.Grid().index(0, 0), Qt::DisplayRole).toString(), "GD1234");
}

TEST_F(MainWindowTest, ClosingAnsweredNoKeepsTheWindowAndWritesNothing) {
    WriteIni(kIni);
    TfrmMain& w = Open();
    MessageBoxAnswerer no(QMessageBox::No);
    EXPECT_FALSE(w.close());
    ASSERT_EQ(no.Texts().size(), 1u);
    EXPECT_EQ(no.Texts()[0], QString::fromUtf8("Czy napewno zamkąć program ?"));
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(ReadFile(IniPath()), kIni);
}

TEST_F(MainWindowTest, ClosingAnsweredYesWritesTheFourSettingsInOrder) {
    WriteIni("[Ustawienia]\r\nPort=0\r\nKatalog=dane\r\nGodzina=30\r\n");
    TfrmMain& w = Open();
    Find<QLineEdit>("edPort")->setText("4711");
    Find<QCheckBox>("cbOdbieraj")->click();
    MessageBoxAnswerer yes(QMessageBox::Yes);
    EXPECT_TRUE(w.close());
    // A stored hour above 23 selected "00" (index 23), and the index is written back.
    EXPECT_EQ(ReadFile(IniPath()),
              "[Ustawienia]\r\nPort=4711\r\nKatalog=dane\r\nGodzina=23\r\nOdpytywac=1\r\nKasowac=1\r\n");
}

TEST_F(MainWindowTest, FinishWorkAnsweredNoStopsNothing) {
    WriteIni(kIni);
    TfrmMain& w = Open("start");
    ASSERT_TRUE(WaitFor([&] { return w.ServerActive(); }));
    MessageBoxAnswerer no(QMessageBox::No);
    QTest::mouseClick(Find<QPushButton>("btZakoncz"), Qt::LeftButton);
    EXPECT_EQ(no.Texts().size(), 1u);
    EXPECT_TRUE(w.isVisible());
    EXPECT_TRUE(w.ServerActive());
}

TEST_F(MainWindowTest, StopWithAUnitInItsClosingWaitLeavesTheWindowResponsiveAndCounting) {
    WriteIni(kIni);
    TfrmMain& w = Open("start");
    ASSERT_TRUE(WaitFor([&] { return w.ServerActive(); }));
    w.Context().timings.closingWait = std::chrono::seconds(2);
    SimulatedUnit unit("127.0.0.1", w.ServerPort());
    unit.SendPosition(BuildPositionRecord(SamplePosition("GD1234")));
    ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(DataPath("Aktualne.txt")); }));
    // The click returns while the unit's connection is still open in its closing wait.
    QTest::mouseClick(Find<QPushButton>("btStop"), Qt::LeftButton);
    EXPECT_TRUE(w.Stopping());
    EXPECT_FALSE(w.ServerActive());
    EXPECT_EQ(Find<QLabel>("lbZamykanie")->text(), QString::fromUtf8("Zamykanie połączeń, otwartych: 1"));
    EXPECT_FALSE(Find<QPushButton>("btStart")->isEnabled());
    ASSERT_TRUE(WaitFor([&] { return !w.Stopping(); }));
    EXPECT_FALSE(Find<QLabel>("lbZamykanie")->isVisible());
    EXPECT_TRUE(Find<QPushButton>("btStart")->isEnabled());
}

TEST_F(MainWindowTest, SortingTwiceOnOneColumnGivesDescendingOrderAndTheMarkerShowsTheDirection) {
    WriteIni(kIni);
    std::filesystem::create_directory(dir_.Path() / "dane");
    WriteVehicles(DataPath("Aktualne.txt"), {Vehicle("B", DateTime::Make(2026, 12, 2)), Vehicle("A", std::nullopt),
                                             Vehicle("C", DateTime::Make(2026, 12, 1))});
    TfrmMain& w = Open();
    ASSERT_EQ(w.Grid().rowCount(), 3);
    auto names = [&] {
        QStringList n;
        for (int r = 0; r < w.Grid().rowCount(); ++r)
            n << w.Grid().data(w.Grid().index(r, 0), Qt::DisplayRole).toString();
        return n.join(",");
    };
    EXPECT_EQ(names(), "B,A,C");
    const int odczyt = VehicleGridModel::GridColumn(DisplayColumn::ODCZYT);
    QHeaderView* header = Find<QTableView>("DBGridEH1")->horizontalHeader();
    EXPECT_EQ(header->sortIndicatorSection(), -1);
    emit header->sectionClicked(odczyt);
    EXPECT_EQ(names(), "A,C,B");
    EXPECT_EQ(header->sortIndicatorSection(), odczyt);
    EXPECT_EQ(header->sortIndicatorOrder(), Qt::AscendingOrder);
    emit header->sectionClicked(odczyt);
    EXPECT_EQ(names(), "B,C,A");
    EXPECT_EQ(header->sortIndicatorOrder(), Qt::DescendingOrder);
    emit header->sectionClicked(0);
    EXPECT_EQ(names(), "A,B,C");
    EXPECT_EQ(header->sortIndicatorSection(), 0);
    EXPECT_EQ(header->sortIndicatorOrder(), Qt::AscendingOrder);
    // The sort stays in force across reloads.
    w.ReloadDisplayTable();
    EXPECT_EQ(names(), "A,B,C");
    EXPECT_EQ(w.Grid()
                  .data(w.Grid().index(0, VehicleGridModel::GridColumn(DisplayColumn::PRZEBIEG)), Qt::DisplayRole)
                  .toString(),
              "123 456 km");
    EXPECT_EQ(
        w.Grid().data(w.Grid().index(0, VehicleGridModel::GridColumn(DisplayColumn::URZ1)), Qt::DisplayRole).toString(),
        "On");
    EXPECT_EQ(w.Grid()
                  .data(w.Grid().index(0, VehicleGridModel::GridColumn(DisplayColumn::GRUPA)), Qt::DisplayRole)
                  .toString(),
              QString::fromUtf8("Postój"));
}

TEST_F(MainWindowTest, ReadOneDialogHasItsTitleSaysNigdyForAVehicleNeverReadAndWarnsWhileReadsAreOff) {
    WriteIni(kIni);  // Odpytywac=0
    std::filesystem::create_directory(dir_.Path() / "dane");
    WriteVehicles(DataPath("Aktualne.txt"), {Vehicle("WA1", std::nullopt)});
    TfrmMain& w = Open();
    std::string text;
    QString title;
    bool executeIsDefault = true, warned = false;
    WhenShown(&w.ReadOneDialog(), [&] {
        text = w.ReadOneDialog().MessageText();
        title = w.ReadOneDialog().windowTitle();
        warned = w.ReadOneDialog().Warning()->isVisible();
        executeIsDefault = w.ReadOneDialog().ExecuteButton()->isDefault();
        w.ReadOneDialog().CancelButton()->click();
    });
    QTest::mouseClick(Find<QPushButton>("btOdczytajWybrane"), Qt::LeftButton);
    EXPECT_EQ(text, Cp1250("Wybrana opcja spowoduje odczytanie danych WA1\r\n"
                           "w możliwie najkrótszym czasie , ostatni odczyt WA1 miał miejsce nigdy"));
    EXPECT_EQ(title, "Odczytaj wybrane auto teraz");
    EXPECT_TRUE(warned);
    EXPECT_FALSE(executeIsDefault);
    EXPECT_TRUE(w.ReadOneDialog().CancelButton()->isDefault());

    Find<QCheckBox>("cbOdbieraj")->click();
    WhenShown(&w.ReadOneDialog(), [&] {
        warned = w.ReadOneDialog().Warning()->isVisible();
        w.ReadOneDialog().CancelButton()->click();
    });
    QTest::mouseClick(Find<QPushButton>("btOdczytajWybrane"), Qt::LeftButton);
    EXPECT_FALSE(warned);
}

TEST_F(MainWindowTest, ReadOneDialogIsNotOpenedWithNoVehicleSelected) {
    WriteIni(kIni);
    TfrmMain& w = Open();  // no Aktualne.txt: an empty grid
    MessageBoxAnswerer ok(QMessageBox::Ok);
    QTest::mouseClick(Find<QPushButton>("btOdczytajWybrane"), Qt::LeftButton);
    ASSERT_EQ(ok.Texts().size(), 1u);
    EXPECT_EQ(ok.Texts()[0], QString::fromUtf8("Najpierw wybierz w tabeli pojazd do odczytu."));
    EXPECT_FALSE(w.ReadOneDialog().isVisible());
}

TEST_F(MainWindowTest, ReadOneNowClearsTheReadStateInTheFileAndTheGridShowsIt) {
    WriteIni(kIni);
    std::filesystem::create_directory(dir_.Path() / "dane");
    WriteVehicles(DataPath("Aktualne.txt"), {Vehicle("WA1", DateTime::Make(2026, 12, 7, 5, 10))});
    TfrmMain& w = Open();
    std::string text;
    WhenShown(&w.ReadOneDialog(), [&] {
        text = w.ReadOneDialog().MessageText();
        w.ReadOneDialog().ExecuteButton()->click();
    });
    QTest::mouseClick(Find<QPushButton>("btOdczytajWybrane"), Qt::LeftButton);
    EXPECT_NE(text.find(Cp1250("miał miejsce 07-12-2026 05:10:00")), std::string::npos) << text;
    const VehicleFileContent saved = ReadVehicleFile(DataPath("Aktualne.txt"));
    ASSERT_EQ(saved.rows.size(), 1u);
    EXPECT_FALSE(saved.rows[0].ODCZYT.has_value());
    EXPECT_EQ(saved.rows[0].LICZNIK_ODCZYTOW, 0);
    EXPECT_EQ(w.Grid()
                  .data(w.Grid().index(0, VehicleGridModel::GridColumn(DisplayColumn::ODCZYT)), Qt::DisplayRole)
                  .toString(),
              "");
}

TEST_F(MainWindowTest, ReadOneNowForAVehicleMissingFromTheTableShowsTheErrorAndStaysOpen) {
    WriteIni(kIni);
    TfrmMain& w = Open();
    // The grid shows a vehicle the live table does not have (the file changed after
    // the start).
    WriteVehicles(DataPath("Aktualne.txt"), {Vehicle("KR99", std::nullopt)});
    w.ReloadDisplayTable();
    MessageBoxAnswerer ok(QMessageBox::Ok);
    bool stillOpen = false;
    WhenShown(&w.ReadOneDialog(), [&] {
        w.ReadOneDialog().ExecuteButton()->click();
        stillOpen = w.ReadOneDialog().isVisible();
        w.ReadOneDialog().CancelButton()->click();
    });
    QTest::mouseClick(Find<QPushButton>("btOdczytajWybrane"), Qt::LeftButton);
    ASSERT_EQ(ok.Texts().size(), 1u);
    EXPECT_EQ(ok.Texts()[0], "Nie moge znalezc samochodu : KR99");
    EXPECT_TRUE(stillOpen);
}

TEST_F(MainWindowTest, TheSummaryReportIsBuiltFromTheDisplayCopyInTheGridOrder) {
    WriteIni(kIni);
    std::filesystem::create_directory(dir_.Path() / "dane");
    WriteVehicles(DataPath("Aktualne.txt"), {Vehicle("B", std::nullopt), Vehicle("A", DateTime::Now())});
    TfrmMain& w = Open();
    emit Find<QTableView>("DBGridEH1")->horizontalHeader()->sectionClicked(0);
    QTest::mouseClick(Find<QPushButton>("btRaport"), Qt::LeftButton);
    auto* preview = w.findChild<ReportPreviewDialog*>();
    ASSERT_NE(preview, nullptr);
    EXPECT_TRUE(preview->isVisible());
    const RaportZbiorczy& report = preview->Report();
    ASSERT_EQ(report.Lists().all.size(), 2u);
    // Sorted by name in the grid: row 0 of the report is "A", the second of the file.
    EXPECT_EQ(w.Grid().Table().Rows()[report.Lists().all[0]].NAZWA, "A");
    EXPECT_EQ(report.Lists().readLastDay.size(), 1u);
    preview->close();
}

TEST(MainWindowCreate, ADataDirectoryThatCannotBeCreatedFailsAndWritesNoSettings) {
    TestDirectory dir(TestDirectory::Enter::Yes);
    const std::string ini = (dir.Path() / "serwer.ini").string();
    {
        std::ofstream out(ini, std::ios::binary);
        out << "[Ustawienia]\r\nKatalog=brak/dane\r\n";
    }
    TfrmMain::Options options;
    options.settingsPath = ini;
    try {
        TfrmMain w(options);
        FAIL() << "expected a failure";
    } catch (const std::exception& e) {
        EXPECT_EQ(std::string(e.what()),
                  Cp1250("Nie można było utworzyc katalogu dla danych : brak/dane dalsza praca niemożliwa !"));
    }
    EXPECT_EQ(ReadFile(ini), "[Ustawienia]\r\nKatalog=brak/dane\r\n");
}

}  // namespace

TEST(PolishTranslations, QtsOwnButtonsSpeakPolish) {
    ASSERT_TRUE(InstallPolishTranslations());
    QMessageBox box(QMessageBox::Question, "x", "x", QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(box.button(QMessageBox::Yes)->text().remove('&'), QStringLiteral("Tak"));
    EXPECT_EQ(box.button(QMessageBox::No)->text().remove('&'), QStringLiteral("Nie"));
}

TEST_F(MainWindowTest, EraseAndCloseConfirmationsDefaultToNo) {
    WriteIni(kIni);
    TfrmMain& w = Open();
    MessageBoxAnswerer no(QMessageBox::No);
    QTest::mouseClick(Find<QPushButton>("btStart"), Qt::LeftButton);
    EXPECT_FALSE(w.close());
    EXPECT_EQ(no.Defaults(), (std::vector<QMessageBox::StandardButton>{QMessageBox::No, QMessageBox::No}));
}

TEST_F(MainWindowTest, ASpeedingUnitRaisesAnAlarmThatPotwierdzAcknowledges) {
    WriteIni(kIni + "[Zdarzenia]\r\nPredkosc=50\r\nAlarmy=przekroczenie_predkosci, zaplon, bzdura\r\n");
    MessageBoxAnswerer no(QMessageBox::No);
    TfrmMain& w = Open("start");
    ASSERT_TRUE(WaitFor([&] { return w.ServerActive(); }));
    EXPECT_TRUE(Find<QPlainTextEdit>("edZdarzenia")->toPlainText().contains("Nieznany typ zdarzenia w Alarmy: bzdura"));

    auto* table = Find<QTableWidget>("lvAlarmy");
    auto* acknowledge = Find<QPushButton>("btPotwierdz");
    for (int minute = 0; minute < 2; ++minute) {
        PositionOptions o;
        o.registration = "GD1234";
        o.day = 8, o.month = 12, o.year = 2026, o.hour = 10, o.minute = minute;
        o.gpsStatus = 'A';
        o.engine = minute == 1;                          // the ignition comes with the second
        o.speedHundredths = minute == 0 ? 8000 : 3000;  // 80 km/h, then 30: one interval, started and ended
        SimulatedUnit unit("127.0.0.1", w.ServerPort());
        unit.SendPosition(BuildPositionRecord(o));
        unit.WaitForClose(std::chrono::seconds(10));
    }
    // The ignition is an alarm type here; the speeding's end updates its row in place.
    // Newest first: the ignition above the speeding.
    ASSERT_TRUE(WaitFor([&] { return table->rowCount() == 2 && table->item(1, 2)->text().contains(" do "); }, 3000))
        << table->rowCount();
    EXPECT_EQ(Find<QLabel>("lbAlarmy")->text(), "Alarmy (2)");
    EXPECT_EQ(table->item(1, 1)->text(), "GD1234");
    // Fix times are UTC; the texts and the start give Polish time.
    EXPECT_EQ(table->item(1, 0)->text(), "08.12 11:00");
    EXPECT_EQ(table->item(1, 2)->text().toStdString(), "przekroczenie prędkości 80 km/h (limit 50) od 11:00 do 11:01, 0.0 km");
    EXPECT_FALSE(acknowledge->isEnabled());

    table->selectRow(1);
    ASSERT_TRUE(acknowledge->isEnabled());
    acknowledge->click();
    EXPECT_EQ(table->rowCount(), 1);
    EXPECT_EQ(Find<QLabel>("lbAlarmy")->text(), "Alarmy (1)");
    EXPECT_EQ(table->item(0, 2)->text().toStdString(), "zapłon o 11:01");
}

#include <QDateEdit>
#include <QDesktopServices>
#include <QLabel>
#include <QPushButton>
#include <QTableView>
#include <QTableWidget>
#include <tuple>

#include "app/window/HistoryDialog.hpp"
#include "common/Win1250.hpp"
#include "link/PositionRecord.hpp"
#include "window/WindowTestSupport.hpp"

using namespace serwer;

namespace {

// Catches the addresses the dialog hands to the default browser.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    std::vector<QUrl> urls;
public slots:
    void Open(const QUrl& url) { urls.push_back(url); }
};

std::int64_t UtcSeconds(int year, int month, int day, int hour, int minute) {
    return DateTime::Make(year, month, day, hour, minute)->Ms() / DateTime::kMsPerSecond;
}

// A position of WA12345 with a fix at this local (Polish) time in December 2026 (UTC+1).
HistoryRecord Position(int day, int hour, int minute, double latitude) {
    HistoryRecord r;
    r.registration = "WA12345";
    r.fixTimeUtc = UtcSeconds(2026, 12, day, hour, minute) - 3600;
    r.latitude = latitude;
    r.longitude = 21.0122;
    r.speedKmh = 48.12;
    r.engineOn = true;
    r.gps = "OK";
    r.fuel = "Sonda-40 %";
    r.odometerKm = 84500;
    return r;
}

class HistoryDialogTest : public WindowFixture {
protected:
    // The dialog over the store, showing 8 December 2026 alone.
    std::unique_ptr<HistoryDialog> OpenOn8December() {
        auto dialog = std::make_unique<HistoryDialog>(store_, "WA12345");
        // "Do" first: whichever day today is, "Od" follows it back, or stays before it.
        dialog->findChild<QDateEdit*>("edDo")->setDate(QDate(2026, 12, 8));
        dialog->findChild<QDateEdit*>("edOd")->setDate(QDate(2026, 12, 8));
        return dialog;
    }
    // A row's cells, separated by "|".
    static QString Row(const QTableView* view, int row) {
        QStringList cells;
        for (int column = 0; column < view->model()->columnCount(); ++column)
            cells << view->model()->data(view->model()->index(row, column)).toString();
        return cells.join('|');
    }

    FakeHistoryStore store_;
};

TEST_F(HistoryDialogTest, ShowsTheWholeLocalDaysPositionsOfItsVehicleAndTheirDaySummary) {
    store_.rows = {Position(8, 0, 5, 52.2297), Position(8, 7, 30, 52.2397), Position(8, 23, 50, 52.2497)};
    auto dialog = OpenOn8December();
    const DateTime::Parts today = VehicleGridModel::FixClockNow().Split();
    EXPECT_EQ(store_.queries.front().fromUtc,
              LocalToFixTime(*DateTime::Make(today.year, today.month, today.day)).Ms() / 1000);
    EXPECT_EQ(*store_.queries.back().registration, "WA12345");
    EXPECT_EQ(store_.queries.back().fromUtc, UtcSeconds(2026, 12, 7, 23, 0));
    EXPECT_EQ(store_.queries.back().toUtc, UtcSeconds(2026, 12, 8, 23, 0));
    EXPECT_EQ(dialog->windowTitle(), "Historia pojazdu WA12345");

    auto* positions = dialog->findChild<QTableView*>("tbPozycje");
    ASSERT_EQ(positions->model()->rowCount(), 3);
    EXPECT_EQ(Row(positions, 0), QString::fromUtf8("08-12-2026 00:05:00|52.2297000N|21.0122000E|48.12 Km/h|OK|"
                                                   "ZAŁ|Sonda-40 %||84 500 km"));
    EXPECT_TRUE(Row(positions, 2).startsWith("08-12-2026 23:50:00|"));
    // 0.01 degrees of latitude twice: 2.2 km; the day runs from 00:05 to 23:50 at 48 km/h.
    auto* days = dialog->findChild<QTableWidget*>("tbDni");
    ASSERT_EQ(days->rowCount(), 1);
    EXPECT_EQ(Row(days, 0), "08-12-2026|3|2.2|00:05:00|23:50:00|48.1|23:45|0:00");
    EXPECT_EQ(dialog->findChild<QLabel*>("lbStan")->text(), "Pozycji: 3");
}

TEST_F(HistoryDialogTest, AFailedQueryIsToldInPolishAndLeavesNothingToExportOrShow) {
    store_.rows = {Position(8, 7, 30, 52.2297)};
    store_.failure = Cp1250("Nie można otworzyć pliku historia/pozycje-2026-12.db");
    auto dialog = OpenOn8December();
    EXPECT_EQ(dialog->findChild<QLabel*>("lbStan")->text(),
              QString::fromUtf8("Nie można odczytać historii pojazdu: Nie można otworzyć pliku "
                                "historia/pozycje-2026-12.db"));
    EXPECT_EQ(dialog->findChild<QTableView*>("tbPozycje")->model()->rowCount(), 0);
    for (const char* name : {"btGPX", "btKML", "btGeoJSON", "btCSV", "btMapa"})
        EXPECT_FALSE(dialog->findChild<QPushButton*>(name)->isEnabled()) << name;
}

TEST_F(HistoryDialogTest, ExportsWriteTheShownRowsIntoDatedFilesInTheDocumentsFolder) {
    const QByteArray home = qgetenv("HOME");
    qputenv("HOME", QByteArray::fromStdString(dir_.Path().string()));
    qunsetenv("XDG_CONFIG_HOME");  // the documents folder is $HOME/Documents
    store_.rows = {Position(8, 7, 30, 52.2297), Position(8, 7, 45, 52.2397)};
    auto dialog = OpenOn8December();
    const std::tuple<const char*, ExportFormat, const char*, const char*> exports[] = {
        {"btGPX", ExportFormat::Gpx, "Historia WA12345 2026-12-08.gpx", "<?xml"},
        {"btKML", ExportFormat::Kml, "Historia WA12345 2026-12-08.kml", "<?xml"},
        {"btGeoJSON", ExportFormat::GeoJson, "Historia WA12345 2026-12-08.geojson", "{"},
        {"btCSV", ExportFormat::Csv, "Historia WA12345 2026-12-08.csv", ""}};
    for (const auto& [button, format, name, start] : exports) {
        MessageBoxAnswerer ok(QMessageBox::Ok);
        dialog->findChild<QPushButton*>(button)->click();
        const std::filesystem::path file = dir_.Path() / "Documents" / name;
        ASSERT_EQ(ok.Texts().size(), 1u) << name;
        EXPECT_EQ(ok.Texts()[0],
                  QString::fromUtf8("Historię zapisano w pliku ") + QString::fromStdString(file.string()));
        const std::string written = ReadFile(file);
        EXPECT_TRUE(written.starts_with(start)) << name;
        EXPECT_EQ(written, ExportTrack(dialog->Rows(), format)) << name;
    }
    qputenv("HOME", home);

    dialog->findChild<QDateEdit*>("edOd")->setDate(QDate(2026, 12, 1));
    EXPECT_EQ(dialog->ExportFileName(ExportFormat::Csv), "Historia WA12345 2026-12-01 - 2026-12-08.csv");
    MessageBoxAnswerer ok(QMessageBox::Ok);
    EXPECT_FALSE(dialog->ExportTo(ExportFormat::Csv, "/nonexistent-directory/historia.csv"));
    ASSERT_EQ(ok.Texts().size(), 1u);
    EXPECT_TRUE(ok.Texts()[0].startsWith(
        QString::fromUtf8("Nie można zapisać historii do pliku /nonexistent-directory/historia.csv\nPrzyczyna: ")));
}

TEST_F(HistoryDialogTest, ShowOnMapOpensOpenStreetMapAtTheSelectedPositionOnlyWhenItHasCoordinates) {
    HistoryRecord noFix = Position(8, 7, 30, 0);
    noFix.latitude.reset();
    noFix.gps = "BRAK";
    store_.rows = {noFix, Position(8, 7, 45, 52.2297)};
    auto dialog = OpenOn8December();
    auto* positions = dialog->findChild<QTableView*>("tbPozycje");
    auto* map = dialog->findChild<QPushButton*>("btMapa");
    EXPECT_FALSE(map->isEnabled());
    positions->setCurrentIndex(positions->model()->index(0, 0));
    EXPECT_FALSE(map->isEnabled());
    positions->setCurrentIndex(positions->model()->index(1, 0));
    ASSERT_TRUE(map->isEnabled());

    UrlCatcher browser;
    QDesktopServices::setUrlHandler("https", &browser, "Open");
    map->click();
    QDesktopServices::unsetUrlHandler("https");
    ASSERT_EQ(browser.urls.size(), 1u);
    EXPECT_EQ(browser.urls[0].toString(),
              "https://www.openstreetmap.org/?mlat=52.229700&mlon=21.012200#map=16/52.229700/21.012200");
}

TEST_F(HistoryDialogTest, TheMainWindowOpensItForTheDoubleClickedRowOrTheSelectedVehicleOnly) {
    WriteIni("[Ustawienia]\r\nKatalog=dane\r\n");
    TfrmMain& w = Open();  // no Aktualne.txt: nothing selected
    {
        MessageBoxAnswerer ok(QMessageBox::Ok);
        Find<QPushButton>("btHistoria")->click();
        ASSERT_EQ(ok.Texts().size(), 1u);
        EXPECT_EQ(ok.Texts()[0],
                  QString::fromUtf8("Najpierw wybierz w tabeli pojazd, którego historię chcesz zobaczyć."));
    }
    VehicleRow a, b;
    a.NAZWA = "WA1";
    b.NAZWA = Cp1250("KRĘ2");
    ReplaceVehicles({a, b});
    w.ReloadDisplayTable();
    auto* grid = Find<QTableView>("DBGridEH1");
    std::string opened;
    QString state;
    const QPoint row2 = grid->visualRect(grid->model()->index(1, 3)).center();
    // Qt Test's double-click needs a press before it; the dialog is answered from its own
    // event loop.
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, row2);
    QTimer::singleShot(0, [&] {
        if (auto* dialog = qobject_cast<HistoryDialog*>(QApplication::activeModalWidget())) {
            opened = dialog->Registration();
            state = dialog->findChild<QLabel*>("lbStan")->text();
            dialog->reject();
        }
    });
    QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, row2);
    EXPECT_EQ(opened, Cp1250("KRĘ2"));
    // The history of the data directory, empty yet, read without a failure.
    EXPECT_EQ(state, QString::fromUtf8("Brak zapisanych pozycji w wybranych dniach."));
}

}  // namespace

#include "HistoryDialogTest.moc"

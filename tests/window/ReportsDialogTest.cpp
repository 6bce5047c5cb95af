#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QLabel>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTableView>

#include "app/window/ReportsDialog.hpp"
#include "common/Win1250.hpp"
#include "window/WindowTestSupport.hpp"

using namespace serwer;

namespace {

std::int64_t UtcSeconds(int year, int month, int day, int hour, int minute) {
    return DateTime::Make(year, month, day, hour, minute)->Ms() / DateTime::kMsPerSecond;
}

// WA12345 on 8 December 2026 (Polish time UTC+1): drives from its depot 0.1° north from
// 07:10 to 07:30, then stands there until 07:50.
HistoryRecord Point(int minute, double northOfDepot, double speed, int fuel) {
    HistoryRecord r;
    r.registration = "WA12345";
    r.fixTimeUtc = UtcSeconds(2026, 12, 8, 7, minute) - 3600;
    r.latitude = 52.2297 + northOfDepot;
    r.longitude = 21.0122;
    r.speedKmh = speed;
    r.engineOn = true;
    r.gps = "OK";
    r.fuel = "Sonda-" + std::to_string(fuel) + " %";
    r.driver = "0A1B2C";
    return r;
}

class ReportsDialogTest : public WindowFixture {
protected:
    ReportsDialogTest() {
        store_.rows = {Point(10, 0, 40, 50),   Point(15, 0.025, 50, 50), Point(20, 0.05, 60, 49),
                       Point(25, 0.075, 50, 49), Point(30, 0.1, 0, 48),   Point(40, 0.1, 0, 48),
                       Point(50, 0.1, 0, 48)};
    }
    // The dialog over the store with the depot as a zone and a 200 l tank, showing the
    // trips of 8 December 2026 of WA12345 alone.
    std::unique_ptr<ReportsDialog> ShowTrips() {
        ReportContext context;
        context.tankLitres = [](const std::string&) { return std::optional<double>(200); };
        auto dialog = std::make_unique<ReportsDialog>(
            store_, std::vector<std::string>{"WA12345", "KR1"}, context,
            ZoneSet::FromGeoJson(R"({"type": "FeatureCollection", "features": [{"type": "Feature",
                "properties": {"nazwa": "Baza Żerań", "promien": 500},
                "geometry": {"type": "Point", "coordinates": [21.0122, 52.2297]}}]})"),
            nullptr, ',');
        dialog->findChild<QDateEdit*>("edDo")->setDate(QDate(2026, 12, 8));
        dialog->findChild<QDateEdit*>("edOd")->setDate(QDate(2026, 12, 8));
        auto* vehicles = dialog->findChild<QListWidget*>("lsPojazdy");
        EXPECT_EQ(vehicles->count(), 3);  // "Wszystkie pojazdy", KR1, WA12345
        vehicles->item(2)->setCheckState(Qt::Checked);
        EXPECT_EQ(vehicles->item(0)->checkState(), Qt::Unchecked);
        dialog->findChild<QPushButton*>("btPokaz")->click();
        return dialog;
    }
    static QString Row(const QTableView* view, int row) {
        QStringList cells;
        for (int column = 0; column < view->model()->columnCount(); ++column)
            cells << view->model()->data(view->model()->index(row, column)).toString();
        return cells.join('|');
    }
    QString PdfText(const std::filesystem::path& pdf) {
        QProcess process;
        process.start(QStringLiteral("pdftotext"), {QStringLiteral("-layout"), QStringLiteral("-enc"),
                                                    QStringLiteral("UTF-8"), QString::fromStdString(pdf.string()),
                                                    QStringLiteral("-")});
        EXPECT_TRUE(process.waitForFinished(30000));
        return QString::fromUtf8(process.readAllStandardOutput());
    }

    FakeHistoryStore store_;
};

TEST_F(ReportsDialogTest, ShowsTheTripsOfTheCheckedVehicleOverTheWholePolishDays) {
    auto dialog = ShowTrips();
    ASSERT_FALSE(store_.queries.empty());
    EXPECT_EQ(*store_.queries.back().registration, "WA12345");
    EXPECT_EQ(store_.queries.back().fromUtc, UtcSeconds(2026, 12, 7, 23, 0));
    EXPECT_EQ(store_.queries.back().toUtc, UtcSeconds(2026, 12, 8, 23, 0));
    EXPECT_FALSE(dialog->findChild<QCheckBox*>("cbPoDniach")->isEnabled());

    auto* table = dialog->findChild<QTableView*>("tbRaport");
    ASSERT_EQ(table->model()->rowCount(), 1);
    EXPECT_EQ(table->model()->headerData(3, Qt::Horizontal, Qt::ToolTipRole).toString(),
              QString::fromUtf8("Miejsce początku"));
    EXPECT_EQ(Row(table, 0).toStdString(), "WA12345|0A1B2C|2026-12-08 07:10|Baza Żerań|2026-12-08 07:30|"
                                           "52.32970, 21.01220|11,1|0:20|60|33|1,0|2,0");
    EXPECT_EQ(table->model()->data(table->model()->index(0, 6), Qt::TextAlignmentRole).value<Qt::Alignment>(),
              Qt::AlignRight | Qt::AlignVCenter);
    EXPECT_EQ(dialog->findChild<QLabel*>("lbStan")->text(), "Wierszy: 1");
    EXPECT_TRUE(dialog->findChild<QPushButton*>("btXlsx")->isEnabled());
}

TEST_F(ReportsDialogTest, WritesTheShownReportAsXlsxAndAsPdfAndTellsWhereOrWhyNot) {
    auto dialog = ShowTrips();
    EXPECT_EQ(dialog->ExportFileName("pdf"), "trasy-2026-12-08.pdf");
    const std::filesystem::path xlsx = dir_.Path() / "trasy.xlsx", pdf = dir_.Path() / "trasy.pdf";
    // What the operator is told of a write (a box of its own each: the answerer knows
    // the boxes by address).
    const auto told = [](const std::function<bool()>& write) {
        MessageBoxAnswerer ok(QMessageBox::Ok);
        const bool written = write();
        EXPECT_EQ(ok.Texts().size(), 1u);
        return std::make_pair(written, ok.Texts().empty() ? QString() : ok.Texts()[0]);
    };
    EXPECT_EQ(told([&] { return dialog->ExportXlsxTo(QString::fromStdString(xlsx.string())); }),
              std::make_pair(true, "Raport zapisano w pliku " + QString::fromStdString(xlsx.string())));
    EXPECT_TRUE(ReadFile(xlsx).starts_with("PK"));
    EXPECT_TRUE(told([&] { return dialog->ExportPdfTo(QString::fromStdString(pdf.string())); }).first);
    EXPECT_TRUE(ReadFile(pdf).starts_with("%PDF"));
    EXPECT_EQ(told([&] { return dialog->ExportXlsxTo("/nonexistent-directory/trasy.xlsx"); }),
              std::make_pair(false, QString::fromUtf8("Nie można zapisać raportu do pliku "
                                                      "/nonexistent-directory/trasy.xlsx\nPrzyczyna: folder nie istnieje")));

    EXPECT_EQ(dialog->Printout()->PageCount(), 1);
    if (QStandardPaths::findExecutable(QStringLiteral("pdftotext")).isEmpty()) GTEST_SKIP() << "no pdftotext";
    const QString text = PdfText(pdf);
    EXPECT_TRUE(text.contains(QStringLiteral("Trasy od 2026-12-08 do 2026-12-08"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("WA12345")));
    EXPECT_TRUE(text.contains(QString::fromUtf8("Baza Żerań")));
}

TEST_F(ReportsDialogTest, AHistoryThatCannotBeReadIsToldInAMessageBoxAndNothingIsShown) {
    store_.failure = Cp1250("Nie można otworzyć pliku historia/pozycje-2026-12.db");
    MessageBoxAnswerer ok(QMessageBox::Ok);
    auto dialog = ShowTrips();
    ASSERT_EQ(ok.Texts().size(), 1u);
    EXPECT_EQ(ok.Texts()[0], QString::fromUtf8("Nie można przygotować raportu, bo nie można odczytać historii "
                                               "pozycji.\nPrzyczyna: Nie można otworzyć pliku "
                                               "historia/pozycje-2026-12.db"));
    EXPECT_EQ(dialog->Shown(), nullptr);
    EXPECT_EQ(dialog->findChild<QTableView*>("tbRaport")->model()->rowCount(), 0);
    EXPECT_FALSE(dialog->findChild<QPushButton*>("btPdf")->isEnabled());
}

TEST_F(ReportsDialogTest, TheMainWindowOpensItWithTheGridsVehicles) {
    WriteIni("[Ustawienia]\r\nKatalog=dane\r\n");
    VehicleRow a, b;
    a.NAZWA = "WA1";
    b.NAZWA = Cp1250("KRĘ2");
    ReplaceVehicles({a, b});
    Open();
    QStringList vehicles;
    QTimer::singleShot(0, [&] {
        if (auto* dialog = qobject_cast<ReportsDialog*>(QApplication::activeModalWidget())) {
            auto* list = dialog->findChild<QListWidget*>("lsPojazdy");
            for (int i = 0; i < list->count(); ++i) vehicles << list->item(i)->text();
            dialog->reject();
        }
    });
    Find<QPushButton>("btRaporty")->click();
    EXPECT_EQ(vehicles, QStringList({"Wszystkie pojazdy", "KRĘ2", "WA1"}));
}

}  // namespace

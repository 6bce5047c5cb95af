#include <QHeaderView>
#include <QPushButton>
#include <QScrollBar>
#include <chrono>
#include <thread>

#include "app/window/TfrmOdpytajJeden.hpp"
#include "app/window/VehicleFileWatch.hpp"
#include "app/window/VehicleGridView.hpp"
#include "common/Win1250.hpp"
#include "unitsim/SimulatedUnit.hpp"
#include "window/WindowTestSupport.hpp"

using namespace serwer;

namespace {

const std::string kIni =
    "[Ustawienia]\r\nPort=" + std::to_string(FindFreePort()) + "\r\nKatalog=dane\r\nGodzina=4\r\nOdpytywac=0\r\n";

VehicleRow Vehicle(const std::string& utf8Name, const std::string& speed = "0.00 Km/h",
                   const std::string& fuel = "Sonda-50 %") {
    VehicleRow r;
    r.NAZWA = Cp1250(utf8Name);
    r.OPIS = FormatFixTime(VehicleGridModel::FixClockNow());
    r.GPS = "OK";
    r.PREDKOSC = speed;
    r.PALIWO = Cp1250(fuel);
    return r;
}

std::vector<VehicleRow> Fleet(int count) {
    std::vector<VehicleRow> rows;
    for (int i = 0; i < count; ++i) rows.push_back(Vehicle("V" + std::to_string(1000 + i)));
    return rows;
}

// The start of the current minute, at least a few seconds before the next one begins
// (it waits when needed), so that ages counted a moment later are whole as expected.
DateTime StartOfMinute() {
    if (VehicleGridModel::FixClockNow().Ms() % DateTime::kMsPerMinute > 55 * DateTime::kMsPerSecond)
        std::this_thread::sleep_for(std::chrono::seconds(6));
    const DateTime now = VehicleGridModel::FixClockNow();
    return DateTime::FromMs(now.Ms() - now.Ms() % DateTime::kMsPerMinute);
}

class VehicleGridTest : public WindowFixture {
protected:
    VehicleGridView& View() { return *Find<VehicleGridView>("DBGridEH1"); }
    void ClickTitle(int column) { emit View().horizontalHeader()->sectionClicked(column); }
};

TEST_F(VehicleGridTest, AReloadKeepsTheCurrentVehicleAndTheScrollPositionAndTheFirstRowOnlyWhenItIsGone) {
    WriteIni(kIni);
    std::vector<VehicleRow> fleet = Fleet(300);
    ReplaceVehicles(fleet);
    TfrmMain& w = Open();
    VehicleGridView& view = View();
    ClickTitle(0);
    view.setCurrentIndex(w.Grid().index(233, 4));
    view.verticalScrollBar()->setValue(view.rowHeight(0) * 220);
    const int scrolled = view.verticalScrollBar()->value();
    ASSERT_GT(scrolled, 0);

    // A new vehicle before all others in the sort by name.
    fleet.insert(fleet.begin(), Vehicle("U1000"));
    ReplaceVehicles(fleet);
    w.ReloadDisplayTable();
    EXPECT_EQ(GridColumn(0).at(0), "U1000");
    EXPECT_EQ(view.currentIndex(), w.Grid().index(234, 4));
    EXPECT_EQ(GridColumn(0).at(234), "V1233");
    EXPECT_TRUE(view.selectionModel()->isRowSelected(234));
    EXPECT_EQ(view.verticalScrollBar()->value(), scrolled);

    std::string text;
    WhenShown(&w.ReadOneDialog(), [&] {
        text = w.ReadOneDialog().MessageText();
        w.ReadOneDialog().CancelButton()->click();
    });
    QTest::mouseClick(Find<QPushButton>("btOdczytajWybrane"), Qt::LeftButton);
    const std::string said = "Wybrana opcja spowoduje odczytanie danych V1233\r\n";
    EXPECT_EQ(text.substr(0, said.size()), said);

    fleet.erase(fleet.begin() + 234);
    ReplaceVehicles(fleet);
    w.ReloadDisplayTable();
    EXPECT_EQ(view.currentIndex(), w.Grid().index(0, 0));
    EXPECT_EQ(view.verticalScrollBar()->value(), scrolled);
}

TEST_F(VehicleGridTest, TheGridFollowsEachReplacementOfTheFileWithinASecondAndABurstReloadsOnce) {
    WriteIni(kIni);
    TfrmMain& w = Open();
    EXPECT_EQ(w.Grid().rowCount(), 0);
    ReplaceVehicles(Fleet(2));
    EXPECT_TRUE(WaitFor([&] { return w.Grid().rowCount() == 2; }, 1000));
    ReplaceVehicles(Fleet(3));
    EXPECT_TRUE(WaitFor([&] { return w.Grid().rowCount() == 3; }, 1000));

    int reloads = 0;
    QObject::connect(&w.Grid(), &QAbstractItemModel::modelReset, [&] { ++reloads; });
    for (int count = 4; count <= 13; ++count) ReplaceVehicles(Fleet(count));
    EXPECT_TRUE(WaitFor([&] { return w.Grid().rowCount() == 13; }, 1000));
    QTest::qWait(2 * VehicleFileWatch::kGatherMs);
    EXPECT_EQ(reloads, 1);
}

TEST_F(VehicleGridTest, SpeedsAndFuelSortAsNumbersNamesInPolishOrderAndAgesYoungestFirst) {
    WriteIni(kIni);
    std::vector<VehicleRow> rows = {
        Vehicle("Łódź1", "92.75 Km/h", "Sonda-100 %"), Vehicle("Lublin", "80.10 Km/h", "Sonda-22 %"),
        Vehicle("alfa", "7.25 Km/h", "Sonda-błąd"), Vehicle("Mazury", "64.00 Km/h", "Plywak-9 %"),
        Vehicle("Zabrze", "121.00 Km/h", "Sonda-45 %")};
    rows[0].OPIS = "2026.11.30-23:59";
    rows[1].OPIS.reset();
    rows[2].OPIS = "2026.12.01-09:59";
    rows[3].OPIS = "2025.12.31-08:00";
    rows[4].OPIS = "2026.12.01-10:00";
    ReplaceVehicles(rows);
    Open();
    const int speed = VehicleGridModel::GridColumn(DisplayColumn::PREDKOSC);
    ClickTitle(speed);
    ClickTitle(speed);
    // The file keeps ten characters of a speed.
    EXPECT_EQ(GridColumn(speed), (QStringList{"121.00 Km/", "92.75 Km/h", "80.10 Km/h", "64.00 Km/h", "7.25 Km/h"}));
    const int fuel = VehicleGridModel::GridColumn(DisplayColumn::PALIWO);
    ClickTitle(fuel);
    EXPECT_EQ(GridColumn(fuel),
              (QStringList{QString::fromUtf8("Sonda-błąd"), "Plywak-9 %", "Sonda-22 %", "Sonda-45 %", "Sonda-100 %"}));
    ClickTitle(0);
    EXPECT_EQ(GridColumn(0).join(","), QString::fromUtf8("alfa,Lublin,Łódź1,Mazury,Zabrze"));
    ClickTitle(VehicleGridModel::kAgeColumn);
    EXPECT_EQ(GridColumn(0).join(","), QString::fromUtf8("Zabrze,alfa,Łódź1,Mazury,Lublin"));
}

TEST_F(VehicleGridTest, ColumnsFitTheirContentAfterEveryReloadUntilTheOperatorSizesOne) {
    WriteIni(kIni);
    ReplaceVehicles({Vehicle("A1"), Vehicle("B2")});
    TfrmMain& w = Open();
    VehicleGridView& view = View();
    // Qt's own measure of the cells and the title (sizeHintForColumn is public only there).
    const QAbstractItemView& measure = view;
    auto fits = [&](int column) {
        const int needed =
            std::max(measure.sizeHintForColumn(column), view.horizontalHeader()->sectionSizeHint(column));
        return view.columnWidth(column) >= needed && view.columnWidth(column) <= needed + 3;
    };
    std::vector<VehicleRow> rows = {Vehicle("A1"), Vehicle("WX98765432", "121.00 Km/h", "Sonda-100 %"), Vehicle("B2")};
    rows[2].GPS = "BRAK";
    rows[2].KIEROWCA = "Brak ID";
    ReplaceVehicles(rows);
    w.ReloadDisplayTable();
    for (int column = 0; column < VehicleGridModel::kColumnCount; ++column) EXPECT_TRUE(fits(column)) << column;

    const int speed = VehicleGridModel::GridColumn(DisplayColumn::PREDKOSC);
    view.horizontalHeader()->resizeSection(speed, 40);
    rows[0] = Vehicle("KR1234567", "1234.50 Km/h");
    ReplaceVehicles(rows);
    w.ReloadDisplayTable();
    EXPECT_EQ(view.columnWidth(speed), 40);
    EXPECT_TRUE(fits(0));
}

TEST_F(VehicleGridTest, TheNazwaColumnStaysInSightWhenTheGridScrollsSideways) {
    WriteIni(kIni);
    std::vector<VehicleRow> fleet = Fleet(60);
    ReplaceVehicles(fleet);
    TfrmMain& w = Open();
    VehicleGridView& view = View();
    QTableView* nazwa = view.FrozenView();
    view.horizontalScrollBar()->setValue(view.horizontalScrollBar()->maximum());
    view.verticalScrollBar()->setValue(view.rowHeight(0) * 20);
    ASSERT_GT(view.horizontalScrollBar()->value(), view.columnWidth(0));
    EXPECT_TRUE(nazwa->isVisible());
    EXPECT_EQ(nazwa->geometry().left(), view.viewport()->geometry().left());
    EXPECT_EQ(nazwa->width(), view.columnWidth(0));
    // Its rows are the grid's rows, also when scrolled down.
    EXPECT_EQ(nazwa->indexAt(QPoint(2, 2)), w.Grid().index(20, 0));
    EXPECT_EQ(view.indexAt(QPoint(view.columnWidth(0) + 2, 2)).row(), 20);

    // A click on a registration chooses the vehicle in the whole grid.
    QTest::mouseClick(nazwa->viewport(), Qt::LeftButton, {}, nazwa->visualRect(w.Grid().index(25, 0)).center());
    EXPECT_EQ(view.currentIndex().row(), 25);
    EXPECT_TRUE(view.selectionModel()->isRowSelected(25));

    fleet[0].NAZWA = "WX98765432";
    ReplaceVehicles(fleet);
    w.ReloadDisplayTable();
    EXPECT_TRUE(nazwa->isColumnHidden(1));
    EXPECT_EQ(nazwa->width(), view.columnWidth(0));
    EXPECT_EQ(nazwa->columnWidth(0), view.columnWidth(0));
}

TEST_F(VehicleGridTest, RowsShowTheirPositionsAgeRightAlignedAndAreColouredByItAndByTheGpsStatus) {
    WriteIni(kIni);
    const DateTime minute = StartOfMinute();
    auto fixedAgo = [&](std::int64_t minutes) {
        return FormatFixTime(minute.PlusMs(-minutes * DateTime::kMsPerMinute));
    };
    std::vector<VehicleRow> rows;
    for (const char* name : {"A", "B", "C", "D", "E", "F"}) rows.push_back(Vehicle(name));
    rows[0].OPIS = fixedAgo(10);
    rows[1].OPIS = fixedAgo(5 * 60);
    rows[2].OPIS = fixedAgo(49 * 60);
    rows[3].OPIS.reset();
    rows[4].OPIS = fixedAgo(10);
    rows[4].GPS = "BRAK";
    rows[5].OPIS = fixedAgo(25 * 60);
    ReplaceVehicles(rows);
    TfrmMain& w = Open();
    const int age = VehicleGridModel::GridColumn(DisplayColumn::OPIS) + 1;
    EXPECT_EQ(w.Grid().headerData(age, Qt::Horizontal, Qt::DisplayRole).toString(), "Wiek pozycji");
    EXPECT_EQ(GridColumn(age), (QStringList{"10 min", "5 godz.", "2 dni", "", "10 min", QString::fromUtf8("1 dzień")}));

    auto role = [&](int row, int column, int r) { return w.Grid().data(w.Grid().index(row, column), r); };
    const QColor grey(128, 128, 128), darkRed(176, 0, 0), lightOrange(255, 224, 178);
    EXPECT_FALSE(role(0, 0, Qt::ForegroundRole).isValid());
    EXPECT_EQ(role(1, age, Qt::ForegroundRole).value<QColor>(), grey);
    EXPECT_EQ(role(2, 0, Qt::ForegroundRole).value<QColor>(), darkRed);
    EXPECT_EQ(role(3, 0, Qt::ForegroundRole).value<QColor>(), darkRed);
    EXPECT_EQ(role(5, 0, Qt::ForegroundRole).value<QColor>(), darkRed);
    EXPECT_FALSE(role(0, 0, Qt::BackgroundRole).isValid());
    EXPECT_EQ(role(4, 5, Qt::BackgroundRole).value<QColor>(), lightOrange);
    EXPECT_FALSE(role(4, 0, Qt::ForegroundRole).isValid());

    const QVariant right = QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    EXPECT_EQ(role(0, age, Qt::TextAlignmentRole), right);
    EXPECT_EQ(role(0, VehicleGridModel::GridColumn(DisplayColumn::PREDKOSC), Qt::TextAlignmentRole), right);
    EXPECT_EQ(role(0, 0, Qt::TextAlignmentRole), QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter));
}

}  // namespace

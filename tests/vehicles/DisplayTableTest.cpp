#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/Win1250.hpp"
#include "vehicles/DisplayTable.hpp"
#include "vehicles/VehicleFile.hpp"

using namespace serwer;

namespace {

VehicleRow Row(const std::string& name, std::optional<DateTime> read = std::nullopt) {
    VehicleRow r;
    r.NAZWA = name;
    r.ODCZYT = read;
    return r;
}

std::vector<std::string> Names(const DisplayTable& t) {
    std::vector<std::string> names;
    for (const VehicleRow& r : t.Rows()) names.push_back(r.NAZWA.value_or("<null>"));
    return names;
}

TEST(DisplayForms, MileageIsGroupedByThreeDigitsWithABlankAndEndsInKm) {
    EXPECT_EQ(FormatMileage(0), "0 km");
    EXPECT_EQ(FormatMileage(999), "999 km");
    EXPECT_EQ(FormatMileage(1000), "1 000 km");
    EXPECT_EQ(FormatMileage(123456), "123 456 km");
    EXPECT_EQ(FormatMileage(1234567), "1 234 567 km");
    EXPECT_EQ(FormatMileage(-4500), "-4 500 km");
    EXPECT_EQ(FormatMileage(INT32_MIN), "-2 147 483 648 km");
}

TEST(DisplayForms, InputsShowOnAndOffWithNullAsOff) {
    VehicleRow r;
    r.URZ1 = true;
    r.URZ2 = false;
    EXPECT_EQ(DisplayText(r, DisplayColumn::URZ1), "On");
    EXPECT_EQ(DisplayText(r, DisplayColumn::URZ2), "Off");
    EXPECT_EQ(DisplayText(r, DisplayColumn::URZ3), "Off");
}

TEST(DisplayForms, DatesUseTheWindowFormAndNullsAreEmpty) {
    VehicleRow r;
    r.ODCZYT = DateTime::Make(2026, 12, 8, 14, 5, 9);
    r.PROBA_ODCZYTU = DateTime::Make(2026, 12, 8);
    EXPECT_EQ(DisplayText(r, DisplayColumn::ODCZYT), "08-12-2026 14:05:09");
    EXPECT_EQ(DisplayText(r, DisplayColumn::PROBA_ODCZYTU), "08-12-2026");
    r.LICZNIK_ODCZYTOW.reset();
    EXPECT_EQ(DisplayText(r, DisplayColumn::LICZNIK_ODCZYTOW), "");
    EXPECT_EQ(DisplayText(r, DisplayColumn::PRZEBIEG), "");
    EXPECT_EQ(DisplayText(r, DisplayColumn::GRUPA), "Jazda");
}

TEST(DisplayColumns, TheGridShowsEighteenColumnsWithTheirTitles) {
    EXPECT_EQ(DisplayColumnTitle(DisplayColumnAt(0)), "Nazwa");
    EXPECT_EQ(DisplayColumnTitle(DisplayColumn::DLUGOSC), Cp1250("Długość geograficzna Longitude"));
    EXPECT_EQ(DisplayColumnTitle(DisplayColumn::PROBA_ODCZYTU), "Proba odczytu");
    EXPECT_EQ(DisplayColumnTitle(DisplayColumnAt(kDisplayColumnCount - 1)), "Przebieg");
    EXPECT_THROW(DisplayColumnAt(kDisplayColumnCount), std::out_of_range);
}

TEST(DisplayTableSort, AscendingThenDescendingWithNullsFirstAndStableTies) {
    DisplayTable t;
    t.ReloadFromContent(
        FormatVehicleFile({Row("B", DateTime::Make(2026, 1, 2)), Row("A"), Row("C", DateTime::Make(2026, 1, 1)),
                           Row("D", DateTime::Make(2026, 1, 2))}));
    t.SortBy(DisplayColumn::ODCZYT, false);
    EXPECT_EQ(Names(t), (std::vector<std::string>{"A", "C", "B", "D"}));
    t.SortBy(DisplayColumn::ODCZYT, true);
    EXPECT_EQ(Names(t), (std::vector<std::string>{"B", "D", "C", "A"}));
}

TEST(DisplayTableSort, TheSortStaysInForceAcrossReloads) {
    DisplayTable t;
    t.SortBy(DisplayColumn::NAZWA, true);
    t.ReloadFromContent(FormatVehicleFile({Row("A"), Row("C"), Row("B")}));
    EXPECT_EQ(Names(t), (std::vector<std::string>{"C", "B", "A"}));
}

TEST(DisplayTableReload, AMissingFileLeavesAnOpenEmptyTableAndDuplicatesAreBothShown) {
    DisplayTable t;
    EXPECT_FALSE(t.IsOpen());
    t.ReloadFromContent(FormatVehicleFile({Row("A"), Row("A")}));
    EXPECT_EQ(t.Rows().size(), 2u);
    t.ReloadDisplayTable("/nonexistent-data-directory");
    EXPECT_TRUE(t.IsOpen());
    EXPECT_TRUE(t.Rows().empty());
}

}  // namespace

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>

#include "common/ServerError.hpp"
#include "vehicles/VehicleTable.hpp"

using namespace serwer;

namespace {

VehicleRow Named(const std::string& name) {
    VehicleRow row;
    row.NAZWA = name;
    return row;
}

void ExpectDuplicateRefused(const std::function<void()>& commit) {
    try {
        commit();
        FAIL() << "no error";
    } catch (const ServerError& e) {
        EXPECT_STREQ(e.what(), "Duplicate index value. Operation aborted.");
    }
}

}  // namespace

TEST(VehicleRowGrupa, StandingWhenSpeedBeginsWithZeroElseDriving) {
    VehicleRow row;
    EXPECT_EQ(row.GRUPA(), "Jazda");  // null
    row.PREDKOSC = "";
    EXPECT_EQ(row.GRUPA(), "Jazda");
    row.PREDKOSC = "0.75 Km/h";
    EXPECT_EQ(row.GRUPA(), "Post\xF3j");
    row.PREDKOSC = "0";
    EXPECT_EQ(row.GRUPA(), "Post\xF3j");
    row.PREDKOSC = "10.00 Km/h";
    EXPECT_EQ(row.GRUPA(), "Jazda");
    row.PREDKOSC = " 0";
    EXPECT_EQ(row.GRUPA(), "Jazda");
}

TEST(VehicleTable, AppendAndPostCutTextColumnsToTheirWidths) {
    using Text = std::optional<std::string> VehicleRow::*;
    const std::pair<Text, std::size_t> widths[] = {
        {&VehicleRow::NAZWA, 10},    {&VehicleRow::OPIS, 50},       {&VehicleRow::KIEROWCA, 10},
        {&VehicleRow::PREDKOSC, 10}, {&VehicleRow::GPS, 10},        {&VehicleRow::SILNIK, 10},
        {&VehicleRow::PUNKTY, 20},   {&VehicleRow::VGRANICZNA, 20}, {&VehicleRow::LICENCJA, 16},
        {&VehicleRow::PALIWO, 20},   {&VehicleRow::SZEROKOSC, 20},  {&VehicleRow::DLUGOSC, 20}};
    VehicleRow row;
    for (const auto& [column, width] : widths) row.*column = std::string(60, 'x');
    VehicleTable table;
    const std::size_t index = table.Append(row);
    for (const auto& [column, width] : widths) EXPECT_EQ((table.Row(index).*column)->size(), width);
    EXPECT_EQ(table.Find("xxxxxxxxxx"), index);

    row.NAZWA = "ABCDEFGHIJKL";
    table.Post(index, row);
    EXPECT_EQ(table.Row(index).NAZWA, "ABCDEFGHIJ");
    EXPECT_EQ(table.Find("ABCDEFGHIJ"), index);
    EXPECT_FALSE(table.Find("xxxxxxxxxx"));  // the old name is free again
}

TEST(VehicleTable, DuplicateNameIsRefusedAndTableUnchanged) {
    VehicleTable table;
    table.Append(Named("A"));
    VehicleRow b = Named("B");
    b.GPS = "OK";
    table.Append(b);
    table.Append(Named("0123456789"));

    ExpectDuplicateRefused([&] { table.Append(Named("A")); });
    ExpectDuplicateRefused([&] { table.Append(Named("0123456789Z")); });  // equal once cut to 10
    ExpectDuplicateRefused([&] { table.Post(1, Named("A")); });
    ASSERT_EQ(table.Size(), 3u);
    EXPECT_EQ(table.Row(1), b);
    EXPECT_EQ(table.Find("B"), 1u);

    VehicleRow edited = b;
    edited.GPS = "BRAK";
    table.Post(1, edited);  // keeping its own name is no duplicate
    EXPECT_EQ(table.Row(1).GPS, "BRAK");
    EXPECT_EQ(table.Append(Named("a")), 3u);  // names compare case-sensitively
    EXPECT_EQ(table.Find("a"), 3u);
}

TEST(VehicleTable, AppendLoadedKeepsFirstRowOfEachName) {
    VehicleTable table;
    table.Append(Named("A"));
    VehicleRow again = Named("A");
    again.GPS = "late";
    VehicleRow c1 = Named("C");
    c1.GPS = "first";
    VehicleRow c2 = Named("C");
    c2.GPS = "second";
    EXPECT_FALSE(table.AppendLoaded({again, c1, VehicleRow{}, c2, VehicleRow{}}));
    ASSERT_EQ(table.Size(), 4u);  // A, C and two rows without a name
    EXPECT_FALSE(table.Row(0).GPS);
    EXPECT_EQ(table.Row(1).GPS, "first");
    EXPECT_EQ(table.Find("C"), 1u);

    table.Clear();
    EXPECT_TRUE(table.AppendLoaded({Named("A"), Named("B")}));
    EXPECT_EQ(table.Find("B"), 1u);
}

// Which rows the three lists of the summary report print.
#include <gtest/gtest.h>

#include "common/Win1250.hpp"
#include "report/ReportLists.hpp"

using namespace serwer;

namespace {

using Indices = std::vector<std::size_t>;

DateTime At(int year, int month, int day, int hour, int minute, int second = 0) {
    return *DateTime::Make(year, month, day, hour, minute, second);
}

VehicleRow Row(const char* name, std::optional<DateTime> read, std::optional<std::string> position) {
    VehicleRow row;
    row.NAZWA = name;
    row.ODCZYT = read;
    row.OPIS = std::move(position);
    return row;
}

const DateTime kNow = At(2026, 3, 15, 12, 34, 56);

TEST(SummaryReportLists, ListOneHoldsEveryRowInTheGridOrder) {
    const std::vector<VehicleRow> rows = {Row("ZZ1", std::nullopt, std::nullopt), Row("AA1", kNow, "x"),
                                          Row("MM1", std::nullopt, "")};
    EXPECT_EQ(SelectReportLists(rows, kNow).all, (Indices{0, 1, 2}));
}

TEST(SummaryReportLists, ReadListTakesReadsStrictlyAfterTheStartOfYesterday) {
    const std::vector<VehicleRow> rows = {
        Row("A", At(2026, 3, 14, 0, 0, 1), std::nullopt),     // yesterday 00:00:01: in
        Row("B", At(2026, 3, 14, 0, 0, 0), std::nullopt),     // exactly the start of yesterday: out
        Row("C", At(2026, 3, 13, 23, 59, 59), std::nullopt),  // the day before: out
        Row("D", At(2026, 3, 15, 12, 0, 0), std::nullopt),    // today: in
        Row("E", std::nullopt, std::nullopt),                 // never read: out
        Row("F", At(2026, 3, 16, 8, 0, 0), std::nullopt),     // a clock ahead of ours: in
    };
    EXPECT_EQ(SelectReportLists(rows, kNow).readLastDay, (Indices{0, 3, 5}));
}

TEST(SummaryReportLists, ReadListStartsAtYesterdayMidnightWhateverTheTimeAndMonth) {
    const std::vector<VehicleRow> rows = {Row("A", At(2026, 3, 31, 0, 0, 1), std::nullopt),
                                          Row("B", At(2026, 3, 30, 23, 0, 0), std::nullopt)};
    EXPECT_EQ(SelectReportLists(rows, At(2026, 4, 1, 23, 59, 59)).readLastDay, (Indices{0}));
    EXPECT_EQ(SelectReportLists(rows, At(2026, 4, 2, 0, 0, 0)).readLastDay, (Indices{}));
}

TEST(SummaryReportLists, PositionListComparesOpisWithThreeHoursAgoAsText) {
    EXPECT_EQ(PositionListThreshold(kNow), "2026.03.15-09:34");
    const std::vector<VehicleRow> rows = {
        Row("A", std::nullopt, "2026.03.15-09:34"),  // exactly three hours to the minute: in
        Row("B", std::nullopt, "2026.03.15-09:33"),  // a minute older: out
        Row("C", std::nullopt, "2026.03.15-12:30"),  // recent: in
        Row("D", std::nullopt, ""),                  // empty: out
        Row("E", std::nullopt, std::nullopt),        // null: out
        Row("F", std::nullopt, "2026.03.16-00:10"),  // later day: in
        Row("G", std::nullopt, "2026.03.14-23:59"),  // yesterday: out
        Row("H", std::nullopt, Cp1250("Łódź")),      // not a time; bytes above 0x7F sort last: in
    };
    EXPECT_EQ(SelectReportLists(rows, kNow).recentPosition, (Indices{0, 2, 5, 7}));
    // Three hours before 01:00 is the previous day.
    const std::vector<VehicleRow> overMidnight = {Row("A", std::nullopt, "2026.03.14-22:00"),
                                                  Row("B", std::nullopt, "2026.03.14-21:59")};
    EXPECT_EQ(SelectReportLists(overMidnight, At(2026, 3, 15, 1, 0, 30)).recentPosition, (Indices{0}));
}

}  // namespace

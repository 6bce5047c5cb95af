#include <gtest/gtest.h>

#include "common/DateTime.hpp"
#include "common/Win1250.hpp"

using namespace serwer;

TEST(DateTime, PartsRoundTripAcrossEpochAndLeapDays) {
    for (auto p : {DateTime::Parts{2024, 2, 29, 23, 59, 59, 999}, DateTime::Parts{1899, 12, 30, 0, 0, 0, 0},
                   DateTime::Parts{2026, 12, 31, 12, 0, 1, 5}}) {
        const auto s = DateTime::FromParts(p).Split();
        EXPECT_EQ(s.year, p.year);
        EXPECT_EQ(s.month, p.month);
        EXPECT_EQ(s.day, p.day);
        EXPECT_EQ(s.hour, p.hour);
        EXPECT_EQ(s.millisecond, p.millisecond);
    }
}

TEST(DateTime, MakeRefusesImpossibleDates) {
    EXPECT_FALSE(DateTime::Make(2025, 2, 29));
    EXPECT_TRUE(DateTime::Make(2024, 2, 29));
    EXPECT_FALSE(DateTime::Make(2026, 4, 31));
    EXPECT_FALSE(DateTime::Make(2026, 1, 1, 24));
}

TEST(DateTime, DayOfWeekOfKnownDates) {
    EXPECT_EQ(DateTime::Make(2026, 12, 8)->DayOfWeek(), 2);  // Tuesday
    EXPECT_EQ(DateTime::Make(2026, 3, 29)->DayOfWeek(), 0);  // Sunday
}

TEST(DateTime, TextFormShowsDateAloneAtMidnight) {
    EXPECT_EQ(FormatDateTimeText(*DateTime::Make(2026, 12, 8, 14, 5, 9)), "08-12-2026 14:05:09");
    EXPECT_EQ(FormatDateTimeText(*DateTime::Make(2026, 12, 8, 0, 0, 0, 500)), "08-12-2026");
    EXPECT_EQ(FormatDateTimeText(*DateTime::Make(2026, 12, 8, 7, 0, 0)), "08-12-2026 07:00:00");
    EXPECT_EQ(FormatFileStamp(*DateTime::Make(2024, 3, 5, 14, 7, 9)), "2024_03_05_14_07_09");
}

TEST(Win1250, PolishLettersConvertBothWays) {
    const std::string utf8 = "Prędkość Szerokość ZAŁ WYŁ błąd Postój";
    const std::string cp = Cp1250(utf8);
    EXPECT_EQ(cp.substr(0, 8),
              "Pr\xEA"
              "dko\x9C\xE6");
    EXPECT_EQ(Cp1250("Ł"), "\xA3");
    EXPECT_EQ(Cp1250ToUtf8(cp), utf8);
}

#include <gtest/gtest.h>

#include "common/DateTime.hpp"
#include "common/PolishTime.hpp"
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
    EXPECT_EQ(Cp1250Exact("Łódź €"), Cp1250("Łódź €"));
}

namespace {
constexpr std::int64_t kMarch29Utc = 1774742400;    // 2026-03-29 00:00 UTC, the day summer time starts
constexpr std::int64_t kOctober25Utc = 1792886400;  // 2026-10-25 00:00 UTC, the day it ends
}  // namespace

TEST(PolishTime, ClocksChangeAtOneUtcWithTheRepeatedHourEarlierAndTheSkippedOneWinter) {
    ASSERT_EQ(PolishTimeRuleInUse(), PolishTimeRule::Tzdata);
    EXPECT_EQ(PolishWallTime(kMarch29Utc + 60), DateTime::FromParts({2026, 3, 29, 1, 1}));
    EXPECT_EQ(PolishUtcOffsetSeconds(kMarch29Utc + 3599), 3600);
    EXPECT_EQ(PolishWallTime(kMarch29Utc + 3600), DateTime::FromParts({2026, 3, 29, 3, 0}));
    EXPECT_EQ(PolishWallTime(kOctober25Utc + 1800), DateTime::FromParts({2026, 10, 25, 2, 30}));
    EXPECT_EQ(PolishUtcOffsetSeconds(kOctober25Utc + 1800), 7200);
    EXPECT_EQ(PolishWallTime(kOctober25Utc + 5400), DateTime::FromParts({2026, 10, 25, 2, 30}));
    EXPECT_EQ(PolishUtcOffsetSeconds(kOctober25Utc + 5400), 3600);
    EXPECT_EQ(UtcSecondOfPolish(DateTime::FromParts({2026, 10, 25, 2, 0})), kOctober25Utc);
    EXPECT_EQ(UtcSecondOfPolish(DateTime::FromParts({2026, 10, 25, 3, 0})), kOctober25Utc + 7200);
    EXPECT_EQ(UtcSecondOfPolish(DateTime::FromParts({2026, 3, 29, 2, 30})), kMarch29Utc + 5400);
}

TEST(PolishTime, TheEuRuleWithoutTzdataGivesTheZonesTimes) {
    // Every half hour of the days around each change, 2000 to 2037, both ways.
    for (int year = 2000; year <= 2037; ++year)
        for (int month : {3, 10})
            for (int day = 24; day <= 31; ++day)
                for (int half = 0; half < 48; ++half) {
                    const DateTime wall =
                        DateTime::FromParts({year, month, day}).PlusMs(half * 30 * DateTime::kMsPerMinute);
                    const std::int64_t utc = wall.Ms() / DateTime::kMsPerSecond;
                    ASSERT_EQ(PolishUtcOffsetSeconds(utc, PolishTimeRule::EuRule),
                              PolishUtcOffsetSeconds(utc, PolishTimeRule::Tzdata))
                        << FormatDateTimeText(wall) << " UTC";
                    ASSERT_EQ(UtcSecondOfPolish(wall, PolishTimeRule::EuRule),
                              UtcSecondOfPolish(wall, PolishTimeRule::Tzdata))
                        << FormatDateTimeText(wall);
                }
}

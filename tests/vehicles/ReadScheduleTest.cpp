#include <gtest/gtest.h>

#include <filesystem>

#include "common/ServerError.hpp"
#include "support/TestDirectory.hpp"
#include "vehicles/ReadSchedule.hpp"
#include "vehicles/VehicleFile.hpp"

using namespace serwer;

namespace {
DateTime At(int y, int mo, int d, int h, int mi, int s = 0) { return *DateTime::Make(y, mo, d, h, mi, s); }

VehicleRow Named(const std::string& name) {
    VehicleRow r;
    r.NAZWA = name;
    return r;
}
}  // namespace

TEST(ReadHourOfIndex, IndexTwentyThreeIsMidnightAndMinusOneIsNoHour) {
    EXPECT_EQ(ReadHourOfIndex(0), 1);
    EXPECT_EQ(ReadHourOfIndex(22), 23);
    EXPECT_EQ(ReadHourOfIndex(23), 0);
    EXPECT_EQ(ReadHourOfIndex(-1), std::nullopt);
}

TEST(IsDue, OncePerDayAfterTheReadHour) {
    const DateTime lastRead = At(2026, 12, 7, 5, 10);
    EXPECT_FALSE(IsDue(lastRead, At(2026, 12, 8, 4, 59), 5));
    EXPECT_FALSE(IsDue(lastRead, At(2026, 12, 8, 5, 0, 0), 5));  // strictly after the instant
    EXPECT_TRUE(IsDue(lastRead, At(2026, 12, 8, 5, 0, 1), 5));
    EXPECT_FALSE(IsDue(At(2026, 12, 8, 5, 0, 30), At(2026, 12, 8, 23, 59), 5));
    EXPECT_TRUE(IsDue(At(2026, 12, 8, 5, 0, 30), At(2026, 12, 9, 5, 0, 1), 5));
}

TEST(IsDue, HourZeroMeansSinceMidnight) {
    EXPECT_TRUE(IsDue(At(2026, 12, 7, 23, 59), At(2026, 12, 8, 0, 0, 1), 0));
    EXPECT_FALSE(IsDue(At(2026, 12, 8, 0, 0, 5), At(2026, 12, 8, 18, 0), 0));
}

TEST(IsDue, ReadLaterThanTodaysInstantWaitsForALaterDay) {
    // The clock was set back: the last read lies in the future.
    EXPECT_FALSE(IsDue(At(2026, 12, 9, 6, 0), At(2026, 12, 8, 12, 0), 5));
    EXPECT_FALSE(IsDue(At(2026, 12, 9, 6, 0), At(2026, 12, 9, 12, 0), 5));
    EXPECT_TRUE(IsDue(At(2026, 12, 9, 6, 0), At(2026, 12, 10, 5, 0, 1), 5));
}

TEST(IsDue, NoHourSelectedIsNeverDue) {
    EXPECT_FALSE(IsDue(At(2020, 1, 1, 0, 0), At(2026, 12, 8, 12, 0), std::nullopt));
}

TEST(DecideRead, NeverReadRowIsDueAndGetsItsAttemptStamped) {
    VehicleTable t;
    t.Append(Named("AB1"));
    const DateTime now = At(2026, 12, 8, 12, 0);
    EXPECT_TRUE(DecideRead(t, "AB1", true, 5, now));
    EXPECT_EQ(t.Row(0).PROBA_ODCZYTU, now);
    EXPECT_FALSE(t.Row(0).ODCZYT.has_value());
}

TEST(DecideRead, RetryNeedsMoreThanOneHourSinceTheAttempt) {
    const DateTime now = At(2026, 12, 8, 12, 0);
    for (auto [minutesAgo, expected] : {std::pair{59, false}, {60, false}, {61, true}}) {
        VehicleTable t;
        VehicleRow r = Named("AB1");
        r.PROBA_ODCZYTU = now.PlusMs(-minutesAgo * DateTime::kMsPerMinute);
        t.Append(r);
        EXPECT_EQ(DecideRead(t, "AB1", true, 5, now), expected) << minutesAgo;
        EXPECT_EQ(t.Row(0).PROBA_ODCZYTU == now, expected);
    }
}

TEST(DecideRead, ReadsDisabledIsNeverDueAndStampsNothing) {
    VehicleTable t;
    t.Append(Named("AB1"));
    EXPECT_FALSE(DecideRead(t, "AB1", false, 5, At(2026, 12, 8, 12, 0)));
    EXPECT_FALSE(t.Row(0).PROBA_ODCZYTU.has_value());
}

TEST(DecideRead, ReadTodayAfterTheInstantIsNotDue) {
    VehicleTable t;
    VehicleRow r = Named("AB1");
    r.ODCZYT = r.PROBA_ODCZYTU = At(2026, 12, 8, 5, 0, 30);
    t.Append(r);
    EXPECT_FALSE(DecideRead(t, "AB1", true, 5, At(2026, 12, 8, 20, 0)));
}

TEST(RecordCompletedRead, StampsBothTimesAndCountsFromAnEmptyCounter) {
    VehicleTable t;
    VehicleRow r = Named("AB1");
    r.LICZNIK_ODCZYTOW.reset();
    t.Append(r);
    const DateTime now = At(2026, 12, 8, 12, 0);
    RecordCompletedRead(t, "AB1", now);
    EXPECT_EQ(t.Row(0).ODCZYT, now);
    EXPECT_EQ(t.Row(0).PROBA_ODCZYTU, now);
    EXPECT_EQ(t.Row(0).LICZNIK_ODCZYTOW, 1);
    RecordCompletedRead(t, "missing", now);  // nothing to record
    EXPECT_EQ(t.Size(), 1u);
}

TEST(ShowPlannedRead, NextReadInstantInTheWindowDateForm) {
    EXPECT_EQ(ShowPlannedRead(23, At(2026, 12, 8, 22, 0)), "08-12-2026 23:00:00");
    EXPECT_EQ(ShowPlannedRead(23, At(2026, 12, 8, 23, 30)), "09-12-2026 23:00:00");
    EXPECT_EQ(ShowPlannedRead(1, At(2026, 12, 8, 1, 0, 1)), "09-12-2026 01:00:00");
    EXPECT_EQ(ShowPlannedRead(0, At(2026, 12, 31, 9, 0)), "01-01-2027");
    EXPECT_EQ(ShowPlannedRead(std::nullopt, At(2026, 12, 8, 9, 0)), "");
}

class ForcedRead : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"AB1", "CD2"}) {
            VehicleRow r = Named(name);
            r.ODCZYT = r.PROBA_ODCZYTU = At(2026, 12, 8, 5, 1);
            r.LICZNIK_ODCZYTOW = 7;
            lock_.TableUnlocked().Append(r);
        }
    }
    std::string File() { return ReadFile(VehicleFilePath(dir_)); }
    TestDirectory tmp_;
    const std::string dir_ = tmp_.Path().string();
    TableLock lock_;
};

TEST_F(ForcedRead, ReadAllNowClearsEveryRowAndSavesTheFile) {
    ReadAllNow(lock_, dir_);
    for (const VehicleRow& r : lock_.TableUnlocked().Rows()) {
        EXPECT_FALSE(r.ODCZYT || r.PROBA_ODCZYTU);
        EXPECT_EQ(r.LICZNIK_ODCZYTOW, 0);
    }
    // Saved, so a restart keeps the forced read.
    VehicleTable reloaded;
    LoadVehicleFile(reloaded, VehicleFilePath(dir_));
    ASSERT_EQ(reloaded.Size(), 2u);
    EXPECT_FALSE(reloaded.Row(1).ODCZYT.has_value());
    EXPECT_EQ(reloaded.Row(1).LICZNIK_ODCZYTOW, 0);
    EXPECT_FALSE(lock_.IsBusy());
}

TEST_F(ForcedRead, ReadOneNowClearsOnlyThatRow) {
    ReadOneNow(lock_, dir_, "CD2");
    EXPECT_TRUE(lock_.TableUnlocked().Row(0).ODCZYT.has_value());
    EXPECT_FALSE(lock_.TableUnlocked().Row(1).ODCZYT.has_value());
    EXPECT_NE(File().find("\"CD2\";\"Jazda\";;;;;;;;;;\"0\";"), std::string::npos);
}

TEST_F(ForcedRead, ReadOneNowOfAnUnknownCarFailsAndReleasesTheLock) {
    try {
        ReadOneNow(lock_, dir_, "ZZ9");
        FAIL();
    } catch (const ServerError& e) {
        EXPECT_STREQ(e.what(), "Nie moge znalezc samochodu : ZZ9");
    }
    EXPECT_FALSE(lock_.IsBusy());
    EXPECT_FALSE(std::filesystem::exists(VehicleFilePath(dir_)));
    EXPECT_EQ(lock_.TableUnlocked().Row(1).LICZNIK_ODCZYTOW, 7);
}

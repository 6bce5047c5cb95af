#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "common/DateTime.hpp"
#include "logs/OldFileCleanup.hpp"
#include "support/TestDirectory.hpp"

using namespace serwer;

namespace {

namespace fs = std::filesystem;

// The clean-up logs to log.txt in the working directory, so every test runs in a
// fresh one with the data directory "dane" inside it.
class OldFileCleanupTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directory("dane"); }

    static void Touch(const std::string& path) { std::ofstream(path) << "x"; }
    static bool Exists(const std::string& path) { return fs::exists(path); }
    static std::string LogContent() { return ReadFile("log.txt"); }
    static int LogEntries() {
        const std::string log = LogContent();
        int n = 0;
        for (std::size_t p = log.find("\r\n"); p != std::string::npos; p = log.find("\r\n", p + 2)) ++n;
        return n;
    }

    static DateTime Day(int y, int m, int d, int h = 12) { return *DateTime::Make(y, m, d, h); }

    TestDirectory dir_{TestDirectory::Enter::Yes};
};

TEST_F(OldFileCleanupTest, PrefixIsYearAndMonthTwoMonthsBack) {
    EXPECT_EQ(OldFileCleanup::PrefixFor(Day(2026, 12, 8)), "2026_10_");
    EXPECT_EQ(OldFileCleanup::PrefixFor(Day(2027, 3, 1)), "2027_01_");
    EXPECT_EQ(OldFileCleanup::PrefixFor(Day(2027, 1, 15)), "2026_11_");
    EXPECT_EQ(OldFileCleanup::PrefixFor(Day(2027, 2, 28)), "2026_12_");
    EXPECT_EQ(OldFileCleanup::PrefixFor(Day(999, 5, 1)), "0999_03_");
}

TEST_F(OldFileCleanupTest, MarchDeletesJanuarySviFilesOnly) {
    for (const char* name : {"WA1_2027_01_05.svi", "2027_01_.SVI", "x2027_01_y.Svi"})
        Touch(std::string("dane/") + name);
    for (const char* name :
         {"WA1_2027_01_05.sve", "WA1_2027_02_05.svi", "WA1_2026_01_05.svi", "2027_01_05.svi.txt", "WA1.svi2027_01_"})
        Touch(std::string("dane/") + name);
    fs::create_directory("dane/sub");
    Touch("dane/sub/WA1_2027_01_05.svi");

    OldFileCleanup cleanup("dane");
    cleanup.CleanOldFiles(Day(2027, 3, 10));

    EXPECT_FALSE(Exists("dane/WA1_2027_01_05.svi"));
    EXPECT_FALSE(Exists("dane/2027_01_.SVI"));
    EXPECT_FALSE(Exists("dane/x2027_01_y.Svi"));
    EXPECT_TRUE(Exists("dane/WA1_2027_01_05.sve"));
    EXPECT_TRUE(Exists("dane/WA1_2027_02_05.svi"));
    EXPECT_TRUE(Exists("dane/WA1_2026_01_05.svi"));
    EXPECT_TRUE(Exists("dane/2027_01_05.svi.txt"));
    EXPECT_TRUE(Exists("dane/WA1.svi2027_01_"));
    EXPECT_TRUE(Exists("dane/sub/WA1_2027_01_05.svi"));
}

TEST_F(OldFileCleanupTest, EveryRunLogsTheLineEvenWithoutMatches) {
    OldFileCleanup cleanup("dane");
    cleanup.CleanOldFiles(Day(2026, 12, 8));
    const std::string log = LogContent();
    const std::string line = "\nUsuwamy stare pliki svi 2026_10_\r\n";
    ASSERT_GE(log.size(), line.size());
    EXPECT_EQ(log.substr(log.size() - line.size()), line);
    EXPECT_EQ(LogEntries(), 1);
}

TEST_F(OldFileCleanupTest, SecondCallOnTheSameDayDoesNothing) {
    OldFileCleanup cleanup("dane");
    cleanup.CleanOldFiles(Day(2027, 3, 10, 0));
    Touch("dane/A_2027_01_01.svi");
    cleanup.CleanOldFiles(Day(2027, 3, 10, 23));
    EXPECT_TRUE(Exists("dane/A_2027_01_01.svi"));
    EXPECT_EQ(LogEntries(), 1);

    // The first call after midnight runs again.
    cleanup.CleanOldFiles(Day(2027, 3, 11, 0));
    EXPECT_FALSE(Exists("dane/A_2027_01_01.svi"));
    EXPECT_EQ(LogEntries(), 2);
}

TEST_F(OldFileCleanupTest, JanuaryAndFebruaryReachIntoThePreviousYear) {
    Touch("dane/A_2026_11_30.svi");
    Touch("dane/A_2026_12_31.svi");
    OldFileCleanup cleanup("dane");
    cleanup.CleanOldFiles(Day(2027, 1, 20));
    EXPECT_FALSE(Exists("dane/A_2026_11_30.svi"));
    EXPECT_TRUE(Exists("dane/A_2026_12_31.svi"));
    cleanup.CleanOldFiles(Day(2027, 2, 1));
    EXPECT_FALSE(Exists("dane/A_2026_12_31.svi"));
    EXPECT_NE(LogContent().find("\nUsuwamy stare pliki svi 2026_12_\r\n"), std::string::npos);
}

TEST_F(OldFileCleanupTest, UndeletableMatchesAreSkippedAndTheRestDeleted) {
    Touch("dane/A_2027_01_ro.svi");
    ::chmod("dane/A_2027_01_ro.svi", 0444);
    fs::create_directory("dane/B_2027_01_dir.svi");
    Touch("dane/C_2027_01_ok.svi");
    OldFileCleanup cleanup("dane");
    cleanup.CleanOldFiles(Day(2027, 3, 10));
    EXPECT_TRUE(Exists("dane/A_2027_01_ro.svi"));
    EXPECT_TRUE(Exists("dane/B_2027_01_dir.svi"));
    EXPECT_FALSE(Exists("dane/C_2027_01_ok.svi"));
    ::chmod("dane/A_2027_01_ro.svi", 0644);
}

TEST_F(OldFileCleanupTest, MissingDataDirectoryEndsQuietlyAfterTheLogLine) {
    OldFileCleanup cleanup("brak");
    EXPECT_NO_THROW(cleanup.CleanOldFiles(Day(2027, 3, 10)));
    EXPECT_EQ(LogEntries(), 1);
    EXPECT_FALSE(Exists("brak"));
}

}  // namespace

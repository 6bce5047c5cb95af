#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "app/Settings.hpp"
#include "common/ServerError.hpp"
#include "support/TestDirectory.hpp"

using namespace serwer;

namespace {

const std::string kSection = "Ustawienia";

TEST(SetProfileValue, ReplacesTheValueOfAKeyMatchedWithoutRegardToCase) {
    const std::string in = "[ustawienia]\r\nPORT=4500\r\nKatalog=dane\r\n";
    EXPECT_EQ(SetProfileValue(in, kSection, "Port", "4600"), "[ustawienia]\r\nPort=4600\r\nKatalog=dane\r\n");
}

TEST(SetProfileValue, AddsAMissingKeyAtTheEndOfItsSectionBeforeTheNextOne) {
    const std::string in = "[Ustawienia]\r\nPort=4500\r\n\r\n[Inne]\r\nX=1\r\n";
    EXPECT_EQ(SetProfileValue(in, kSection, "Godzina", "5"),
              "[Ustawienia]\r\nPort=4500\r\nGodzina=5\r\n\r\n[Inne]\r\nX=1\r\n");
}

TEST(SetProfileValue, AddsAMissingSectionAtTheEnd) {
    EXPECT_EQ(SetProfileValue("", kSection, "Port", "4500"), "[Ustawienia]\r\nPort=4500\r\n");
    EXPECT_EQ(SetProfileValue("[Inne]\nX=1", kSection, "Port", "1"), "[Inne]\nX=1\n[Ustawienia]\nPort=1\n");
}

TEST(SetProfileValue, AKeyOfAnotherSectionOrACommentIsNotTouched) {
    const std::string in = "[Inne]\r\nPort=1\r\n[Ustawienia]\r\n;Port=2\r\n";
    EXPECT_EQ(SetProfileValue(in, kSection, "Port", "3"), "[Inne]\r\nPort=1\r\n[Ustawienia]\r\n;Port=2\r\nPort=3\r\n");
}

TEST(SetProfileValue, ALastLineWithoutLineEndGetsOneBeforeTheNewKey) {
    EXPECT_EQ(SetProfileValue("[Ustawienia]\r\nPort=1", kSection, "Godzina", "0"),
              "[Ustawienia]\r\nPort=1\r\nGodzina=0");
}

TEST(WriteSettingsAtClose, WritesTheFourKeysInOrderAndKeepsTheRest) {
    TestDirectory dir;
    const std::string path = (dir.Path() / "serwer.ini").string();
    {
        std::ofstream out(path, std::ios::binary);
        out << "[Ustawienia]\r\nPojazdy=WA1,WA2\r\nKatalog=dane\r\nGodzina=30\r\n";
    }
    WriteSettingsAtClose(path, {true, false, 23, "4501x"});
    EXPECT_EQ(ReadFile(path),
              "[Ustawienia]\r\nPojazdy=WA1,WA2\r\nKatalog=dane\r\nGodzina=23\r\nOdpytywac=1\r\nKasowac=0\r\n"
              "Port=4501x\r\n");
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
}

TEST(WriteSettingsAtClose, CreatesAMissingFileThatReadsBackTheSameSettings) {
    TestDirectory dir;
    const std::string path = (dir.Path() / "serwer.ini").string();
    WriteSettingsAtClose(path, {false, true, -1, "4500"});
    EXPECT_EQ(ReadFile(path), "[Ustawienia]\r\nOdpytywac=0\r\nKasowac=1\r\nGodzina=-1\r\nPort=4500\r\n");
    const Settings s = ReadSettings(IniFile::Load(path), "sv");
    EXPECT_FALSE(s.readsEnabled);
    EXPECT_TRUE(s.erase);
    EXPECT_EQ(s.readHourIndex, -1);
    EXPECT_EQ(s.port, "4500");
}

TEST(WriteSettingsAtClose, AnUnwritableDirectoryFailsWithUnableToWrite) {
    const std::string path = "/nonexistent-dir/serwer.ini";
    try {
        WriteSettingsAtClose(path, {});
        FAIL() << "expected a failure";
    } catch (const ServerError& e) {
        EXPECT_STREQ(e.what(), "Unable to write to /nonexistent-dir/serwer.ini");
    }
}

}  // namespace

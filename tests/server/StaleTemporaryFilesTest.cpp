// The start-up removal of temporary files that a killed server left in its data
// directory: only the server's own temporary names, only where it writes them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "server/PositioningServer.hpp"
#include "server/StaleTemporaryFiles.hpp"
#include "support/TestDirectory.hpp"
#include "vehicles/VehicleFile.hpp"

using namespace serwer;

namespace fs = std::filesystem;

namespace {

class StaleTemporaryFiles : public ::testing::Test {
protected:
    void Touch(const fs::path& relative, const std::string& content = "x") {
        fs::create_directories((dir_ / relative).parent_path());
        std::ofstream(dir_ / relative, std::ios::binary) << content;
    }
    std::set<std::string> Left() const {
        std::set<std::string> left;
        for (const auto& e : fs::recursive_directory_iterator(dir_))
            if (!e.is_directory()) left.insert(fs::relative(e.path(), dir_).generic_string());
        return left;
    }
    TestDirectory tmp_;
    const fs::path dir_ = tmp_.Path();
};

}  // namespace

TEST_F(StaleTemporaryFiles, TemporaryVehicleFilesAndArchivesAreRemovedInTheDataDirectoryAndOneLevelBelow) {
    Touch("Aktualne.txt.tmp4242_0");
    Touch("Aktualne.txt.tmp17_123");
    Touch("WA123452026_12_08_10_00_00.sve.tmp4242_1");
    Touch("001A2B3C4D5E6F70/WA123452026_12_08_10_00_00.sve.tmp99_7");
    EXPECT_EQ(RemoveStaleTemporaryFiles(dir_.string()), 4);
    EXPECT_TRUE(Left().empty());
}

TEST_F(StaleTemporaryFiles, EverythingElseIsLeftAlone) {
    const std::set<std::string> kept = {
        "Aktualne.txt",
        "Aktualne.txt2026_12_08_10_00_00.bak",
        "WA123452026_12_08_10_00_00.sve",
        "001A2B3C4D5E6F70/WA123452026_12_08_10_00_00.sve",
        "Aktualne.txt.tmp",      // no serials
        "Aktualne.txt.tmp12",    // no second serial
        "Aktualne.txt.tmp12_",   // empty second serial
        "Aktualne.txt.tmpab_1",  // not digits
        "Inne.txt.tmp12_3",      // not the vehicle file
        ".sve.tmp12_3",          // no archive name before the extension
        "notatki.tmp12_3",
        "WA1.svi",
        "a/b/WA1.sve.tmp1_2",  // two levels down: never an archive directory
    };
    for (const std::string& name : kept) Touch(name);
    EXPECT_EQ(RemoveStaleTemporaryFiles(dir_.string()), 0);
    EXPECT_EQ(Left(), kept);
}

TEST_F(StaleTemporaryFiles, TheStartUpLoadRemovesThemAndLoadsTheTable) {
    Touch("Aktualne.txt", FormatVehicleFile({}));
    Touch("Aktualne.txt.tmp4242_0", "\"Nazwa\";\"Grupa Kat");  // a save cut short
    ServerSetup setup;
    setup.dataDirectory = dir_.string();
    PositioningServer server(setup);
    EXPECT_TRUE(server.LoadVehicleTable());
    EXPECT_EQ(Left(), std::set<std::string>{"Aktualne.txt"});
}

TEST_F(StaleTemporaryFiles, AMissingDataDirectoryIsNoError) {
    EXPECT_EQ(RemoveStaleTemporaryFiles((dir_ / "brak").string()), 0);
}

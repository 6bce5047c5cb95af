#include <gtest/gtest.h>

#include "app/CommandLine.hpp"
#include "app/HistoryCommand.hpp"
#include "common/Win1250.hpp"

using namespace serwer;

namespace {

std::string UsageText(const std::vector<std::string>& args) {
    try {
        ParseCommandLine(args);
    } catch (const UsageError& e) {
        return Cp1250ToUtf8(e.what());
    }
    return "(accepted)";
}

}  // namespace

TEST(ParseCommandLine, ModeWordAndSettingsFile) {
    // As before: the first argument is the mode word, anything else is ignored.
    EXPECT_EQ(ParseCommandLine({}).firstArgument, "");
    EXPECT_EQ(ParseCommandLine({"sv"}).firstArgument, "sv");
    EXPECT_EQ(ParseCommandLine({"start"}).firstArgument, "start");
    EXPECT_EQ(ParseCommandLine({"cokolwiek"}).firstArgument, "cokolwiek");
    EXPECT_EQ(ParseCommandLine({}).iniPath, std::nullopt);

    const CommandLine both = ParseCommandLine({"--ini", "/etc/serwer/serwer.ini", "sv"});
    EXPECT_EQ(both.iniPath, "/etc/serwer/serwer.ini");
    EXPECT_EQ(both.firstArgument, "sv");
    EXPECT_FALSE(both.help);
    EXPECT_FALSE(both.version);
    EXPECT_EQ(ParseCommandLine({"start", "--ini=inny.ini"}).iniPath, "inny.ini");
    EXPECT_EQ(ParseCommandLine({"start", "--ini=inny.ini"}).firstArgument, "start");

    EXPECT_EQ(SettingsPathOf(both, "/usr/bin"), "/etc/serwer/serwer.ini");
    EXPECT_EQ(SettingsPathOf(CommandLine{}, "/opt/serwer"), "/opt/serwer/serwer.ini");
    EXPECT_EQ(SettingsPathOf(CommandLine{}, "/"), "/serwer.ini");
}

TEST(ParseCommandLine, HelpVersionAndMistakes) {
    EXPECT_TRUE(ParseCommandLine({"--help"}).help);
    EXPECT_TRUE(ParseCommandLine({"sv", "-h"}).help);
    EXPECT_TRUE(ParseCommandLine({"--version"}).version);
    EXPECT_EQ(VersionText("serwerd"), std::string("serwerd ") + SERWER_PROJECT_VERSION + "\n");
    EXPECT_EQ(ServerUsage("serwerd").rfind("użycie: serwerd [--ini PLIK] [sv | start]\n", 0), 0u);

    EXPECT_EQ(UsageText({"--port", "4500"}), "nieznana opcja --port");
    EXPECT_EQ(UsageText({"-x"}), "nieznana opcja -x");
    EXPECT_EQ(UsageText({"--ini"}), "opcja --ini wymaga ścieżki pliku ustawień");
    EXPECT_EQ(UsageText({"--ini="}), "opcja --ini wymaga ścieżki pliku ustawień");
    EXPECT_EQ(UsageText({"sv", "start"}), "zbędny argument start");
}

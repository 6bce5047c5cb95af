#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

// Without any display the window program says so and points to serwerd, instead of
// being ended by the toolkit.
TEST(NoDisplay, StartingWithoutADisplayFailsWithAMessageThatPointsToServerd) {
    const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " SERWER_BIN_DIR "/serwer 2>&1";
    FILE* p = ::popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, p)) output += buffer;
    const int status = ::pclose(p);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_NE(output.find("no display is available"), std::string::npos) << output;
    EXPECT_NE(output.find(SERWER_BIN_DIR "/serwerd"), std::string::npos) << output;
}

}  // namespace

// The packaged log rotation (packaging/serwer.logrotate) run by the real logrotate
// while threads write entries: the files are renamed under the writers, and every entry
// must be found once, whole, in order and with its Windows-1250 bytes, across the
// rotated (compressed) files and the current ones.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/Win1250.hpp"
#include "logs/EventLog.hpp"
#include "support/TestDirectory.hpp"

using namespace serwer;

namespace fs = std::filesystem;

namespace {

constexpr int kWriters = 4;
constexpr int kRotations = 6;

std::string Message(int writer, int index) {
    return Cp1250("wątek ") + std::to_string(writer) + " wpis " + std::to_string(index) +
           Cp1250(" zażółć gęślą jaźń ŻÓŁĆ");
}

std::string LogOf(int writer) { return writer % 2 == 0 ? "log.txt" : "WA12345log.txt"; }

std::string Decompressed(const fs::path& file) {
    std::string text;
    FILE* pipe = ::popen(("gzip -dc '" + file.string() + "'").c_str(), "r");
    if (!pipe) return text;
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) text.append(chunk, n);
    return ::pclose(pipe) == 0 ? text : "(gzip failed)";
}

// A log and its rotated copies, oldest first: name.N.gz ... name.2.gz, name.1, name.
std::string WholeLog(const fs::path& dir, const std::string& name) {
    std::string text;
    for (int n = kRotations; n >= 2; --n) text += Decompressed(dir / (name + "." + std::to_string(n) + ".gz"));
    return text + ReadFile(dir / (name + ".1")) + ReadFile(dir / name);
}

}  // namespace

TEST(LogRotation, RenamingUnderWritersLosesNoEntryAndChangesNoByte) {
    TestDirectory tmp(TestDirectory::Enter::Yes);
    const fs::path dir = fs::current_path();

    // The packaged rules with the test's folder; rotation runs as the test's user.
    std::string rules = ReadFile(fs::path(SERWER_SOURCE_DIR) / "packaging/serwer.logrotate");
    const std::string glob = "/var/lib/serwer/*.txt", su = "    su serwer serwer\n";
    ASSERT_NE(rules.find(glob), std::string::npos);
    ASSERT_NE(rules.find(su), std::string::npos);
    rules.replace(rules.find(glob), glob.size(), (dir / "*.txt").string());
    rules.erase(rules.find(su), su.size());
    std::ofstream(dir / "logrotate.conf") << rules;
    fs::create_directory(dir / "dane");
    std::ofstream(dir / "dane/Aktualne.txt") << "\"WA12345\"\r\n";

    std::atomic<bool> stop{false};
    std::array<int, kWriters> written{};
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w)
        writers.emplace_back([&, w] {
            for (int i = 0; !stop || i < 200; ++i, ++written[w]) WriteLog(Message(w, i), LogOf(w));
        });
    const std::string rotate = "/usr/sbin/logrotate -f -s '" + (dir / "logrotate.state").string() + "' '" +
                               (dir / "logrotate.conf").string() + "'";
    for (int r = 0; r < kRotations; ++r) {
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        const int status = std::system(rotate.c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "logrotate run " << r;
    }
    stop = true;
    for (std::thread& t : writers) t.join();

    for (const std::string name : {"log.txt", "WA12345log.txt"}) {
        EXPECT_TRUE(fs::exists(dir / (name + ".1"))) << name;  // delaycompress: the newest stays plain
        EXPECT_TRUE(fs::exists(dir / (name + "." + std::to_string(kRotations) + ".gz"))) << name;
    }
    EXPECT_EQ(ReadFile(dir / "dane/Aktualne.txt"), "\"WA12345\"\r\n");
    EXPECT_FALSE(fs::exists(dir / "dane/Aktualne.txt.1"));

    // Every entry is "<stamp>\n<message>\r\n"; each writer's entries come in its order.
    std::array<int, kWriters> seen{};
    const std::size_t stampSize = LogTimeStamp().size();
    const std::size_t writerAt = Cp1250("wątek ").size();
    for (const std::string name : {"log.txt", "WA12345log.txt"}) {
        const std::string text = WholeLog(dir, name);
        std::size_t pos = 0;
        while (pos < text.size()) {
            const std::size_t end = text.find("\r\n", pos);
            ASSERT_NE(end, std::string::npos) << name << ": an entry without its line end";
            ASSERT_EQ(text.find('\n', pos), pos + stampSize) << name << " at " << pos;
            const std::string message = text.substr(pos + stampSize + 1, end - pos - stampSize - 1);
            const int w = message.size() > writerAt ? message[writerAt] - '0' : -1;
            ASSERT_TRUE(w >= 0 && w < kWriters && LogOf(w) == name) << message;
            ASSERT_EQ(message, Message(w, seen[w])) << name;
            ++seen[w];
            pos = end + 2;
        }
    }
    for (int w = 0; w < kWriters; ++w) EXPECT_EQ(seen[w], written[w]) << "writer " << w;
}

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/ServerError.hpp"
#include "common/Win1250.hpp"
#include "logs/EventLog.hpp"
#include "support/TestDirectory.hpp"

using namespace serwer;

namespace {

// Log files go to the working directory, so every test runs in a fresh one.
class EventLogTest : public ::testing::Test {
protected:
    static void WriteRaw(const std::string& name, const std::string& bytes) {
        std::ofstream(name, std::ios::binary) << bytes;
    }
    bool DirectoryIsEmpty() const { return std::filesystem::is_empty(dir_.Path()); }

    TestDirectory dir_{TestDirectory::Enter::Yes};
};

const std::regex kStamp(R"(\d{2}-\d{2}-\d{4}( \d{2}:\d{2}:\d{2})?)");

// Splits a log file into its (stamp, message) entries; messages must not hold LF.
std::vector<std::pair<std::string, std::string>> SplitEntries(const std::string& content) {
    std::vector<std::pair<std::string, std::string>> entries;
    std::size_t pos = 0;
    while (pos < content.size()) {
        const std::size_t lf = content.find('\n', pos);
        const std::size_t crlf = content.find("\r\n", lf);
        if (lf == std::string::npos || crlf == std::string::npos) {
            ADD_FAILURE() << "truncated entry at byte " << pos;
            break;
        }
        entries.emplace_back(content.substr(pos, lf - pos), content.substr(lf + 1, crlf - lf - 1));
        pos = crlf + 2;
    }
    return entries;
}

TEST_F(EventLogTest, FirstEntryCreatesFileWithStampLfMessageCrLf) {
    WriteLog("przychodzi pozycja ", "log.txt");
    const std::string content = ReadFile("log.txt");
    const std::size_t lf = content.find('\n');
    ASSERT_NE(lf, std::string::npos);
    EXPECT_TRUE(std::regex_match(content.substr(0, lf), kStamp)) << content;
    EXPECT_EQ(content.substr(lf), "\nprzychodzi pozycja \r\n");
}

TEST_F(EventLogTest, RawBytesAreWrittenExactly) {
    const std::string raw("nowy string :\x00\r\n\x1A\xFF$", 19);
    WriteLog(raw, "stringi.txt");
    const std::string content = ReadFile("stringi.txt");
    const std::size_t lf = content.find('\n');
    ASSERT_NE(lf, std::string::npos);
    EXPECT_EQ(content.substr(lf), "\n" + raw + "\r\n");
}

TEST_F(EventLogTest, AppendKeepsExistingContentIncludingEndOfFileByte) {
    const std::string existing("stare\r\n\x1A\x00\x1A", 10);
    WriteRaw("err.txt", existing);
    WriteLog("a", "err.txt");
    WriteLog("b", "err.txt");
    const std::string content = ReadFile("err.txt");
    ASSERT_EQ(content.compare(0, existing.size(), existing), 0);
    const auto entries = SplitEntries(content.substr(existing.size()));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].second, "a");
    EXPECT_EQ(entries[1].second, "b");
}

TEST_F(EventLogTest, ConcurrentWritersToOneFileNeverInterleave) {
    constexpr int kThreads = 8;
    constexpr int kEntries = 200;
    // Long messages make a torn or interleaved write visible.
    const auto message = [](int t, int i) {
        return "T" + std::to_string(t) + " " + std::to_string(i) + " " + std::string(1000, static_cast<char>('a' + t));
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, &message] {
            for (int i = 0; i < kEntries; ++i) WriteLog(message(t, i), "lock.txt");
        });
    for (auto& th : threads) th.join();

    const auto entries = SplitEntries(ReadFile("lock.txt"));
    ASSERT_EQ(entries.size(), static_cast<std::size_t>(kThreads * kEntries));
    std::vector<int> next(kThreads, 0);
    for (const auto& [stamp, text] : entries) {
        ASSERT_TRUE(std::regex_match(stamp, kStamp)) << stamp;
        const int t = text[1] - '0';
        ASSERT_TRUE(t >= 0 && t < kThreads) << text.substr(0, 20);
        // Each thread's entries appear whole and in the order it wrote them.
        ASSERT_EQ(text, message(t, next[t])) << text.substr(0, 20);
        ++next[t];
    }
}

TEST_F(EventLogTest, UnsafeFileNamesAreRefusedWithoutTouchingTheDisk) {
    const std::vector<std::string> names = {
        "",    ".",    "..",  "WA/12log.txt", "WA\\12log.txt", "C:log", "a*b",
        "a?b", "a\"b", "a<b", "a>b",          "a|b",           "a\x01", std::string("a\0b", 3)};
    for (const std::string& name : names) {
        EXPECT_FALSE(IsSafeFileName(name)) << name;
        try {
            WriteLog("x", name);
            ADD_FAILURE() << "accepted " << name;
        } catch (const ServerError& e) {
            EXPECT_STREQ(e.what(), std::strerror(EINVAL));
        }
    }
    EXPECT_TRUE(DirectoryIsEmpty());
    EXPECT_TRUE(IsSafeFileName("WA12345log.txt"));
    EXPECT_TRUE(IsSafeFileName(Cp1250("Zażółć log.txt")));
}

TEST_F(EventLogTest, FileThatCannotBeOpenedFailsWithSystemErrorText) {
    ASSERT_EQ(::mkdir("surowe.txt", 0777), 0);
    try {
        WriteLog("x", "surowe.txt");
        FAIL() << "no error";
    } catch (const ServerError& e) {
        EXPECT_STREQ(e.what(), std::strerror(EISDIR));
    }
}

}  // namespace

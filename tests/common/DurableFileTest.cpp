#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>

#include "common/DurableFile.hpp"
#include "support/TestDirectory.hpp"

using namespace serwer;

namespace fs = std::filesystem;

namespace {

class DurableFile : public ::testing::Test {
protected:
    std::set<std::string> Names() const {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(tmp_.Path())) names.insert(e.path().filename().string());
        return names;
    }
    // A write that failed at `step` with `error` left the old file and nothing else.
    void ExpectRefusedAndOldKept(const DurableWriteResult& result, DurableStep step, int error) const {
        EXPECT_EQ(result.failed, step);
        EXPECT_EQ(result.error, error);
        EXPECT_FALSE(result.placed);
        EXPECT_EQ(ReadFile(path_), "old");
        EXPECT_EQ(Names(), std::set<std::string>{"plik.txt"});
    }
    TestDirectory tmp_;
    const std::string path_ = (tmp_.Path() / "plik.txt").string();
};

}  // namespace

TEST_F(DurableFile, ReplacePutsTheWholeContentInPlaceAndLeavesOnlyTheFinalName) {
    std::ofstream(path_, std::ios::binary) << "old content, longer than the new one";
    const DurableWriteResult result = WriteDurableFile(path_, std::string("new\0x", 5), Placement::Replace);
    EXPECT_TRUE(result.Ok());
    EXPECT_EQ(result.error, 0);
    EXPECT_TRUE(result.placed);
    EXPECT_EQ(ReadFile(path_), std::string("new\0x", 5));
    EXPECT_EQ(Names(), std::set<std::string>{"plik.txt"});
}

TEST_F(DurableFile, AFailedWriteKeepsTheOldContentAndLeavesNoTemporaryFile) {
    // A file size limit fails the write even for root, whom a read-only directory does not stop.
    std::ofstream(path_, std::ios::binary) << "old";
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const rlimit small{4, saved.rlim_max};
    const auto previousHandler = ::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const DurableWriteResult result = WriteDurableFile(path_, "new content", Placement::Replace);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, previousHandler);
    ExpectRefusedAndOldKept(result, DurableStep::Write, EFBIG);
}

TEST_F(DurableFile, NoReplaceRefusesAnExistingName) {
    std::ofstream(path_, std::ios::binary) << "old";
    ExpectRefusedAndOldKept(WriteDurableFile(path_, "new", Placement::NoReplace), DurableStep::Place, EEXIST);
}

TEST(TemporaryFileName, IsTheFinalNameThenTmpProcessIdUnderscoreSerialAndReadsBack) {
    EXPECT_EQ(TemporaryFileName("dane/WA1.sve", 4242, 7), "dane/WA1.sve.tmp4242_7");
    EXPECT_EQ(FinalNameOfTemporary(TemporaryFileName("dane/WA1.sve", 4242, 7)), "dane/WA1.sve");
    EXPECT_EQ(FinalNameOfTemporary("a.tmp1_2.tmp3_4"), "a.tmp1_2");
}

TEST(TemporaryFileName, OtherNamesHaveNoFinalName) {
    EXPECT_EQ(FinalNameOfTemporary("Aktualne.txt.tmp12_"), std::nullopt);
    EXPECT_EQ(FinalNameOfTemporary("x.tmpa_1"), std::nullopt);
    EXPECT_EQ(FinalNameOfTemporary("x.tmp1_2_3"), std::nullopt);
    EXPECT_EQ(FinalNameOfTemporary(".tmp1_2"), std::nullopt);
    EXPECT_EQ(FinalNameOfTemporary("Aktualne.txt"), std::nullopt);
}

#include "common/ServerError.hpp"
#include "download/DownloadTestSupport.hpp"
#include "download/MemoryImage.hpp"
#include "link/ByteStuffing.hpp"
#include "unitsim/BulkTransferBuilder.hpp"

using namespace serwer;

namespace {
class ParseDumpTest : public ::testing::Test {
protected:
    // Parses unstuffed transfer bytes as they would arrive on the wire.
    int Parse(const Bytes& unstuffed) { return ParseDump(*image_, StuffBytes(unstuffed)); }
    Bytes PageData(int page) const {
        const auto& d = image_->Page(page).data;
        return Bytes(d.begin(), d.end());
    }
    // Pages 0..count-1 of pattern data, the last one erased at its tail.
    static std::vector<Bytes> Pages(int count) {
        std::vector<Bytes> pages;
        for (int p = 0; p < count; ++p) pages.push_back(PatternPage(p, p == count - 1));
        return pages;
    }

    std::unique_ptr<MemoryImage> image_ = std::make_unique<MemoryImage>();
};

Bytes Trailers(int lastPage) { return BuildEndTrailer(lastPage) + BuildEndTrailer(lastPage); }
}  // namespace

TEST_F(ParseDumpTest, WorkedExampleFilesBothPagesAndAsksForNothing) {
    const Bytes block0 = BuildPageBlock(0, Repeat(256, 0x00));
    const Bytes block1 = BuildPageBlock(1, Repeat(256, 0xFF));
    EXPECT_EQ(block0.back(), '\x78');
    EXPECT_EQ(block1.back(), '\x79');
    EXPECT_EQ(Parse(block0 + block1 + Trailers(1)), -1);
    EXPECT_EQ(image_->LastPage(), 1);
    EXPECT_TRUE(image_->Page(0).valid);
    EXPECT_TRUE(image_->Page(1).valid);
    EXPECT_EQ(image_->Contents(), Repeat(256, 0x00) + Repeat(261888, 0xFF));
}

TEST_F(ParseDumpTest, LastPageIsJudgedByItsErasedTailAlone) {
    const Bytes notErased = BuildPageBlock(0, PatternPage(0)) + BuildPageBlock(1, PatternPage(1)) + Trailers(1);
    EXPECT_EQ(Parse(notErased), 1);
    image_->Initialise();
    const Bytes erasedBadSum =
        BuildPageBlock(0, PatternPage(0)) + WithBadChecksum(BuildPageBlock(1, PatternPage(1, true))) + Trailers(1);
    EXPECT_EQ(Parse(erasedBadSum), -1);
}

TEST_F(ParseDumpTest, PagesAboveLastPageAreNeverAskedFor) {
    BulkTransferOptions options;
    options.damagedPages = {3};
    std::vector<Bytes> pages = Pages(3);
    pages.push_back(PatternPage(3));
    EXPECT_EQ(ParseDump(*image_, BuildBulkTransfer(pages, 2, options)), -1);
    EXPECT_FALSE(image_->Page(3).valid);
    EXPECT_EQ(PageData(3), PatternPage(3));
}

TEST_F(ParseDumpTest, LastPageNeverSentCountsAsErased) {
    EXPECT_EQ(ParseDump(*image_, BuildBulkTransfer(Pages(2), 2)), -1);
}

TEST_F(ParseDumpTest, LowestMissingPageIsAskedForFirst) {
    BulkTransferOptions options;
    options.missingPages = {4, 2};
    EXPECT_EQ(ParseDump(*image_, BuildBulkTransfer(Pages(6), 5, options)), 2);
}

TEST_F(ParseDumpTest, PageSentTwiceKeepsItsLaterCopy) {
    const Bytes dump = WithBadChecksum(BuildPageBlock(0, PatternPage(9))) + BuildPageBlock(0, PatternPage(0)) +
                       BuildPageBlock(1, PatternPage(1, true)) + Trailers(1);
    EXPECT_EQ(Parse(dump), -1);
    EXPECT_EQ(PageData(0), PatternPage(0));
    EXPECT_EQ(image_->Page(0).receiveCount, 1);
}

TEST_F(ParseDumpTest, PageReceivedThreeTimesIsNotAskedForAgain) {
    const Bytes bad = WithBadChecksum(BuildPageBlock(0, PatternPage(0)));
    const Bytes last = BuildPageBlock(1, PatternPage(1, true)) + Trailers(1);
    EXPECT_EQ(Parse(bad + bad + bad + last), 0);  // receive count 2
    image_->Initialise();
    EXPECT_EQ(Parse(bad + bad + bad + bad + last), -1);  // receive count 3
}

TEST_F(ParseDumpTest, PageNumbersAreBcd) {
    EXPECT_EQ(Parse(BuildPageBlock(1023, PatternPage(5)) + Trailers(0)), -1);
    EXPECT_EQ(image_->Page(1023).pageNumber, 1023);
    Bytes badNumber = BuildPageBlock(0, PatternPage(0));
    badNumber[2] = 0x01;
    badNumber[3] = 0x0A;
    try {
        Parse(badNumber + Trailers(0));
        FAIL() << "accepted";
    } catch (const ConversionError& e) {
        EXPECT_STREQ(e.what(), "'010A' is not a valid integer value");
    }
}

TEST_F(ParseDumpTest, ExtraBytesBeforeNextMarkerMoveOnlyTheChecksumByte) {
    Bytes block = BuildPageBlock(0, PatternPage(0));
    block.insert(260, "xyz");
    EXPECT_EQ(Parse(block + BuildPageBlock(1, PatternPage(1, true)) + Trailers(1)), -1);
    EXPECT_TRUE(image_->Page(0).valid);
    EXPECT_EQ(PageData(0), PatternPage(0));
}

TEST_F(ParseDumpTest, GoodReplyBehindTheTrailerRepairsThePage) {
    BulkTransferOptions options;
    options.damagedPages = {1};
    Bytes collected = BuildBulkTransfer(Pages(3), 2, options);
    ASSERT_EQ(ParseDump(*image_, collected), 1);
    collected += StuffBytes(BuildPageBlock(1, PatternPage(1)));
    EXPECT_EQ(ParseDump(*image_, collected), -1);
    EXPECT_TRUE(image_->Page(1).valid);
    EXPECT_EQ(PageData(1), PatternPage(1));
}

TEST_F(ParseDumpTest, FailedOrPartialReplyChangesNothing) {
    BulkTransferOptions options;
    options.damagedPages = {1};
    Bytes collected = BuildBulkTransfer(Pages(3), 2, options);
    ASSERT_EQ(ParseDump(*image_, collected), 1);
    collected += StuffBytes(WithBadChecksum(BuildPageBlock(1, PatternPage(77))));
    collected += StuffBytes(Truncated(BuildPageBlock(1, PatternPage(78)), 200));
    EXPECT_EQ(ParseDump(*image_, collected), 1);
    EXPECT_FALSE(image_->Page(1).valid);
    EXPECT_EQ(PageData(1), PatternPage(1));
}

TEST_F(ParseDumpTest, BlocksOutsideTheImageAreNotStored) {
    // Page 1500 does not exist; the block cut short would run past the data.
    const Bytes past = Bytes("\xAB\xCD\x00\x05", 4) + PatternPage(5).substr(0, 100);
    EXPECT_EQ(Parse(BuildPageBlock(1500, PatternPage(0)) + Trailers(0)), -1);
    EXPECT_EQ(Parse(past), -1);
    EXPECT_EQ(Parse(Trailers(0)), -1);
    EXPECT_EQ(image_->Contents(), Repeat(MemoryImage::kImageSize, 0xFF));
    EXPECT_EQ(image_->Page(5).receiveCount, -1);
}

TEST_F(ParseDumpTest, LastPageAbove1023LimitsTheChoiceTo1023) {
    BulkTransferOptions options;
    options.missingPages = {1023};
    EXPECT_EQ(ParseDump(*image_, BuildBulkTransfer(Pages(1024), 1500, options)), 1023);
    EXPECT_EQ(image_->LastPage(), 1500);
    image_->Initialise();
    EXPECT_EQ(ParseDump(*image_, BuildBulkTransfer(Pages(1024), 1500)), -1);
}

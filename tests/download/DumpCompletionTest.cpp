#include <random>

#include "common/ServerError.hpp"
#include "download/DumpCompletion.hpp"
#include "download/DownloadTestSupport.hpp"
#include "link/ByteStuffing.hpp"
#include "unitsim/BulkTransferBuilder.hpp"

namespace {
std::vector<Bytes> Pages(int count) {
    std::vector<Bytes> pages;
    for (int p = 0; p < count; ++p) pages.push_back(PatternPage(p, p == count - 1));
    return pages;
}

// The answer, or the error text, as one comparable string.
template <class F>
std::string Outcome(F answer) {
    try {
        const DumpCompletion c = answer();
        return c.complete ? "complete " + std::to_string(c.lastPage) : "incomplete";
    } catch (const ServerError& e) {
        return std::string("error ") + e.what();
    }
}

// Feeds wire in pieces of the given size and compares every answer with the pure check.
void ExpectCheckerAgrees(const Bytes& wire, std::size_t piece) {
    DumpCompletionChecker checker;
    for (std::size_t at = 0; at < wire.size(); at += piece) {
        const std::string_view part = std::string_view(wire).substr(at, piece);
        const Bytes prefix = wire.substr(0, at + part.size());
        ASSERT_EQ(Outcome([&] { return checker.Feed(part); }), Outcome([&] { return IsDumpComplete(prefix); }))
            << "piece " << piece << ", after " << prefix.size() << " bytes";
    }
}
}  // namespace

TEST(IsDumpComplete, TrailerTwiceWithTheSameNumberConfirms) {
    const DumpCompletion c = IsDumpComplete(BuildBulkTransfer(Pages(13), 12));
    EXPECT_TRUE(c.complete);
    EXPECT_EQ(c.lastPage, 12);
}

TEST(IsDumpComplete, TrailerOnceNeverConfirms) {
    BulkTransferOptions once;
    once.singleTrailer = true;
    EXPECT_FALSE(IsDumpComplete(BuildBulkTransfer(Pages(13), 12, once)).complete);
}

TEST(IsDumpComplete, DifferentNumbersDoNotConfirm) {
    EXPECT_FALSE(IsDumpComplete(B({0xDC, 0xBA, 0x00, 0x12, 0xDC, 0xBA, 0x00, 0x13})).complete);
}

TEST(IsDumpComplete, SecondTrailerMustLieWithin256BytesAfterFirstMarker) {
    // The window starts with the first trailer's number; the second trailer then needs
    // its four bytes inside the window.
    const Bytes inside = BuildEndTrailer(7) + Repeat(250, 0x00) + BuildEndTrailer(7);
    const Bytes outside = BuildEndTrailer(7) + Repeat(251, 0x00) + BuildEndTrailer(7);
    EXPECT_TRUE(IsDumpComplete(inside).complete);
    EXPECT_FALSE(IsDumpComplete(outside).complete);
}

TEST(IsDumpComplete, CountByte0x10IsReadAfterUnstuffing) {
    const DumpCompletion c = IsDumpComplete(B({0xDC, 0xBA, 0x1B, 0x04, 0x23, 0xDC, 0xBA, 0x1B, 0x04, 0x23}));
    EXPECT_TRUE(c.complete);
    EXPECT_EQ(c.lastPage, 1023);
}

TEST(IsDumpComplete, BadBcdDigitsInFirstTrailerFail) {
    try {
        IsDumpComplete(B({0x00, 0xDC, 0xBA, 0x0A, 0x00}));
        FAIL() << "accepted";
    } catch (const ConversionError& e) {
        EXPECT_STREQ(e.what(), "'0A00' is not a valid integer value");
    }
}

TEST(DumpCompletionChecker, AgreesWithPureCheckHoweverTheDataAreSplit) {
    const std::vector<Bytes> wires = {
        BuildBulkTransfer(Pages(3), 2),
        BuildBulkTransfer(Pages(11), 1010),                                  // 1B 04 in both trailers
        B({0x41, 0x1B, 0x41, 0xDC, 0xBA, 0x00, 0x1B, 0x04, 0x1B, 0x1B, 0xDC, 0xBA, 0x00, 0x1B, 0x04}),
        B({0xDC, 0xBA, 0x00, 0x12, 0x1B, 0xDC, 0xBA, 0x00, 0x13, 0xDC, 0xBA, 0x00, 0x12}),
        BuildEndTrailer(7) + Repeat(251, 0x1B) + BuildEndTrailer(7),          // escapes across the window end
        BuildEndTrailer(7) + Repeat(250, 0x00) + B({0xDC, 0xBA, 0x00, 0x1B, 0x02}),
    };
    for (const Bytes& wire : wires) {
        for (std::size_t piece : {1, 2, 3, 5, 64}) ExpectCheckerAgrees(wire, piece);
    }
}

TEST(DumpCompletionChecker, AgreesOnAFullDumpInRandomPieces) {
    const Bytes wire = BuildBulkTransfer(Pages(1024), 1023);
    std::mt19937 random(7);
    DumpCompletionChecker checker;
    for (std::size_t at = 0; at < wire.size();) {
        const std::size_t piece = 1 + random() % 9000;
        const std::string_view part = std::string_view(wire).substr(at, piece);
        at += part.size();
        ASSERT_EQ(Outcome([&] { return checker.Feed(part); }),
                  Outcome([&] { return IsDumpComplete(wire.substr(0, at)); }));
    }
    EXPECT_EQ(Outcome([&] { return checker.Check(); }), "complete 1023");
}

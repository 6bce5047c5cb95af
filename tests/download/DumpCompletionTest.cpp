#include <random>

#include "common/ServerError.hpp"
#include "download/DownloadTestSupport.hpp"
#include "download/DumpCompletion.hpp"
#include "link/ByteStuffing.hpp"
#include "unitsim/BulkTransferBuilder.hpp"

using namespace serwer;

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

// What the checker should answer for the data received so far: the pure check, except
// that an escape byte still waiting for its partner is not judged yet. A trailing run
// of escape bytes ends in such a byte when its length is odd (a byte other than 0x1B
// never starts a pair, so the run pairs up from its start).
Bytes JudgedPart(const Bytes& received) {
    std::size_t run = 0;
    while (run < received.size() && received[received.size() - 1 - run] == '\x1B') ++run;
    return run % 2 == 1 ? received.substr(0, received.size() - 1) : received;
}

// Feeds wire in pieces of the given size and compares every answer with the pure check.
void ExpectCheckerAgrees(const Bytes& wire, std::size_t piece) {
    DumpCompletionChecker checker;
    for (std::size_t at = 0; at < wire.size(); at += piece) {
        const std::string_view part = std::string_view(wire).substr(at, piece);
        const Bytes prefix = JudgedPart(wire.substr(0, at + part.size()));
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
        BuildBulkTransfer(Pages(11), 1010),  // 1B 04 in both trailers
        B({0x41, 0x1B, 0x41, 0xDC, 0xBA, 0x00, 0x1B, 0x04, 0x1B, 0x1B, 0xDC, 0xBA, 0x00, 0x1B, 0x04}),
        B({0xDC, 0xBA, 0x00, 0x12, 0x1B, 0xDC, 0xBA, 0x00, 0x13, 0xDC, 0xBA, 0x00, 0x12}),
        BuildEndTrailer(7) + Repeat(251, 0x1B) + BuildEndTrailer(7),  // escapes across the window end
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
                  Outcome([&] { return IsDumpComplete(JudgedPart(wire.substr(0, at))); }));
    }
    EXPECT_EQ(Outcome([&] { return checker.Check(); }), "complete 1023");
}

TEST(DumpCompletionChecker, PassEndingInsideAStuffedPageCountWaitsForTheRestOfIt) {
    // Last page 10: the count bytes 00 10 travel as 00 1B 04.
    const Bytes trailer = StuffBytes(BuildEndTrailer(10));
    const Bytes wire = trailer + trailer;
    const std::size_t split = wire.size() - 1;  // the pass ends between 1B and 04
    DumpCompletionChecker checker;
    EXPECT_EQ(Outcome([&] { return checker.Feed(std::string_view(wire).substr(0, split)); }), "incomplete");
    EXPECT_EQ(Outcome([&] { return checker.Feed(std::string_view(wire).substr(split)); }), "complete 10");
    // Judged whole, the split data would have failed the transfer.
    EXPECT_NE(Outcome([&] { return IsDumpComplete(wire.substr(0, split)); }), "incomplete");
}

TEST(DumpCompletionChecker, AgreesWithThePureCheckOnNoiseInRandomPieces) {
    static const Bytes kPieces[] = {Bytes("\xDC\xBA", 2), Bytes("\x1B", 1),     Bytes("\x1B\x04", 2),
                                    Bytes("\x10\x23", 2), Bytes("\x99\x99", 2), Bytes("\xFA", 1)};
    std::mt19937 rng(7);
    for (int round = 0; round < 500; ++round) {
        Bytes data;
        for (std::size_t size = rng() % 1500; data.size() < size;)
            data += rng() % 3 == 0 ? kPieces[rng() % std::size(kPieces)] : Bytes(1, static_cast<char>(rng()));
        // A first trailer with bad digits fails as soon as it is whole, and stays failed.
        DumpCompletionChecker checker;
        const std::string fed = Outcome([&] {
            for (std::size_t at = 0; at < data.size();) {
                const std::size_t piece = 1 + rng() % 64;
                checker.Feed(std::string_view(data).substr(at, piece));
                at += piece;
            }
            return checker.Check();
        });
        EXPECT_EQ(fed, Outcome([&] { return IsDumpComplete(JudgedPart(data)); }));
    }
}

#include <gtest/gtest.h>

#include "common/ServerError.hpp"
#include "link/Bcd.hpp"
#include "link/ByteStuffing.hpp"

using namespace serwer;

namespace {
Bytes B(std::initializer_list<int> v) {
    Bytes s;
    for (int b : v) s += static_cast<char>(b);
    return s;
}
}  // namespace

TEST(ByteStuffing, EmptyInputGivesEmptyOutputFromAllThree) {
    EXPECT_EQ(StuffBytes(""), "");
    EXPECT_EQ(UnstuffBytes(""), "");
    EXPECT_EQ(UnstuffDump(""), "");
}

TEST(ByteStuffing, StuffEscapesTheThreeTableBytes) {
    EXPECT_EQ(StuffBytes(B({0x10, 0x1B, 0x03, 0x41})), B({0x1B, 0x04, 0x1B, 0x1B, 0x1B, 0x02, 0x41}));
}

TEST(ByteStuffing, FirstPairIsTakenFirst) {
    EXPECT_EQ(UnstuffBytes(B({0x1B, 0x1B, 0x04})), B({0x1B, 0x04}));
    EXPECT_EQ(UnstuffDump(B({0x1B, 0x1B, 0x04})), B({0x1B, 0x04}));
}

TEST(ByteStuffing, PairOutsideTableIsKeptByUnstuffBytesAndDroppedByUnstuffDump) {
    EXPECT_EQ(UnstuffBytes(B({0x1B, 0x41})), B({0x1B, 0x41}));
    EXPECT_EQ(UnstuffDump(B({0x1B, 0x41})), "");
    EXPECT_EQ(UnstuffBytes(B({0x1B, 0x05, 0x1B, 0x04})), B({0x1B, 0x05, 0x10}));
    EXPECT_EQ(UnstuffDump(B({0x1B, 0x05, 0x1B, 0x04})), B({0x10}));
    EXPECT_EQ(UnstuffBytes(B({0x1B, 0x00})), B({0x1B, 0x00}));
}

TEST(ByteStuffing, TrailingLoneEscapeSurvivesUnstuffBytesOnly) {
    EXPECT_EQ(UnstuffBytes(B({0x41, 0x1B})), B({0x41, 0x1B}));
    EXPECT_EQ(UnstuffDump(B({0x41, 0x1B})), B({0x41}));
    EXPECT_EQ(UnstuffBytes(B({0x1B, 0x1B, 0x1B})), B({0x1B, 0x1B}));
    EXPECT_EQ(UnstuffDump(B({0x1B, 0x1B, 0x1B})), B({0x1B}));
}

TEST(ByteStuffing, BothDecodersInvertTheEncoderForEveryByteValue) {
    Bytes all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    all += all;  // neighbours of every kind
    const Bytes stuffed = StuffBytes(all);
    EXPECT_EQ(stuffed.find('\x10'), Bytes::npos);
    EXPECT_EQ(stuffed.find('\x03'), Bytes::npos);
    EXPECT_EQ(UnstuffBytes(stuffed), all);
    EXPECT_EQ(UnstuffDump(stuffed), all);
}

TEST(Bcd, DigitsReadAsDecimal) {
    EXPECT_EQ(DecodeBcdNumber(B({0x12, 0x34})), 1234);
    EXPECT_EQ(DecodeBcdNumber(B({0x10, 0x23})), 1023);
    EXPECT_EQ(DecodeBcdByte(0x59), 59);
    EXPECT_EQ(static_cast<int>(EncodeBcdByte(47)), 0x47);
}

TEST(Bcd, NibbleAboveNineFailsWithTheHexText) {
    try {
        DecodeBcdNumber(B({0x01, 0x0A}));
        FAIL();
    } catch (const ConversionError& e) {
        EXPECT_STREQ(e.what(), "'010A' is not a valid integer value");
    }
    try {
        DecodeBcdByte(0x5A);
        FAIL();
    } catch (const ConversionError& e) {
        EXPECT_STREQ(e.what(), "'00000000005A' is not a valid integer value");
    }
}

TEST(ByteStuffing, TrailingEscapeIsUnpairedOnlyAtTheEndOfAnOddRun) {
    EXPECT_TRUE(EndsInUnpairedEscape(B({0x41, 0x1B})));
    EXPECT_FALSE(EndsInUnpairedEscape(B({0x41, 0x1B, 0x1B})));
    EXPECT_TRUE(EndsInUnpairedEscape(B({0x1B, 0x04, 0x1B, 0x1B, 0x1B})));
    EXPECT_FALSE(EndsInUnpairedEscape(B({0x1B, 0x04})));
    EXPECT_FALSE(EndsInUnpairedEscape(""));
}

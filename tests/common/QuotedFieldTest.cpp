#include <gtest/gtest.h>

#include "common/QuotedField.hpp"

using namespace serwer;

TEST(ScanQuotedField, ADoubledQuoteIsOneQuoteAndThePositionEndsPastTheClosingQuote) {
    std::size_t pos = 2;
    EXPECT_EQ(ScanQuotedField("x;\"a\"\"b\";c", pos), "a\"b");
    EXPECT_EQ(pos, 8u);
}

TEST(ScanQuotedField, AnUnclosedValueRunsToTheEnd) {
    std::size_t pos = 0;
    EXPECT_EQ(ScanQuotedField("\"ab\"\"", pos), "ab\"");
    EXPECT_EQ(pos, 5u);
}

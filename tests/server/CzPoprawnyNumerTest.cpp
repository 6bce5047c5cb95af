#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/Settings.hpp"
#include "link/PositionRecord.hpp"
#include "server/ConnectionHandler.hpp"
#include "unitsim/PositionRecordBuilder.hpp"

using namespace serwer;
using namespace std::string_literals;

TEST(CzPoprawnyNumer, TrailingZeroBytesOfTheFieldTakeNoPartInTheAllowListComparison) {
    const std::vector<std::string> list = {"WA12345", "KR99999 "};
    EXPECT_TRUE(CzPoprawnyNumer("WA12345\0"s, list));
    EXPECT_TRUE(CzPoprawnyNumer("wa1234\0\0"s, {"WA1234"}));
    EXPECT_TRUE(CzPoprawnyNumer("KR99999 "s, list));   // a blank the operator wrote
    EXPECT_FALSE(CzPoprawnyNumer("WA12345 "s, list));  // trailing blanks still count
    EXPECT_FALSE(CzPoprawnyNumer("KR99999\0"s, list));
    EXPECT_FALSE(CzPoprawnyNumer("WA1234\0\0"s, list));
    EXPECT_FALSE(CzPoprawnyNumer("WA\0\x31\x32\x33\x34\x35"s, list));  // only trailing ones
}

TEST(CzPoprawnyNumer, EightEqualBytesAreRefusedWithOrWithoutAnAllowList) {
    for (const std::string& field : {"\0\0\0\0\0\0\0\0"s, "        "s, "AAAAAAAA"s}) {
        EXPECT_FALSE(CzPoprawnyNumer(field, {})) << field;
        EXPECT_FALSE(CzPoprawnyNumer(field, {"AAAAAAAA", ""})) << field;
    }
    EXPECT_TRUE(CzPoprawnyNumer("WA12345\0"s, {}));
}

TEST(CzPoprawnaLicencja, TheOwnerCodeOfTheRecordIsListedInAnyLetterCaseOrTheListIsEmpty) {
    const std::vector<std::string> list = ParseAllowList("00000000000000ff, 001a2B3c4d5e6f70");
    EXPECT_TRUE(CzPoprawnaLicencja(OwnerCodeText(BuildPositionRecord(SamplePosition("WA12345"))), list));
    EXPECT_TRUE(CzPoprawnaLicencja("00000000000000ff", {"00000000000000FF"}));
    EXPECT_FALSE(CzPoprawnaLicencja("001A2B3C4D5E6F71", list));
    EXPECT_FALSE(CzPoprawnaLicencja("001A2B3C4D5E6F7", list));  // a part of a code is no code
    EXPECT_TRUE(CzPoprawnaLicencja("FFFFFFFFFFFFFFFF", {}));
}

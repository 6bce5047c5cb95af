#include "download/DownloadTestSupport.hpp"
#include "download/DumpRequest.hpp"
#include "download/EraseCommand.hpp"
#include "download/RepeatRequest.hpp"

using namespace serwer;

TEST(DumpRequest, LeadByteThenEachOwnerCodeByteStuffed) {
    EXPECT_EQ(BuildDumpRequest(B({0x01, 0x10, 0x1B, 0x03, 0x00, 0x00, 0x00, 0x07})),
              B({0xAD, 0x01, 0x1B, 0x04, 0x1B, 0x1B, 0x1B, 0x02, 0x00, 0x00, 0x00, 0x07}));
}

TEST(RepeatRequest, PageNumberAsFourBcdDigitsStuffed) {
    EXPECT_EQ(BuildRepeatRequest(3), B({0xAC, 0x00, 0x1B, 0x02}));
    EXPECT_EQ(BuildRepeatRequest(1010), B({0xAC, 0x1B, 0x04, 0x1B, 0x04}));
    EXPECT_EQ(BuildRepeatRequest(123), B({0xAC, 0x01, 0x23}));
}

TEST(EraseCommand, RepeatsTheUnitsEndTrailer) {
    EXPECT_EQ(BuildEraseCommand(1023), B({0xDC, 0xBA, 0x1B, 0x04, 0x23}));
    EXPECT_EQ(BuildEraseCommand(17), B({0xDC, 0xBA, 0x00, 0x17}));
    EXPECT_EQ(BuildEraseCommand(0), B({0xDC, 0xBA, 0x00, 0x00}));
}

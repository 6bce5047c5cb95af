#include "common/ServerError.hpp"
#include "download/DownloadTestSupport.hpp"
#include "download/EraseCommand.hpp"

using namespace serwer;

namespace {
using EraseCommandTest = InFreshDirectory;
const std::string kConfirmed = "Mam potwierdzenie skasowania.";
}  // namespace

TEST_F(EraseCommandTest, ConfirmationIsLoggedWhenTheUnitConfirmsAndHangsUp) {
    Bytes command;
    ScriptedUnit unit([&](UnitEnd& end) {
        command = end.Read(5);
        end.Write("KKKKKK");
        end.HangUp();
    });
    SendEraseCommand(unit.Connection(), 1023, FastTimings());
    unit.Finish();
    EXPECT_EQ(command, B({0xDC, 0xBA, 0x1B, 0x04, 0x23}));
    const std::string log = Log("log.txt");
    EXPECT_NE(log.find("\n1023\r\n"), std::string::npos);
    EXPECT_NE(log.find(kConfirmed), std::string::npos);
}

TEST_F(EraseCommandTest, ConfirmationWithoutHangUpRunsIntoTheDeadline) {
    DownloadTimings timings = FastTimings();
    timings.eraseDeadline = std::chrono::milliseconds(300);
    ScriptedUnit unit([&](UnitEnd& end) {
        end.Read(4);
        end.Write("KKKKKK");
        end.AwaitClose();
    });
    try {
        SendEraseCommand(unit.Connection(), 17, timings);
        FAIL() << "finished";
    } catch (const ServerError& e) {
        EXPECT_STREQ(e.what(), "Timeout 2 min na kasowanie");
    }
    EXPECT_EQ(Log("log.txt").find(kConfirmed), std::string::npos);
}

TEST_F(EraseCommandTest, ReplyOf250BytesEndsTheExchange) {
    ScriptedUnit unit([&](UnitEnd& end) {
        end.Read(4);
        end.Write(Repeat(250, 'x'));
        end.AwaitClose();
    });
    SendEraseCommand(unit.Connection(), 0, FastTimings());
    EXPECT_EQ(Log("log.txt").find(kConfirmed), std::string::npos);
}

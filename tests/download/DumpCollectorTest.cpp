#include "common/ServerError.hpp"
#include "common/Win1250.hpp"
#include "download/DownloadTestSupport.hpp"
#include "download/DumpCollector.hpp"
#include "unitsim/BulkTransferBuilder.hpp"

using namespace serwer;

namespace {
const Bytes kOwnerCode = B({0x01, 0x10, 0x1B, 0x03, 0x00, 0x00, 0x00, 0x07});
const Bytes kRequest = B({0xAD, 0x01, 0x1B, 0x04, 0x1B, 0x1B, 0x1B, 0x02, 0x00, 0x00, 0x00, 0x07});
const Bytes kRegistration("WX12345\0", 8);
const std::string kText = "WX12345";

class DumpCollectorTest : public InFreshDirectory {
protected:
    std::optional<CollectedDump> Collect(ScriptedUnit& unit,
                                         std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        return DumpCollector(unit.Connection(), kOwnerCode, kRegistration, kText,
                             std::chrono::steady_clock::now() + limit, timings_);
    }
    static Bytes Dump(BulkTransferOptions options = {}) {
        return BuildBulkTransfer({PatternPage(0), PatternPage(1), PatternPage(2, true)}, 2, options);
    }

    DownloadTimings timings_ = FastTimings();
};
}  // namespace

TEST_F(DumpCollectorTest, CollectsUntilTheTrailerIsConfirmed) {
    const Bytes dump = Dump();
    Bytes request;
    ScriptedUnit unit([&](UnitEnd& end) {
        request = end.Read(kRequest.size());
        end.Write(dump.substr(0, 300));  // in pieces, split inside the first trailer
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        end.Write(dump.substr(300, dump.size() - 306));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        end.Write(dump.substr(dump.size() - 6));
        end.AwaitClose();
    });
    const auto collected = Collect(unit);
    ASSERT_TRUE(collected);
    EXPECT_EQ(request, kRequest);
    EXPECT_EQ(collected->data, dump);
    EXPECT_EQ(collected->lastPage, 2);
    EXPECT_NE(Log("WX12345log.txt").find(Cp1250("pytamy licencją : ") + kRegistration + "\r\n"), std::string::npos);
    EXPECT_NE(Log("surowe.txt").find("WX12345:" + dump + "\r\n"), std::string::npos);
}

TEST_F(DumpCollectorTest, InputBufferedBeforeTheRequestIsDropped) {
    const Bytes dump = Dump();
    ScriptedUnit unit([&](UnitEnd& end) {
        end.Write("stale");
        end.Read(kRequest.size());
        end.Write(dump);
        end.AwaitClose();
    });
    while (unit.Connection().InputIsEmpty()) unit.Connection().WaitForInput(20);
    const auto collected = Collect(unit);
    ASSERT_TRUE(collected);
    EXPECT_EQ(collected->data, dump);
}

TEST_F(DumpCollectorTest, TrailerOnceThenHangUpIsNotADump) {
    BulkTransferOptions once;
    once.singleTrailer = true;
    const Bytes dump = Dump(once);
    ScriptedUnit unit([&](UnitEnd& end) {
        end.Read(kRequest.size());
        end.Write(dump);
        end.HangUp();
    });
    EXPECT_FALSE(Collect(unit));
    EXPECT_NE(Log("err2.txt").find("WX12345 dane odebrane nie maja DCBA " + dump + "\r\n"), std::string::npos);
}

TEST_F(DumpCollectorTest, HangUpAfterConfirmedTrailerIsAnInterruptedConnection) {
    // The unit has sent everything and hung up before the collector starts receiving.
    timings_.pauseAfterDumpRequest = std::chrono::milliseconds(300);
    ScriptedUnit unit([&](UnitEnd& end) {
        end.Read(kRequest.size());
        end.Write(Dump());
        end.HangUp();
    });
    EXPECT_FALSE(Collect(unit));
    EXPECT_NE(Log("err2.txt").find("WX12345 przerwane polaczenie \r\n"), std::string::npos);
}

TEST_F(DumpCollectorTest, SilentUnitRunsIntoTheDeadline) {
    ScriptedUnit unit([&](UnitEnd& end) { end.AwaitClose(); });
    try {
        Collect(unit, std::chrono::milliseconds(100));
        FAIL() << "finished";
    } catch (const ServerError& e) {
        EXPECT_STREQ(e.what(), "Timeout 20 min na calosc");
    }
}

TEST_F(DumpCollectorTest, DataPastTheLimitAreNotADumpEvenWithATrailer) {
    ScriptedUnit unit([&](UnitEnd& end) {
        end.Read(kRequest.size());
        if (end.Write(Repeat(kCollectedDumpLimit, 0x00))) end.Write(Dump());
        end.AwaitClose();
    });
    EXPECT_FALSE(Collect(unit));
    unit.Finish();
    // The largest read a real unit can send, and no more than 64 KiB of it in each log.
    EXPECT_EQ(kCollectedDumpLimit, 1603600u);
    const std::string cut = std::string(65536, '\0') + Cp1250(" [pierwsze 65536 z 1603600 bajtów]") + "\r\n";
    EXPECT_TRUE(Log("err2.txt").ends_with("WX12345 dane odebrane nie maja DCBA " + cut));
    EXPECT_TRUE(Log("surowe.txt").ends_with("WX12345:" + cut));
    EXPECT_LT(Log("surowe.txt").size(), 70000u);
}

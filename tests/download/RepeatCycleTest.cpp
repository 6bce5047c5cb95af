#include "common/ServerError.hpp"
#include "download/DownloadTestSupport.hpp"
#include "download/DumpCollector.hpp"
#include "download/MemoryImage.hpp"
#include "download/RepeatRequest.hpp"
#include "link/ByteStuffing.hpp"
#include "unitsim/BulkTransferBuilder.hpp"

using namespace serwer;

namespace {
class RepeatCycleTest : public InFreshDirectory {
protected:
    // Pages 0..5, page 3 damaged, last page 5.
    static Bytes DumpWithPage3Damaged() {
        std::vector<Bytes> pages;
        for (int p = 0; p < 6; ++p) pages.push_back(PatternPage(p, p == 5));
        BulkTransferOptions options;
        options.damagedPages = {3};
        return BuildBulkTransfer(pages, 5, options);
    }

    // The message the cycle fails with ("finished" when it does not fail).
    std::string FailureOf(UnitConnection& connection, Bytes& collected) {
        try {
            RepeatCycle(connection, collected, *image_, timings_);
        } catch (const ServerError& e) {
            return e.what();
        }
        return "finished";
    }

    std::unique_ptr<MemoryImage> image_ = std::make_unique<MemoryImage>();
    DownloadTimings timings_ = FastTimings();
};

const Bytes kRequestForPage3 = B({0xAC, 0x00, 0x1B, 0x02});
}  // namespace

TEST_F(RepeatCycleTest, IntactDumpSendsNoRequest) {
    Bytes received;
    ScriptedUnit unit([&](UnitEnd& end) { received = end.Read(1); });
    Bytes collected = BuildBulkTransfer({PatternPage(0), PatternPage(1, true)}, 1);
    RepeatCycle(unit.Connection(), collected, *image_, timings_);
    unit.Finish();
    EXPECT_EQ(received, "");
    EXPECT_NE(Log("log.txt").find("poczatek analizy"), std::string::npos);
    EXPECT_EQ(Log("log.txt").find("Repeta strony"), std::string::npos);
}

TEST_F(RepeatCycleTest, GoodReplyRepairsThePage) {
    const Bytes reply = StuffBytes(BuildPageBlock(3, PatternPage(3)));
    Bytes request;
    ScriptedUnit unit([&](UnitEnd& end) {
        request = end.Read(4);
        end.Write(reply);
        end.AwaitClose();
    });
    const Bytes dump = DumpWithPage3Damaged();
    Bytes collected = dump;
    RepeatCycle(unit.Connection(), collected, *image_, timings_);
    unit.Finish();

    EXPECT_EQ(request, kRequestForPage3);
    EXPECT_EQ(collected, dump + reply);
    EXPECT_TRUE(image_->Page(3).valid);
    EXPECT_EQ(image_->Contents().substr(3 * 256, 256), PatternPage(3));
    EXPECT_NE(Log("log.txt").find("Repeta strony : 0003\r\n"), std::string::npos);
    EXPECT_NE(Log("powtorki.txt").find(reply + "\r\n"), std::string::npos);
}

TEST_F(RepeatCycleTest, PageThatCannotBeRepairedEndsOnItsThirdChoice) {
    int requests = 0;
    ScriptedUnit unit([&](UnitEnd& end) {
        while (end.Read(4) == kRequestForPage3) {
            ++requests;
            if (!end.Write(StuffBytes(WithBadChecksum(BuildPageBlock(3, PatternPage(3)))))) break;
        }
    });
    Bytes collected = DumpWithPage3Damaged();
    EXPECT_EQ(FailureOf(unit.Connection(), collected), "Przekroczona ilosc powtorek");
    unit.Finish();
    EXPECT_EQ(requests, 2);
    EXPECT_FALSE(image_->Page(3).valid);
}

TEST_F(RepeatCycleTest, ReplyThatWouldPassTheCollectedLimitIsNotKept) {
    ScriptedUnit unit([&](UnitEnd& end) {
        while (end.Read(4) == kRequestForPage3) {
            if (!end.Write(StuffBytes(BuildPageBlock(3, PatternPage(3))))) break;
        }
    });
    Bytes collected = DumpWithPage3Damaged();
    collected.resize(kCollectedDumpLimit - 100, '\0');
    EXPECT_THROW(RepeatCycle(unit.Connection(), collected, *image_, timings_), ServerError);
    unit.Finish();
    EXPECT_EQ(collected.size(), kCollectedDumpLimit - 100);
    EXPECT_FALSE(image_->Page(3).valid);
}

TEST_F(RepeatCycleTest, ShortReplyTimesOut) {
    timings_.repeatDeadline = std::chrono::milliseconds(200);
    ScriptedUnit unit([&](UnitEnd& end) {
        end.Read(4);
        end.Write(Repeat(100, 0x00));
        end.AwaitClose();
    });
    Bytes collected = DumpWithPage3Damaged();
    EXPECT_EQ(FailureOf(unit.Connection(), collected), "Timeout 2 min na powtorke 1 strony");
}

TEST_F(RepeatCycleTest, ReplySplitInsideItsLastEscapePairIsWaitedForWhole) {
    // Page data whose checksum byte is 0x1B, so the reply ends in the pair 1B 1B.
    Bytes data = PatternPage(3);
    Bytes block = BuildPageBlock(3, data);
    data[0] = static_cast<char>(data[0] + (0x1B - static_cast<unsigned char>(block.back())));
    block = BuildPageBlock(3, data);
    ASSERT_EQ(static_cast<unsigned char>(block.back()), 0x1B);
    const Bytes reply = StuffBytes(block);
    int requests = 0;
    ScriptedUnit unit([&](UnitEnd& end) {
        while (end.Read(4) == kRequestForPage3) {
            ++requests;
            end.Write(reply.substr(0, reply.size() - 1));
            std::this_thread::sleep_for(std::chrono::milliseconds(150));  // several passes
            end.Write(reply.substr(reply.size() - 1));
        }
    });
    Bytes collected = DumpWithPage3Damaged();
    RepeatCycle(unit.Connection(), collected, *image_, timings_);
    unit.Finish();
    EXPECT_EQ(requests, 1);
    EXPECT_TRUE(image_->Page(3).valid);
    EXPECT_EQ(image_->Contents().substr(3 * 256, 256), data);
}

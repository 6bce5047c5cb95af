#include "download/RepeatRequest.hpp"

#include <algorithm>
#include <cstdio>

#include "common/ServerError.hpp"
#include "download/DumpCollector.hpp"
#include "download/MemoryImage.hpp"
#include "link/Bcd.hpp"
#include "link/ByteStuffing.hpp"
#include "link/UnitConnection.hpp"
#include "logs/EventLog.hpp"

namespace serwer {

namespace {
constexpr char kRepeatLead = static_cast<char>(0xAC);
constexpr std::size_t kBlockLength = 261;
constexpr int kSameChoiceLimit = 3;

// The unstuffed length of the reply so far. An escape byte at its end waits for its
// partner: counted as a byte of its own, it could end the wait one byte early and cut
// the block short.
std::size_t ReplyLength(const Bytes& reply) {
    return UnstuffBytes(reply).size() - (EndsInUnpairedEscape(reply) ? 1 : 0);
}

std::string FourDigits(int page) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d", page);
    return buf;
}
}  // namespace

Bytes BuildRepeatRequest(int page) {
    Bytes request(1, kRepeatLead);
    request += StuffBytes(Bytes(1, static_cast<char>(EncodeBcdByte(page / 100))));
    request += StuffBytes(Bytes(1, static_cast<char>(EncodeBcdByte(page % 100))));
    return request;
}

std::vector<int> RepeatCycle(UnitConnection& connection, Bytes& collected, MemoryImage& image,
                             const DownloadTimings& timings) {
    using Clock = std::chrono::steady_clock;
    const int passWaitMs = static_cast<int>(timings.passWait.count());

    WriteLog("poczatek analizy", "log.txt");
    image.Initialise();
    int previous = -1;
    int run = 0;
    std::vector<int> asked;
    int page = ParseDump(image, collected);
    while (page >= 0) {
        run = page == previous ? run + 1 : 1;
        previous = page;
        if (run >= kSameChoiceLimit) throw ServerError("Przekroczona ilosc powtorek");
        const Clock::time_point deadline = Clock::now() + timings.repeatDeadline;

        WriteLog("Repeta strony : " + FourDigits(page), "log.txt");
        asked.push_back(page);
        // Whatever the unit still sends from before is not the reply.
        connection.WaitForInput(static_cast<int>(timings.repeatPreWait.count()));
        connection.DiscardInput();
        connection.Send(BuildRepeatRequest(page));
        connection.DiscardInput();

        Bytes reply;
        while (connection.IsConnected() && ReplyLength(reply) < kBlockLength) {
            connection.WaitForInput(passWaitMs);
            if (Clock::now() > deadline) throw ServerError("Timeout 2 min na powtorke 1 strony");
            if (!connection.InputIsEmpty()) reply += connection.TakeAllInput();
        }
        WriteLog(reply, "powtorki.txt");
        if (reply.size() <= kCollectedDumpLimit - std::min(collected.size(), kCollectedDumpLimit)) {
            collected += reply;
        }
        page = ParseDump(image, collected);
    }
    return asked;
}

}  // namespace serwer

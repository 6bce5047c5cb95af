#include "download/EraseCommand.hpp"

#include <chrono>
#include <cstdio>
#include <thread>

#include "common/ServerError.hpp"
#include "link/Bcd.hpp"
#include "link/ByteStuffing.hpp"
#include "link/UnitConnection.hpp"
#include "logs/EventLog.hpp"

namespace serwer {

namespace {
constexpr std::size_t kReplyEnough = 250;
const Bytes kEraseLead("\xDC\xBA", 2);
const Bytes kConfirmation = "KKKKKK";
}  // namespace

Bytes BuildEraseCommand(int lastPage) {
    Bytes command = kEraseLead;
    command += StuffBytes(Bytes(1, static_cast<char>(EncodeBcdByte(lastPage / 100))));
    command += StuffBytes(Bytes(1, static_cast<char>(EncodeBcdByte(lastPage % 100))));
    return command;
}

void SendEraseCommand(UnitConnection& connection, int lastPage, const DownloadTimings& timings) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + timings.eraseDeadline;

    char digits[16];
    std::snprintf(digits, sizeof digits, "%04d", lastPage);
    WriteLog(digits, "log.txt");

    std::this_thread::sleep_for(timings.erasePause);
    connection.DiscardInput();
    connection.Send(BuildEraseCommand(lastPage));

    Bytes reply;
    while (connection.IsConnected() && reply.size() < kReplyEnough) {
        connection.WaitForInput(static_cast<int>(timings.passWait.count()));
        if (Clock::now() > deadline) throw ServerError("Timeout 2 min na kasowanie");
        // The reply so far is unstuffed again together with each new piece.
        if (!connection.InputIsEmpty()) reply = UnstuffBytes(reply + connection.TakeAllInput());
    }
    if (reply.find(kConfirmation) != Bytes::npos) WriteLog("Mam potwierdzenie skasowania.", "log.txt");
}

}  // namespace serwer

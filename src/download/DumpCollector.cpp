#include "download/DumpCollector.hpp"

#include "common/ServerError.hpp"
#include "common/Win1250.hpp"
#include "download/DumpCompletion.hpp"
#include "download/DumpRequest.hpp"
#include "link/UnitConnection.hpp"
#include "logs/EventLog.hpp"

namespace serwer {

std::optional<CollectedDump> DumpCollector(UnitConnection& connection, const Bytes& ownerCode,
                                           const Bytes& registrationBytes, const std::string& registrationText,
                                           std::chrono::steady_clock::time_point deadline,
                                           const DownloadTimings& timings) {
    static const std::string kAsking = Cp1250("pytamy licencją : ");

    SendDumpRequest(connection, ownerCode, timings);
    WriteLog(kAsking + registrationBytes, registrationText + "log.txt");

    connection.DiscardInput();
    Bytes collected;
    // Grown once: doubling on the way would hold up to twice the limit.
    collected.reserve(kCollectedDumpLimit);
    DumpCompletionChecker checker;
    bool overflow = false;
    const int passWaitMs = static_cast<int>(timings.passWait.count());

    while (connection.IsConnected() && !checker.Check().complete) {
        connection.WaitForInput(passWaitMs);
        if (std::chrono::steady_clock::now() > deadline) throw ServerError("Timeout 20 min na calosc");
        if (connection.InputIsEmpty()) continue;
        const Bytes input = connection.TakeAllInput();
        const std::size_t room = kCollectedDumpLimit - collected.size();
        if (input.size() > room) {
            // More than any real memory holds: keep what fits and give up on the dump.
            collected.append(input, 0, room);
            overflow = true;
            break;
        }
        collected += input;
        checker.Feed(input);
    }

    const DumpCompletion completion = overflow ? DumpCompletion{} : checker.Check();
    const bool connected = connection.IsConnected();
    WriteLog(registrationText + ":" + (completion.complete && connected ? collected : FailedReadLogData(collected)),
             "surowe.txt");
    if (!completion.complete) {
        WriteLog(registrationText + " dane odebrane nie maja DCBA " + FailedReadLogData(collected), "err2.txt");
        return std::nullopt;
    }
    if (!connected) {
        WriteLog(registrationText + " przerwane polaczenie ", "err2.txt");
        return std::nullopt;
    }
    return CollectedDump{std::move(collected), completion.lastPage};
}

std::string FailedReadLogData(const Bytes& collected) {
    if (collected.size() <= kFailedReadLogBytes) return collected;
    return collected.substr(0, kFailedReadLogBytes) + Cp1250(" [pierwsze ") + std::to_string(kFailedReadLogBytes) +
           " z " + std::to_string(collected.size()) + Cp1250(" bajtów]");
}

}  // namespace serwer

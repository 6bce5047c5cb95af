#pragma once
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "common/Bytes.hpp"
#include "download/DownloadTimings.hpp"

namespace serwer {

class UnitConnection;

// The most a download keeps of what one unit sends, repeat replies included. A full
// memory of 1024 stuffed blocks with all its repeats stays far below it; a unit that
// sends more is not downloaded.
inline constexpr std::size_t kCollectedDumpLimit = std::size_t{4} << 20;

// A bulk transfer whose end trailer came twice with the same last page number.
struct CollectedDump {
    Bytes data;        // stuffed, exactly as received
    int lastPage = 0;  // from the end trailer, sent back unchanged in the erase command
};

// Asks the unit for its data memory and collects what it sends, in passes of at most
// timings.passWait, until the end trailer is confirmed or the connection ends.
//
// Logs "pytamy licencją : " + the registration bytes to registrationText + "log.txt",
// and registrationText + ":" + the collected data to "surowe.txt". Returns nothing,
// after logging the reason to "err2.txt", when the trailer was never confirmed
// (" dane odebrane nie maja DCBA " + data; also when the unit sent more than
// kCollectedDumpLimit bytes) or the unit hung up after confirming it
// (" przerwane polaczenie "). Throws ServerError "Timeout 20 min na calosc" once the
// deadline has passed, and the conversion error of a trailer with bad BCD digits.
std::optional<CollectedDump> DumpCollector(UnitConnection& connection, const Bytes& ownerCode,
                                           const Bytes& registrationBytes, const std::string& registrationText,
                                           std::chrono::steady_clock::time_point deadline,
                                           const DownloadTimings& timings);

}  // namespace serwer

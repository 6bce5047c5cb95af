#pragma once
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "common/Bytes.hpp"
#include "download/DownloadTimings.hpp"

namespace serwer {

class UnitConnection;

// The most a download keeps of what one unit sends, repeat replies included: the largest
// memory read a real unit can send. That is the 1024 page blocks of 261 bytes with every
// byte stuffed (two bytes each), the end trailer twice (4 bytes, stuffed), and a reply
// of one block for each page asked for again, every page at most twice (the third
// request in a row for the same page ends the read, and a page that came back sound is
// never asked for again): 1024 * 522 + 2 * 8 + 2048 * 522 = 1,603,600 bytes. A unit that
// sends more is not downloaded.
inline constexpr std::size_t kStuffedBlockLimit = 2 * 261;
inline constexpr std::size_t kCollectedDumpLimit = 1024 * kStuffedBlockLimit + 2 * 2 * 4 + 2 * 1024 * kStuffedBlockLimit;
// What one memory read may hold in memory at once: its collected data, their unstuffed
// copy while the pages are parsed, and its memory image.
inline constexpr std::size_t kReadMemoryLimit = 2 * kCollectedDumpLimit + 1024 * 256;

// A failed read's collected data go to the logs cut to this many bytes, followed by
// " [pierwsze 65536 z N bajtów]" where N is their full length.
inline constexpr std::size_t kFailedReadLogBytes = 64 * 1024;
// The collected data as a failed read logs them.
std::string FailedReadLogData(const Bytes& collected);

// A bulk transfer whose end trailer came twice with the same last page number.
struct CollectedDump {
    Bytes data;        // stuffed, exactly as received
    int lastPage = 0;  // from the end trailer, sent back unchanged in the erase command
};

// Asks the unit for its data memory and collects what it sends, in passes of at most
// timings.passWait, until the end trailer is confirmed or the connection ends.
//
// Logs "pytamy licencją : " + the registration bytes to registrationText + "log.txt",
// and registrationText + ":" + the collected data to "surowe.txt" (cut by
// FailedReadLogData when the read fails here). Returns nothing, after logging the
// reason to "err2.txt", when the trailer was never confirmed (" dane odebrane nie maja
// DCBA " + the data, cut the same way; also when the unit sent more than
// kCollectedDumpLimit bytes) or the unit hung up after confirming it
// (" przerwane polaczenie "). Throws ServerError "Timeout 20 min na calosc" once the
// deadline has passed, and the conversion error of a trailer with bad BCD digits.
std::optional<CollectedDump> DumpCollector(UnitConnection& connection, const Bytes& ownerCode,
                                           const Bytes& registrationBytes, const std::string& registrationText,
                                           std::chrono::steady_clock::time_point deadline,
                                           const DownloadTimings& timings);

}  // namespace serwer

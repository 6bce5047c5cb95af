#pragma once
#include <vector>

#include "common/Bytes.hpp"
#include "download/DownloadTimings.hpp"

namespace serwer {

class MemoryImage;
class UnitConnection;

// The request for one page again: the lead byte 0xAC, sent as it is, and the page
// number as four BCD digits in two bytes, each byte-stuffed. Page 3 is AC 00 1B 02.
Bytes BuildRepeatRequest(int page);

// Assembles the image from the collected dump and asks the unit again for every page
// that is missing or damaged, one page at a time, until none is left.
//
// The image is initialised first. After each request the reply (one page block) is
// appended to the collected data and the whole is parsed again (ParseDump); a reply
// that passes its check repairs its page. Logs "poczatek analizy" and, per request,
// "Repeta strony : " + the four digits to "log.txt", and each reply as received to
// "powtorki.txt". A reply that would take the collected data past kCollectedDumpLimit
// is not kept.
//
// Throws ServerError "Przekroczona ilosc powtorek" when the same page is chosen a third
// time in a row, "Timeout 2 min na powtorke 1 strony" when a reply is still short at its
// deadline, the conversion error of bad BCD digits in the dump, and the connection's
// errors (a request sent on a closed connection).
// Returns the pages asked for, in the order asked.
std::vector<int> RepeatCycle(UnitConnection& connection, Bytes& collected, MemoryImage& image,
                             const DownloadTimings& timings);

}  // namespace serwer

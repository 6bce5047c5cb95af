#pragma once
#include "common/Bytes.hpp"
#include "download/DownloadTimings.hpp"

namespace serwer {

class UnitConnection;

// The command that makes a unit erase the memory it has delivered: the end marker
// DC BA, sent as it is, and the last page number from the unit's end trailer as four
// BCD digits in two bytes, each byte-stuffed. 1023 is DC BA 1B 04 23.
Bytes BuildEraseCommand(int lastPage);

// Logs the four digits of lastPage to "log.txt", pauses, sends the erase command and
// collects the unit's reply until it holds 250 bytes or the unit hangs up. A reply
// containing "KKKKKK" is logged as "Mam potwierdzenie skasowania." to "log.txt".
// Throws ServerError "Timeout 2 min na kasowanie" when the deadline passes first.
void SendEraseCommand(UnitConnection& connection, int lastPage, const DownloadTimings& timings);

}  // namespace serwer

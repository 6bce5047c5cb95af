#pragma once
#include "common/Bytes.hpp"
#include "download/DownloadTimings.hpp"

namespace serwer {

class UnitConnection;

// The request that makes a unit send its whole data memory: the lead byte 0xAD, sent
// as it is, followed by the 8 owner-code bytes of the unit's position record, each
// byte-stuffed. On the wire it is 9 to 17 bytes long.
Bytes BuildDumpRequest(const Bytes& ownerCode);

// Pauses, writes the dump request in one call, pauses again.
void SendDumpRequest(UnitConnection& connection, const Bytes& ownerCode, const DownloadTimings& timings);

}  // namespace serwer

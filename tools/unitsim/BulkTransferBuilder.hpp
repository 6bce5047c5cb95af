#pragma once
#include <cstddef>
#include <set>
#include <vector>

#include "common/Bytes.hpp"

namespace serwer {

// Builds what a unit sends when it dumps its data memory, the inverse of the server's
// page assembly. Used by the unit simulator, the tests and the benchmarks.

// One page block before stuffing: AB CD, the page number in two BCD bytes, the 256
// data bytes (shorter data are padded with 0xFF) and the checksum, the sum of the 260
// bytes before it modulo 256. 261 bytes.
Bytes BuildPageBlock(int page, const Bytes& data);

// The same block with its checksum byte wrong.
Bytes WithBadChecksum(Bytes block);

// The first `keep` bytes of a block (a block cut off on the way).
Bytes Truncated(const Bytes& block, std::size_t keep);

// The end trailer before stuffing: DC BA and the last page number in two BCD bytes.
Bytes BuildEndTrailer(int lastPage);

struct BulkTransferOptions {
    std::set<int> damagedPages;  // sent with a wrong checksum
    std::set<int> missingPages;  // not sent at all
    bool singleTrailer = false;  // the end trailer once instead of twice
};

// A whole bulk transfer as it goes on the wire (stuffed): a block for every page of
// `pages` (page i holds pages[i]) in page order, then the end trailer twice.
Bytes BuildBulkTransfer(const std::vector<Bytes>& pages, int lastPage, const BulkTransferOptions& options = {});

// Page data in which every byte value, the stuffed ones included, occurs: byte k of
// page p is (p * 7 + k) modulo 256. The last six bytes before the final one (offsets
// 249 to 254) are 0xFF when `erasedTail` is set, as on a unit's last page.
Bytes PatternPage(int page, bool erasedTail = false);

}  // namespace serwer

#include "unitsim/BulkTransferBuilder.hpp"

#include "link/Bcd.hpp"
#include "link/ByteStuffing.hpp"

namespace serwer {

namespace {
constexpr std::size_t kPageSize = 256;

Bytes BcdPair(int number) {
    Bytes out;
    out += static_cast<char>(EncodeBcdByte(number / 100));
    out += static_cast<char>(EncodeBcdByte(number % 100));
    return out;
}
}  // namespace

Bytes BuildPageBlock(int page, const Bytes& data) {
    Bytes block("\xAB\xCD", 2);
    block += BcdPair(page);
    block += data.substr(0, kPageSize);
    block.resize(4 + kPageSize, static_cast<char>(0xFF));
    unsigned sum = 0;
    for (char c : block) sum += static_cast<unsigned char>(c);
    block += static_cast<char>(sum & 0xFF);
    return block;
}

Bytes WithBadChecksum(Bytes block) {
    if (!block.empty()) block.back() = static_cast<char>(block.back() ^ 0x5A);
    return block;
}

Bytes Truncated(const Bytes& block, std::size_t keep) { return block.substr(0, keep); }

Bytes BuildEndTrailer(int lastPage) { return Bytes("\xDC\xBA", 2) + BcdPair(lastPage); }

Bytes BuildBulkTransfer(const std::vector<Bytes>& pages, int lastPage, const BulkTransferOptions& options) {
    Bytes transfer;
    transfer.reserve(pages.size() * 270 + 8);
    for (std::size_t i = 0; i < pages.size(); ++i) {
        const int page = static_cast<int>(i);
        if (options.missingPages.count(page) != 0) continue;
        Bytes block = BuildPageBlock(page, pages[i]);
        if (options.damagedPages.count(page) != 0) block = WithBadChecksum(std::move(block));
        transfer += block;
    }
    transfer += BuildEndTrailer(lastPage);
    if (!options.singleTrailer) transfer += BuildEndTrailer(lastPage);
    return StuffBytes(transfer);
}

Bytes PatternPage(int page, bool erasedTail) {
    Bytes data(kPageSize, '\0');
    for (std::size_t k = 0; k < kPageSize; ++k) data[k] = static_cast<char>((page * 7 + static_cast<int>(k)) & 0xFF);
    if (erasedTail) {
        for (std::size_t k = 249; k <= 254; ++k) data[k] = static_cast<char>(0xFF);
    }
    return data;
}

}  // namespace serwer

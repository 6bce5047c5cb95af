#include "download/MemoryImage.hpp"

#include <algorithm>
#include <string_view>

#include "link/Bcd.hpp"
#include "link/ByteStuffing.hpp"

namespace serwer {

void MemoryImage::Initialise() { pages_.fill(PageEntry()); }

Bytes MemoryImage::Contents() const {
    Bytes out;
    out.reserve(kImageSize);
    for (const PageEntry& page : pages_) {
        out.append(reinterpret_cast<const char*>(page.data.data()), page.data.size());
    }
    return out;
}

namespace {
constexpr unsigned char kBlockMarker1 = 0xAB;
constexpr unsigned char kBlockMarker2 = 0xCD;
constexpr unsigned char kEndMarker1 = 0xDC;
constexpr unsigned char kEndMarker2 = 0xBA;
constexpr std::size_t kHeader = 4;                           // marker and page number
constexpr std::size_t kSummed = kHeader + PageEntry::kSize;  // 260
constexpr std::size_t kBlockLength = kSummed + 1;            // 261
constexpr int kRepeatLimit = 3;
constexpr int kErasedFrom = 249, kErasedTo = 254;

// The unstuffed dump, read as unsigned bytes.
class Dump {
public:
    explicit Dump(const Bytes& unstuffed) : text_(unstuffed) {}
    std::size_t Size() const { return text_.size(); }
    unsigned char operator[](std::size_t i) const { return static_cast<unsigned char>(text_[i]); }
    std::string_view Slice(std::size_t from, std::size_t count) const {
        return std::string_view(text_).substr(from, count);
    }
    // The sum modulo 256 of the 260 bytes of a block that starts at `from`.
    unsigned char BlockSum(std::size_t from) const {
        unsigned sum = 0;
        for (std::size_t k = from; k < from + kSummed; ++k) sum += (*this)[k];
        return static_cast<unsigned char>(sum);
    }
    bool IsPair(std::size_t i, unsigned char a, unsigned char b) const {
        return i + 1 < Size() && (*this)[i] == a && (*this)[i + 1] == b;
    }

private:
    const Bytes& text_;
};

void Store(MemoryImage& image, const Dump& d, int page, std::size_t dataStart, unsigned char checksum, bool valid) {
    PageEntry& entry = image.Page(page);
    const std::string_view data = d.Slice(dataStart, PageEntry::kSize);
    std::copy(data.begin(), data.end(), reinterpret_cast<char*>(entry.data.data()));
    entry.valid = valid;
    entry.checksum = checksum;
    entry.pageNumber = page;
    ++entry.receiveCount;
}

// Closes the block of the bulk transfer whose data start at s, its checksum byte being
// the byte just before the marker that closes it.
void CloseBulkBlock(MemoryImage& image, const Dump& d, std::size_t s, std::size_t closingMarker) {
    // The page number's BCD digits are judged even when the block cannot be stored.
    const auto page = DecodeBcdNumber(d.Slice(s - 2, 2));
    if (s + PageEntry::kSize > d.Size()) return;  // the data would run past the end
    if (page >= MemoryImage::kPages) return;      // outside the image
    const unsigned char checksum = d[closingMarker - 1];
    Store(image, d, static_cast<int>(page), s, checksum, d.BlockSum(s - kHeader) == checksum);
}

// The bulk transfer, up to and including its first end marker. Returns where the
// data behind the end trailer begin (the size of the data when there is no trailer).
std::size_t ScanBulk(MemoryImage& image, const Dump& d) {
    const std::size_t n = d.Size();
    bool blockOpen = false;
    std::size_t s = 0;
    for (std::size_t i = 0; i <= n; ++i) {
        const bool blockMarker = i + kHeader < n && d[i] == kBlockMarker1 && d[i + 1] == kBlockMarker2;
        const bool endMarker = !blockMarker && d.IsPair(i, kEndMarker1, kEndMarker2);
        if (!blockMarker && !endMarker && i != n) continue;
        if (blockOpen) {
            CloseBulkBlock(image, d, s, i);
            blockOpen = false;
            if (endMarker) {
                if (i + 3 < n) image.SetLastPage(static_cast<int>(DecodeBcdNumber(d.Slice(i + 2, 2))));
                return std::min(i + kHeader, n);
            }
        }
        if (i == n) break;
        // A marker opens a block; so does an end marker met before any block.
        if (i + 3 < n) {
            blockOpen = true;
            s = i + kHeader;
        }
    }
    return n;
}

// The replies to repeat requests, appended behind the end trailer: every whole block
// whose checksum matches takes the place of its page's stored copy.
void ScanRepeats(MemoryImage& image, const Dump& d, std::size_t from) {
    const std::size_t n = d.Size();
    std::size_t i = from;
    while (i + kBlockLength <= n) {
        if (d[i] == kBlockMarker1 && d[i + 1] == kBlockMarker2 && d.BlockSum(i) == d[i + kSummed]) {
            const unsigned char p1 = d[i + 2], p2 = d[i + 3];
            const bool bcd = (p1 >> 4) <= 9 && (p1 & 0x0F) <= 9 && (p2 >> 4) <= 9 && (p2 & 0x0F) <= 9;
            if (bcd) {
                const auto page = DecodeBcdNumber(d.Slice(i + 2, 2));
                if (page < MemoryImage::kPages) {
                    Store(image, d, static_cast<int>(page), i + kHeader, d[i + kSummed], true);
                }
                i += kBlockLength;
                continue;
            }
        }
        ++i;
    }
}
}  // namespace

int ParseDump(MemoryImage& image, const Bytes& collected) {
    const Bytes unstuffed = UnstuffDump(collected);
    const Dump d(unstuffed);

    ScanRepeats(image, d, ScanBulk(image, d));

    const int last = image.LastPage();
    if (last >= 0 && last < MemoryImage::kPages) {
        // The last page is judged by whether its tail is still erased.
        PageEntry& lastEntry = image.Page(last);
        lastEntry.valid = std::all_of(lastEntry.data.begin() + kErasedFrom, lastEntry.data.begin() + kErasedTo + 1,
                                      [](unsigned char b) { return b == 0xFF; });
    }
    const int highest = std::min(last, MemoryImage::kPages - 1);
    for (int page = 0; page <= highest; ++page) {
        const PageEntry& entry = image.Page(page);
        if (!entry.valid && entry.receiveCount < kRepeatLimit) return page;
    }
    return -1;
}

}  // namespace serwer

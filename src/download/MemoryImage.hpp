#pragma once
#include <array>
#include <cstdint>

#include "common/Bytes.hpp"

namespace serwer {

// One page of a unit's data memory as last received.
struct PageEntry {
    static constexpr int kSize = 256;

    std::array<unsigned char, kSize> data;  // 0xFF everywhere until a copy is stored
    bool valid = false;                     // the stored copy passed its check
    std::int32_t checksum = 0;              // the checksum byte received with it, 0..255
    std::int32_t pageNumber = -1;           // the page number of the stored copy
    std::int32_t receiveCount = -1;         // +1 per stored copy: 0 after the first

    PageEntry() { data.fill(0xFF); }
};

// A unit's whole data memory (1024 pages of 256 bytes) as assembled from its dump,
// with the last page number the unit reported. Each read has one of its own (some
// 280 KB: keep it off a connection thread's small stack).
class MemoryImage {
public:
    static constexpr int kPages = 1024;
    static constexpr int kImageSize = kPages * PageEntry::kSize;  // 262144

    // Every page back to its initial state; the last page number keeps its value.
    void Initialise();

    PageEntry& Page(int page) { return pages_.at(static_cast<std::size_t>(page)); }
    const PageEntry& Page(int page) const { return pages_.at(static_cast<std::size_t>(page)); }

    int LastPage() const { return lastPage_; }
    void SetLastPage(int lastPage) { lastPage_ = lastPage; }

    // The data of pages 0 to 1023 in page order, whatever their state: 262144 bytes.
    Bytes Contents() const;

private:
    std::array<PageEntry, kPages> pages_{};
    std::int32_t lastPage_ = 0;
};

// Files the pages of the collected data (stuffed, as received, with repeat replies
// appended) into the image and returns the page to ask the unit for again, or -1.
//
// The bulk transfer is read up to its first end marker: every block reached is stored,
// valid when its checksum matches, and the end marker gives the last page number.
// Behind the end trailer stand the replies to repeat requests: each whole block there
// whose checksum matches replaces the stored copy of its page; anything else there
// changes nothing. The last page is then judged by its erased state alone (bytes 249
// to 254 all 0xFF). The answer is the lowest page from 0 to the last page number whose
// copy is not valid and whose receive count is below 3.
//
// Nothing the unit sends reaches outside the image: a block numbered above 1023 or
// whose data would run past the end of the data is not stored, and a last page number
// above 1023 limits the choice of pages to 1023 (the number itself is kept).
// A block or last page number whose BCD digits are bad in the bulk transfer throws
// ConversionError "'%s' is not a valid integer value".
int ParseDump(MemoryImage& image, const Bytes& collected);

}  // namespace serwer

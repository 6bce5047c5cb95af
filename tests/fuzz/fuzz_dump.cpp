// The collected dump as a download assembles it: the bulk transfer (stuffed, as
// received) followed by the replies to repeat requests. The input is the bulk transfer,
// then each reply after a "#REPLY#" separator. The repeat cycle is played as the
// server plays it: parse, choose the page to ask for again, append the next reply,
// parse again, until no page is chosen or the same page comes a third time in a row.
// Parsing may refuse only with a ConversionError; the chosen page must be one the
// image holds and that is still worth asking for.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.hpp"
#include "common/ServerError.hpp"
#include "download/DumpCollector.hpp"
#include "download/MemoryImage.hpp"
#include "download/RepeatRequest.hpp"
#include "link/Bcd.hpp"
#include "link/ByteStuffing.hpp"

using namespace serwer;

namespace {

constexpr std::string_view kReplySeparator = "#REPLY#";
constexpr int kSameChoiceLimit = 3;
constexpr int kRepeatLimit = 3;

std::vector<Bytes> SplitInput(std::string_view input) {
    std::vector<Bytes> parts;
    std::size_t from = 0;
    while (true) {
        const std::size_t at = input.find(kReplySeparator, from);
        if (at == std::string_view::npos) {
            parts.emplace_back(input.substr(from));
            return parts;
        }
        parts.emplace_back(input.substr(from, at - from));
        from = at + kReplySeparator.size();
    }
}

// The chosen page is the lowest one up to the last page that is damaged or missing and
// not yet given up; every page entry below it holds a copy of its own page.
void CheckChoice(const MemoryImage& image, int page) {
    FUZZ_CHECK(page >= -1 && page < MemoryImage::kPages);
    if (page < 0) return;
    FUZZ_CHECK(page <= image.LastPage());
    const PageEntry& chosen = image.Page(page);
    FUZZ_CHECK(!chosen.valid && chosen.receiveCount < kRepeatLimit);
    for (int p = 0; p < page; ++p) {
        const PageEntry& earlier = image.Page(p);
        FUZZ_CHECK(earlier.valid || earlier.receiveCount >= kRepeatLimit);
        FUZZ_CHECK(earlier.pageNumber == -1 || earlier.pageNumber == p);
        FUZZ_CHECK(earlier.checksum >= 0 && earlier.checksum <= 255);
    }
}

// The request names the chosen page in two stuffed BCD bytes behind the unstuffed lead byte.
void CheckRequest(int page) {
    const Bytes request = BuildRepeatRequest(page);
    FUZZ_CHECK(request.size() >= 3 && static_cast<unsigned char>(request[0]) == 0xAC);
    const Bytes digits = UnstuffBytes(request.substr(1));
    FUZZ_CHECK(digits.size() == 2);
    FUZZ_CHECK(DecodeBcdNumber(digits) == page);
}

MemoryImage& Image() {
    static auto* image = new MemoryImage();  // 280 kB: not on the stack
    return *image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<Bytes> parts = SplitInput(std::string_view(reinterpret_cast<const char*>(data), size));
    Bytes collected = parts[0];
    FUZZ_CHECK(UnstuffDump(collected).size() <= collected.size());

    MemoryImage& image = Image();
    image.SetLastPage(0);
    image.Initialise();
    try {
        int previous = -1;
        int run = 0;
        std::size_t nextReply = 1;
        int page = ParseDump(image, collected);
        CheckChoice(image, page);
        while (page >= 0) {
            run = page == previous ? run + 1 : 1;
            previous = page;
            if (run >= kSameChoiceLimit) break;  // "Przekroczona ilosc powtorek"
            CheckRequest(page);
            // A unit that has no more to say leaves the reply empty, as a closed connection does.
            const Bytes reply = nextReply < parts.size() ? parts[nextReply++] : Bytes();
            if (reply.size() <= kCollectedDumpLimit - std::min(collected.size(), kCollectedDumpLimit))
                collected += reply;
            page = ParseDump(image, collected);
            CheckChoice(image, page);
        }
    } catch (const ConversionError&) {
    }
    return 0;
}

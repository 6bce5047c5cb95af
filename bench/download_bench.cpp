// Times the receive-side work of a full memory download: unstuffing the dump, the
// completion check per receive pass (whole-data check against the incremental
// checker) and assembling the image. Prints the median of several runs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "download/DumpCompletion.hpp"
#include "download/MemoryImage.hpp"
#include "link/ByteStuffing.hpp"
#include "unitsim/BulkTransferBuilder.hpp"

using namespace serwer;

namespace {
using Clock = std::chrono::steady_clock;
constexpr int kRuns = 25;
constexpr std::size_t kPasses = 100;

double MedianMicroseconds(const std::function<void()>& work) {
    std::vector<double> times;
    for (int run = 0; run < kRuns; ++run) {
        const auto start = Clock::now();
        work();
        times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

int sink = 0;  // keeps results alive
}  // namespace

int main() {
    std::vector<Bytes> pages;
    for (int p = 0; p < MemoryImage::kPages; ++p) pages.push_back(PatternPage(p, p == MemoryImage::kPages - 1));
    const Bytes dump = BuildBulkTransfer(pages, MemoryImage::kPages - 1);
    const std::size_t piece = (dump.size() + kPasses - 1) / kPasses;
    std::printf("full dump: %zu bytes on the wire, %zu passes of %zu bytes\n", dump.size(), kPasses, piece);

    const double unstuff = MedianMicroseconds([&] { sink += static_cast<int>(UnstuffDump(dump).size()); });
    const double pureWhole = MedianMicroseconds([&] { sink += IsDumpComplete(dump).lastPage; });
    const double pureAllPasses = MedianMicroseconds([&] {
        for (std::size_t at = piece; at < dump.size() + piece; at += piece)
            sink += IsDumpComplete(dump.substr(0, std::min(at, dump.size()))).lastPage;
    });
    const double incrementalAllPasses = MedianMicroseconds([&] {
        DumpCompletionChecker checker;
        for (std::size_t at = 0; at < dump.size(); at += piece)
            sink += checker.Feed(std::string_view(dump).substr(at, piece)).lastPage;
    });
    auto image = std::make_unique<MemoryImage>();
    const double parse = MedianMicroseconds([&] { sink += ParseDump(*image, dump); });

    std::printf("UnstuffDump, full dump:                 %10.1f us\n", unstuff);
    std::printf("IsDumpComplete, full dump:              %10.1f us\n", pureWhole);
    std::printf("IsDumpComplete per pass (whole data):   %10.1f us  (%zu passes: %.1f us)\n", pureAllPasses / kPasses,
                kPasses, pureAllPasses);
    std::printf("DumpCompletionChecker per pass:         %10.1f us  (%zu passes: %.1f us)\n",
                incrementalAllPasses / kPasses, kPasses, incrementalAllPasses);
    std::printf("ParseDump, full 1024-page dump:         %10.1f us\n", parse);
    return sink == 42 ? 1 : 0;
}

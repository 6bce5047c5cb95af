// The whole memory read of one unit over loopback: position, dump request, 1024-page
// bulk transfer, page check (with and without damaged pages), archive, table save and
// erase command. The fixed pauses (1 s before the request, 10 s before a repeat
// request and before the erase command, the closing wait) are set to 0 here, so the
// figure is the work the server does, not the waits it is told to keep; the receive
// loop keeps its real 250 ms pass.

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "server/PositioningServer.hpp"
#include "unitsim/PositionRecordBuilder.hpp"
#include "unitsim/SimulatedUnit.hpp"
#include "unitsim/UnitMemory.hpp"
#include "vehicles/ReadSchedule.hpp"

using namespace serwer;

namespace {
double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
}  // namespace

int main() {
    char pattern[] = "/tmp/serwer-bench-dl-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    std::filesystem::current_path(pattern);

    ServerSetup setup;
    setup.readsEnabled = true;
    setup.timings.closingWait = std::chrono::milliseconds(0);
    setup.timings.download.pauseBeforeDumpRequest = std::chrono::milliseconds(0);
    setup.timings.download.pauseAfterDumpRequest = std::chrono::milliseconds(0);
    setup.timings.download.repeatPreWait = std::chrono::milliseconds(0);
    setup.timings.download.erasePause = std::chrono::milliseconds(0);
    PositioningServer server(setup);
    server.Start("0");

    for (int damaged : {0, 4}) {
        UnitMemory memory = UnitMemory::Generated(1023);
        for (int p = 0; p < damaged; ++p) memory.damagedPages.insert(100 + p * 200);
        std::vector<double> seconds;
        for (int run = 0; run < 5; ++run) {
            ReadAllNow(server.Table(), ".");  // due again
            PositionOptions o;
            o.registration = "BENCH1";
            o.day = 8, o.month = 12, o.year = 2026;
            const auto start = std::chrono::steady_clock::now();
            SimulatedUnit unit("127.0.0.1", server.Port());
            unit.SendPosition(BuildPositionRecord(o));
            const DownloadSession s = ServeDownload(unit, memory, std::chrono::seconds(120));
            seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            if (!s.eraseLastPage) std::printf("run %d: the read did not complete\n", run);
            for (auto& e : std::filesystem::directory_iterator("."))
                if (e.path().extension() == ".sve") std::filesystem::remove(e.path());
        }
        std::printf("whole read of 1024 pages, %d damaged pages repeated: median %.3f s (5 runs)\n", damaged,
                    Median(seconds));
    }
    server.Stop();
    std::filesystem::current_path("/");
    std::filesystem::remove_all(pattern);
    return 0;
}

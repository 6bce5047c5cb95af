// Load benchmark of the position path: positions stored per second with 1, 100 and
// 1000 vehicles in the table while 1000 idle units hold connections open, and the
// server's resident memory per open connection.
//
// Server and units run in this one process over loopback. The closing wait is
// shortened to 0 for the throughput runs (it only holds a connection thread, never
// the table lock); everything else is the real handler: frame, decode, lock, row,
// Aktualne.txt written whole through a temporary file, fsync and rename, logs.

#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server/PositioningServer.hpp"
#include "unitsim/PositionRecordBuilder.hpp"
#include "unitsim/SimulatedUnit.hpp"

using namespace serwer;

namespace {

long ResidentKiB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

Bytes Record(int vehicle, int n) {
    PositionOptions o = SamplePosition("BN" + std::to_string(10000 + vehicle));
    o.ownerCode = Bytes(8, '\0');
    o.hour = 12, o.minute = n % 60;
    o.latitude = {52, 12, n % 1000};
    o.speedHundredths = (n * 37) % 12000;
    o.fuelReading = static_cast<unsigned char>(n % 200);
    o.engine = o.input1 = false;
    o.odometerHundredsKm = n % 9999;
    return BuildPositionRecord(o);
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int idleUnits = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int positionsPerRun = argc > 2 ? std::atoi(argv[2]) : 2000;
    const int clients = 16;

    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);

    char pattern[] = "/tmp/serwer-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const std::filesystem::path dir = pattern;
    std::filesystem::current_path(dir);

    ServerSetup setup;
    setup.timings.closingWait = std::chrono::milliseconds(0);
    PositioningServer server(setup);
    server.Start("0");
    const int port = server.Port();

    // Idle units: connected, silent, each holding a connection thread.
    const long rssBefore = ResidentKiB();
    std::vector<std::unique_ptr<SimulatedUnit>> idle;
    for (int i = 0; i < idleUnits; ++i) idle.push_back(std::make_unique<SimulatedUnit>("127.0.0.1", port));
    while (server.OpenConnectionCount() < idleUnits) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const long rssAfter = ResidentKiB();
    std::printf("idle connections: %d, resident memory %ld KiB -> %ld KiB: %.1f KiB per connection\n", idleUnits,
                rssBefore, rssAfter, double(rssAfter - rssBefore) / std::max(1, idleUnits));

    for (int vehicles : {1, 100, 1000}) {
        std::vector<double> rates;
        for (int run = 0; run < 3; ++run) {
            std::atomic<int> next{0};
            const auto start = std::chrono::steady_clock::now();
            std::vector<std::thread> threads;
            for (int c = 0; c < clients; ++c)
                threads.emplace_back([&] {
                    for (int n = next++; n < positionsPerRun; n = next++) {
                        SimulatedUnit unit("127.0.0.1", port);
                        unit.SendPosition(Record(n % vehicles, n));
                        unit.WaitForClose(std::chrono::seconds(60));
                    }
                });
            for (auto& t : threads) t.join();
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            rates.push_back(positionsPerRun / seconds);
        }
        std::printf("vehicles in table: %4d  positions stored per second (median of 3 runs of %d): %.0f\n", vehicles,
                    positionsPerRun, Median(rates));
        // Next table size starts from an empty table and file.
        {
            TableLockGuard g(server.Table());
            g.Table().Clear();
        }
    }
    const auto total = server.Context().packetCounter.load();
    idle.clear();
    server.Stop();
    std::filesystem::current_path("/");
    std::filesystem::remove_all(dir);
    std::printf("positions counted by the server: %d\n", total);
    return 0;
}

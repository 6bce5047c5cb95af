// Benchmark of the web service at 10,000 vehicles: /api/pojazdy answers per second, and
// positions stored per second with and without 50 browsers asking for /api/pojazdy
// every 2 s, side by side in one run.
//
// Server, web service, units and HTTP clients run in this one process over loopback.
// The closing wait is 0 (it only holds a connection thread); everything else is the
// real path: the handler, Aktualne.txt saved whole with fsync, the position history.
//   bench_web [positions per run, default 2000]

#include <httplib.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "server/PositioningServer.hpp"
#include "unitsim/PositionRecordBuilder.hpp"
#include "unitsim/SimulatedUnit.hpp"
#include "web/WebService.hpp"

using namespace serwer;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kVehicles = 10000;

Bytes Record(int vehicle, int n) {
    PositionOptions o = SamplePosition("BN" + std::to_string(10000 + vehicle));
    o.ownerCode = Bytes(8, '\0');
    o.hour = 12, o.minute = n % 60;
    o.latitude = {52, 12, n % 1000};
    o.speedHundredths = (n * 37) % 12000;
    o.fuelReading = static_cast<unsigned char>(n % 200);
    o.odometerHundredsKm = n % 9999;
    return BuildPositionRecord(o);
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Positions per second: 16 units at a time send `count` positions to the 10,000 vehicles.
double StorePositions(int port, int count, int offset) {
    std::atomic<int> next{0};
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < 16; ++c)
        threads.emplace_back([&] {
            for (int n = next++; n < count; n = next++) {
                SimulatedUnit unit("127.0.0.1", port);
                unit.SendPosition(Record((offset + n * 7919) % kVehicles, n));
                unit.WaitForClose(std::chrono::seconds(60));
            }
        });
    for (auto& t : threads) t.join();
    return count / std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    const int positionsPerRun = argc > 1 ? std::atoi(argv[1]) : 2000;
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);

    char pattern[] = "/tmp/serwer-bench-web-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const std::filesystem::path dir = pattern;
    std::filesystem::current_path(dir);

    ServerSetup setup;
    setup.timings.closingWait = std::chrono::milliseconds(0);
    PositioningServer server(setup);
    server.Start("0");
    const int port = server.Port();
    std::printf("filling the table with %d vehicles...\n", kVehicles);
    std::fflush(stdout);
    StorePositions(port, kVehicles, 0);

    WebSettings www;
    www.port = "0";
    WebService web(server, www);
    web.Start();
    const int webPort = web.Port();

    // /api/pojazdy answers per second: 4 clients with keep-alive, 3 runs of 5 s.
    std::vector<double> rates;
    std::size_t bodyBytes = 0;
    for (int run = 0; run < 3; ++run) {
        std::atomic<int> answers{0}, failures{0};
        const auto end = Clock::now() + std::chrono::seconds(5);
        std::vector<std::thread> clients;
        for (int c = 0; c < 4; ++c)
            clients.emplace_back([&] {
                httplib::Client client("127.0.0.1", webPort);
                while (Clock::now() < end) {
                    const auto r = client.Get("/api/pojazdy");
                    if (r && r->status == 200) {
                        ++answers;
                        bodyBytes = r->body.size();
                    } else {
                        ++failures;
                    }
                }
            });
        for (auto& t : clients) t.join();
        rates.push_back(answers / 5.0);
        if (failures) std::printf("  run %d: %d failed requests\n", run + 1, failures.load());
    }
    std::printf(
        "/api/pojazdy at %d vehicles (%zu bytes): %.1f answers per second (median of 3 runs of 5 s, 4 "
        "clients)\n",
        kVehicles, bodyBytes, Median(rates));

    // Positions with and without 50 pollers, alternating, 3 runs each.
    std::vector<double> quiet, polled;
    std::atomic<int> polls{0}, pollFailures{0};
    for (int run = 0; run < 3; ++run) {
        quiet.push_back(StorePositions(port, positionsPerRun, run * 131));
        std::atomic<bool> stop{false};
        std::vector<std::thread> pollers;
        for (int p = 0; p < 50; ++p)
            pollers.emplace_back([&, p] {
                httplib::Client client("127.0.0.1", webPort);
                std::this_thread::sleep_for(std::chrono::milliseconds(40 * p));  // spread over the 2 s
                while (!stop) {
                    const auto next = Clock::now() + std::chrono::seconds(2);
                    const auto r = client.Get("/api/pojazdy");
                    (r && r->status == 200 ? polls : pollFailures)++;
                    while (!stop && Clock::now() < next) std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
            });
        std::this_thread::sleep_for(std::chrono::seconds(2));
        polled.push_back(StorePositions(port, positionsPerRun, run * 131 + 7));
        stop = true;
        for (auto& t : pollers) t.join();
    }
    std::printf("positions stored per second at %d vehicles (median of 3 runs of %d):\n", kVehicles, positionsPerRun);
    std::printf("  without web clients:                    %.0f\n", Median(quiet));
    std::printf("  with 50 clients polling every 2 s:      %.0f   (%d answers, %d failed)\n", Median(polled),
                polls.load(), pollFailures.load());
    const LatencyHistogram& waits = server.Table().LockWaits();
    std::printf("table lock waits: %llu, mean %.1f us\n", static_cast<unsigned long long>(waits.Count()),
                waits.Count() ? double(waits.SumUs()) / waits.Count() : 0.0);

    web.Stop();
    server.Stop();
    std::filesystem::current_path("/");
    std::filesystem::remove_all(dir);
    return 0;
}

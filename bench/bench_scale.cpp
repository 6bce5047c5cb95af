// Scale benchmark of the server with many units at once.
//
//  (a) 10,000 units connected at once, every one in its closing wait (it has sent a
//      valid position, the server has stored it, and the connection waits for the
//      server's disconnect). The server runs in a process of its own, so its resident
//      memory (VmRSS from /proc) is the server's alone; the units' sockets are in this
//      process. That server is this same program started with --serve: the real
//      handler and connection server, with the closing wait lengthened (default
//      300 s) so that all 10,000 are in the wait together - with the real 10 s the
//      first ones would be gone before the last ones are stored. All units connect
//      first (a burst: the listen queue of 150 overflows now and then, and those
//      connects wait for the SYN to be resent), then send, with at most 16 positions
//      in flight (sent, not yet stored). While they are held, probe units measure how
//      long a good unit waits to be served, compared with the same probes before the
//      10,000 connected (same server, same 1,000-row table).
//      "Served" is the moment the server's lock.txt gets the probe's line
//      "<registration> wyjscie z blokady": the handler writes it after Aktualne.txt
//      holds the probe's row (saved, flushed and renamed), just before it releases the
//      table lock. The line is seen through inotify, so the time is measured from the
//      probe's connect() to within microseconds of that write.
//  (b) Positions stored per second with 1,000 vehicles (a 1,000-row table), against
//      the real serwerd with its real 10 s closing wait, compared in the same run
//      with the time of one SaveVehicleFile of the same 1,000 rows: every position
//      rewrites the whole file under the table lock, so positions/s x save time is the
//      share of the time the lock holder spends saving (1.0 = the design's ceiling).
//      The units keep at most 16 positions in flight (sent, not yet stored).
//  (c) ConnectionServer::Stop with 1,000 open connections and the real 10 s closing
//      wait, in this process: once with 1,000 silent units (each handler is woken by
//      the disconnect and then keeps its closing wait), once right after 1,000 units'
//      positions were stored (every handler in its closing wait). It must return
//      within the closing wait plus 1 s. A third case calls Stop while 200 positions
//      that arrived together still wait for the table lock: each is stored first and
//      then keeps its closing wait, so Stop takes the queue's time on top.
//
// Usage: bench_scale [--parts abc] [--units 10000] [--wait 300] [--probes 20]
//                    [--vehicles 1000] [--positions 2000] [--stop-connections 1000]
//                    [--stop-queued 200]

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchProcess.hpp"
#include "server/PositioningServer.hpp"
#include "unitsim/PositionRecordBuilder.hpp"
#include "unitsim/SimulatedUnit.hpp"
#include "vehicles/TableLock.hpp"
#include "vehicles/VehicleFile.hpp"
#include "vehicles/VehicleTable.hpp"

using namespace serwer;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using bench::Clock;

namespace {

std::string Registration(int vehicle) { return "SK" + std::to_string(10000 + vehicle); }

// A valid position of `vehicle`; `seq` makes it differ from every other one sent.
Bytes Record(int vehicle, int seq) {
    PositionOptions o = SamplePosition(Registration(vehicle));
    o.ownerCode = ParseOwnerCode("00112233445566AA");
    o.day = 1 + seq / 1440 % 28, o.hour = seq / 60 % 24, o.minute = seq % 60;
    o.latitude = {52, 12, seq % 1000};
    o.longitude = {21, 1, vehicle % 1000};
    o.speedHundredths = seq % 1000000;
    o.fuelReading = static_cast<unsigned char>(seq % 200);
    o.engine = o.input1 = false;
    o.odometerHundredsKm = vehicle % 9999;
    return BuildPositionRecord(o);
}

// A fresh directory under /tmp, removed at the end.
struct Scratch {
    fs::path path;
    explicit Scratch(const std::string& tag) {
        std::string pattern = "/tmp/serwer-bench-" + tag + "-XXXXXX";
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

// Aktualne.txt with a row for each of the vehicles, as a server that has run a while has.
void WriteFleetTable(const fs::path& dir, int vehicles) {
    VehicleTable table;
    for (int v = 0; v < vehicles; ++v) {
        VehicleRow row;
        row.NAZWA = Registration(v);
        row.OPIS = "2026.12.01-10:00";
        row.PREDKOSC = "0.00 Km/h";
        row.GPS = "OK";
        row.LICENCJA = "00112233445566AA";
        row.SZEROKOSC = "52.2000000N";
        row.DLUGOSC = "21.0166667E";
        row.PRZEBIEG = 100 * v;
        table.Append(std::move(row));
    }
    SaveVehicleFile(table, (dir / "Aktualne.txt").string());
}

// --serve: the handler and the connection server in a process of their own, in the
// working directory, with the given closing wait. Prints its port and runs until it is
// signalled.
int Serve(int closingWaitMs) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    ServerSetup setup;
    setup.timings.closingWait = std::chrono::milliseconds(closingWaitMs);
    PositioningServer server(setup);
    try {
        server.LoadVehicleTable();
    } catch (...) {
    }
    server.Start("0");
    std::printf("bench server listening on port %d\n", server.Port());
    std::fflush(stdout);
    int sig = 0;
    sigwait(&signals, &sig);
    _exit(0);  // the connections' closing waits are not waited for
}

struct Options {
    std::string parts = "abc";
    int units = 10000;
    int waitSeconds = 300;
    int probes = 20;
    int vehicles = 1000;
    int positions = 2000;
    int stopConnections = 1000;
    int stopQueued = 200;
};

// One probe: connect, send, wait for the lock-exit line of its registration. The unit
// stays connected (it is handed to `keep`), as a unit waiting for the disconnect does.
double ProbeMs(int port, int vehicle, int seq, bench::LockLogFollower& follower,
               std::vector<std::unique_ptr<SimulatedUnit>>& keep) {
    const auto start = Clock::now();
    auto unit = std::make_unique<SimulatedUnit>("127.0.0.1", port);
    unit->SendPosition(Record(vehicle, seq));
    if (!follower.WaitForExitOf(Registration(vehicle), 60s)) {
        std::printf("  probe of %s was not served within 60 s\n", Registration(vehicle).c_str());
        return -1;
    }
    const double ms = bench::Seconds(Clock::now() - start) * 1000;
    keep.push_back(std::move(unit));
    return ms;
}

std::vector<double> Probes(int port, const Options& o, int firstSeq, bench::LockLogFollower& follower,
                           std::vector<std::unique_ptr<SimulatedUnit>>& keep) {
    std::vector<double> ms;
    for (int k = 0; k < o.probes; ++k) {
        const int vehicle = (k * 47 + 13) % o.vehicles;
        ms.push_back(ProbeMs(port, vehicle, firstSeq + k, follower, keep));
        std::this_thread::sleep_for(20ms);
    }
    return ms;
}

struct ResultA {
    long rssBefore = 0, rssAfter = 0, threadsBefore = 0, threadsHeld = 0, threadsAfterProbes = 0;
    double connectSeconds = 0, fillSeconds = 0;
    int slowConnects = 0;
    std::vector<double> idleProbes, loadedProbes;
    bool allHeld = false;
};

ResultA PartA(const Options& o) {
    ResultA r;
    Scratch dir("scale");
    WriteFleetTable(dir.path, o.vehicles);
    const pid_t server = bench::Spawn(dir.path, {(bench::ExecutableDirectory() / "bench_scale").string(), "--serve",
                                                 std::to_string(o.waitSeconds * 1000)});
    const int port = bench::WaitForPort(dir.path, "bench server listening on port ");
    bench::LockLogFollower follower(dir.path);
    std::vector<std::unique_ptr<SimulatedUnit>> probeUnits;

    // Probes with no other unit connected: the same table, the same server.
    r.idleProbes = Probes(port, o, 1, follower, probeUnits);
    std::this_thread::sleep_for(500ms);
    r.rssBefore = bench::ResidentKiB(server);
    r.threadsBefore = bench::ThreadCount(server);

    // 10,000 units connect; then they send, at most 16 positions in flight (sent but
    // not yet stored) - a flood of waiting handlers would only measure the lock's
    // polling. Each stored unit then sits in the closing wait.
    const long exitsBefore = follower.ExitLines();
    const auto start = Clock::now();
    std::vector<std::unique_ptr<SimulatedUnit>> units;
    units.reserve(static_cast<std::size_t>(o.units));
    for (int i = 0; i < o.units; ++i) {
        const auto connectStart = Clock::now();
        units.push_back(std::make_unique<SimulatedUnit>("127.0.0.1", port));
        // A connect that takes a second or more had its SYN dropped by a full listen
        // queue (backlog 150) and retransmitted.
        if (Clock::now() - connectStart > 500ms) ++r.slowConnects;
    }
    r.connectSeconds = bench::Seconds(Clock::now() - start);
    const auto fillLimit = start + std::chrono::seconds(o.waitSeconds);
    for (int i = 0; i < o.units && Clock::now() < fillLimit; ++i) {
        while (i - (follower.ExitLines() - exitsBefore) >= 16) follower.Poll(100ms);
        units[static_cast<std::size_t>(i)]->SendPosition(Record(i % o.vehicles, 1000 + i));
    }
    while (follower.ExitLines() - exitsBefore < o.units && Clock::now() < fillLimit) follower.Poll(100ms);
    r.fillSeconds = bench::Seconds(Clock::now() - start);
    std::this_thread::sleep_for(1s);  // memory settles (the last handlers reach their wait)
    r.rssAfter = bench::ResidentKiB(server);
    r.threadsHeld = bench::ThreadCount(server);

    r.loadedProbes = Probes(port, o, 100000, follower, probeUnits);
    r.threadsAfterProbes = bench::ThreadCount(server);
    // Every unit was still held (nothing had reached the end of its wait) through the
    // probes when the thread count never fell below that of the 10,000 added.
    r.allHeld = follower.ExitLines() - exitsBefore >= o.units && r.threadsHeld - r.threadsBefore >= o.units &&
                r.threadsAfterProbes - r.threadsBefore >= o.units &&
                Clock::now() - start < std::chrono::seconds(o.waitSeconds);

    ::kill(server, SIGKILL);
    bench::WaitExit(server, 30s);
    return r;
}

struct ResultB {
    std::vector<double> rates, saveMs, saveMinMs, saveMaxMs, formatMs;
    int serverExit = -1;
    double stopSeconds = 0;
};

// Sends `count` positions spread over the fleet with at most `inFlight` sent but not
// yet stored; returns positions stored per second.
double StoreRate(int port, int vehicles, int count, int firstSeq, bench::LockLogFollower& follower,
                 std::deque<std::pair<Clock::time_point, std::unique_ptr<SimulatedUnit>>>& open) {
    constexpr int kInFlight = 16;
    const long exitsBefore = follower.ExitLines();
    const auto start = Clock::now();
    for (int n = 0; n < count; ++n) {
        while (n - (follower.ExitLines() - exitsBefore) >= kInFlight) follower.Poll(100ms);
        auto unit = std::make_unique<SimulatedUnit>("127.0.0.1", port);
        unit->SendPosition(Record(n % vehicles, firstSeq + n));
        open.emplace_back(Clock::now(), std::move(unit));
        // Units whose closing wait is long over are let go, so descriptors stay few.
        while (!open.empty() && Clock::now() - open.front().first > 12s) open.pop_front();
    }
    while (follower.ExitLines() - exitsBefore < count) follower.Poll(100ms);
    return count / bench::Seconds(Clock::now() - start);
}

ResultB PartB(const Options& o) {
    ResultB r;
    Scratch dir("rate");
    WriteFleetTable(dir.path, o.vehicles);
    int port = 0;
    const pid_t server = bench::StartServerd(dir.path, "Port=0\n", port);
    bench::LockLogFollower follower(dir.path);
    std::deque<std::pair<Clock::time_point, std::unique_ptr<SimulatedUnit>>> open;

    StoreRate(port, o.vehicles, 200, 1, follower, open);  // warm-up

    // After each run the same 1,000 rows are saved by this process, on the same file
    // system, while the server is idle (its units only wait for the disconnect): the
    // flush to disk varies over minutes, so each run is set against saves made next
    // to it.
    fs::create_directory(dir.path / "save");
    const std::string savePath = (dir.path / "save" / "Aktualne.txt").string();
    for (int run = 0; run < 3; ++run) {
        const double rate = StoreRate(port, o.vehicles, o.positions, 10000 + run * o.positions, follower, open);
        VehicleTable table;
        table.AppendLoaded(ReadVehicleFile((dir.path / "Aktualne.txt").string()).rows);
        if (table.Size() != static_cast<std::size_t>(o.vehicles))
            std::printf("  (b) the table has %zu rows, not %d\n", table.Size(), o.vehicles);
        std::vector<double> saves;
        for (int k = 0; k < 25; ++k) {
            const auto start = Clock::now();
            SaveVehicleFile(table, savePath);
            saves.push_back(bench::Seconds(Clock::now() - start) * 1000);
        }
        r.rates.push_back(rate);
        r.saveMs.push_back(bench::Median(saves));
        r.saveMinMs.push_back(*std::min_element(saves.begin(), saves.end()));
        r.saveMaxMs.push_back(bench::Max(saves));
        const auto formatStart = Clock::now();
        for (int k = 0; k < 25; ++k) (void)FormatVehicleFile(table.Rows());
        r.formatMs.push_back(bench::Seconds(Clock::now() - formatStart) * 1000 / 25);
    }
    std::this_thread::sleep_for(11s);
    open.clear();

    const auto stop = Clock::now();
    ::kill(server, SIGTERM);
    r.serverExit = bench::WaitExit(server, 60s);
    r.stopSeconds = bench::Seconds(Clock::now() - stop);
    return r;
}

// The server in this process, listening on a free port, with the real 10 s closing wait.
struct StopBenchServer {
    PositioningServer server;
    StopBenchServer() { server.Start("0"); }
};

struct ResultC {
    double idleStopSeconds = 0, waitingStopSeconds = 0, queuedStopSeconds = 0;
};

ResultC PartC(const Options& o) {
    ResultC r;
    Scratch dir("stop");
    const fs::path previous = fs::current_path();
    fs::current_path(dir.path);  // the in-process server writes its logs here
    {
        StopBenchServer local;
        PositioningServer& server = local.server;
        std::vector<std::unique_ptr<SimulatedUnit>> units;
        for (int i = 0; i < o.stopConnections; ++i)
            units.push_back(std::make_unique<SimulatedUnit>("127.0.0.1", server.Port()));
        while (server.OpenConnectionCount() < o.stopConnections) std::this_thread::sleep_for(10ms);
        const auto start = Clock::now();
        server.Stop();
        r.idleStopSeconds = bench::Seconds(Clock::now() - start);
    }
    {
        StopBenchServer local;
        PositioningServer& server = local.server;
        bench::LockLogFollower follower(".");
        std::vector<std::unique_ptr<SimulatedUnit>> units;
        for (int i = 0; i < o.stopConnections; ++i) {
            while (i - follower.ExitLines() >= 16) follower.Poll(100ms);
            units.push_back(std::make_unique<SimulatedUnit>("127.0.0.1", server.Port()));
            units.back()->SendPosition(Record(i % o.vehicles, i));
        }
        while (follower.ExitLines() < o.stopConnections) follower.Poll(100ms);
        const auto lastStored = Clock::now();
        server.Stop();
        r.waitingStopSeconds = bench::Seconds(Clock::now() - lastStored);
    }
    {
        // Positions that arrive together: their handlers have read the frame and wait
        // for the table lock when Stop is called. Each is still stored, then waits.
        StopBenchServer local;
        PositioningServer& server = local.server;
        std::vector<std::unique_ptr<SimulatedUnit>> units;
        for (int i = 0; i < o.stopQueued; ++i)
            units.push_back(std::make_unique<SimulatedUnit>("127.0.0.1", server.Port()));
        while (server.OpenConnectionCount() < o.stopQueued) std::this_thread::sleep_for(10ms);
        for (auto& u : units) u->SendPosition(Record(7, 5));
        while (server.Context().packetCounter.load() < o.stopQueued) std::this_thread::sleep_for(1ms);
        const auto start = Clock::now();
        server.Stop();
        r.queuedStopSeconds = bench::Seconds(Clock::now() - start);
    }
    fs::current_path(previous);
    return r;
}

int IntOption(int argc, char** argv, const std::string& name, int def) {
    for (int i = 1; i + 1 < argc; ++i)
        if (argv[i] == name) return std::atoi(argv[i + 1]);
    return def;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--serve") == 0) return Serve(std::atoi(argv[2]));
    ::signal(SIGPIPE, SIG_IGN);
    const long limit = bench::RaiseDescriptorLimit();

    Options o;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--parts") == 0) o.parts = argv[i + 1];
    o.units = IntOption(argc, argv, "--units", o.units);
    o.waitSeconds = IntOption(argc, argv, "--wait", o.waitSeconds);
    o.probes = IntOption(argc, argv, "--probes", o.probes);
    o.vehicles = IntOption(argc, argv, "--vehicles", o.vehicles);
    o.positions = IntOption(argc, argv, "--positions", o.positions);
    o.stopConnections = IntOption(argc, argv, "--stop-connections", o.stopConnections);
    o.stopQueued = IntOption(argc, argv, "--stop-queued", o.stopQueued);
    std::printf("bench_scale: descriptor limit %ld, %d vehicles in the table\n", limit, o.vehicles);
    std::fflush(stdout);

    const bool a = o.parts.find('a') != std::string::npos;
    const bool b = o.parts.find('b') != std::string::npos;
    const bool c = o.parts.find('c') != std::string::npos;
    ResultA ra;
    ResultB rb;
    ResultC rc;
    if (a) {
        ra = PartA(o);
        std::printf("(a) done: %d units stored in %.1f s\n", o.units, ra.fillSeconds);
        std::fflush(stdout);
    }
    if (b) {
        rb = PartB(o);
        std::printf("(b) done\n");
        std::fflush(stdout);
    }
    if (c) {
        rc = PartC(o);
        std::printf("(c) done\n");
        std::fflush(stdout);
    }

    std::printf("\n%-62s %s\n", "measure", "value");
    if (a) {
        const double idle = bench::Median(ra.idleProbes), loaded = bench::Median(ra.loadedProbes);
        const std::string held = std::to_string(o.units) + " units in the closing wait at once (wait " +
                                 std::to_string(o.waitSeconds) + " s)";
        std::printf("(a) %-58s %s\n", held.c_str(), ra.allHeld ? "yes" : "NO (some left before the end of the probes)");
        std::printf("    %-58s %.1f s / %.1f s\n", "all connected / all sent and stored", ra.connectSeconds,
                    ra.fillSeconds);
        std::printf("    %-58s %d\n", "connects that waited >0.5 s (listen queue full, SYN resent)", ra.slowConnects);
        std::printf("    %-58s %ld / %ld / %ld\n", "server threads: before / held / after probes", ra.threadsBefore,
                    ra.threadsHeld, ra.threadsAfterProbes);
        std::printf("    %-58s %ld KiB -> %ld KiB\n", "server VmRSS before -> with the units held", ra.rssBefore,
                    ra.rssAfter);
        std::printf("    %-58s %.1f KiB\n", "server resident memory per held connection",
                    double(ra.rssAfter - ra.rssBefore) / o.units);
        std::printf("    %-58s %.2f / %.2f ms\n", "probe served, no other unit: median / max (ms)", idle,
                    bench::Max(ra.idleProbes));
        std::printf("    %-58s %.2f / %.2f ms\n", "probe served, units held: median / max (ms)", loaded,
                    bench::Max(ra.loadedProbes));
        std::printf("    %-58s %.2f\n", "ratio of the medians, held / none", idle > 0 ? loaded / idle : 0);
    }
    if (b) {
        const double rate = bench::Median(rb.rates), save = bench::Median(rb.saveMs);
        std::vector<double> products;
        for (std::size_t k = 0; k < rb.rates.size(); ++k) products.push_back(rb.rates[k] * rb.saveMs[k] / 1000);
        std::printf("(b) %-58s %.0f  (runs: %.0f %.0f %.0f)\n", "positions stored per second (median of 3 runs)", rate,
                    rb.rates[0], rb.rates[1], rb.rates[2]);
        std::printf("    %-58s %.2f ms  (runs: %.2f %.2f %.2f)\n",
                    "SaveVehicleFile of the table (median of 25 per run)", save, rb.saveMs[0], rb.saveMs[1],
                    rb.saveMs[2]);
        std::printf("    %-58s %.2f / %.2f ms\n", "  fastest / slowest save seen", bench::Median(rb.saveMinMs),
                    bench::Median(rb.saveMaxMs));
        std::printf("    %-58s %.2f ms\n", "  of which building the file content", bench::Median(rb.formatMs));
        std::printf("    %-58s %.0f\n", "positions per second if the save were all the work", 1000 / save);
        std::printf("    %-58s %.2f  (runs: %.2f %.2f %.2f)\n", "positions/s x save time (1.0 = the design's limit)",
                    bench::Median(products), products[0], products[1], products[2]);
        std::printf("    %-58s %d after %.1f s\n", "serwerd exit status after SIGTERM", rb.serverExit, rb.stopSeconds);
    }
    if (c) {
        std::printf("(c) %-58s %.2f s %s\n", "Stop with 1000 silent connections (limit 11 s)", rc.idleStopSeconds,
                    rc.idleStopSeconds <= 11 ? "ok" : "OVER");
        std::printf("    %-58s %.2f s %s\n", "Stop right after 1000 stored (all in the wait, limit 11 s)",
                    rc.waitingStopSeconds, rc.waitingStopSeconds <= 11 ? "ok" : "OVER");
        const std::string queued =
            "Stop with " + std::to_string(o.stopQueued) + " positions waiting for the table lock";
        std::printf("    %-58s %.2f s %s\n", queued.c_str(), rc.queuedStopSeconds,
                    rc.queuedStopSeconds <= 11 ? "within 11 s" : "over 11 s");
    }
    return 0;
}

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
// Parts d to g run the server (--serve) with a closing wait of 0, so the moment it
// closes a unit's connection is the moment that unit's position is durably stored. The
// units' sockets stay in this process and are watched through one epoll set.
//  (d) Positions stored per second when many arrive together: --burst units (2,000)
//      connect one after another, the server reports them all open, then each sends one
//      position as fast as this process can; stored/s = units / (first send to last
//      close). Once with a table of --vehicles rows and once with --big-table rows (the
//      units send for vehicles 0..units-1, modulo the rows: with a table smaller than
//      the burst, a vehicle sends twice). Set against the median of 25 SaveVehicleFile
//      calls of the same table after each run, and the product positions/s x save time.
//      --runs runs of each.
//  (e) The delay of another vehicle's position (connect to close) while a memory read is
//      in its erase pause: reads on, the real erase pause; a vehicle not in the table
//      (every row was read today) sends, is read by ServeDownload with 1024 clean pages,
//      and 2 s after its archive appears another vehicle sends a position. The same
//      position with no read going on is the reference. --runs reads on one server.
//  (f) --reads memory reads (100) at once, --damaged-reads of them (20) with 2 damaged
//      pages, while --read-positions other units (1,000) send one position each, evenly
//      over 10 s from 1 s after the reads began. Erase pause and the wait before a
//      repeat request shortened to 1 s. Every read must leave a whole archive equal to
//      the unit's memory and get its erase command; the positions' send-to-close delays.
//  (g) --connects units (10,000) start their connects at once (non-blocking, no
//      position): the time until every connect has completed and until the server
//      counts them all open (it prints the moment), and the kernel's listen-queue
//      overflow and drop counters (TcpExt ListenOverflows / ListenDrops of
//      /proc/net/netstat, what nstat shows) before and after. --runs runs.
//  (h) The position history in the commit cycle: the burst of (d) with a --big-table
//      table, --history-runs times with the history off (keepHistory false) and as many
//      with it on, alternating (off-on, then on-off, ...) so that the machine's drift
//      falls on both alike. Positions stored per second each way, and the history rows
//      the server's HistoryWriter wrote (RowsWritten, printed by the server when it is
//      stopped) over the same time, first send to last close.
//  (s) Sustained load: a --big-table table (10,000 vehicles), units arriving at a steady
//      rate (--rates, default 167,1000,1800 per second) for --seconds (60), each sending
//      one position and held for the real 10 s closing wait, from the loopback source
//      addresses 127.0.0.1 to 127.0.0.8, from as many client processes as the units
//      held at once need (about 12,000 each). The server (--serve with the history kept) is
//      this program, and with --baseline DIR also DIR/bench_scale, run alternately
//      (--sustained-runs, default 1, of each) so that both see the same machine. For
//      each: positions stored (closed after the closing wait) and lost (the others), the
//      history rows and writes (as the server prints them when stopped), the server's
//      disk bytes written per position (write_bytes of /proc/<pid>/io, every write of the
//      process), the saves of Aktualne.txt per second (its renames, seen through
//      inotify), the server's CPU (user + system) per position, and the send-to-close
//      delay at p50 and p99.
//
// Usage: bench_scale [--parts abc|defg] [--units 10000] [--wait 300] [--probes 20]
//                    [--vehicles 1000] [--positions 2000] [--stop-connections 1000]
//                    [--stop-queued 200] [--runs 3] [--burst 2000] [--big-table 10000]
//                    [--reads 100] [--damaged-reads 20] [--read-positions 1000]
//                    [--connects 10000] [--history-runs 5]
//                    [--rates 167,1000,1800] [--seconds 60] [--sustained-runs 1] [--baseline DIR]
//                    [--events ZONES] (a third server: this build with the detectors and ZONES zones)
//        bench_scale --serve CLOSING_WAIT_MS [--reads-on 1] [--erase-pause MS]
//                    [--repeat-pre-wait MS] [--report-open N] [--history 0|1]
//                    [--save-interval MS]
//                                                                (the server process)

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#ifdef SERWER_HAVE_LIBZIP
#include <zip.h>
#endif

#include "BenchProcess.hpp"
#include "BenchZones.hpp"
#include "link/ByteStuffing.hpp"
#include "server/PositioningServer.hpp"
#include "unitsim/PositionRecordBuilder.hpp"
#include "unitsim/SimulatedUnit.hpp"
#include "unitsim/UnitMemory.hpp"
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

// Aktualne.txt with a row for each of the vehicles, and each vehicle's own log, as a
// server that has run a while has them.
// `readToday`: every vehicle's memory was read just now, so none is due for a read.
void WriteFleetTable(const fs::path& dir, int vehicles, bool readToday = false) {
    VehicleTable table;
    const DateTime now = DateTime::Now();
    for (int v = 0; v < vehicles; ++v) {
        VehicleRow row;
        if (readToday) row.ODCZYT = row.PROBA_ODCZYTU = now, row.LICZNIK_ODCZYTOW = 1;
        row.NAZWA = Registration(v);
        row.OPIS = "2026.12.01-10:00";
        row.PREDKOSC = "0.00 Km/h";
        row.GPS = "OK";
        row.LICENCJA = "00112233445566AA";
        row.SZEROKOSC = "52.2000000N";
        row.DLUGOSC = "21.0166667E";
        row.PRZEBIEG = 100 * v;
        table.Append(std::move(row));
        // A server that has run a while has every vehicle's own log already.
        std::ofstream(dir / (Registration(v) + "log.txt"), std::ios::app);
    }
    SaveVehicleFile(table, (dir / "Aktualne.txt").string());
}

int IntOption(int argc, char** argv, const std::string& name, int def) {
    for (int i = 1; i + 1 < argc; ++i)
        if (argv[i] == name) return std::atoi(argv[i + 1]);
    return def;
}

// --serve: the handler and the connection server in a process of their own, in the
// working directory, with the closing wait given (ms) and the options after it: reads
// on (no read hour: only vehicles never read are due), the erase pause and the wait
// before a repeat request, and --report-open N, which prints "all open at <ns>" (the
// system's monotonic clock, the one this program's steady_clock reads) the moment the
// server counts N open connections (until then "open <count>" once a second when it
// has changed); --history 0 keeps no position history (default: the setup's own). Prints
// its port and runs until it is signalled; then, when it keeps a history, prints
// "history rows written <n> lost <n>".
int Serve(int argc, char** argv) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    ServerSetup setup;
    setup.timings.closingWait = std::chrono::milliseconds(std::atoi(argv[2]));
    setup.readsEnabled = IntOption(argc, argv, "--reads-on", 0) != 0;
    setup.readHourIndex = -1;
    DownloadTimings& d = setup.timings.download;
    d.erasePause = std::chrono::milliseconds(IntOption(argc, argv, "--erase-pause", int(d.erasePause.count())));
    d.repeatPreWait =
        std::chrono::milliseconds(IntOption(argc, argv, "--repeat-pre-wait", int(d.repeatPreWait.count())));
    const int reportOpen = IntOption(argc, argv, "--report-open", 0);
    setup.keepHistory = IntOption(argc, argv, "--history", setup.keepHistory ? 1 : 0) != 0;
    setup.tableSaveInterval =
        std::chrono::milliseconds(IntOption(argc, argv, "--save-interval", int(setup.tableSaveInterval.count())));
    if (const int zones = IntOption(argc, argv, "--events", 0); zones > 0) {
        // The detectors on, with that many zones and a default speed limit.
        std::ofstream("strefy.geojson") << bench::ZonesGeoJson(zones);
        EventSettings events;
        events.speedLimitKmh = 90;
        setup.events = events;
    }
    PositioningServer server(setup);
    try {
        server.LoadVehicleTable();
    } catch (...) {
    }
    server.Start("0");
    std::printf("bench server listening on port %d\n", server.Port());
    std::fflush(stdout);
    if (reportOpen > 0)
        std::thread([&server, reportOpen] {
            // Until then, the count once a second when it has changed.
            int shown = -1;
            for (auto next = Clock::now();; std::this_thread::sleep_for(1ms)) {
                const int open = server.OpenConnectionCount();
                if (open >= reportOpen) break;
                if (open != shown && Clock::now() >= next)
                    std::printf("open %d\n", shown = open), std::fflush(stdout), next = Clock::now() + 1s;
            }
            std::printf("all open at %lld\n", static_cast<long long>(Clock::now().time_since_epoch().count()));
            std::fflush(stdout);
        }).detach();
    int sig = 0;
    sigwait(&signals, &sig);
    if (const HistoryWriter* history = server.HistoryWrites())
        std::printf("history rows written %llu lost %llu writes %llu\n",
                    static_cast<unsigned long long>(history->RowsWritten()),
                    static_cast<unsigned long long>(history->RowsLost()),
                    static_cast<unsigned long long>(history->WriteTimes().Count()));
    std::fflush(stdout);
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
    int runs = 3;
    int burst = 2000;
    int bigTable = 10000;
    int reads = 100;
    int damagedReads = 20;
    int readPositions = 1000;
    int connects = 10000;
    int historyRuns = 5;
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

// This program started with --serve in `dir`, closing wait 0 and the given options.
pid_t StartBenchServer(const fs::path& dir, const std::vector<std::string>& options, int& port) {
    std::vector<std::string> argv{(bench::ExecutableDirectory() / "bench_scale").string(), "--serve", "0"};
    argv.insert(argv.end(), options.begin(), options.end());
    const pid_t pid = bench::Spawn(dir, argv);
    port = bench::WaitForPort(dir, "bench server listening on port ");
    return pid;
}

void KillBenchServer(pid_t server) {
    ::kill(server, SIGKILL);
    bench::WaitExit(server, 30s);
}

// Stops a --serve process with SIGTERM and returns the history rows it wrote and lost
// (-1 and -1 when it printed none: no history kept).
std::pair<long long, long long> TermBenchServer(pid_t server, const fs::path& dir) {
    ::kill(server, SIGTERM);
    if (bench::WaitExit(server, 30s) == -1) KillBenchServer(server);
    const std::string out = bench::ReadWholeFile(dir / "stdout.txt");
    const std::string marker = "history rows written ";
    const auto at = out.find(marker);
    long long written = -1, lost = -1;
    if (at != std::string::npos) std::sscanf(out.c_str() + at + marker.size(), "%lld lost %lld", &written, &lost);
    return {written, lost};
}

// The moment the --serve process printed after `marker` (see Serve); nothing after `limit`.
std::optional<Clock::time_point> WaitForStamp(const fs::path& dir, const std::string& marker,
                                              std::chrono::seconds limit) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        const std::string out = bench::ReadWholeFile(dir / "stdout.txt");
        const auto at = out.find(marker);
        if (at != std::string::npos && out.find('\n', at) != std::string::npos)
            return Clock::time_point(Clock::duration(std::stoll(out.substr(at + marker.size()))));
        std::this_thread::sleep_for(10ms);
    }
    return std::nullopt;
}

// Units' sockets in this process, watched through one epoll set, so thousands of them
// need no thread each: when each connect completed, when its position was sent, and
// when the server closed the connection.
class UnitSockets {
public:
    struct Unit {
        int fd = -1;
        bool connected = false, sent = false, closed = false, failed = false;
        Clock::time_point connectedAt, sentAt, closedAt;
    };

    explicit UnitSockets(int port) : epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
        if (epoll_ < 0) throw std::runtime_error("epoll_create1 failed");
        address_.sin_family = AF_INET;
        address_.sin_port = htons(static_cast<std::uint16_t>(port));
        address_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    ~UnitSockets() {
        for (const Unit& u : units_)
            if (u.fd >= 0) ::close(u.fd);
        ::close(epoll_);
    }
    UnitSockets(const UnitSockets&) = delete;
    UnitSockets& operator=(const UnitSockets&) = delete;

    // Starts a unit's connect; `wait`: a blocking one; `source`: the loopback address
    // 127.0.0.<source> it connects from (0: the system's choice). Returns the unit's index.
    int Connect(bool wait, int source = 0) {
        const auto index = static_cast<std::uint32_t>(units_.size());
        Unit& u = units_.emplace_back();
        u.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (wait ? 0 : SOCK_NONBLOCK), 0);
        if (u.fd >= 0 && source > 0) {
            const int on = 1;
            ::setsockopt(u.fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
            sockaddr_in from{};
            from.sin_family = AF_INET;
            from.sin_addr.s_addr = htonl((127u << 24) | static_cast<std::uint32_t>(source));
            if (::bind(u.fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0) {
                Fail(u);
                return static_cast<int>(index);
            }
        }
        const int rc = u.fd < 0 ? -1 : ::connect(u.fd, reinterpret_cast<const sockaddr*>(&address_), sizeof address_);
        if (rc != 0 && (u.fd < 0 || errno != EINPROGRESS)) {
            Fail(u);
            return static_cast<int>(index);
        }
        if (wait) ::fcntl(u.fd, F_SETFL, ::fcntl(u.fd, F_GETFL) | O_NONBLOCK);
        if (rc == 0) MarkConnected(u, Clock::now());
        epoll_event e{};
        e.events = rc == 0 ? EPOLLIN | EPOLLRDHUP : EPOLLOUT;
        e.data.u32 = index;
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, u.fd, &e);
        return static_cast<int>(index);
    }

    void Send(int index, const Bytes& stuffedRecord) {
        Unit& u = units_[static_cast<std::size_t>(index)];
        if (u.fd < 0) return;
        u.sentAt = Clock::now();
        if (::send(u.fd, stuffedRecord.data(), stuffedRecord.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(stuffedRecord.size()))
            Fail(u);
        else
            u.sent = true, ++sent_;
    }

    // Handles what happens within `waitMs`: completed connects and the server's closes.
    void Poll(int waitMs) {
        epoll_event events[256];
        const int n = ::epoll_wait(epoll_, events, 256, waitMs);
        const auto now = Clock::now();
        for (int k = 0; k < n; ++k) {
            Unit& u = units_[events[k].data.u32];
            if (u.fd < 0) continue;
            if (!u.connected) {
                int error = 0;
                socklen_t length = sizeof error;
                ::getsockopt(u.fd, SOL_SOCKET, SO_ERROR, &error, &length);
                if (error != 0) {
                    Fail(u);
                    continue;
                }
                MarkConnected(u, now);
                epoll_event e{};
                e.events = EPOLLIN | EPOLLRDHUP;
                e.data.u32 = events[k].data.u32;
                ::epoll_ctl(epoll_, EPOLL_CTL_MOD, u.fd, &e);
                continue;
            }
            char buffer[512];
            const ssize_t got = ::recv(u.fd, buffer, sizeof buffer, 0);
            if (got > 0 || (got < 0 && errno == EAGAIN)) continue;  // the server sends nothing for a position
            ::close(u.fd);
            u.fd = -1;
            u.closed = true, u.closedAt = now, ++closed_;
        }
    }

    // Polls until `done()` or `limit`; false on time-out.
    bool PollUntil(const std::function<bool()>& done, Clock::duration limit) {
        const auto end = Clock::now() + limit;
        while (!done()) {
            if (Clock::now() >= end) return false;
            Poll(100);
        }
        return true;
    }

    const std::vector<Unit>& Units() const { return units_; }
    int Connected() const { return connected_; }
    int Sent() const { return sent_; }
    int Closed() const { return closed_; }
    int Failed() const { return failed_; }

private:
    void MarkConnected(Unit& u, Clock::time_point at) { u.connected = true, u.connectedAt = at, ++connected_; }
    void Fail(Unit& u) {
        if (u.fd >= 0) ::close(u.fd);
        u.fd = -1;
        u.failed = true, ++failed_;
    }

    int epoll_;
    sockaddr_in address_{};
    std::vector<Unit> units_;
    int connected_ = 0, closed_ = 0, failed_ = 0, sent_ = 0;
};

// The median of 25 saves of Aktualne.txt as it is in `dir`, written beside it, in ms.
double TableSaveMs(const fs::path& dir) {
    VehicleTable table;
    table.AppendLoaded(ReadVehicleFile((dir / "Aktualne.txt").string()).rows);
    fs::create_directory(dir / "save");
    std::vector<double> saves;
    for (int k = 0; k < 25; ++k) {
        const auto start = Clock::now();
        SaveVehicleFile(table, (dir / "save" / "Aktualne.txt").string());
        saves.push_back(bench::Seconds(Clock::now() - start) * 1000);
    }
    return bench::Median(saves);
}

struct BurstRun {
    double rate = 0, saveMs = 0, sendSeconds = 0, seconds = 0;
    int stored = 0, failed = 0;
    long long historyRows = -1, historyLost = -1;  // -1: no history kept, or not asked
};

// One run of (d): `units` units connect, the server holds them all, then all send.
// `history`: the server's keepHistory (none: its default), and the rows its history
// writer wrote are asked for when it is stopped.
BurstRun StoreBurst(int vehicles, int units, int firstSeq, std::optional<bool> history = std::nullopt) {
    BurstRun r;
    Scratch dir("burst");
    WriteFleetTable(dir.path, vehicles);
    int port = 0;
    std::vector<std::string> options{"--report-open", std::to_string(units)};
    if (history) options.insert(options.end(), {"--history", *history ? "1" : "0"});
    const pid_t server = StartBenchServer(dir.path, options, port);
    if (history) {
        // One position first, as on a server that has run a while: the month's history
        // file is open and its table made before the burst (not counted in the rows).
        SimulatedUnit warmUp("127.0.0.1", port);
        warmUp.SendPosition(Record(units % vehicles, firstSeq + units));
        warmUp.WaitForClose(60s);
    }
    std::vector<Bytes> frames;
    for (int i = 0; i < units; ++i) frames.push_back(StuffBytes(Record(i % vehicles, firstSeq + i)));
    UnitSockets sockets(port);
    for (int i = 0; i < units; ++i) sockets.Connect(true);
    const bool held = WaitForStamp(dir.path, "all open at ", 120s).has_value() &&
                      sockets.PollUntil([&] { return sockets.Connected() + sockets.Failed() >= units; }, 60s);
    if (held) {
        for (int i = 0; i < units; ++i) {
            sockets.Send(i, frames[static_cast<std::size_t>(i)]);
            if (i % 64 == 63) sockets.Poll(0);
        }
        sockets.PollUntil([&] { return sockets.Closed() + sockets.Failed() >= units; }, 300s);
        Clock::time_point first = Clock::time_point::max(), lastSend{}, lastClose{};
        for (const auto& u : sockets.Units()) {
            if (u.sent) first = std::min(first, u.sentAt), lastSend = std::max(lastSend, u.sentAt);
            if (u.closed) lastClose = std::max(lastClose, u.closedAt);
        }
        r.stored = sockets.Closed();
        r.sendSeconds = bench::Seconds(lastSend - first);
        r.seconds = bench::Seconds(lastClose - first);
        r.rate = r.stored / r.seconds;
    }
    r.failed = sockets.Failed();
    if (history)
        std::tie(r.historyRows, r.historyLost) = TermBenchServer(server, dir.path);
    else
        KillBenchServer(server);
    if (r.historyRows > 0) --r.historyRows;  // the warm-up's row
    r.saveMs = TableSaveMs(dir.path);
    return r;
}

// Connect, send one position, wait for the server's close: ms, or -1 without a close in 60 s.
double StoreDelayMs(int port, int vehicle, int seq) {
    const auto start = Clock::now();
    SimulatedUnit unit("127.0.0.1", port);
    unit.SendPosition(Record(vehicle, seq));
    unit.WaitForClose(60s);
    return unit.Closed() ? bench::Seconds(Clock::now() - start) * 1000 : -1;
}

// The archive of `registration` in `dir`, once it has its final name.
bool ArchiveOf(const fs::path& dir, const std::string& registration) {
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (name.rfind(registration, 0) == 0 && e.path().extension() == ".sve") return true;
    }
    return false;
}

struct ResultE {
    std::vector<double> idleMs, duringEraseMs;
    int erased = 0, failed = 0;
};

ResultE PartE(const Options& o) {
    ResultE r;
    Scratch dir("erase");
    WriteFleetTable(dir.path, o.vehicles, true);
    int port = 0;
    const pid_t server = StartBenchServer(dir.path, {"--reads-on", "1"}, port);
    const UnitMemory memory = UnitMemory::Generated(1023);
    for (int run = 0; run < o.runs; ++run) {
        r.idleMs.push_back(StoreDelayMs(port, 10 + run, run));
        const int reader = o.bigTable + run;  // not in the table: due for a read
        DownloadSession session;
        std::thread unit([&] {
            try {
                SimulatedUnit link("127.0.0.1", port);
                link.SendPosition(Record(reader, run));
                session = ServeDownload(link, memory, 5min);
            } catch (const std::exception&) {
            }
        });
        // The archive is written just before the erase pause begins.
        const auto end = Clock::now() + 120s;
        while (!ArchiveOf(dir.path, Registration(reader)) && Clock::now() < end) std::this_thread::sleep_for(5ms);
        if (Clock::now() < end) {
            std::this_thread::sleep_for(2s);
            r.duringEraseMs.push_back(StoreDelayMs(port, 20 + run, 100 + run));
        } else {
            ++r.failed;
        }
        unit.join();
        if (session.eraseLastPage) ++r.erased;
    }
    KillBenchServer(server);
    return r;
}

// Archives (.sve) in `dir`: how many, and how many are whole ZIP files whose one entry
// SOURCE holds `image`.
std::pair<int, int> CheckArchives(const fs::path& dir, const Bytes& image) {
    int files = 0, whole = 0;
    for (const auto& e : fs::directory_iterator(dir)) {
        if (e.path().extension() != ".sve") continue;
        ++files;
#ifdef SERWER_HAVE_LIBZIP
        int error = 0;
        zip_t* z = zip_open(e.path().c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
        if (!z) continue;
        Bytes content;
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_get_num_entries(z, 0) == 1 && zip_stat_index(z, 0, 0, &st) == 0 && std::string(st.name) == "SOURCE")
            if (zip_file_t* f = zip_fopen_index(z, 0, 0)) {
                char buffer[65536];
                zip_int64_t n;
                while ((n = zip_fread(f, buffer, sizeof buffer)) > 0)
                    content.append(buffer, static_cast<std::size_t>(n));
                if (n < 0) content.clear();
                zip_fclose(f);
            }
        zip_close(z);
        if (content == image) ++whole;
#else
        if (bench::ReadWholeFile(e.path()).substr(0, 4) == std::string("PK\x03\x04", 4)) ++whole;
#endif
    }
    return {files, whole};
}

struct ResultF {
    int asked = 0, erased = 0, withRepeats = 0, readFailures = 0, archives = 0, wholeArchives = 0;
    int positionsStored = 0, positionFailures = 0;
    std::vector<double> delaysMs, delaysDuringReadsMs;  // the second: sent before the last read ended
    double readsSeconds = 0, positionsSeconds = 0;
};

ResultF PartF(const Options& o) {
    ResultF r;
    Scratch dir("reads");
    WriteFleetTable(dir.path, o.vehicles, true);
    int port = 0;
    const pid_t server =
        StartBenchServer(dir.path, {"--reads-on", "1", "--erase-pause", "1000", "--repeat-pre-wait", "1000"}, port);
    const UnitMemory clean = UnitMemory::Generated(1023);
    UnitMemory broken = clean;
    broken.damagedPages = {137, 801};

    std::vector<DownloadSession> sessions(static_cast<std::size_t>(o.reads));
    std::vector<Clock::time_point> readEnds(static_cast<std::size_t>(o.reads));
    std::atomic<int> readFailures{0};
    std::vector<std::thread> readers;
    const auto start = Clock::now();
    for (int k = 0; k < o.reads; ++k)
        readers.emplace_back([&, k] {
            try {
                SimulatedUnit link("127.0.0.1", port);
                link.SendPosition(Record(o.bigTable + k, k));  // not in the table: due
                sessions[static_cast<std::size_t>(k)] = ServeDownload(link, k < o.damagedReads ? broken : clean, 15min);
            } catch (const std::exception&) {
                ++readFailures;
            }
            readEnds[static_cast<std::size_t>(k)] = Clock::now();
        });

    UnitSockets sockets(port);
    for (int i = 0; i < o.readPositions; ++i) {
        const auto at = start + 1s + 10s * i / o.readPositions;
        while (Clock::now() < at)
            sockets.Poll(
                static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(at - Clock::now()).count()));
        const int unit = sockets.Connect(true);
        sockets.Send(unit, StuffBytes(Record(i % o.vehicles, 1000 + i)));
    }
    sockets.PollUntil([&] { return sockets.Closed() + sockets.Failed() >= o.readPositions; }, 15min);
    for (auto& t : readers) t.join();
    KillBenchServer(server);

    const Clock::time_point lastReadEnd = *std::max_element(readEnds.begin(), readEnds.end());
    r.readsSeconds = bench::Seconds(lastReadEnd - start);
    for (const auto& u : sockets.Units()) {
        if (!u.closed || !u.sent) continue;
        const double ms = bench::Seconds(u.closedAt - u.sentAt) * 1000;
        r.delaysMs.push_back(ms);
        if (u.sentAt < lastReadEnd) r.delaysDuringReadsMs.push_back(ms);
        r.positionsSeconds = std::max(r.positionsSeconds, bench::Seconds(u.closedAt - start));
    }
    r.positionsStored = sockets.Closed();
    r.positionFailures = sockets.Failed();
    for (const auto& s : sessions) {
        r.asked += s.dumpRequested;
        r.erased += s.eraseLastPage.has_value();
        r.withRepeats += !s.repeatsAsked.empty();
    }
    r.readFailures = readFailures;
    Bytes image;
    for (const Bytes& page : clean.pages) image += page;
    std::tie(r.archives, r.wholeArchives) = CheckArchives(dir.path, image);
    return r;
}

// TcpExt ListenOverflows and ListenDrops of this network namespace.
std::pair<long, long> ListenCounters() {
    std::ifstream in("/proc/net/netstat");
    std::string names, values;
    while (std::getline(in, names) && std::getline(in, values))
        if (names.rfind("TcpExt:", 0) == 0) break;
    std::istringstream n(names), v(values);
    std::string name, value;
    long overflows = -1, drops = -1;
    while (n >> name && v >> value) {
        if (name == "ListenOverflows") overflows = std::stol(value);
        if (name == "ListenDrops") drops = std::stol(value);
    }
    return {overflows, drops};
}

struct ConnectRun {
    double clientSeconds = -1, serverSeconds = -1;
    long overflows = 0, drops = 0;
    int failed = 0, serverCount = 0;
};

ConnectRun ConnectBurst(int units) {
    ConnectRun r;
    Scratch dir("connect");
    int port = 0;
    const pid_t server = StartBenchServer(dir.path, {"--report-open", std::to_string(units)}, port);
    const auto before = ListenCounters();
    UnitSockets sockets(port);
    const auto start = Clock::now();
    for (int i = 0; i < units; ++i) sockets.Connect(false);
    if (sockets.PollUntil([&] { return sockets.Connected() + sockets.Failed() >= units; }, 180s)) {
        Clock::time_point last{};
        for (const auto& u : sockets.Units())
            if (u.connected) last = std::max(last, u.connectedAt);
        r.clientSeconds = bench::Seconds(last - start);
    }
    // A connect whose handshake the server dropped (full queue) is retried by the server
    // for about a minute at most; the units send nothing that could retry it.
    if (const auto all = WaitForStamp(dir.path, "all open at ", 70s)) {
        r.serverSeconds = bench::Seconds(*all - start);
        r.serverCount = units;
    } else {
        const std::string out = bench::ReadWholeFile(dir.path / "stdout.txt");
        const auto at = out.rfind("\nopen ");
        if (at != std::string::npos) r.serverCount = std::stoi(out.substr(at + 6));
    }
    const auto after = ListenCounters();
    r.overflows = after.first - before.first;
    r.drops = after.second - before.second;
    r.failed = sockets.Failed();
    KillBenchServer(server);
    return r;
}

std::string FirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string Runs(const std::vector<double>& v, const char* format) {
    std::string s;
    char buffer[64];
    for (double x : v)
        std::snprintf(buffer, sizeof buffer, format, x), s += (s.empty() ? "" : " ") + std::string(buffer);
    return "(runs: " + s + ")";
}

void PrintPartD(const Options& o) {
    for (int rows : {o.vehicles, o.bigTable}) {
        std::vector<double> rates, saves, products;
        for (int run = 0; run < o.runs; ++run) {
            const BurstRun b = StoreBurst(rows, o.burst, 1 + run * o.burst);
            if (b.stored < o.burst || b.failed)
                std::printf("(d) run %d, %d rows: FAILED, %d of %d stored, %d sockets failed\n", run + 1, rows,
                            b.stored, o.burst, b.failed);
            else
                rates.push_back(b.rate), saves.push_back(b.saveMs), products.push_back(b.rate * b.saveMs / 1000);
            std::printf("(d) run %d, %d rows: %.0f stored/s (sends took %.3f s), save %.2f ms\n", run + 1, rows, b.rate,
                        b.sendSeconds, b.saveMs);
            std::fflush(stdout);
        }
        std::printf("(d) %d-row table, %d units sending together:\n", rows, o.burst);
        std::printf("    %-58s %.0f  %s\n", "positions stored per second (median)", bench::Median(rates),
                    Runs(rates, "%.0f").c_str());
        std::printf("    %-58s %.2f ms  %s\n", "SaveVehicleFile of the table (median of 25 per run)",
                    bench::Median(saves), Runs(saves, "%.2f").c_str());
        std::printf("    %-58s %.2f  %s\n", "positions/s x save time", bench::Median(products),
                    Runs(products, "%.2f").c_str());
        std::fflush(stdout);
    }
}

void PrintPartH(const Options& o) {
    std::vector<double> off, on, rows, ratios;
    for (int run = 0; run < o.historyRuns; ++run) {
        double rate[2] = {0, 0};
        bool ok = true;
        for (int k = 0; k < 2; ++k) {
            const bool history = (run % 2 == 0) == (k == 1);  // off-on, on-off, ...
            const BurstRun b = StoreBurst(o.bigTable, o.burst, 1 + (2 * run + k) * o.burst, history);
            const bool failed = b.stored < o.burst || b.failed || (history && b.historyRows < b.stored);
            std::printf("(h) run %d, history %-3s: %.0f stored/s in %.3f s (sends took %.3f s)", run + 1,
                        history ? "on" : "off", b.rate, b.seconds, b.sendSeconds);
            if (history)
                std::printf(", %lld history rows written (%.0f/s), %lld lost", b.historyRows,
                            b.seconds > 0 ? b.historyRows / b.seconds : 0.0, b.historyLost);
            std::printf("%s\n", failed ? "  FAILED" : "");
            std::fflush(stdout);
            if (failed) {
                ok = false;
                continue;
            }
            rate[history ? 1 : 0] = b.rate;
            (history ? on : off).push_back(b.rate);
            if (history) rows.push_back(b.historyRows / b.seconds);
        }
        if (ok) ratios.push_back(rate[1] / rate[0]);
    }
    std::printf("(h) %d-row table, %d units sending together, history off / on alternating:\n", o.bigTable, o.burst);
    std::printf("    %-58s %.0f  %s\n", "positions stored per second, history off (median)", bench::Median(off),
                Runs(off, "%.0f").c_str());
    std::printf("    %-58s %.0f  %s\n", "positions stored per second, history on (median)", bench::Median(on),
                Runs(on, "%.0f").c_str());
    std::printf("    %-58s %.0f  %s\n", "history rows written per second (median)", bench::Median(rows),
                Runs(rows, "%.0f").c_str());
    std::printf("    %-58s %.2f\n", "on / off, ratio of the medians",
                bench::Median(off) > 0 ? bench::Median(on) / bench::Median(off) : 0.0);
    std::printf("    %-58s %.2f  %s\n", "on / off within each pair (median)", bench::Median(ratios),
                Runs(ratios, "%.2f").c_str());
    std::fflush(stdout);
}

void PrintPartE(const Options& o) {
    const ResultE e = PartE(o);
    std::printf("(e) %-58s %.0f s\n", "erase pause (the default)", bench::Seconds(DownloadTimings{}.erasePause));
    std::printf("    %-58s %.1f ms  %s\n", "position connect to close, no read going on (median)",
                bench::Median(e.idleMs), Runs(e.idleMs, "%.1f").c_str());
    std::printf("    %-58s %.1f ms  %s\n", "position connect to close, a read in its erase pause",
                bench::Median(e.duringEraseMs), Runs(e.duringEraseMs, "%.1f").c_str());
    std::printf("    %-58s %d of %d (%d without an archive in 120 s)\n", "reads erased", e.erased, o.runs, e.failed);
    std::fflush(stdout);
}

void PrintPartF(const Options& o) {
    const ResultF f = PartF(o);
    std::printf(
        "(f) %d reads at once (%d with 2 damaged pages), %d positions over 10 s; erase pause and\n"
        "    wait before a repeat request 1 s\n",
        o.reads, o.damagedReads, o.readPositions);
    std::printf("    %-58s %d asked, %d with repeats, %d erased, %d failed\n", "reads", f.asked, f.withRepeats,
                f.erased, f.readFailures);
    std::printf("    %-58s %d files, %d whole and equal to the memory\n", "archives (.sve)", f.archives,
                f.wholeArchives);
    std::printf("    %-58s %d of %d (%d sockets failed)\n", "positions stored (closed by the server)",
                f.positionsStored, o.readPositions, f.positionFailures);
    std::printf("    %-58s %.1f / %.1f / %.1f ms\n", "position send to close: p50 / p99 / max",
                bench::Median(f.delaysMs), bench::Quantile(f.delaysMs, 0.99), bench::Max(f.delaysMs));
    std::printf("    %-58s %zu: %.1f / %.1f / %.1f ms\n", "  of those sent before the last read ended",
                f.delaysDuringReadsMs.size(), bench::Median(f.delaysDuringReadsMs),
                bench::Quantile(f.delaysDuringReadsMs, 0.99), bench::Max(f.delaysDuringReadsMs));
    std::printf("    %-58s %.1f s / %.1f s\n", "last read ended / last position stored, after the start",
                f.readsSeconds, f.positionsSeconds);
    std::fflush(stdout);
}

void PrintPartG(const Options& o) {
    std::printf("(g) net.core.somaxconn %s, net.ipv4.tcp_max_syn_backlog %s\n",
                FirstLine("/proc/sys/net/core/somaxconn").c_str(),
                FirstLine("/proc/sys/net/ipv4/tcp_max_syn_backlog").c_str());
    std::fflush(stdout);
    std::vector<double> client, server, overflows;
    for (int run = 0; run < o.runs; ++run) {
        const ConnectRun c = ConnectBurst(o.connects);
        std::printf(
            "(g) run %d: all connects completed %.3f s, server counts all open %.3f s (%d open), "
            "ListenOverflows +%ld, ListenDrops +%ld, %d connects failed\n",
            run + 1, c.clientSeconds, c.serverSeconds, c.serverCount, c.overflows, c.drops, c.failed);
        std::fflush(stdout);
        client.push_back(c.clientSeconds), overflows.push_back(static_cast<double>(c.overflows));
        if (c.serverSeconds >= 0) server.push_back(c.serverSeconds);
    }
    std::printf("(g) %d units connecting at once:\n", o.connects);
    std::printf("    %-58s %.3f s  %s\n", "every connect completed (median)", bench::Median(client),
                Runs(client, "%.3f").c_str());
    if (static_cast<int>(server.size()) == o.runs)
        std::printf("    %-58s %.3f s  %s\n", "the server counts all open (median)", bench::Median(server),
                    Runs(server, "%.3f").c_str());
    else
        std::printf("    %-58s in %zu of %d runs  %s\n", "the server counted all open", server.size(), o.runs,
                    Runs(server, "%.3f").c_str());
    std::printf("    %-58s %.0f  %s\n", "ListenOverflows increase (median)", bench::Median(overflows),
                Runs(overflows, "%.0f").c_str());
    std::fflush(stdout);
}


// (s): one sustained run against `program` (a bench_scale to start with --serve).
struct SustainedRun {
    int sent = 0, stored = 0, lost = 0, failed = 0;
    int closedEarly = 0;  // of the lost: closed before the closing wait was over (the others never were)
    double writtenPerPosition = 0, savesPerSecond = 0, cpuUsPerPosition = 0, p50 = 0, p99 = 0;
    // The CPU per position of the steady middle of the run: from 20 s after the first
    // send (every connection thread the rate needs is there by then) to 5 s before the
    // last, over the positions sent in between.
    double steadyCpuUsPerPosition = 0;
    double saveSeconds = 0;  // the time the saves were counted over
    long long historyWrites = -1, historyLost = -1, historyRows = -1;
};

// utime + stime of a process, in seconds; write_bytes of its /proc/<pid>/io.
double CpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    const auto close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long user = 0, system = 0;
    for (int k = 3; fields >> field; ++k) {
        if (k == 14) user = std::stoull(field);
        if (k == 15) {
            system = std::stoull(field);
            break;
        }
    }
    return double(user + system) / double(::sysconf(_SC_CLK_TCK));
}

long long WriteBytes(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/io");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("write_bytes:", 0) == 0) return std::stoll(line.substr(12));
    return -1;
}

// Counts the saves of Aktualne.txt in `dir` (its renames into place) on a thread of its own.
class SaveCounter {
public:
    explicit SaveCounter(const fs::path& dir) : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        ::inotify_add_watch(fd_, dir.c_str(), IN_MOVED_TO);
        thread_ = std::thread([this] {
            alignas(inotify_event) char buffer[65536];
            while (!stop_) {
                pollfd p{fd_, POLLIN, 0};
                if (::poll(&p, 1, 50) <= 0) continue;
                const ssize_t n = ::read(fd_, buffer, sizeof buffer);
                for (ssize_t at = 0; at < n;) {
                    const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
                    if (e->len && std::strcmp(e->name, "Aktualne.txt") == 0) ++saves_;
                    at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
                }
            }
        });
    }
    ~SaveCounter() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    long long Saves() const { return saves_.load(); }

private:
    int fd_;
    std::atomic<bool> stop_{false};
    std::atomic<long long> saves_{0};
    std::thread thread_;
};

// One client of a sustained run: sends unit i (for every i = k modulo `clients`) at
// start + i / rate, from 127.0.0.1 to 127.0.0.8 in turn, then waits for the closes;
// `sendingDone` is called once the last unit is sent. The send-to-close delays, in s.
struct ClientResult {
    int sent = 0, failed = 0;
    std::vector<double> delays;
};

ClientResult SendUnits(int port, const std::vector<Bytes>& frames, int rate, Clock::time_point start, int k,
                       int clients, const std::function<void()>& sendingDone = {}) {
    UnitSockets sockets(port);
    const int units = static_cast<int>(frames.size());
    int mine = 0;
    for (int i = k; i < units;) {
        const auto due = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(double(i) / rate));
        if (Clock::now() < due) {
            sockets.Poll(1);
            continue;
        }
        const int unit = sockets.Connect(true, 1 + i % 8);
        sockets.Send(unit, frames[static_cast<std::size_t>(i)]);
        i += clients;
        if (++mine % 32 == 0) sockets.Poll(0);
    }
    if (sendingDone) sendingDone();
    sockets.PollUntil([&] { return sockets.Closed() + sockets.Failed() >= mine; }, 60s);
    ClientResult c;
    for (const auto& u : sockets.Units())
        if (u.sent && u.closed) c.delays.push_back(bench::Seconds(u.closedAt - u.sentAt));
    c.sent = sockets.Sent();
    c.failed = sockets.Failed();
    return c;
}

SustainedRun RunSustained(const fs::path& program, int vehicles, int rate, int seconds, int firstSeq, int zones) {
    SustainedRun r;
    Scratch dir("sustained");
    WriteFleetTable(dir.path, vehicles);
    std::vector<std::string> serve{program.string(), "--serve", "10000", "--history", "1"};
    if (zones > 0) serve.insert(serve.end(), {"--events", std::to_string(zones)});
    const pid_t server = bench::Spawn(dir.path, serve);
    const int port = bench::WaitForPort(dir.path, "bench server listening on port ");
    {
        // The month's history file open and its table made, as on a server that has run a while.
        SimulatedUnit warmUp("127.0.0.1", port);
        warmUp.SendPosition(Record(vehicles - 1, firstSeq - 1));
        warmUp.WaitForClose(60s);
    }
    const int units = rate * seconds;
    std::vector<Bytes> frames;
    for (int i = 0; i < units; ++i) frames.push_back(StuffBytes(Record(i % vehicles, firstSeq + i)));
    // A client process holds at most about 12,000 units at once (each unit is held open
    // about 11 s and a process has 20,000 descriptors), so faster runs spread their
    // units over several client processes, every one keeping the common schedule.
    const int clients = std::max(1, (rate * 11 + 11999) / 12000);
    const auto start = Clock::now() + 500ms;
    std::vector<pid_t> children;
    for (int k = 1; k < clients; ++k) {
        const pid_t child = ::fork();
        if (child == 0) {
            const ClientResult c = SendUnits(port, frames, rate, start, k, clients);
            std::ofstream out(dir.path / ("client" + std::to_string(k) + ".txt"));
            out << c.sent << ' ' << c.failed << '\n';
            for (double d : c.delays) out << d << '\n';
            out.close();
            _exit(0);
        }
        children.push_back(child);
    }
    SaveCounter saves(dir.path);
    std::thread steady([&] {
        if (seconds < 30) return;
        const auto from = start + 20s, to = start + std::chrono::seconds(seconds - 5);
        std::this_thread::sleep_until(from);
        const double cpuFrom = CpuSeconds(server);
        std::this_thread::sleep_until(to);
        r.steadyCpuUsPerPosition = (CpuSeconds(server) - cpuFrom) * 1e6 / (double(rate) * (seconds - 25));
    });
    const double cpuBefore = CpuSeconds(server);
    const long long writtenBefore = WriteBytes(server);
    ClientResult all = SendUnits(port, frames, rate, start, 0, clients, [&] {
        r.saveSeconds = bench::Seconds(Clock::now() - start);
        r.savesPerSecond = double(saves.Saves()) / r.saveSeconds;
    });
    for (std::size_t k = 0; k < children.size(); ++k) {
        bench::WaitExit(children[k], 120s);
        std::ifstream in(dir.path / ("client" + std::to_string(k + 1) + ".txt"));
        int sent = 0, failed = 0;
        in >> sent >> failed;
        all.sent += sent;
        all.failed += failed;
        for (double d; in >> d;) all.delays.push_back(d);
    }
    r.cpuUsPerPosition = (CpuSeconds(server) - cpuBefore) * 1e6 / units;
    steady.join();
    const long long written = WriteBytes(server) - writtenBefore;
    r.writtenPerPosition = double(written) / units;
    for (double d : all.delays) {
        if (d >= 9.9) ++r.stored;
        else ++r.closedEarly;
    }
    r.p50 = bench::Quantile(all.delays, 0.5);
    r.p99 = bench::Quantile(all.delays, 0.99);
    r.sent = all.sent;
    r.failed = all.failed;
    ::kill(server, SIGTERM);
    if (bench::WaitExit(server, 30s) == -1) KillBenchServer(server);
    const std::string out = bench::ReadWholeFile(dir.path / "stdout.txt");
    const auto at = out.find("history rows written ");
    long long rows = -1;
    if (at != std::string::npos)
        std::sscanf(out.c_str() + at + 21, "%lld lost %lld writes %lld", &rows, &r.historyLost, &r.historyWrites);
    r.lost = units - r.stored;
    r.historyRows = rows < 0 ? -1 : rows - 1;  // less the warm-up's row
    return r;
}

void PrintPartS(const Options& o, int argc, char** argv) {
    std::string rates = "167,1000,1800", baseline;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--rates") == 0) rates = argv[i + 1];
        if (std::strcmp(argv[i], "--baseline") == 0) baseline = argv[i + 1];
    }
    const int seconds = IntOption(argc, argv, "--seconds", 60);
    const int runs = IntOption(argc, argv, "--sustained-runs", 1);
    // --events N adds this build with the detectors on and N zones.
    const int zones = IntOption(argc, argv, "--events", 0);
    std::vector<std::pair<std::string, fs::path>> programs;
    if (!baseline.empty()) programs.emplace_back("baseline", fs::path(baseline) / "bench_scale");
    programs.emplace_back("this build", bench::ExecutableDirectory() / "bench_scale");
    if (zones > 0) programs.emplace_back("with events", bench::ExecutableDirectory() / "bench_scale");
    int seq = 1000000;
    std::istringstream list(rates);
    for (std::string item; std::getline(list, item, ',');) {
        const int rate = std::atoi(item.c_str());
        std::map<std::string, std::vector<SustainedRun>> results;
        for (int run = 0; run < runs; ++run)
            for (std::size_t k = 0; k < programs.size(); ++k) {
                const auto& [name, program] = programs[(k + static_cast<std::size_t>(run)) % programs.size()];
                const SustainedRun s =
                    RunSustained(program, o.bigTable, rate, seconds, seq, name == "with events" ? zones : 0);
                seq += rate * seconds + 1;
                results[name].push_back(s);
                std::printf("(s) %d/s, %s, run %d: %d sent, %d stored, %d lost (%d closed early), %d failed, %.1f KiB written/position, "
                            "%.2f saves/s, %lld history rows in %lld writes (%lld rows lost), %.0f us CPU/position (steady %.0f), close p50 %.3f s p99 %.3f s\n",
                            rate, name.c_str(), run + 1, s.sent, s.stored, s.lost, s.closedEarly, s.failed,
                            s.writtenPerPosition / 1024, s.savesPerSecond, s.historyRows, s.historyWrites, s.historyLost, s.cpuUsPerPosition,
                            s.steadyCpuUsPerPosition, s.p50, s.p99);
                std::fflush(stdout);
            }
        std::printf("(s) %d vehicles, %d positions/s for %d s, each held for the 10 s closing wait (medians):\n",
                    o.bigTable, rate, seconds);
        std::printf("    %-40s", "");
        for (const auto& [name, program] : programs) std::printf(" %14s", name.c_str());
        std::printf("\n");
        const auto row = [&](const char* label, auto value, const char* format) {
            std::printf("    %-40s", label);
            for (const auto& [name, program] : programs) {
                std::vector<double> v;
                for (const SustainedRun& s : results[name]) v.push_back(value(s));
                std::printf(format, bench::Median(v));
            }
            std::printf("\n");
        };
        row("positions stored", [](const SustainedRun& s) { return double(s.stored); }, " %14.0f");
        row("positions lost", [](const SustainedRun& s) { return double(s.lost); }, " %14.0f");
        row("disk written per position (KiB)", [](const SustainedRun& s) { return s.writtenPerPosition / 1024; },
            " %14.1f");
        row("table saves per second", [](const SustainedRun& s) { return s.savesPerSecond; }, " %14.2f");
        row("history writes per second", [](const SustainedRun& s) { return double(s.historyWrites) / s.saveSeconds; },
            " %14.2f");
        row("server CPU per position (us)", [](const SustainedRun& s) { return s.cpuUsPerPosition; }, " %14.0f");
        row("  of the steady middle (us)", [](const SustainedRun& s) { return s.steadyCpuUsPerPosition; }, " %14.0f");
        row("send to close p50 (s)", [](const SustainedRun& s) { return s.p50; }, " %14.3f");
        row("send to close p99 (s)", [](const SustainedRun& s) { return s.p99; }, " %14.3f");
        std::fflush(stdout);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--serve") == 0) return Serve(argc, argv);
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
    o.runs = IntOption(argc, argv, "--runs", o.runs);
    o.burst = IntOption(argc, argv, "--burst", o.burst);
    o.bigTable = IntOption(argc, argv, "--big-table", o.bigTable);
    o.reads = IntOption(argc, argv, "--reads", o.reads);
    o.damagedReads = IntOption(argc, argv, "--damaged-reads", o.damagedReads);
    o.readPositions = IntOption(argc, argv, "--read-positions", o.readPositions);
    o.connects = IntOption(argc, argv, "--connects", o.connects);
    o.historyRuns = IntOption(argc, argv, "--history-runs", o.historyRuns);
    std::printf("bench_scale (%s): descriptor limit %ld, %d vehicles in the table\n",
                bench::ExecutableDirectory().c_str(), limit, o.vehicles);
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

    if (a || b || c) std::printf("\n%-62s %s\n", "measure", "value");
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
    std::fflush(stdout);
    if (o.parts.find('d') != std::string::npos) PrintPartD(o);
    if (o.parts.find('e') != std::string::npos) PrintPartE(o);
    if (o.parts.find('f') != std::string::npos) PrintPartF(o);
    if (o.parts.find('g') != std::string::npos) PrintPartG(o);
    if (o.parts.find('h') != std::string::npos) PrintPartH(o);
    if (o.parts.find('s') != std::string::npos) PrintPartS(o, argc, argv);
    return 0;
}

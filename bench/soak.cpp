// Soak run: a fleet of simulated units against a real serwerd for a chosen time, then
// a check that everything sent was stored and every memory read was archived.
//
// serwerd is copied alone into a scratch directory with a serwer.ini beside it
// (Odpytywac=1, Godzina=-1: no daily read hour, so a vehicle is read when its read is
// pending) and started there. Aktualne.txt is prepared as a server that has run before
// would have it: every vehicle has a row; most were read today (never due again in
// this run); a share of them (--read-share) have a read pending whose last attempt
// lies almost an hour back, so each becomes due at its own moment, one every
// --read-every seconds, spread over the run. Of the read vehicles, --damaged-share of
// the fleet send two pages with a bad checksum, which the server asks for again.
// --all-due instead gives every vehicle a read pending from the start, as when the
// whole fleet becomes due at the same read hour.
//
// Each unit sends a position every 2 to 5 s (random; --interval) on a new connection and keeps
// that connection until the server closes it (after its 10 s closing wait) or, when
// the server asks for the memory, serves the read to the end (dump, repeats, erase
// confirmation). Connections of one unit overlap, as they do when a unit reports more
// often than the closing wait. Every position carries the unit's own sequence number
// as its speed (hundredths of km/h) and as the minutes of its fix time, so each one
// can be recognised in the logs and in the table.
//
// At the end the units stop, every open connection is let finish, then each unit
// sends one last position after a quiet moment; serwerd gets SIGTERM. The report:
// positions sent and stored (stringi.txt holds every frame received, <reg>log.txt one
// "nrrej :" line per frame, lock.txt one lock section per stored position, and each
// vehicle's row in Aktualne.txt must hold its last position), reads completed (.sve
// files opened as ZIP archives and compared with the unit's memory), reads with page
// repeats, and serwerd's resident memory at start, peak and end.
//
// Usage: soak (--minutes N | --seconds N) [--units 200] [--read-share 0.2]
//             [--damaged-share 0.1] [--read-every 45] [--interval 2-5]
//             [--abort-open 2500] [--drain-minutes 10] [--all-due] [--keep]
// --interval MIN-MAX: seconds between two positions of a unit (random in the range).
//
// A server that stops keeping up leaves the units' connections open in ever greater
// numbers; past --abort-open open connections the units stop sending (the run is
// reported as cut short), and connections still open --drain-minutes after the end
// are given up: serwerd is then killed and what it had stored is checked.

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#ifdef SERWER_HAVE_LIBZIP
#include <zip.h>
#endif

#include "BenchProcess.hpp"
#include "common/DateTime.hpp"
#include "common/DecimalSeparator.hpp"
#include "link/PositionRecord.hpp"
#include "unitsim/PositionRecordBuilder.hpp"
#include "unitsim/SimulatedUnit.hpp"
#include "unitsim/UnitMemory.hpp"
#include "vehicles/VehicleFile.hpp"
#include "vehicles/VehicleRow.hpp"
#include "vehicles/VehicleTable.hpp"

using namespace serwer;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using bench::Clock;

namespace {

struct Options {
    double seconds = 60;
    int units = 200;
    double readShare = 0.2;
    double damagedShare = 0.1;
    int readEvery = 45;
    int pauseMinMs = 2000, pauseMaxMs = 5000;  // between two positions of a unit
    bool keep = false;
    long abortOpen = 2500;  // more open connections than this ends the sending early
    int drainMinutes = 10;  // how long the connections open at the end may take
    bool allDue = false;    // every vehicle's read pending from the start
};

struct Unit {
    int index = 0;
    std::string registration;
    bool readPending = false;  // a read falls due during the run
    bool damaged = false;      // its reads carry damaged pages
    double readDueAt = 0;      // seconds after the start
    std::mutex mutex;
    std::vector<Bytes> sent;  // every record sent, in order
    int seq = 0;
};

struct Stats {
    std::atomic<long> sent{0}, connectFailures{0}, sendFailures{0}, serveFailures{0}, open{0}, openPeak{0};
    std::atomic<long> readsAsked{0}, readsErased{0}, readsWithRepeats{0}, repeatsAsked{0}, notClosed{0};
    std::mutex mutex;
    std::condition_variable allClosed;
    std::vector<double> plainSeconds;  // send to close, connections without a read
    std::vector<double> readSeconds;   // send to hang-up, connections with a read
    std::map<std::string, int> readsPerUnit, repeatsPerUnit;
};

// The fix time of a unit's n-th position: the run's start (UTC, whole minute) plus n
// minutes, so every position of a unit has its own.
PositionOptions PositionOf(const Unit& unit, int seq, std::time_t startUtc) {
    PositionOptions o = SamplePosition(unit.registration);
    o.ownerCode = ParseOwnerCode("0A0B0C0D0E0F1011");
    const std::time_t t = startUtc - startUtc % 60 + static_cast<std::time_t>(seq) * 60;
    std::tm tm{};
    gmtime_r(&t, &tm);
    o.year = tm.tm_year + 1900, o.month = tm.tm_mon + 1, o.day = tm.tm_mday, o.hour = tm.tm_hour, o.minute = tm.tm_min;
    o.latitude = {52, 10 + unit.index % 40, seq % 1000};
    o.longitude = {21, 5, (seq * 7) % 1000};
    o.speedHundredths = seq;
    o.engine = seq % 2 == 0;
    o.input1 = false;
    o.fuelReading = static_cast<unsigned char>(seq % 200);
    o.odometerHundredsKm = seq % 9999;
    return o;
}

// One connection: send the position, then do what the server asks until it closes.
void RunConnection(Unit& unit, Bytes record, int port, const UnitMemory& memory, Stats& stats) {
    const auto start = Clock::now();
    enum { Connecting, Sending, Serving } phase = Connecting;
    try {
        SimulatedUnit link("127.0.0.1", port);
        phase = Sending;
        link.SendPosition(record);
        phase = Serving;
        {
            std::lock_guard<std::mutex> lock(unit.mutex);
            unit.sent.push_back(record);
        }
        ++stats.sent;
        const DownloadSession s = ServeDownload(link, memory, 40min);
        const double seconds = bench::Seconds(Clock::now() - start);
        std::lock_guard<std::mutex> lock(stats.mutex);
        if (s.dumpRequested) {
            ++stats.readsAsked;
            stats.readSeconds.push_back(seconds);
            ++stats.readsPerUnit[unit.registration];
            if (s.eraseLastPage) ++stats.readsErased;
            if (!s.repeatsAsked.empty()) ++stats.readsWithRepeats;
            stats.repeatsAsked += static_cast<long>(s.repeatsAsked.size());
            if (!s.repeatsAsked.empty())
                stats.repeatsPerUnit[unit.registration] += static_cast<int>(s.repeatsAsked.size());
        } else {
            stats.plainSeconds.push_back(seconds);
        }
        if (!s.closedByServer && !s.hungUp) ++stats.notClosed;
    } catch (const std::exception&) {
        ++(phase == Connecting ? stats.connectFailures : phase == Sending ? stats.sendFailures : stats.serveFailures);
    }
    std::lock_guard<std::mutex> lock(stats.mutex);
    if (--stats.open == 0) stats.allClosed.notify_all();
}

void Launch(Unit& unit, int port, std::time_t startUtc, const UnitMemory& memory, Stats& stats) {
    Bytes record;
    {
        std::lock_guard<std::mutex> lock(unit.mutex);
        record = BuildPositionRecord(PositionOf(unit, ++unit.seq, startUtc));
    }
    {
        std::lock_guard<std::mutex> lock(stats.mutex);
        const long now = ++stats.open;
        if (now > stats.openPeak) stats.openPeak = now;
    }
    bench::StartSmallThread(
        [&unit, record, port, &memory, &stats] { RunConnection(unit, record, port, memory, stats); });
}

bool WaitAllClosed(Stats& stats, std::chrono::seconds limit) {
    std::unique_lock<std::mutex> lock(stats.mutex);
    return stats.allClosed.wait_for(lock, limit, [&] { return stats.open.load() == 0; });
}

// The prepared table: every vehicle read today at the start, except those with a read
// pending, whose last attempt is placed so that the hour between attempts runs out at
// their moment in the run.
void WriteStartTable(const fs::path& dir, const std::vector<std::unique_ptr<Unit>>& units) {
    const DateTime now = DateTime::Now();
    VehicleTable table;
    for (const auto& u : units) {
        VehicleRow row;
        row.NAZWA = u->registration;
        row.LICENCJA = "0A0B0C0D0E0F1011";
        if (u->readPending) {
            row.PROBA_ODCZYTU = now.PlusMs(static_cast<std::int64_t>(u->readDueAt * 1000) - DateTime::kMsPerHour);
        } else {
            row.ODCZYT = now;
            row.PROBA_ODCZYTU = now;
            row.LICZNIK_ODCZYTOW = 1;
        }
        table.Append(std::move(row));
    }
    SaveVehicleFile(table, (dir / "Aktualne.txt").string());
}

std::size_t CountOf(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

// The frames in stringi.txt: each entry is "stamp LF stary string :<128 bytes> CR LF".
std::unordered_map<std::string, int> FramesReceived(const fs::path& dir, long& newForm, long& malformed) {
    const std::string all = bench::ReadWholeFile(dir / "stringi.txt");
    std::unordered_map<std::string, int> frames;
    static const std::string kOld = "\nstary string :", kNew = "\nnowy string :";
    newForm = static_cast<long>(CountOf(all, kNew));
    for (std::size_t at = all.find(kOld); at != std::string::npos; at = all.find(kOld, at + 1)) {
        const std::size_t from = at + kOld.size();
        if (from + kRecordSize + 2 > all.size() || all.compare(from + kRecordSize, 2, "\r\n") != 0) {
            ++malformed;
            continue;
        }
        ++frames[all.substr(from, kRecordSize)];
    }
    return frames;
}

struct ArchiveCheck {
    long files = 0, valid = 0, contentEqual = 0;
    std::vector<std::string> problems;
    std::map<std::string, int> perUnit;
};

ArchiveCheck CheckArchives(const fs::path& dir, const Bytes& expected) {
    ArchiveCheck c;
    for (const auto& e : fs::directory_iterator(dir)) {
        if (e.path().extension() != ".sve") continue;
        ++c.files;
        const std::string name = e.path().filename().string();
        // registration + "yyyy_mm_dd_hh_mm_ss" + ".sve"
        ++c.perUnit[name.substr(0, name.size() - std::strlen("yyyy_mm_dd_hh_mm_ss.sve"))];
#ifdef SERWER_HAVE_LIBZIP
        int error = 0;
        zip_t* z = zip_open(e.path().c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
        if (!z) {
            c.problems.push_back(name + ": not a ZIP archive (libzip error " + std::to_string(error) + ")");
            continue;
        }
        zip_stat_t st;
        zip_stat_init(&st);
        const bool one =
            zip_get_num_entries(z, 0) == 1 && zip_stat_index(z, 0, 0, &st) == 0 && std::string(st.name) == "SOURCE";
        Bytes content;
        if (one) {
            if (zip_file_t* f = zip_fopen_index(z, 0, 0)) {
                char buffer[65536];
                zip_int64_t n;
                while ((n = zip_fread(f, buffer, sizeof buffer)) > 0)
                    content.append(buffer, static_cast<std::size_t>(n));
                if (n < 0) content.clear();  // a CRC or inflate error
                zip_fclose(f);
            }
        }
        zip_close(z);
        if (!one || content.size() != st.size) {
            c.problems.push_back(name + ": not one readable entry SOURCE");
            continue;
        }
        ++c.valid;
        if (content == expected)
            ++c.contentEqual;
        else
            c.problems.push_back(name + ": the image differs from the unit's memory");
#else
        const std::string head = bench::ReadWholeFile(e.path()).substr(0, 4);
        if (head == std::string("PK\x03\x04", 4)) ++c.valid;
#endif
    }
    return c;
}

// What the handler writes into the row for this record.
struct ExpectedRow {
    std::string opis, predkosc, szerokosc, dlugosc;
    std::int32_t przebieg = 0;
};
ExpectedRow Expect(const Bytes& record, char separator) {
    return {FormatFixTime(DecodeFixTime(record)), FormatSpeed(DecodeSpeed(record), separator),
            DecodeLatitude(record, separator), DecodeLongitude(record, separator), DecodeOdometer(record) * 100};
}
bool RowHolds(const VehicleRow& row, const ExpectedRow& e) {
    return row.OPIS == e.opis && row.PREDKOSC == e.predkosc && row.SZEROKOSC == e.szerokosc &&
           row.DLUGOSC == e.dlugosc && row.PRZEBIEG == e.przebieg;
}

// How many vehicles' rows hold their last sent position (and how many an earlier one).
void CompareTable(const fs::path& dir, const std::vector<std::unique_ptr<Unit>>& units, char separator, int& equal,
                  int& earlier, int& other) {
    equal = earlier = other = 0;
    std::map<std::string, VehicleRow> rows;
    for (auto& r : ReadVehicleFile((dir / "Aktualne.txt").string()).rows)
        if (r.NAZWA) rows[*r.NAZWA] = r;
    for (const auto& u : units) {
        std::lock_guard<std::mutex> lock(u->mutex);
        const auto it = rows.find(u->registration);
        if (it == rows.end() || u->sent.empty()) {
            ++other;
            continue;
        }
        // The last one sent is the one with the highest sequence number.
        if (RowHolds(it->second, Expect(u->sent.back(), separator))) {
            ++equal;
            continue;
        }
        bool found = false;
        for (const Bytes& r : u->sent) found = found || RowHolds(it->second, Expect(r, separator));
        ++(found ? earlier : other);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    bool timeGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--minutes" && hasValue)
            o.seconds = 60 * std::atof(argv[++i]), timeGiven = true;
        else if (a == "--seconds" && hasValue)
            o.seconds = std::atof(argv[++i]), timeGiven = true;
        else if (a == "--units" && hasValue)
            o.units = std::atoi(argv[++i]);
        else if (a == "--read-share" && hasValue)
            o.readShare = std::atof(argv[++i]);
        else if (a == "--damaged-share" && hasValue)
            o.damagedShare = std::atof(argv[++i]);
        else if (a == "--read-every" && hasValue)
            o.readEvery = std::atoi(argv[++i]);
        else if (a == "--interval" && hasValue) {
            double lo = 0, hi = 0;
            if (std::sscanf(argv[++i], "%lf-%lf", &lo, &hi) != 2 || lo <= 0 || hi < lo) {
                std::fprintf(stderr, "soak: --interval wants MIN-MAX seconds, e.g. 2-5\n");
                return 2;
            }
            o.pauseMinMs = static_cast<int>(lo * 1000), o.pauseMaxMs = static_cast<int>(hi * 1000);
        } else if (a == "--abort-open" && hasValue)
            o.abortOpen = std::atol(argv[++i]);
        else if (a == "--drain-minutes" && hasValue)
            o.drainMinutes = std::atoi(argv[++i]);
        else if (a == "--keep")
            o.keep = true;
        else if (a == "--all-due")
            o.allDue = true;
        else {
            std::fprintf(stderr,
                         "usage: soak (--minutes N | --seconds N) [--units 200] [--read-share 0.2]\n"
                         "            [--damaged-share 0.1] [--read-every 45] [--interval 2-5]\n"
                         "            [--abort-open 2500] [--drain-minutes 10] [--all-due] [--keep]\n");
            return 2;
        }
    }
    if (!timeGiven || o.seconds <= 0 || o.units <= 0) {
        std::fprintf(stderr, "soak: give the run time with --minutes N or --seconds N\n");
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    const long descriptorLimit = bench::RaiseDescriptorLimit();
    const char separator = ReadDecimalSeparatorFromEnvironment();

    char pattern[] = "/tmp/serwer-soak-XXXXXX";
    if (!::mkdtemp(pattern)) return 1;
    const fs::path dir = pattern;

    // The fleet and its read plan.
    std::vector<std::unique_ptr<Unit>> units;
    for (int i = 0; i < o.units; ++i) {
        auto u = std::make_unique<Unit>();
        u->index = i;
        u->registration = "SK" + std::to_string(20000 + i);
        units.push_back(std::move(u));
    }
    const int wantedReads = static_cast<int>(o.readShare * o.units + 0.5);
    int reads = 0;
    while (reads < wantedReads && 15.0 + reads * o.readEvery <= o.seconds - 20) ++reads;
    if (o.allDue) reads = o.units;
    const int damaged = std::min(reads, static_cast<int>(o.damagedShare * o.units + 0.5));
    for (int k = 0; k < reads; ++k) {
        Unit& u = *units[static_cast<std::size_t>(k * o.units / std::max(1, reads))];
        u.readPending = true;
        u.readDueAt = o.allDue ? -1.0 : 15.0 + k * o.readEvery;
        u.damaged = damaged > 0 && (k * damaged) / reads != ((k + 1) * damaged) / reads;
    }
    UnitMemory clean = UnitMemory::Generated(1023);
    UnitMemory broken = clean;
    broken.damagedPages = {137, 801};
    Bytes expectedImage;
    for (const Bytes& page : clean.pages) expectedImage += page;

    WriteStartTable(dir, units);
    int port = 0;
    const pid_t server = bench::StartServerd(dir, "Port=0\nOdpytywac=1\nGodzina=-1\n", port);
    std::this_thread::sleep_for(1s);
    const long rssStart = bench::ResidentKiB(server);
    const double cpuStart = bench::ProcessorSeconds(server);

    const std::string readPlan =
        o.allDue ? "all due from the start" : "due one every " + std::to_string(o.readEvery) + " s from 15 s";
    std::printf("soak: %.0f s, %d units, positions every %.1f-%.1f s; %d reads %s, %d of them with 2 damaged pages\n",
                o.seconds, o.units, o.pauseMinMs / 1000.0, o.pauseMaxMs / 1000.0, reads, readPlan.c_str(), damaged);
    std::printf("soak: serwerd pid %d on port %d in %s; descriptor limit %ld; serwerd VmRSS at start %ld KiB\n",
                static_cast<int>(server), port, dir.c_str(), descriptorLimit, rssStart);
    std::fflush(stdout);

    Stats stats;
    std::atomic<bool> stop{false};
    const std::time_t startUtc = std::time(nullptr);
    const auto start = Clock::now();
    const auto end = start + std::chrono::milliseconds(static_cast<long>(o.seconds * 1000));

    // Memory sampler: every 2 s; a progress line every minute.
    std::atomic<long> rssPeak{rssStart}, threadsPeak{0};
    std::atomic<bool> cutShort{false};
    double cutAt = 0;
    std::atomic<bool> sampling{true};
    std::thread sampler([&] {
        bench::LockLogFollower lockLog(dir);
        long lastSections = 0;
        auto nextLine = start + 60s;
        double lastCpu = cpuStart;
        auto lastCpuAt = start;
        while (sampling) {
            std::this_thread::sleep_for(2s);
            const long rss = bench::ResidentKiB(server), threads = bench::ThreadCount(server);
            if (rss > rssPeak) rssPeak = rss;
            if (threads > threadsPeak) threadsPeak = threads;
            lockLog.Poll(0ms);
            if (!stop && stats.open > o.abortOpen) {
                cutAt = bench::Seconds(Clock::now() - start);
                cutShort = true;
                stop = true;
                std::printf("  %5.0f s: %ld connections open - the server does not keep up; the units stop sending\n",
                            cutAt, stats.open.load());
                std::fflush(stdout);
            }
            if (Clock::now() >= nextLine) {
                const double cpu = bench::ProcessorSeconds(server);
                std::printf(
                    "  %5.0f s: sent %ld, lock sections in the minute %ld, open connections %ld, reads asked %ld "
                    "(erased %ld), serwerd VmRSS %ld KiB, threads %ld, CPU %.0f%%\n",
                    bench::Seconds(Clock::now() - start), stats.sent.load(), lockLog.ExitLines() - lastSections,
                    stats.open.load(), stats.readsAsked.load(), stats.readsErased.load(), rss, threads,
                    100 * (cpu - lastCpu) / bench::Seconds(Clock::now() - lastCpuAt));
                std::fflush(stdout);
                lastCpu = cpu;
                lastCpuAt = Clock::now();
                lastSections = lockLog.ExitLines();
                nextLine += 60s;
            }
        }
    });

    // The units: a position every 2 to 5 s on a new connection.
    std::vector<std::thread> unitThreads;
    for (auto& up : units) {
        Unit* u = up.get();
        unitThreads.emplace_back([&, u] {
            std::mt19937 random(static_cast<unsigned>(u->index) * 7919u + 17u);
            std::uniform_int_distribution<int> pause(o.pauseMinMs, o.pauseMaxMs);
            auto next = start + std::chrono::milliseconds(random() % static_cast<unsigned>(o.pauseMaxMs));
            while (!stop) {
                while (!stop && Clock::now() < next)
                    std::this_thread::sleep_for(std::min<Clock::duration>(100ms, next - Clock::now()));
                if (stop || Clock::now() >= end) break;
                Launch(*u, port, startUtc, u->damaged ? broken : clean, stats);
                next += std::chrono::milliseconds(pause(random));
            }
        });
    }
    while (!stop && Clock::now() < end) std::this_thread::sleep_for(100ms);
    stop = true;
    for (auto& t : unitThreads) t.join();
    std::printf("soak: units stopped after %.0f s with %ld positions sent; letting %ld open connections finish\n",
                bench::Seconds(Clock::now() - start), stats.sent.load(), stats.open.load());
    std::fflush(stdout);
    const auto drainStart = Clock::now();
    const bool drained = WaitAllClosed(stats, std::chrono::minutes(o.drainMinutes));
    const double drainSeconds = bench::Seconds(Clock::now() - drainStart);
    const long sentInRun = stats.sent.load();  // final once every connection of the run has ended

    // The table after the run: rows against each unit's last position.
    int equal = 0, earlier = 0, other = 0;
    CompareTable(dir, units, separator, equal, earlier, other);

    // One last position of every unit, after the quiet moment.
    bool finalDrained = false;
    if (drained) {
        for (auto& u : units) Launch(*u, port, startUtc, u->damaged ? broken : clean, stats);
        finalDrained = WaitAllClosed(stats, std::chrono::minutes(o.drainMinutes));
    }
    int finalEqual = 0, finalEarlier = 0, finalOther = 0;
    CompareTable(dir, units, separator, finalEqual, finalEarlier, finalOther);

    std::this_thread::sleep_for(2s);
    sampling = false;
    sampler.join();
    const long rssEnd = bench::ResidentKiB(server);
    const long hwm = bench::PeakResidentKiB(server);
    const double cpuUsed = bench::ProcessorSeconds(server) - cpuStart;
    const auto stopAt = Clock::now();
    int exitStatus = -1;
    if (drained && finalDrained) {
        ::kill(server, SIGTERM);
        exitStatus = bench::WaitExit(server, 120s);
    }
    if (exitStatus == -1) {
        std::printf("soak: connections still open; serwerd is killed\n");
        ::kill(server, SIGKILL);
        bench::WaitExit(server, 60s);
    }
    const double stopSeconds = bench::Seconds(Clock::now() - stopAt);

    // The logs.
    long newForm = 0, malformed = 0;
    const auto frames = FramesReceived(dir, newForm, malformed);
    long framesOnce = 0, framesMissing = 0, framesTwice = 0, nrrejMismatch = 0, lockMismatch = 0;
    long nrrejLines = 0, storedByLock = 0, archivedLines = 0, disconnectLines = 0;
    const std::string lockLog = bench::ReadWholeFile(dir / "lock.txt");
    std::map<std::string, long> entries, exits;
    {
        // Entries are "stamp LF message CR LF".
        static const std::string kIn = " wejscie do blokady", kOut = " wyjscie z blokady";
        auto endsWith = [](const std::string& m, const std::string& tail) {
            return m.size() > tail.size() && m.compare(m.size() - tail.size(), tail.size(), tail) == 0;
        };
        for (std::size_t at = 0, crlf; (crlf = lockLog.find("\r\n", at)) != std::string::npos; at = crlf + 2) {
            const std::string entry = lockLog.substr(at, crlf - at);
            const std::string message = entry.substr(entry.find('\n') + 1);
            if (endsWith(message, kIn)) ++entries[message.substr(0, message.size() - kIn.size())];
            if (endsWith(message, kOut)) ++exits[message.substr(0, message.size() - kOut.size())];
        }
    }
    long totalSent = 0;
    for (const auto& u : units) {
        std::lock_guard<std::mutex> lock(u->mutex);
        totalSent += static_cast<long>(u->sent.size());
        for (const Bytes& r : u->sent) {
            const auto it = frames.find(r);
            if (it == frames.end())
                ++framesMissing;
            else if (it->second == 1)
                ++framesOnce;
            else
                ++framesTwice;
        }
        const std::string vehicleLog = bench::ReadWholeFile(dir / (u->registration + "log.txt"));
        const long nrrej = static_cast<long>(CountOf(vehicleLog, "\nnrrej :"));
        const long archived = static_cast<long>(CountOf(vehicleLog, "zapisano 262144 bajtow danych w pliku sve"));
        nrrejLines += nrrej;
        archivedLines += archived;
        disconnectLines += static_cast<long>(CountOf(vehicleLog, " rozlaczamy poloczenie"));
        if (nrrej != static_cast<long>(u->sent.size())) ++nrrejMismatch;
        // Each stored position has one lock section; each read one more (after its repeats).
        const long stored = entries[u->registration] - archived;
        storedByLock += stored;
        if (stored != static_cast<long>(u->sent.size()) || exits[u->registration] != entries[u->registration])
            ++lockMismatch;
    }
    const std::string mainLog = bench::ReadWholeFile(dir / "log.txt");
    const long arrivals = static_cast<long>(CountOf(mainLog, "\nprzychodzi pozycja \r\n"));
    const long confirmations = static_cast<long>(CountOf(mainLog, "\nMam potwierdzenie skasowania.\r\n"));
    const std::string errLog = bench::ReadWholeFile(dir / "err.txt");
    const std::string err2Log = bench::ReadWholeFile(dir / "err2.txt");
    const std::string repeatsLog = bench::ReadWholeFile(dir / "powtorki.txt");
    const ArchiveCheck archives = CheckArchives(dir, expectedImage);

    int readUnitsDone = 0, readUnitsPlanned = 0, repeatsOnClean = 0;
    for (const auto& u : units) {
        if (u->readPending) ++readUnitsPlanned;
        if (u->readPending && archives.perUnit.count(u->registration)) ++readUnitsDone;
        if (!u->damaged && stats.repeatsPerUnit.count(u->registration)) ++repeatsOnClean;
    }

    std::printf("\nsoak results (%.0f s run, %d units)\n", o.seconds, o.units);
    if (cutShort) std::printf("  %-60s %.0f s\n", "SENDING CUT SHORT (server not keeping up) at", cutAt);
    std::printf("  %-60s %ld (+%ld in the final round)\n", "positions sent", sentInRun, totalSent - sentInRun);
    std::printf("  %-60s %ld / %ld / %ld\n", "connect / send / read-exchange failures", stats.connectFailures.load(),
                stats.sendFailures.load(), stats.serveFailures.load());
    std::printf("  %-60s %ld\n", "connections counted in log.txt (przychodzi pozycja)", arrivals);
    std::printf("  %-60s %ld once, %ld missing, %ld more than once\n", "sent frames found in stringi.txt", framesOnce,
                framesMissing, framesTwice);
    std::printf("  %-60s %ld (%ld vehicles differ from their count sent)\n", "nrrej lines in the vehicles' logs",
                nrrejLines, nrrejMismatch);
    std::printf("  %-60s %ld (%ld vehicles differ)\n", "positions stored by lock.txt (entries less reads archived)",
                storedByLock, lockMismatch);
    std::printf("  %-60s %ld\n", "server disconnects logged (rozlaczamy poloczenie)", disconnectLines);
    std::printf("  %-60s %d equal, %d an earlier one, %d other\n", "rows after the run vs last position sent", equal,
                earlier, other);
    if (drained)
        std::printf("  %-60s %d equal, %d an earlier one, %d other\n", "rows after the final positions", finalEqual,
                    finalEarlier, finalOther);
    else
        std::printf("  %-60s not sent (connections of the run still open)\n", "final positions");
    std::printf("  %-60s %d planned, %ld asked by the server, %ld erase commands confirmed\n", "memory reads", reads,
                stats.readsAsked.load(), stats.readsErased.load());
    std::printf("  %-60s %ld files, %ld valid ZIP, %ld equal to the unit's memory; %ld archive log lines\n",
                "reads completed (.sve)", archives.files, archives.valid, archives.contentEqual, archivedLines);
    std::printf("  %-60s %d of %d\n", "vehicles with a pending read that got their archive", readUnitsDone,
                readUnitsPlanned);
    std::printf("  %-60s %ld reads, %ld pages asked again (%d clean units asked)\n", "reads with page repeats",
                stats.readsWithRepeats.load(), stats.repeatsAsked.load(), repeatsOnClean);
    std::printf("  %-60s %ld\n", "erase confirmations in log.txt", confirmations);
    std::printf("  %-60s %.2f / %.2f / %.2f s\n", "connection without read, send to close: median / p99 / max",
                bench::Median(stats.plainSeconds), bench::Quantile(stats.plainSeconds, 0.99),
                bench::Max(stats.plainSeconds));
    std::printf("  %-60s %.1f / %.1f s\n", "connection with a read, send to hang-up: median / max",
                bench::Median(stats.readSeconds), bench::Max(stats.readSeconds));
    std::printf("  %-60s %ld (peak %ld server threads)\n", "open connections at once, peak (units' side)",
                stats.openPeak.load(), threadsPeak.load());
    std::printf("  %-60s %ld\n", "connections the server never closed", stats.notClosed.load());
    std::printf("  %-60s %s in %.0f s / %s\n", "all connections finished after the run / after the final round",
                drained ? "yes" : "NO", drainSeconds, finalDrained ? "yes" : "NO");
    std::printf("  %-60s %ld KiB / %ld KiB (VmHWM %ld KiB, sampled %ld KiB) / %ld KiB\n",
                "serwerd VmRSS start / peak / end (idle)", rssStart, std::max(hwm, rssPeak.load()), hwm, rssPeak.load(),
                rssEnd);
    std::printf("  %-60s %.0f s (%.0f%% of one core over the run)\n", "serwerd processor time", cpuUsed,
                100 * cpuUsed / bench::Seconds(stopAt - start));
    std::printf("  %-60s %d after %.1f s\n", "serwerd exit status after SIGTERM", exitStatus, stopSeconds);
    std::printf("  %-60s %zu / %zu / %zu bytes; powtorki.txt %zu lines\n", "err.txt / err2.txt / stderr", errLog.size(),
                err2Log.size(), bench::ReadWholeFile(dir / "stderr.txt").size(), CountOf(repeatsLog, "\r\n"));
    if (newForm || malformed) std::printf("  stringi.txt: %ld new-form entries, %ld malformed\n", newForm, malformed);
    for (std::size_t k = 0; k < archives.problems.size() && k < 10; ++k)
        std::printf("  archive: %s\n", archives.problems[k].c_str());
    auto showLines = [](const char* name, const std::string& text) {
        int shown = 0;
        for (std::size_t at = 0, lf; shown < 8 && (lf = text.find("\r\n", at)) != std::string::npos;
             at = lf + 2, ++shown)
            std::printf("  %s: %s\n", name, text.substr(at, std::min<std::size_t>(lf - at, 160)).c_str());
    };
    showLines("err.txt", errLog);
    showLines("err2.txt", err2Log);

    const bool ok = !cutShort && framesMissing == 0 && framesTwice == 0 && nrrejMismatch == 0 && lockMismatch == 0 &&
                    finalEqual == o.units && archives.files == archives.contentEqual && drained && finalDrained &&
                    exitStatus == 0 && stats.connectFailures == 0 && stats.sendFailures == 0 &&
                    stats.serveFailures == 0;
    std::printf("soak: %s\n", ok ? "every position stored, every archive whole" : "PROBLEMS FOUND (see above)");
    if (o.keep)
        std::printf("soak: the scratch directory is kept: %s\n", dir.c_str());
    else
        fs::remove_all(dir);
    return ok ? 0 : 1;
}

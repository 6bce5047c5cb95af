// Benchmark of the fleet map page in Debian's chromium: serwerd with --vehicles rows in
// Aktualne.txt (10,000), --changes of them (100) sending a new position every 5 s, and
// the page open at 1366x768. Chromium is driven over its DevTools pipe. Per run:
//   - first markers visible: from the start of the navigation to the first frame that
//     shows the dots (the page's "pierwsze-znaczniki" mark, or its first SVG marker);
//   - over --seconds (30) of refreshes after that: the longest main-thread task (Long
//     Tasks API, 50 ms and up), the share of the time the main thread was busy, and the
//     bytes of each /api/pojazdy answer (resource timing);
//   - the page's JavaScript heap and its element count at the end.
// With --baseline DIR, DIR/serwerd (another build, with its own page) runs the same,
// alternately, --runs times each (default 3); medians are printed side by side.
//   bench_map_page [--vehicles 10000] [--changes 100] [--seconds 30] [--runs 3] [--baseline DIR]
//   bench_map_page --serve-only    (the server and its changes, until Ctrl-C)
// SERWER_BENCH_TIMELINE=1 also prints the page's requests and marks of each run.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BenchProcess.hpp"
#include "link/PositionRecord.hpp"
#include "unitsim/PositionRecordBuilder.hpp"
#include "unitsim/SampleFleet.hpp"
#include "unitsim/SimulatedUnit.hpp"
#include "vehicles/VehicleFile.hpp"

using namespace serwer;
using json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

int Option(int argc, char** argv, const char* name, int fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return std::atoi(argv[i + 1]);
    return fallback;
}

std::string TextOption(int argc, char** argv, const char* name) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
    return {};
}

DateTime UtcNow() {
    return DateTime::FromMs(std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count());
}

// serwerd (the program given) in a directory of its own with the fleet in Aktualne.txt.
struct Server {
    fs::path dir;
    pid_t pid = -1;
    int unitPort = 0;
    int webPort = 0;

    Server(const fs::path& serwerd, const std::vector<FleetVehicle>& fleet) {
        char pattern[] = "/tmp/serwer-bench-map-XXXXXX";
        if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
        dir = pattern;
        std::vector<VehicleRow> rows;
        const DateTime now = UtcNow();
        for (std::size_t i = 0; i < fleet.size(); ++i)
            rows.push_back(FleetRow(fleet[i], now.PlusMs(-static_cast<std::int64_t>(i % 50) * 60000)));
        const Bytes table = FormatVehicleFile(rows);
        std::ofstream(dir / "Aktualne.txt", std::ios::binary).write(table.data(), static_cast<std::streamsize>(table.size()));
        fs::copy_file(serwerd, dir / "serwerd");
        webPort = FindFreePort();
        std::ofstream(dir / "serwer.ini") << "[Ustawienia]\nPort=0\nOdpytywac=0\n[Www]\nPort=" << webPort
                                          << "\nMapa=http://127.0.0.1:" << FindFreePort() << "/{z}/{x}/{y}.png\n";
        pid = bench::Spawn(dir, {(dir / "serwerd").string()});
        unitPort = bench::WaitForPort(dir, "listening on port ");
    }
    ~Server() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            bench::WaitExit(pid, std::chrono::seconds(30));
        }
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
};

// `changes` vehicles of the fleet, a different set each time, send a position a little
// further on every 5 s while it runs.
class Changer {
public:
    Changer(int port, std::vector<FleetVehicle> fleet, int changes)
        : thread_([this, port, fleet = std::move(fleet), changes]() mutable { Run(port, fleet, changes); }) {}
    ~Changer() {
        stop_ = true;
        thread_.join();
    }

private:
    void Run(int port, std::vector<FleetVehicle>& fleet, int changes) {
        std::mt19937 random(7);
        std::deque<std::vector<std::unique_ptr<SimulatedUnit>>> open;  // the server closes them
        while (!stop_) {
            std::vector<std::unique_ptr<SimulatedUnit>> batch;
            const DateTime::Parts t = UtcNow().Split();
            for (int n = 0; n < changes; ++n) {
                FleetVehicle& v = fleet[random() % fleet.size()];
                v.latitude += 0.0005;
                PositionOptions o = SamplePosition(v.registration);
                o.year = t.year, o.month = t.month, o.day = t.day, o.hour = t.hour, o.minute = t.minute;
                o.latitude = CoordinateFromDegrees(v.latitude);
                o.longitude = CoordinateFromDegrees(v.longitude);
                o.speedHundredths = 4250;
                try {
                    batch.push_back(std::make_unique<SimulatedUnit>("127.0.0.1", port));
                    batch.back()->SendPosition(BuildPositionRecord(o));
                } catch (const std::exception&) {
                }
            }
            open.push_back(std::move(batch));
            if (open.size() > 3) open.pop_front();
            for (int i = 0; i < 50 && !stop_; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Chromium headless, driven over --remote-debugging-pipe: JSON messages ending in a NUL,
// commands on its descriptor 3, answers and events on its descriptor 4.
class Browser {
public:
    Browser() {
        char pattern[] = "/tmp/serwer-bench-chromium-XXXXXX";
        if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
        profile_ = pattern;
        int in[2], out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0) throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], 3);
            ::dup2(out[1], 4);
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
            const std::string dirFlag = "--user-data-dir=" + profile_.string();
            ::execl("/usr/bin/chromium", "chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                    "--disable-background-networking", "--disable-component-update", "--disable-sync",
                    "--disable-background-timer-throttling", "--disable-renderer-backgrounding",
                    "--window-size=1366,768", "--remote-debugging-pipe", dirFlag.c_str(), "about:blank", nullptr);
            _exit(98);
        }
        ::close(in[0]);
        ::close(out[1]);
        toBrowser_ = in[1];
        fromBrowser_ = out[0];
        const json target = Call("Target.createTarget", {{"url", "about:blank"}});
        session_ = Call("Target.attachToTarget", {{"targetId", target["targetId"]}, {"flatten", true}})["sessionId"];
    }
    ~Browser() {
        ::close(toBrowser_);
        ::close(fromBrowser_);
        ::kill(pid_, SIGTERM);
        bench::WaitExit(pid_, std::chrono::seconds(10));
        std::error_code ignored;
        fs::remove_all(profile_, ignored);
    }

    // A command of the page's session (or of the browser when `browser`); its result.
    json Call(const std::string& method, json params = json::object(), bool browser = false) {
        json message{{"id", ++lastId_}, {"method", method}, {"params", std::move(params)}};
        if (!browser && !session_.empty()) message["sessionId"] = session_;
        const std::string text = message.dump() + '\0';
        for (std::size_t sent = 0; sent < text.size();) {
            const ssize_t n = ::write(toBrowser_, text.data() + sent, text.size() - sent);
            if (n <= 0) throw std::runtime_error("chromium went away");
            sent += static_cast<std::size_t>(n);
        }
        for (;;) {
            json reply = Next(std::chrono::seconds(60));
            if (reply.contains("id") && reply["id"] == lastId_) {
                if (reply.contains("error")) throw std::runtime_error(method + ": " + reply["error"].dump());
                return reply["result"];
            }
            events.push_back(std::move(reply));
        }
    }

    json Evaluate(const std::string& expression) {
        return Call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}})["result"]["value"];
    }

    std::vector<json> events;

private:
    json Next(std::chrono::seconds limit) {
        for (;;) {
            const std::size_t end = buffer_.find('\0');
            if (end != std::string::npos) {
                json message = json::parse(buffer_.substr(0, end));
                buffer_.erase(0, end + 1);
                return message;
            }
            pollfd p{fromBrowser_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(limit).count())) <= 0)
                throw std::runtime_error("chromium did not answer");
            char chunk[65536];
            const ssize_t n = ::read(fromBrowser_, chunk, sizeof chunk);
            if (n <= 0) throw std::runtime_error("chromium went away");
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    fs::path profile_;
    pid_t pid_ = -1;
    int toBrowser_ = -1, fromBrowser_ = -1;
    int lastId_ = 0;
    std::string session_;
    std::string buffer_;
};

// Set up in the page before its own scripts: long tasks, and the first frame with dots.
const char* const kProbe = R"JS(
window.__pomiar = { dlugie: [] };
new PerformanceObserver((lista) => lista.getEntries().forEach((e) => __pomiar.dlugie.push([e.startTime, e.duration])))
    .observe({ type: 'longtask', buffered: true });
(function petla() {
    const mark = performance.getEntriesByName('pierwsze-znaczniki');
    if (mark.length) __pomiar.znaczniki = mark[0].startTime;
    else if (document.querySelector('path.znacznik')) __pomiar.znaczniki = performance.now();
    if (__pomiar.znaczniki === undefined) requestAnimationFrame(petla);
})();
)JS";

struct PageFigures {
    double firstMarkersS = 0;
    double longestLoadTaskMs = 0;     // before the first markers
    double longestSteadyTaskMs = 0;   // during the refreshes (0: none of 50 ms or more)
    double busyPercent = 0;
    double medianRefreshBytes = 0;
    double maxRefreshBytes = 0;
    double medianRefreshBodyBytes = 0;  // unpacked
    double firstListBytes = 0;
    double heapMb = 0;
    double nodes = 0;
};

double Metric(const json& metrics, const std::string& name) {
    for (const json& m : metrics["metrics"])
        if (m["name"] == name) return m["value"].get<double>();
    return 0;
}

PageFigures MeasurePage(int webPort, int seconds) {
    Browser browser;
    browser.Call("Page.enable");
    browser.Call("Performance.enable");
    browser.Call("Page.addScriptToEvaluateOnNewDocument", {{"source", kProbe}});
    browser.Call("Page.navigate", {{"url", "http://127.0.0.1:" + std::to_string(webPort) + "/"}});
    PageFigures f;
    for (int i = 0;; ++i) {
        const json at = browser.Evaluate("window.__pomiar && window.__pomiar.znaczniki");
        if (at.is_number()) {
            f.firstMarkersS = at.get<double>() / 1000;
            break;
        }
        if (i > 600) throw std::runtime_error("no markers within 60 s");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (std::getenv("SERWER_BENCH_TIMELINE"))  // where the start went: the page's requests and marks
        std::printf("%s\n", browser
                                .Evaluate("JSON.stringify(performance.getEntries().filter((e) => e.entryType !== "
                                          "'paint').map((e) => [e.name.replace(location.origin, ''), "
                                          "Math.round(e.startTime), Math.round(e.responseEnd || e.duration)]).concat(__pomiar.dlugie.map((d) => "
                                          "['task'].concat(d.map(Math.round)))))")
                                .get<std::string>()
                                .c_str());
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the load settles
    const double steadyFrom = browser.Evaluate("performance.now()").get<double>();
    const json before = browser.Call("Performance.getMetrics");
    for (int s = 0; s < seconds; ++s) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        browser.Evaluate("1");  // drains the events meanwhile
    }
    const json after = browser.Call("Performance.getMetrics");
    f.busyPercent = 100 * (Metric(after, "TaskDuration") - Metric(before, "TaskDuration")) /
                    (Metric(after, "Timestamp") - Metric(before, "Timestamp"));
    f.heapMb = Metric(after, "JSHeapUsedSize") / (1 << 20);
    f.nodes = Metric(after, "Nodes");
    for (const json& task : browser.Evaluate("__pomiar.dlugie")) {
        const double start = task[0].get<double>(), duration = task[1].get<double>();
        if (start >= steadyFrom)
            f.longestSteadyTaskMs = std::max(f.longestSteadyTaskMs, duration);
        else if (start <= f.firstMarkersS * 1000)
            f.longestLoadTaskMs = std::max(f.longestLoadTaskMs, duration);
    }
    // The answers of /api/pojazdy as the page's resource timing tells them (bytes on the
    // wire, headers included): the first (the whole list), then those of the refreshes.
    // (DevTools' network events are not used: following them costs the page itself.)
    std::vector<double> refreshes, bodies;
    for (const json& r : browser.Evaluate("performance.getEntriesByType('resource').filter((e) => "
                                          "/\\/api\\/pojazdy(\\?|$)/.test(e.name)).map((e) => [e.startTime, "
                                          "e.transferSize, e.decodedBodySize])")) {
        if (f.firstListBytes == 0) {
            f.firstListBytes = r[1].get<double>();
        } else if (r[0].get<double>() >= steadyFrom) {
            refreshes.push_back(r[1].get<double>());
            bodies.push_back(r[2].get<double>());
        }
    }
    f.medianRefreshBodyBytes = bench::Median(bodies);
    f.medianRefreshBytes = bench::Median(refreshes);
    f.maxRefreshBytes = bench::Max(refreshes);
    return f;
}

PageFigures Run(const fs::path& serwerd, int vehicles, int changes, int seconds) {
    const std::vector<FleetVehicle> fleet = SampleFleet(vehicles);
    Server server(serwerd, fleet);
    Changer changer(server.unitPort, fleet, changes);
    return MeasurePage(server.webPort, seconds);
}

void Print(const char* label, const std::vector<PageFigures>& runs) {
    auto median = [&](double PageFigures::*field) {
        std::vector<double> v;
        for (const PageFigures& r : runs) v.push_back(r.*field);
        return bench::Median(v);
    };
    const double longest = median(&PageFigures::longestSteadyTaskMs);
    const std::string refreshing = longest > 0 ? std::to_string(static_cast<int>(longest)) + " ms" : "under 50 ms";
    std::printf("%-10s first markers %.2f s | longest task: load %.0f ms, refreshing %s | busy %.1f %% | "
                "/api/pojazdy: first %.0f KB, refresh median %.1f KB (%.1f KB unpacked) max %.1f KB | heap %.1f MB | "
                "%.0f elements\n",
                label, median(&PageFigures::firstMarkersS), median(&PageFigures::longestLoadTaskMs), refreshing.c_str(),
                median(&PageFigures::busyPercent), median(&PageFigures::firstListBytes) / 1024,
                median(&PageFigures::medianRefreshBytes) / 1024, median(&PageFigures::medianRefreshBodyBytes) / 1024,
                median(&PageFigures::maxRefreshBytes) / 1024, median(&PageFigures::heapMb), median(&PageFigures::nodes));
    std::fflush(stdout);  // before the next child is started
}

}  // namespace

int main(int argc, char** argv) {
    const int vehicles = Option(argc, argv, "--vehicles", 10000);
    const int changes = Option(argc, argv, "--changes", 100);
    const int seconds = Option(argc, argv, "--seconds", 30);
    const int runs = Option(argc, argv, "--runs", 3);
    const std::string baseline = TextOption(argc, argv, "--baseline");
    const fs::path current = bench::ExecutableDirectory() / "serwerd";
    try {
        if (argc > 1 && std::strcmp(argv[1], "--serve-only") == 0) {
            const std::vector<FleetVehicle> fleet = SampleFleet(vehicles);
            Server server(current, fleet);
            Changer changer(server.unitPort, fleet, changes);
            std::printf("http://127.0.0.1:%d/ (data in %s)\n", server.webPort, server.dir.c_str());
            std::fflush(stdout);
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, SIGINT);
            sigaddset(&set, SIGTERM);
            sigprocmask(SIG_BLOCK, &set, nullptr);
            int signal = 0;
            sigwait(&set, &signal);
            return 0;
        }
        std::vector<PageFigures> mine, theirs;
        for (int r = 0; r < runs; ++r) {
            mine.push_back(Run(current, vehicles, changes, seconds));
            Print("this", {mine.back()});
            if (!baseline.empty()) {
                theirs.push_back(Run(fs::path(baseline) / "serwerd", vehicles, changes, seconds));
                Print("baseline", {theirs.back()});
            }
        }
        std::printf("medians of %d runs, %d vehicles, %d changed every 5 s:\n", runs, vehicles, changes);
        Print("this", mine);
        if (!theirs.empty()) Print("baseline", theirs);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_map_page: %s\n", e.what());
        return 1;
    }
}

// Benchmark: does a receiver that never answers change how long a position takes to be
// stored? Every position is over the speed limit, so each raises an event and a webhook
// notification (CoIleMin=0). Side by side, alternately, in this one process over
// loopback: no notifications at all, a webhook to a receiver that accepts at once, and
// one to a port that takes connections but never answers (each try hangs until its
// 30 s limit). Per position: from the send
// to the server's close (closing wait 0, saves of Aktualne.txt as soon as they can),
// which holds the table's save and the history's write.
//   bench_notifications [positions per run, default 1000] [runs, default 3]

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "BenchProcess.hpp"
#include "server/PositioningServer.hpp"
#include "unitsim/PositionRecordBuilder.hpp"
#include "unitsim/SimulatedUnit.hpp"

using namespace serwer;

namespace {

// A port that takes connections into its backlog and never reads them.
struct SilentReceiver {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int port = 0;
    SilentReceiver() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4096) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0)
            throw std::runtime_error("listen");
        port = ntohs(a.sin_port);
    }
    ~SilentReceiver() { ::close(fd); }
};

struct Figures {
    double medianMs, p99Ms;
    std::size_t outbox;
};

Figures Run(bool notify, int receiverPort, int positions, int run) {
    char pattern[] = "/tmp/serwer-bench-notify-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
    const std::filesystem::path dir = pattern;
    ServerSetup setup;
    setup.dataDirectory = dir.string();
    setup.timings.closingWait = std::chrono::milliseconds(0);
    setup.tableSaveInterval = std::chrono::milliseconds(0);  // each position waits for its own save only
    setup.events = EventSettings{};
    setup.events->speedLimitKmh = 20;
    if (notify) {
        NotificationSettings n;
        n.serverName = "bench";
        NotificationRule rule;
        rule.name = "Wszystko";
        rule.webhook = "http://127.0.0.1:" + std::to_string(receiverPort) + "/";
        rule.intervalMinutes = 0;
        n.rules.push_back(rule);
        setup.notifications = n;
    }
    std::vector<double> ms;
    std::size_t outbox = 0;
    const std::filesystem::path home = std::filesystem::current_path();
    std::filesystem::current_path(dir);  // the server's logs go to the working directory
    {
        PositioningServer server(setup);
        server.Start("0");
        const int port = server.Port();
        std::atomic<int> next{0};
        std::vector<std::vector<double>> perClient(4);
        std::vector<std::thread> clients;
        for (auto& mine : perClient)
            clients.emplace_back([&, &mine = mine] {
                for (int n = next++; n < positions; n = next++) {
                    PositionOptions o = SamplePosition("BN" + std::to_string(run * 100000 + n));
                    o.speedHundredths = 5000;
                    const auto start = bench::Clock::now();
                    SimulatedUnit unit("127.0.0.1", port);
                    unit.SendPosition(BuildPositionRecord(o));
                    unit.WaitForClose(std::chrono::seconds(60));
                    mine.push_back(bench::Seconds(bench::Clock::now() - start) * 1000);
                }
            });
        for (auto& c : clients) c.join();
        for (const auto& v : perClient) ms.insert(ms.end(), v.begin(), v.end());
        if (server.Notifications()) outbox = server.Notifications()->OutboxSize();
        server.Stop();
    }
    std::filesystem::current_path(home);
    std::filesystem::remove_all(dir);
    return {bench::Median(ms), bench::Quantile(ms, 0.99), outbox};
}

}  // namespace

int main(int argc, char** argv) {
    const int positions = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    bench::RaiseDescriptorLimit();
    SilentReceiver silent;
    httplib::Server accepting;
    accepting.Post("/", [](const httplib::Request&, httplib::Response&) {});
    const int acceptingPort = accepting.bind_to_any_port("127.0.0.1");
    std::thread listening([&] { accepting.listen_after_bind(); });
    const char* const names[] = {"no notifications", "receiver accepting", "receiver never answering"};
    std::vector<double> medians[3], p99s[3];
    for (int r = 0; r < runs; ++r) {
        const Figures f[3] = {Run(false, 0, positions, 3 * r), Run(true, acceptingPort, positions, 3 * r + 1),
                              Run(true, silent.port, positions, 3 * r + 2)};
        std::printf("run %d:", r + 1);
        for (int i = 0; i < 3; ++i) {
            std::printf(" %s median %.2f ms p99 %.2f ms (%zu waiting) |", names[i], f[i].medianMs, f[i].p99Ms, f[i].outbox);
            medians[i].push_back(f[i].medianMs), p99s[i].push_back(f[i].p99Ms);
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    std::printf("medians of %d runs of %d positions:", runs, positions);
    for (int i = 0; i < 3; ++i)
        std::printf(" %s %.2f ms (p99 %.2f) |", names[i], bench::Median(medians[i]), bench::Median(p99s[i]));
    std::printf(" never answering / accepting %.2f\n", bench::Median(medians[2]) / bench::Median(medians[1]));
    accepting.stop();
    listening.join();
}

// Benchmark of password guessing against a real serwerd: one client guessing one
// account's password as fast as the service answers, for a while, against the password
// of [Www] Haslo alone (the baseline) and against an account of konta.db, side by side
// in one run. Prints the guesses answered per second, how many were tried (401) and
// refused without being tried (429), the tried guesses per hour (the baseline's rate
// over an hour; for the account, the lock rule followed through an hour of guessing as
// soon as allowed), and whether the right password is let in at the end.
//   bench_logins [seconds per run, default 20]

#include <httplib.h>
#include <signal.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "BenchProcess.hpp"
#include "accounts/AccountStore.hpp"
#include "accounts/LoginGuard.hpp"
#include "accounts/Secrets.hpp"

using namespace serwer;
using namespace serwer::bench;

namespace {

struct Run {
    long tried = 0, refused = 0, other = 0;
    double seconds = 0;
    int rightPassword = 0;  // the status of the right password at the end
};

Run Guess(const std::string& iniBody, bool accounts, double seconds) {
    char pattern[] = "/tmp/bench-logins-XXXXXX";
    const std::filesystem::path dir = ::mkdtemp(pattern);
    if (accounts) {
        OpenAccountStore((dir / "konta.db").string(), "")->Add({"anna", Role::Dispatcher, {"AAA"}, {}}, HashPassword("tajne"));
    }
    int port = 0;
    const pid_t pid = StartServerd(dir, iniBody, port);
    const int web = WaitForPort(dir, "www on port ");
    Run run;
    {
        httplib::Client client("127.0.0.1", web);
        client.set_keep_alive(true);
        const auto start = Clock::now();
        for (long i = 0; Seconds(Clock::now() - start) < seconds; ++i) {
            client.set_basic_auth("anna", "zgadywane" + std::to_string(i));
            const auto answer = client.Get("/api/pojazdy");
            const int status = answer ? answer->status : 0;
            (status == 401 ? run.tried : status == 429 ? run.refused : run.other)++;
        }
        run.seconds = Seconds(Clock::now() - start);
        client.set_basic_auth("anna", "tajne");
        const auto right = client.Get("/api/pojazdy");
        run.rightPassword = right ? right->status : 0;
    }
    ::kill(pid, SIGTERM);
    WaitExit(pid, std::chrono::seconds(20));
    std::filesystem::remove_all(dir);
    return run;
}

// Guesses an attacker gets tried in an hour, retrying the moment a lock ends.
long GuardedGuessesPerHour() {
    LoginGuard guard;
    long tried = 0;
    for (std::int64_t now = 0; now < 3600 * 1000; now += 100) {
        if (guard.LockedForMs("anna", "10.0.0.1", now) > 0) continue;
        ++tried;
        guard.Failed("anna", "10.0.0.1", now);
    }
    return tried;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 20;
    const std::string www = "Port=0\nOdpytywac=0\n[Www]\nPort=0\n";
    const Run baseline = Guess(www + "Haslo=tajne\n", false, seconds);
    const Run guarded = Guess(www, true, seconds);
    const auto print = [](const char* name, const Run& r, double perHour) {
        std::printf("%-22s %8.0f guesses/s  tried %7ld  refused %7ld  other %ld  tried per hour %12.0f  right password: %d\n",
                    name, (r.tried + r.refused + r.other) / r.seconds, r.tried, r.refused, r.other, perHour,
                    r.rightPassword);
    };
    print("[Www] Haslo (before)", baseline, baseline.tried / baseline.seconds * 3600);
    print("konta.db account", guarded, static_cast<double>(GuardedGuessesPerHour()));
    return 0;
}

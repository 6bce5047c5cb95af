// serwerd with its history in PostgreSQL: servers that share one database, and a
// database that goes away for a minute while the units keep sending.
#include <gtest/gtest.h>
#include <httplib.h>
#include <libpq-fe.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e/ServerdChild.hpp"
#include "support/TestDirectory.hpp"
#include "support/TestPostgres.hpp"
#include "unitsim/PositionRecordBuilder.hpp"
#include "unitsim/SimulatedUnit.hpp"

using namespace serwer;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

Bytes Record(const std::string& registration, int minute) {
    PositionOptions o;
    o.registration = registration;
    o.day = 8, o.month = 12, o.year = 2026, o.hour = 10, o.minute = minute;
    return BuildPositionRecord(o);
}

// A serwerd in a directory of its own whose history is the database of the URI.
struct Server {
    TestDirectory dir;
    ServerdChild child;
    int port = 0, web = 0;

    void Start(const std::string& uri) {
        ServerdChild::Install(dir.Path(), "Port=0\n[Www]\nPort=0\n[Historia]\nBaza=" + uri + "\nSerwer=" +
                                              dir.Path().filename().string() + "\n");
        ASSERT_TRUE(child.Start(dir.Path(), ""));
        port = child.WaitForPort(10s);
        web = child.WaitForNumberAfter("www on port ", 10s);
        ASSERT_GT(port, 0);
        ASSERT_GT(web, 0);
    }
    std::string Get(const std::string& target) const {
        httplib::Client client("127.0.0.1", web);
        const auto result = client.Get(target);
        return result && result->status == 200 ? result->body : "HTTP " + std::to_string(result ? result->status : 0);
    }
};

// Every vehicle's fix times in the order the database took them.
std::map<std::string, std::vector<long long>> RowsByVehicle(const std::string& uri) {
    std::map<std::string, std::vector<long long>> rows;
    std::unique_ptr<PGconn, decltype(&PQfinish)> db(PQconnectdb(uri.c_str()), &PQfinish);
    std::unique_ptr<PGresult, decltype(&PQclear)> r(
        PQexec(db.get(), "SELECT convert_from(pojazd, 'LATIN2'), czas_fix FROM pozycje ORDER BY nr"), &PQclear);
    for (int i = 0; i < PQntuples(r.get()); ++i) rows[PQgetvalue(r.get(), i, 0)].push_back(std::stoll(PQgetvalue(r.get(), i, 1)));
    return rows;
}

}  // namespace

TEST(SharedDatabase, EachServerFindsTheOthersVehicleAndItsHistory) {
    SKIP_WITHOUT_POSTGRES();
    TestPostgres db("wspolna");
    Server a, b;
    a.Start(db.Uri());
    b.Start(db.Uri());
    SimulatedUnit(std::string("127.0.0.1"), a.port).SendPosition(Record("WA11111", 5));
    SimulatedUnit(std::string("127.0.0.1"), b.port).SendPosition(Record("KR22222", 6));
    for (int i = 0; i < 100 && RowsByVehicle(db.Uri()).size() < 2; ++i) std::this_thread::sleep_for(100ms);

    std::string fleetOfB;  // the other server's vehicles are read again every 2 s
    for (int i = 0; i < 50 && fleetOfB.find("\"WA11111\"") == std::string::npos; ++i, std::this_thread::sleep_for(100ms))
        fleetOfB = b.Get("/api/pojazdy");
    EXPECT_NE(fleetOfB.find("\"WA11111\""), std::string::npos) << fleetOfB;
    EXPECT_NE(fleetOfB.find("\"KR22222\""), std::string::npos) << fleetOfB;
    const std::string track = a.Get("/api/pojazdy/KR22222/historia?od=2026-12-08&do=2026-12-08");
    EXPECT_NE(track.find("\"2026-12-08"), std::string::npos) << track;
    EXPECT_EQ(ReadFile(b.dir.Path() / "Aktualne.txt").find("WA11111"), std::string::npos);  // the table stays its own
}

TEST(SharedDatabase, PositionsSentWhileTheDatabaseIsDownForAMinuteArriveInOrderOnce) {
    if (!fs::exists("/usr/lib/postgresql/15/bin/initdb")) GTEST_SKIP() << "PostgreSQL 15 is not installed";
    char pattern[] = "/tmp/serwer-pg-XXXXXX";
    ASSERT_TRUE(::mkdtemp(pattern));
    const std::string pgDir = pattern, script = std::string(SERWER_SOURCE_DIR) + "/tools/test-postgres.sh ";
    struct Stop {
        std::string command;
        ~Stop() {
            if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not stop %s\n", command.c_str());
            fs::remove_all(command.substr(command.rfind(' ') + 1));
        }
    } stop{script + "stop " + pgDir};
    std::string uri;
    {
        FILE* out = ::popen((script + "start " + pgDir).c_str(), "r");
        ASSERT_NE(out, nullptr);
        char line[512] = {};
        if (std::fgets(line, sizeof line, out)) uri = line;
        ASSERT_EQ(::pclose(out), 0);
        while (!uri.empty() && uri.back() == '\n') uri.pop_back();
    }
    Server server;
    server.Start(uri);

    constexpr int kUnits = 200, kRounds = 8;
    const auto send = [&](int round) {
        std::vector<std::unique_ptr<SimulatedUnit>> units;
        for (int u = 0; u < kUnits; ++u) {
            units.push_back(std::make_unique<SimulatedUnit>(std::string("127.0.0.1"), server.port));
            units.back()->SendPosition(Record("P" + std::to_string(1000 + u), round));
        }
        std::this_thread::sleep_for(10s);  // the server ends each connection after its wait
    };
    send(0);
    ASSERT_EQ(std::system((script + "stop " + pgDir).c_str()), 0);
    for (int round = 1; round < kRounds - 1; ++round) send(round);  // 60 s without the database
    ASSERT_EQ(std::system((script + "start " + pgDir + " >/dev/null").c_str()), 0);
    send(kRounds - 1);

    std::map<std::string, std::vector<long long>> rows;
    std::size_t total = 0;
    for (int i = 0; i < 600 && total < kUnits * kRounds; ++i, std::this_thread::sleep_for(100ms)) {
        rows = RowsByVehicle(uri);
        total = 0;
        for (const auto& [vehicle, times] : rows) total += times.size();
    }
    EXPECT_EQ(total, std::size_t{kUnits * kRounds});
    ASSERT_EQ(rows.size(), std::size_t{kUnits});
    for (const auto& [vehicle, times] : rows) {
        ASSERT_EQ(times.size(), std::size_t{kRounds}) << vehicle;
        for (int round = 1; round < kRounds; ++round) EXPECT_EQ(times[round] - times[round - 1], 60) << vehicle;
    }
    const std::string log = ReadFile(server.dir.Path() / "err2.txt");
    EXPECT_NE(log.find("Historia w PostgreSQL: baza nie przyjmuje zapis"), std::string::npos) << log;
    EXPECT_NE(log.find("Historia w PostgreSQL: zapis wznowiony; z bufora zapisano "), std::string::npos) << log;
}

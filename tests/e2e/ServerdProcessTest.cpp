// serwerd itself, copied alone into a fresh directory, with the real waits.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "e2e/ServerdChild.hpp"
#include "link/ConnectionServer.hpp"
#include "support/TestDirectory.hpp"
#include "unitsim/PositionRecordBuilder.hpp"
#include "unitsim/SimulatedUnit.hpp"

using namespace serwer;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class Serwerd : public ::testing::Test {
protected:
    void Launch() { ASSERT_TRUE(serwerd_.Start(dir_, "")); }

    // The port from the line serwerd prints when it listens.
    int ListeningPort() {
        const int port = serwerd_.WaitForPort(5s);
        if (port == 0) ADD_FAILURE() << "serwerd did not report listening";
        return port;
    }

    static Bytes Record(const std::string& reg) {
        PositionOptions o;
        o.registration = reg;
        o.day = 8, o.month = 12, o.year = 2026, o.hour = 10;
        return BuildPositionRecord(o);
    }

    TestDirectory tmp_;
    const fs::path dir_ = tmp_.Path();
    ServerdChild serwerd_;
};

}  // namespace

TEST_F(Serwerd, ServesAUnitWithTheRealClosingWaitAndStopsCleanlyOnSigterm) {
    ServerdChild::Install(dir_, "Port=0\n");
    Launch();
    const int port = ListeningPort();
    {
        SimulatedUnit unit("127.0.0.1", port);
        const auto sent = std::chrono::steady_clock::now();
        unit.SendPosition(Record("WA11111"));
        unit.WaitForClose(30s);
        EXPECT_TRUE(unit.Closed());
        EXPECT_GE(std::chrono::steady_clock::now() - sent, 9500ms);  // never closed before the 10 s wait
    }
    EXPECT_NE(ReadFile(dir_ / "Aktualne.txt").find("\"WA11111\""), std::string::npos);
    EXPECT_NE(ReadFile(dir_ / "WA11111log.txt").find("WA11111 rozlaczamy poloczenie"), std::string::npos);

    // SIGTERM while a handler is in its closing wait: serwerd ends after that wait, with 0.
    SimulatedUnit unit("127.0.0.1", port);
    const auto sent = std::chrono::steady_clock::now();
    unit.SendPosition(Record("WA22222"));
    for (int i = 0; i < 500 && ReadFile(dir_ / "lock.txt").find("WA22222 wyjscie") == std::string::npos; ++i)
        std::this_thread::sleep_for(10ms);
    serwerd_.Signal(SIGTERM);
    EXPECT_EQ(serwerd_.WaitForExit(30s), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - sent, 9500ms);
    EXPECT_EQ(ReadFile(dir_ / "serwer.ini"), "[Ustawienia]\nPort=0\n");  // nothing written back
}

TEST_F(Serwerd, PortInUseIsReportedAndEndsTheProgram) {
    ConnectionServer busy({});
    busy.Start("0");
    ServerdChild::Install(dir_, "Port=" + std::to_string(busy.Port()) + "\n");
    Launch();
    EXPECT_NE(serwerd_.WaitForExit(20s), 0);
    EXPECT_EQ(ReadFile(dir_ / "stderr.txt"), "Could not bind socket. Address and port are already in use.\n");
}

TEST_F(Serwerd, DataDirectoryThatCannotBeCreatedEndsTheProgram) {
    ServerdChild::Install(dir_, "Port=0\nKatalog=brak/dane\n");
    Launch();
    EXPECT_NE(serwerd_.WaitForExit(20s), 0);
    EXPECT_EQ(ReadFile(dir_ / "stderr.txt"),
              "Nie można było utworzyc katalogu dla danych : brak/dane dalsza praca niemożliwa !\n");
    EXPECT_FALSE(fs::exists(dir_ / "brak"));
}

TEST_F(Serwerd, CreatesTheDataDirectoryAndKeepsTheTableThere) {
    ServerdChild::Install(dir_, "Port=0\nKatalog=dane\n");
    Launch();
    const int port = ListeningPort();
    EXPECT_TRUE(fs::is_directory(dir_ / "dane"));
    serwerd_.Signal(SIGINT);
    EXPECT_EQ(serwerd_.WaitForExit(20s), 0);
    (void)port;
}

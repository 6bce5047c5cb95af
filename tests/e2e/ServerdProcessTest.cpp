// serwerd itself, copied alone into a fresh directory, with the real waits.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "link/ConnectionServer.hpp"
#include "support/TestDirectory.hpp"
#include "unitsim/PositionRecordBuilder.hpp"
#include "unitsim/SimulatedUnit.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class Serwerd : public ::testing::Test {
protected:
    void SetUp() override {
        fs::copy_file(fs::path(SERWER_BIN_DIR) / "serwerd", dir_ / "serwerd");
    }
    void TearDown() override {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    void WriteIni(const std::string& body) { std::ofstream(dir_ / "serwer.ini") << "[Ustawienia]\n" << body; }

    void Launch() {
        pid_ = ::fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            if (::chdir(dir_.c_str()) != 0) _exit(99);
            freopen("out.txt", "w", stdout);
            freopen("err.txt", "w", stderr);
            execl("./serwerd", "serwerd", static_cast<char*>(nullptr));
            _exit(98);
        }
    }

    // Waits for the process to end; returns its exit status (-1 when it did not end).
    int WaitExit(std::chrono::seconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(20ms);
        }
        return -1;
    }

    // The port from the line serwerd prints when it listens.
    int ListeningPort() {
        for (int i = 0; i < 500; ++i) {
            const std::string out = ReadFile(dir_ / "out.txt");
            const auto at = out.find("listening on port ");
            if (at != std::string::npos && out.find('\n', at) != std::string::npos)
                return std::stoi(out.substr(at + 18));
            std::this_thread::sleep_for(10ms);
        }
        ADD_FAILURE() << "serwerd did not report listening";
        return 0;
    }

    static Bytes Record(const std::string& reg) {
        PositionOptions o;
        o.registration = reg;
        o.day = 8, o.month = 12, o.year = 2026, o.hour = 10;
        return BuildPositionRecord(o);
    }

    TestDirectory tmp_;
    const fs::path dir_ = tmp_.Path();
    pid_t pid_ = -1;
};

}  // namespace

TEST_F(Serwerd, ServesAUnitWithTheRealClosingWaitAndStopsCleanlyOnSigterm) {
    WriteIni("Port=0\n");
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
    ::kill(pid_, SIGTERM);
    EXPECT_EQ(WaitExit(30s), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - sent, 9500ms);
    EXPECT_EQ(ReadFile(dir_ / "serwer.ini"), "[Ustawienia]\nPort=0\n");  // nothing written back
}

TEST_F(Serwerd, PortInUseIsReportedAndEndsTheProgram) {
    ConnectionServer busy({});
    busy.Start("0");
    WriteIni("Port=" + std::to_string(busy.Port()) + "\n");
    Launch();
    EXPECT_NE(WaitExit(20s), 0);
    EXPECT_EQ(ReadFile(dir_ / "err.txt"), "Could not bind socket. Address and port are already in use.\n");
}

TEST_F(Serwerd, DataDirectoryThatCannotBeCreatedEndsTheProgram) {
    WriteIni("Port=0\nKatalog=brak/dane\n");
    Launch();
    EXPECT_NE(WaitExit(20s), 0);
    EXPECT_EQ(ReadFile(dir_ / "err.txt"),
              "Nie można było utworzyc katalogu dla danych : brak/dane dalsza praca niemożliwa !\n");
    EXPECT_FALSE(fs::exists(dir_ / "brak"));
}

TEST_F(Serwerd, CreatesTheDataDirectoryAndKeepsTheTableThere) {
    WriteIni("Port=0\nKatalog=dane\n");
    Launch();
    const int port = ListeningPort();
    EXPECT_TRUE(fs::is_directory(dir_ / "dane"));
    ::kill(pid_, SIGINT);
    EXPECT_EQ(WaitExit(20s), 0);
    (void)port;
}

// serwerd with its data directory on a file system that fills up (ENOSPC).
//
// The data directory (Katalog) is a small tmpfs that serwerd's process mounts in a
// mount namespace of its own, inside a user namespace in which it is root, so no
// privilege is needed; the namespace and the tmpfs end with the process. The test
// reaches the tmpfs through /proc/<pid>/root. The working directory, with the event
// logs, stays on the ordinary file system outside the tmpfs, so the logs can still be
// written and read while the data directory is full.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "common/DateTime.hpp"
#include "common/Win1250.hpp"
#include "e2e/IncompressibleMemory.hpp"
#include "e2e/ServerdChild.hpp"
#include "support/TestDirectory.hpp"
#include "unitsim/PositionRecordBuilder.hpp"
#include "unitsim/SimulatedUnit.hpp"
#include "unitsim/UnitMemory.hpp"
#include "vehicles/VehicleFile.hpp"

using namespace serwer;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// What the child does before it becomes serwerd: a user namespace in which it is root
// (mapped to the test's own user), a private mount namespace, the tmpfs on the data
// directory and, when given, a first Aktualne.txt in it. Only system calls, as a child
// of a threaded process must. Returns 0, or the number of the step that failed.
struct TmpfsNamespace {
    std::string uidMap, gidMap;
    std::string mountPoint;
    std::string options;
    std::string seedPath;
    Bytes seed;

    static int WriteFile(const char* path, const std::string& text) {
        const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) return -1;
        const ssize_t n = ::write(fd, text.data(), text.size());
        ::close(fd);
        return n == static_cast<ssize_t>(text.size()) ? 0 : -1;
    }

    int Enter() const {
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return 80;
        // setgroups is absent on old kernels; gid_map then does without it
        WriteFile("/proc/self/setgroups", "deny");
        if (WriteFile("/proc/self/uid_map", uidMap) != 0) return 81;
        if (WriteFile("/proc/self/gid_map", gidMap) != 0) return 82;
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 83;
        if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) return 84;
        if (!seedPath.empty() && WriteFile(seedPath.c_str(), seed) != 0) return 85;
        return 0;
    }

    static const char* Step(int code) {
        switch (code) {
            case 80:
                return "unshare(CLONE_NEWUSER | CLONE_NEWNS)";
            case 81:
                return "writing uid_map";
            case 82:
                return "writing gid_map";
            case 83:
                return "making the mounts private";
            case 84:
                return "mounting the tmpfs";
            case 85:
                return "writing the first Aktualne.txt";
            default:
                return "starting the child";
        }
    }
};

// Writes to path until the file system is full. True when it ended with ENOSPC.
bool FillUp(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const Bytes chunk(65536, 'F');
    int error = 0;
    for (std::size_t size : {chunk.size(), std::size_t{4096}, std::size_t{1}}) {
        for (;;) {
            const ssize_t n = ::write(fd, chunk.data(), size);
            if (n > 0) continue;
            error = n < 0 ? errno : 0;
            break;
        }
    }
    ::close(fd);
    return error == ENOSPC;
}

class FullDisk : public ::testing::Test {
protected:
    void SetUp() override {
        // Without a disk reserve: these cases are about writes that fail.
        ServerdChild::Install(dir_, "Port=0\nOdpytywac=1\nGodzina=23\nRezerwaDyskuMB=0\nKatalog=" + disk_.string() + "\n");
        fs::create_directory(disk_);
        setup_.uidMap = "0 " + std::to_string(::getuid()) + " 1";
        setup_.gidMap = "0 " + std::to_string(::getgid()) + " 1";
        setup_.mountPoint = disk_.string();
        setup_.options = "size=1m,mode=0755";

        // Can this machine give us the namespace and the tmpfs at all?
        const pid_t probe = ::fork();
        ASSERT_GE(probe, 0);
        if (probe == 0) _exit(setup_.Enter());
        int status = 0;
        ::waitpid(probe, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            skipReason_ = std::string("no tmpfs in a user+mount namespace here: ") +
                          TmpfsNamespace::Step(WIFEXITED(status) ? WEXITSTATUS(status) : 0) + " failed";
    }

    // Starts serwerd on the tmpfs; returns its port.
    int Launch(const Bytes& seed = {}) {
        setup_.seed = seed;
        setup_.seedPath = seed.empty() ? "" : (disk_ / "Aktualne.txt").string();
        const TmpfsNamespace& setup = setup_;
        if (!serwerd_.Start(dir_, "", [&setup] { return setup.Enter(); })) return 0;
        const int port = serwerd_.WaitForPort(20s);
        if (port == 0) {
            const int status = serwerd_.Kill();
            ADD_FAILURE() << "serwerd did not start: "
                          << TmpfsNamespace::Step(WIFEXITED(status) ? WEXITSTATUS(status) : 0) << "; "
                          << ReadFile(dir_ / "stderr.txt");
        }
        return port;
    }

    // The tmpfs as the test sees it while serwerd runs.
    fs::path Disk() const {
        return fs::path("/proc/" + std::to_string(serwerd_.Pid()) + "/root") / disk_.relative_path();
    }

    // The files on the small disk, without the position history's directory.
    std::set<std::string> DiskFiles() const {
        std::set<std::string> names;
        for (auto it = fs::recursive_directory_iterator(Disk()); it != fs::recursive_directory_iterator(); ++it) {
            if (it->path().filename() == "historia") {
                it.disable_recursion_pending();
                continue;
            }
            names.insert(it->path().filename().string());
        }
        return names;
    }

    // Waits until text occurs `count` times in the log file (working directory).
    bool WaitForLog(const std::string& file, const std::string& text, int count = 1) {
        for (int i = 0; i < 3000; ++i) {
            const std::string log = ReadFile(dir_ / file);
            int found = 0;
            for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++found;
            if (found >= count) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    static Bytes Position(const std::string& registration, int speedHundredths) {
        PositionOptions o = SamplePosition(registration);
        o.hour = 9, o.minute = 15;
        o.latitude = {50, 3, 500};
        o.longitude = {19, 56, 250};
        o.speedHundredths = speedHundredths;
        o.fuelReading = 0;
        o.engine = o.input1 = false;
        o.odometerHundredsKm = 420;
        return BuildPositionRecord(o);
    }

    // Rows of vehicles read a moment ago: not due again for an hour, so their units
    // are only asked for their position.
    static Bytes ReadVehicles(std::initializer_list<const char*> names) {
        std::vector<VehicleRow> rows;
        for (const char* name : names) {
            VehicleRow row;
            row.NAZWA = name;
            row.ODCZYT = row.PROBA_ODCZYTU = DateTime::Now();
            row.LICZNIK_ODCZYTOW = 1;
            rows.push_back(row);
        }
        return FormatVehicleFile(rows);
    }

    static const VehicleRow* FindRow(const VehicleFileContent& content, const std::string& name) {
        for (const VehicleRow& row : content.rows)
            if (row.NAZWA == name) return &row;
        return nullptr;
    }

    TestDirectory tmp_;
    const fs::path dir_ = tmp_.Path();
    const fs::path disk_ = dir_ / "disk";
    TmpfsNamespace setup_;
    std::string skipReason_;
    ServerdChild serwerd_;
};

}  // namespace

TEST_F(FullDisk, FailedPositionSaveKeepsThePreviousVehicleFileAndTheServerServesTheNextUnit) {
    if (!skipReason_.empty()) GTEST_SKIP() << skipReason_;
    const Bytes seed = ReadVehicles({"WA20002", "WA20003"});
    const int port = Launch(seed);
    ASSERT_GT(port, 0);
    const fs::path file = Disk() / "Aktualne.txt";
    ASSERT_EQ(ReadFile(file), seed);

    {  // a save with room to spare
        SimulatedUnit unit("127.0.0.1", port);
        unit.SendPosition(Position("WA20002", 1000));
    }
    // The save comes after the lock section, at most a save interval later.
    ASSERT_TRUE(WaitForLog("lock.txt", "WA20002 wyjscie z blokady"));
    Bytes saved = ReadFile(file);
    for (int i = 0; i < 500 && saved == seed; ++i) {
        std::this_thread::sleep_for(10ms);
        saved = ReadFile(file);
    }
    ASSERT_NE(saved, seed);

    ASSERT_TRUE(FillUp(Disk() / "fill"));
    SimulatedUnit second("127.0.0.1", port);
    second.SendPosition(Position("WA20003", 5500));
    ASSERT_TRUE(WaitForLog("lock.txt", "WA20003 wyjscie z blokady"));
    SimulatedUnit third("127.0.0.1", port);  // the server goes on serving
    third.SendPosition(Position("WA20002", 3300));

    // Both connections get their closing wait once their saves have failed, and are
    // closed by the server.
    second.WaitForClose(30s);
    third.WaitForClose(30s);
    EXPECT_TRUE(second.Closed());
    EXPECT_TRUE(third.Closed());
    EXPECT_EQ(ReadFile(file), saved);
    EXPECT_EQ(DiskFiles(), (std::set<std::string>{"Aktualne.txt", "fill"}));  // no temporary file left
    EXPECT_NE(ReadFile(dir_ / "WA20003log.txt").find("WA20003 rozlaczamy poloczenie"), std::string::npos);
    EXPECT_NE(ReadFile(dir_ / "WA20002log.txt").find("WA20002 rozlaczamy poloczenie"), std::string::npos);

    // With room again the next save writes the whole table, the positions whose saves
    // failed included.
    fs::remove(Disk() / "fill");
    {
        SimulatedUnit unit("127.0.0.1", port);
        unit.SendPosition(Position("WA20003", 7700));
    }
    ASSERT_TRUE(WaitForLog("lock.txt", "WA20003 wyjscie z blokady", 2));
    // The save comes after the lock section, at most a save interval later.
    VehicleFileContent after = ParseVehicleFile(ReadFile(file));
    for (int i = 0; i < 500 && !(FindRow(after, "WA20003") && FindRow(after, "WA20003")->PREDKOSC &&
                                 FindRow(after, "WA20003")->PREDKOSC->starts_with("77"));
         ++i) {
        std::this_thread::sleep_for(10ms);
        after = ParseVehicleFile(ReadFile(file));
    }
    EXPECT_FALSE(after.error.has_value());
    ASSERT_NE(FindRow(after, "WA20002"), nullptr);
    ASSERT_NE(FindRow(after, "WA20003"), nullptr);
    EXPECT_EQ(FindRow(after, "WA20002")->PREDKOSC.value_or("").substr(0, 2), "33");
    EXPECT_EQ(FindRow(after, "WA20003")->PREDKOSC.value_or("").substr(0, 2), "77");
}

TEST_F(FullDisk, ReadWhoseArchiveCannotBeWrittenGetsNoEraseCommandAndLeavesNoFile) {
    if (!skipReason_.empty()) GTEST_SKIP() << skipReason_;
    const int port = Launch();
    ASSERT_GT(port, 0);

    // Room for the vehicle file, far too little for an archive of a memory that does
    // not compress.
    ASSERT_TRUE(FillUp(Disk() / "fill"));
    fs::resize_file(Disk() / "fill", fs::file_size(Disk() / "fill") - 64 * 1024);
    const UnitMemory memory = IncompressibleMemory(7);

    SimulatedUnit unit("127.0.0.1", port);
    unit.SendPosition(Position("WA30003", 0));
    const DownloadSession session = ServeDownload(unit, memory, 60s);
    EXPECT_TRUE(session.dumpRequested);
    EXPECT_TRUE(session.closedByServer);
    EXPECT_FALSE(session.eraseLastPage.has_value()) << "erase command for page " << session.eraseLastPage.value_or(-1);

    EXPECT_EQ(DiskFiles(), (std::set<std::string>{"Aktualne.txt", "fill"}));  // no archive, whole or partial

    // The failure is in the logs and on serwerd's standard error.
    const std::string lead = "WA30003 nie zapisano pliku sve : Blad zapisu pliku sve " + disk_.string() + "/WA30003";
    const std::string tail = ".sve : " + std::string(std::strerror(ENOSPC)) + "\r\n";
    for (const char* log : {"err2.txt", "WA30003log.txt"}) {
        const std::string text = ReadFile(dir_ / log);
        const auto at = text.find(lead);
        ASSERT_NE(at, std::string::npos) << log << ":\n" << text;
        const auto end = text.find("\r\n", at);
        ASSERT_NE(end, std::string::npos);
        EXPECT_EQ(text.substr(end + 2 - tail.size(), tail.size()), tail) << text.substr(at, end - at);
    }
    EXPECT_NE(ReadFile(dir_ / "WA30003log.txt").find("WA30003zapisano 262144 bajtow danych w pliku sve"),
              std::string::npos);
    EXPECT_NE(ReadFile(dir_ / "stderr.txt").find("WA30003 nie zapisano pliku sve"), std::string::npos);
    EXPECT_EQ(ReadFile(dir_ / "log.txt").find("Mam potwierdzenie skasowania."), std::string::npos);

    // The read is not recorded: the vehicle is read again at a later connection.
    const VehicleFileContent table = ParseVehicleFile(ReadFile(Disk() / "Aktualne.txt"));
    const VehicleRow* row = FindRow(table, "WA30003");
    ASSERT_NE(row, nullptr);
    EXPECT_FALSE(row->ODCZYT.has_value());
    EXPECT_EQ(row->LICZNIK_ODCZYTOW.value_or(0), 0);
}

TEST_F(FullDisk, ReadsWaitForTheDiskReserveWhilePositionsAreStillStored) {
    if (!skipReason_.empty()) GTEST_SKIP() << skipReason_;
    std::ofstream(dir_ / "serwer.ini") << "[Ustawienia]\nPort=0\nOdpytywac=1\nGodzina=23\nRezerwaDyskuMB=2\nKatalog="
                                       << disk_.string() << "\n";
    setup_.options = "size=4m,mode=0755";
    const int port = Launch();
    ASSERT_GT(port, 0);
    ASSERT_TRUE(FillUp(Disk() / "fill"));
    fs::resize_file(Disk() / "fill", fs::file_size(Disk() / "fill") - 1024 * 1024);  // 1 MiB of 2 left
    const std::string stopped =
        Cp1250("Odczyty pamięci wstrzymane: za mało wolnego miejsca na dysku w ") + disk_.string() + " (wolne ";
    for (const char* name : {"WA30011", "WA30012"}) {
        SimulatedUnit unit("127.0.0.1", port);
        unit.SendPosition(Position(name, 0));
        const DownloadSession session = ServeDownload(unit, UnitMemory::Generated(3), 30s);
        EXPECT_FALSE(session.dumpRequested) << name;
        EXPECT_NE(ReadFile(Disk() / "Aktualne.txt").find(std::string("\"") + name + "\""), std::string::npos) << name;
    }
    const std::string err2 = ReadFile(dir_ / "err2.txt");
    EXPECT_EQ(err2.find(stopped), err2.rfind(stopped));
    EXPECT_NE(err2.find(stopped), std::string::npos) << err2;

    // With room again the vehicle, still due, is read at its next connection.
    fs::remove(Disk() / "fill");
    SimulatedUnit unit("127.0.0.1", port);
    unit.SendPosition(Position("WA30011", 0));
    EXPECT_TRUE(ServeDownload(unit, UnitMemory::Generated(3), 30s).eraseLastPage.has_value());
    EXPECT_TRUE(WaitForLog("err2.txt",
                           Cp1250("Odczyty pamięci wznowione: wolnego miejsca na dysku jest więcej niż rezerwa (2 MiB)")));
}

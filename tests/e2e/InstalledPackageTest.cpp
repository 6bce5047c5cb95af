// The serwer package that tools/build-package.sh made (its folder in SERWER_PACKAGE_DIR),
// unpacked into a scratch root: serwerd from the installed files, with the packaged
// settings moved into that root, serves a unit and tells systemd when it is ready and
// when it stops. Without SERWER_PACKAGE_DIR there is no package to look at.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "e2e/ServerdChild.hpp"
#include "support/TestDirectory.hpp"
#include "unitsim/PositionRecordBuilder.hpp"
#include "unitsim/SimulatedUnit.hpp"

using namespace serwer;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class InstalledPackage : public ::testing::Test {
protected:
    void SetUp() override {
        const char* packages = std::getenv("SERWER_PACKAGE_DIR");
        if (!packages) GTEST_SKIP() << "SERWER_PACKAGE_DIR is not set (tools/build-package.sh sets it)";
        fs::path deb;
        for (const auto& entry : fs::directory_iterator(packages))
            if (entry.path().filename().string().starts_with("serwer_") && entry.path().extension() == ".deb")
                deb = entry.path();
        ASSERT_FALSE(deb.empty()) << "no serwer_*.deb in " << packages;
        ASSERT_EQ(Run("dpkg -x '" + deb.string() + "' '" + root_.string() + "'"), 0);
    }

    // The exit code of a shell command line.
    static int Run(const std::string& command) {
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // One datagram from the notify socket, empty when none came in time.
    static std::string Notification(int socket, std::chrono::milliseconds limit) {
        pollfd p{socket, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(limit.count())) != 1) return "";
        char text[256];
        const ssize_t n = ::recv(socket, text, sizeof text, 0);
        return n > 0 ? std::string(text, static_cast<std::size_t>(n)) : "";
    }

    TestDirectory tmp_;
    const fs::path root_ = tmp_.Path() / "root";
    const fs::path serwerd_ = root_ / "usr/bin/serwerd";
};

}  // namespace

TEST_F(InstalledPackage, HoldsTheServerWithoutTheWindowAndAnswersItsCommandLine) {
    for (const char* file : {"usr/bin/serwerd", "usr/bin/historia", "usr/bin/konta", "usr/bin/symulator", "etc/serwer/serwer.ini",
                             "etc/logrotate.d/serwer", "lib/systemd/system/serwerd.service"})
        EXPECT_TRUE(fs::is_regular_file(root_ / file)) << file;
    EXPECT_FALSE(fs::exists(root_ / "usr/bin/serwer"));  // the window is in serwer-okno

    const std::string out = (tmp_.Path() / "out.txt").string(), err = (tmp_.Path() / "err.txt").string();
    const std::string redirect = " >'" + out + "' 2>'" + err + "'";
    EXPECT_EQ(Run(serwerd_.string() + " --version" + redirect), 0);
    EXPECT_EQ(ReadFile(out), std::string("serwerd ") + SERWER_PROJECT_VERSION + "\n");
    EXPECT_EQ(Run(serwerd_.string() + " --help" + redirect), 0);
    EXPECT_EQ(ReadFile(out).rfind("użycie: serwerd [--ini PLIK] [sv | start]\n", 0), 0u);
    EXPECT_EQ(Run(serwerd_.string() + " --port 4500" + redirect), 2);
    EXPECT_EQ(ReadFile(out), "");
    EXPECT_EQ(ReadFile(err), "serwerd: nieznana opcja --port\n(serwerd --help opisuje opcje)\n");
}

TEST_F(InstalledPackage, ServesAUnitWithThePackagedSettingsAndReportsReadyAndStopping) {
    // The packaged settings with the data directory inside the scratch root and any free port.
    std::string ini = ReadFile(root_ / "etc/serwer/serwer.ini");
    const std::string katalog = "Katalog=/var/lib/serwer/dane\n", port = "Port=4500\n";
    ASSERT_NE(ini.find(katalog), std::string::npos);
    ASSERT_NE(ini.find(port), std::string::npos);
    ini.replace(ini.find(katalog), katalog.size(), "Katalog=" + (root_ / "var/lib/serwer/dane").string() + "\n");
    ini.replace(ini.find(port), port.size(), "Port=0\n");
    const fs::path iniCopy = tmp_.Path() / "serwer.ini", home = root_ / "var/lib/serwer";
    std::ofstream(iniCopy) << ini;
    fs::create_directories(home);  // what postinst makes; serwerd makes dane/ itself

    const int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(notify, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string notifyPath = (tmp_.Path() / "notify").string();
    ASSERT_LT(notifyPath.size(), sizeof address.sun_path);
    notifyPath.copy(address.sun_path, notifyPath.size());
    ASSERT_EQ(::bind(notify, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);

    ServerdChild serwerd;
    ::setenv("NOTIFY_SOCKET", notifyPath.c_str(), 1);
    const bool started = serwerd.StartProgram(serwerd_, home, {"--ini", iniCopy.string()});
    ::unsetenv("NOTIFY_SOCKET");
    ASSERT_TRUE(started);
    const int listening = serwerd.WaitForPort(10s);
    ASSERT_NE(listening, 0) << ReadFile(home / "stderr.txt");
    EXPECT_EQ(Notification(notify, 5s), "READY=1");

    PositionOptions o;
    o.registration = "WA12345";
    o.day = 8, o.month = 12, o.year = 2026, o.hour = 10;
    SimulatedUnit unit("127.0.0.1", listening);
    unit.SendPosition(BuildPositionRecord(o));
    const fs::path table = home / "dane/Aktualne.txt";
    for (int i = 0; i < 500 && ReadFile(table).find("\"WA12345\"") == std::string::npos; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_NE(ReadFile(table).find("\"WA12345\""), std::string::npos);
    EXPECT_TRUE(fs::is_regular_file(home / "WA12345log.txt"));  // the logs in the working directory

    EXPECT_TRUE(serwerd.Signal(SIGTERM));
    EXPECT_EQ(Notification(notify, 5s), "STOPPING=1");
    EXPECT_EQ(serwerd.WaitForExit(30s), 0);
    ::close(notify);
}

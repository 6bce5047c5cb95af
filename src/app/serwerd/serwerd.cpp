// serwerd: the positioning server without a window. It starts the way the operator
// window does (serwer.ini beside the executable or the one --ini names, the mode word,
// the data directory, the vehicle table, the old-file clean-up), then listens at once on
// the configured port until SIGTERM or SIGINT. Under systemd (Type=notify) it reports
// READY=1 once it listens and STOPPING=1 when told to stop.

#include <signal.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/CommandLine.hpp"
#include "app/HistoryCommand.hpp"
#include "app/ProcessLimits.hpp"
#include "app/ServerSetupFromSettings.hpp"
#include "app/Settings.hpp"
#include "common/DateTime.hpp"
#include "common/DecimalSeparator.hpp"
#include "common/Win1250.hpp"
#include "download/ArchiveWriter.hpp"
#include "logs/OldFileCleanup.hpp"
#include "server/PositioningServer.hpp"

using namespace serwer;

namespace {

constexpr int kCleanupIntervalSeconds = 60;

class ConsoleStatus : public StatusDisplay {
public:
    void ReportArchiveFailure(const std::string& text) override { std::cerr << Cp1250ToUtf8(text) << std::endl; }
};

}  // namespace

int main(int argc, char** argv) {
    CommandLine commandLine;
    try {
        commandLine = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& e) {
        std::cerr << "serwerd: " << Cp1250ToUtf8(e.what()) << "\n(serwerd --help opisuje opcje)" << std::endl;
        return 2;
    }
    if (commandLine.help || commandLine.version) {
        std::cout << (commandLine.help ? ServerUsage("serwerd") : VersionText("serwerd")) << std::flush;
        return 0;
    }
    const std::string settingsPath = SettingsPathOf(commandLine, ExecutableDirectory());
    // A file named on the command line must be there; the default one may be missing.
    if (commandLine.iniPath && !std::ifstream(settingsPath, std::ios::binary).good()) {
        std::cerr << "serwerd: nie można odczytać pliku ustawień " << settingsPath << std::endl;
        return 1;
    }

    // Signals are taken by the main thread alone; every thread started later inherits
    // this mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    // One descriptor per connected unit: take all the administrator allows.
    const std::uint64_t descriptorLimit = RaiseDescriptorLimit();

    const char decimalSeparator = ReadDecimalSeparatorFromEnvironment();
    const Settings settings = ReadSettings(IniFile::Load(settingsPath), commandLine.firstArgument);

    try {
        EnsureDataDirectory(settings.dataDirectory);
    } catch (const std::exception& e) {
        std::cerr << Cp1250ToUtf8(e.what()) << std::endl;
        return 1;
    }

    if (!ArchiveWriterUsable()) {
        std::cerr << Cp1250ToUtf8(kArchiveWriterMissingMessage) << std::endl;
        return 1;
    }

    ConsoleStatus status;
    ServerSetup setup = ServerSetupFromSettings(settings, decimalSeparator);
    setup.display = &status;
    PositioningServer server(setup);

    try {
        server.LoadVehicleTable();
    } catch (const std::exception& e) {
        // A missing file only means an empty table; other problems are worth a note,
        // since the rows that could not be read are kept in a .bak copy.
        if (std::string(e.what()).rfind("Cannot open file", 0) != 0)
            std::cerr << "Aktualne.txt: " << Cp1250ToUtf8(e.what()) << std::endl;
    }

    try {
        server.Start(settings.port);
    } catch (const std::exception& e) {
        std::cerr << Cp1250ToUtf8(e.what()) << std::endl;
        return 1;
    }
    server.Context().packetCounter = 1;
    std::cout << "serwerd: up to " << descriptorLimit << " open descriptors" << std::endl;
    std::cout << "serwerd: listening on port " << server.Port() << ", data directory "
              << Cp1250ToUtf8(settings.dataDirectory) << std::endl;
    // The HTTP service of [Www]: when it cannot start, the units are served all the same.
    const std::unique_ptr<WebService> web = WebServiceFromSettings(server, settings);
    if (web) {
        if (const auto why = StartWebService(*web))
            std::cerr << "serwerd: " << Cp1250ToUtf8(*why) << std::endl;
        else
            std::cout << "serwerd: www on port " << web->Port() << std::endl;
    }
    // Without systemd (NOTIFY_SOCKET unset) these calls do nothing.
    sd_notify(0, "READY=1");

    OldFileCleanup cleanup(settings.dataDirectory);
    for (;;) {
        try {
            cleanup.CleanOldFiles(DateTime::Now());
        } catch (...) {
        }
        try {
            server.PruneHistory(DateTime::Now());
        } catch (...) {
        }
        timespec timeout{kCleanupIntervalSeconds, 0};
        const int sig = sigtimedwait(&signals, nullptr, &timeout);
        if (sig == SIGINT || sig == SIGTERM) break;
    }
    sd_notify(0, "STOPPING=1");
    if (web) web->Stop();
    server.Stop();
    return 0;
}

// serwerd: the positioning server without a window. It starts the way the operator
// window does (serwer.ini beside the executable, the first argument, the data
// directory, the vehicle table, the old-file clean-up), then listens at once on the
// configured port until SIGTERM or SIGINT.

#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <string>

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
    const std::string firstArgument = argc > 1 ? argv[1] : "";
    const Settings settings = ReadSettings(IniFile::Load(ExecutableDirectory() + "/serwer.ini"), firstArgument);

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
    server.Stop();
    return 0;
}

// serwer: the positioning server with its operator window.
#include <signal.h>

#include <QApplication>
#include <QMessageBox>
#include <clocale>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/CommandLine.hpp"
#include "app/HistoryCommand.hpp"
#include "app/ProcessLimits.hpp"
#include "app/Settings.hpp"
#include "app/window/PolishTranslations.hpp"
#include "app/window/TfrmMain.hpp"
#include "app/window/UiText.hpp"
#include "common/DecimalSeparator.hpp"
#include "common/Win1250.hpp"

using namespace serwer;

namespace {

// Qt ends the process without a word of explanation when it cannot reach a display,
// so the program looks first and points to the server without a window.
bool DisplayAvailable() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && *platform) return true;  // chosen explicitly (offscreen, vnc, ...)
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x11 && *x11) || (wayland && *wayland);
}

}  // namespace

int main(int argc, char** argv) {
    // The command line first: --help and --version need no display.
    CommandLine commandLine;
    try {
        commandLine = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& e) {
        std::cerr << "serwer: " << Cp1250ToUtf8(e.what()) << "\n(serwer --help opisuje opcje)" << std::endl;
        return 2;
    }
    if (commandLine.help || commandLine.version) {
        std::cout << (commandLine.help ? ServerUsage("serwer") : VersionText("serwer")) << std::flush;
        return 0;
    }
    if (!DisplayAvailable()) {
        std::cerr << "serwer: no display is available (neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
                     "The operator window needs a graphical session. To run the server without a window,\n"
                     "start serwerd instead: "
                  << ExecutableDirectory() << "/serwerd" << std::endl;
        return 1;
    }
    ::signal(SIGPIPE, SIG_IGN);
    // Every connected unit holds a socket.
    RaiseDescriptorLimit();

    TfrmMain::Options options;
    options.settingsPath = SettingsPathOf(commandLine, ExecutableDirectory());
    options.firstArgument = commandLine.firstArgument;
    options.decimalSeparator = ReadDecimalSeparatorFromEnvironment();

    // Qt sees the program's name only: the arguments are this program's own.
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    // Qt takes the environment's locale for the C library too; the core writes numbers
    // with a point (coordinates, exports, the XLSX cells) and takes the separator it
    // shows from options.decimalSeparator.
    std::setlocale(LC_NUMERIC, "C");
    InstallPolishTranslations();
    std::unique_ptr<TfrmMain> frmMain;
    try {
        frmMain = std::make_unique<TfrmMain>(options);
    } catch (const std::exception& e) {
        // The data directory could not be created: nothing more can be done, and the
        // settings are not written back.
        QMessageBox::critical(nullptr, QStringLiteral("Serwer pozycjonowania"), UiMessage(e.what()));
        return 1;
    }
    frmMain->show();
    return app.exec();
}

#include "app/CommandLine.hpp"

#include "app/HistoryCommand.hpp"
#include "common/Win1250.hpp"

#ifndef SERWER_VERSION
#error "SERWER_VERSION must come from the project version"
#endif

namespace serwer {

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
    CommandLine line;
    bool wordSeen = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            line.help = true;
        } else if (arg == "--version") {
            line.version = true;
        } else if (arg == "--ini") {
            if (i + 1 == args.size() || args[i + 1].empty())
                throw UsageError(Cp1250("opcja --ini wymaga ścieżki pliku ustawień"));
            line.iniPath = args[++i];
        } else if (arg.rfind("--ini=", 0) == 0) {
            if (arg.size() == 6) throw UsageError(Cp1250("opcja --ini wymaga ścieżki pliku ustawień"));
            line.iniPath = arg.substr(6);
        } else if (arg.size() > 1 && arg.front() == '-') {
            throw UsageError(Cp1250("nieznana opcja ") + arg);
        } else if (!wordSeen) {
            line.firstArgument = arg;
            wordSeen = true;
        } else {
            throw UsageError(Cp1250("zbędny argument ") + arg);
        }
    }
    return line;
}

std::string SettingsPathOf(const CommandLine& commandLine, const std::string& executableDirectory) {
    if (commandLine.iniPath) return *commandLine.iniPath;
    return executableDirectory + (executableDirectory.ends_with('/') ? "" : "/") + "serwer.ini";
}

std::string ServerUsage(std::string_view program) {
    const std::string name(program);
    return "użycie: " + name + " [--ini PLIK] [sv | start]\n" +
           "  --ini PLIK   plik ustawień (domyślnie serwer.ini obok programu)\n"
           "  sv           tryb serwisowy: kasowanie po odczycie według klucza Kasowac\n"
           "  start        serwer startuje od razu (okno; serwerd startuje zawsze)\n"
           "  --help       ten opis\n"
           "  --version    wersja programu\n" +
           "Dzienniki zdarzeń powstają w katalogu bieżącym, dane w katalogu Katalog.\n";
}

std::string VersionText(std::string_view program) { return std::string(program) + " " + SERWER_VERSION + "\n"; }

}  // namespace serwer

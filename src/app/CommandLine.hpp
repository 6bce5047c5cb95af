#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace serwer {

// The command line of serwerd and of the window serwer:
//   [--ini PLIK] [sv | start]    --help    --version
// The mode word is the first argument that is neither an option nor an option's value:
// "sv" selects service mode, "start" starts the server at once (the window), any other
// word is ignored, as it always was. A second word or an unknown option is a usage
// error.
struct CommandLine {
    bool help = false;
    bool version = false;
    std::optional<std::string> iniPath;  // none: serwer.ini beside the executable
    std::string firstArgument;           // the mode word, empty when none
};

// The arguments after the program's name. Fails with UsageError (its text in
// Windows-1250, like every text of the core).
CommandLine ParseCommandLine(const std::vector<std::string>& args);

// The settings file the command line names, or serwer.ini in executableDirectory.
std::string SettingsPathOf(const CommandLine& commandLine, const std::string& executableDirectory);

// What --help prints for the program named (UTF-8).
std::string ServerUsage(std::string_view program);

// What --version prints: "<program> <version>\n", the version of the whole project.
std::string VersionText(std::string_view program);

}  // namespace serwer

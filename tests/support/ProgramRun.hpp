#pragma once
// One of the built programs run in a test's directory: its exit code, and what it wrote
// to its standard output and error.
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/TestDirectory.hpp"

namespace serwer {

struct ProgramRun {
    int code = -1;  // the exit code; -1 when it did not exit
    std::string out, err;
};

// `commandLine` (a shell line naming the program and its arguments) run in `dir`, with
// `input` as its standard input; out.txt, err.txt and in.txt there hold the streams.
inline ProgramRun RunProgramIn(const std::filesystem::path& dir, const std::string& commandLine,
                               const std::string& input = "") {
    std::ofstream(dir / "in.txt", std::ios::binary) << input;
    const std::string command = "cd '" + dir.string() + "' && " + commandLine + " <in.txt >out.txt 2>err.txt";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(dir / "out.txt"), ReadFile(dir / "err.txt")};
}

}  // namespace serwer

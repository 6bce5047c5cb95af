// historia: exports the position history of one vehicle or of all of them over a span of
// Polish time (GPX, KML, GeoJSON or CSV) and prints a summary per vehicle and day. It
// finds the history through serwer.ini, as the server does.

#include <sys/stat.h>

#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "app/HistoryCommand.hpp"
#include "app/Settings.hpp"
#include "common/DecimalSeparator.hpp"
#include "common/DurableFile.hpp"
#include "common/Win1250.hpp"
#include "history/DaySummary.hpp"
#include "history/HistoryRecord.hpp"
#include "history/SqliteHistoryStore.hpp"
#include "history/TrackExport.hpp"

using namespace serwer;

namespace {

constexpr int kFailure = 1;
constexpr int kUsage = 2;

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsReadable(const std::string& path) { return std::ifstream(path, std::ios::binary).good(); }

int Failure(const std::string& utf8) {
    std::cerr << "historia: " << utf8 << std::endl;
    return kFailure;
}

}  // namespace

int main(int argc, char** argv) {
    const char decimalSeparator = ReadDecimalSeparatorFromEnvironment();
    HistoryCommand command;
    try {
        command = ParseHistoryCommand(std::vector<std::string>(argv + 1, argv + argc), UtcNowSeconds());
    } catch (const UsageError& e) {
        std::cerr << "historia: " << Cp1250ToUtf8(e.what()) << "\n(historia --help opisuje opcje)" << std::endl;
        return kUsage;
    }
    if (command.help) {
        std::cout << HistoryUsage();
        return 0;
    }

    const std::string iniPath = command.iniPath.value_or(ExecutableDirectory() + "/serwer.ini");
    if (command.iniPath && !IsReadable(iniPath)) return Failure("nie można odczytać pliku ustawień " + iniPath);
    const std::string historyDirectory = HistoryDirectory(DataDirectoryOf(iniPath, IniFile::Load(iniPath)));
    if (!IsDirectory(historyDirectory))
        return Failure("nie ma katalogu historii " + Cp1250ToUtf8(historyDirectory) + " (ustawienia: " + iniPath + ")");

    std::vector<HistoryRecord> rows;
    try {
        SqliteHistoryStore store(historyDirectory);
        rows = store.Query(QueryOf(command));
    } catch (const std::exception& e) {
        return Failure("nie można odczytać historii: " + Cp1250ToUtf8(e.what()));
    }

    const std::string document = ExportTrack(rows, command.format);
    if (command.outputPath) {
        const DurableWriteResult written = WriteDurableFile(*command.outputPath, document, Placement::Replace);
        if (!written.placed)
            return Failure("nie można zapisać pliku " + *command.outputPath + ": " + std::strerror(written.error));
    } else {
        std::cout << document << std::flush;
        if (!std::cout) return Failure("nie można zapisać eksportu na standardowe wyjście");
    }

    std::ostream& summary = command.outputPath ? std::cout : std::cerr;
    summary << FormatSummaryTable(SummarizeDays(rows), decimalSeparator);
    if (command.outputPath) summary << "Zapisano do " << *command.outputPath << ", pozycji: " << rows.size() << "\n";
    summary << std::flush;
    return 0;
}

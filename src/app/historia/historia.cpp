// historia: exports the position history of one vehicle or of all of them over a span of
// Polish time (GPX, KML, GeoJSON or CSV) and prints a summary per vehicle and day; with
// --zdarzenia their events instead, with --przelicz-zdarzenia those events computed
// again from the positions, with --raport a report of trips, stops or summaries. It finds the history through serwer.ini, as the server does.

#include <sys/stat.h>

#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <iostream>
#include <string>
#include <vector>

#include "app/HistoryCommand.hpp"
#include "app/Settings.hpp"
#include "common/DecimalSeparator.hpp"
#include "common/DurableFile.hpp"
#include "common/Win1250.hpp"
#include "events/Zones.hpp"
#include "history/DaySummary.hpp"
#include "history/EventReplay.hpp"
#include "history/HistoryRecord.hpp"
#include "history/OpenHistoryStore.hpp"
#include "history/SqliteHistoryStore.hpp"
#include "history/TrackExport.hpp"
#include "reports/FleetReport.hpp"
#include "reports/ReportFormats.hpp"
#include "reports/XlsxReport.hpp"

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

int Write(const HistoryCommand& command, const std::string& document) {
    if (command.outputPath) {
        const DurableWriteResult written = WriteDurableFile(*command.outputPath, document, Placement::Replace);
        if (!written.placed)
            return Failure("nie można zapisać pliku " + *command.outputPath + ": " + std::strerror(written.error));
    } else {
        std::cout << document << std::flush;
        if (!std::cout) return Failure("nie można zapisać eksportu na standardowe wyjście");
    }
    return 0;
}

// --zdarzenia and --przelicz-zdarzenia. The events computed again replace those stored
// for the span (of the vehicle, or of all), type by type, and are written out as well.
int Events(const HistoryCommand& command, const IniFile& ini, const std::string& dataDirectory,
           const std::string& database, char decimalSeparator) {
    const HistoryQuery span = QueryOf(command);
    EventQuery query;
    query.registration = command.registration;
    query.fromUtc = span.fromUtc;
    query.toUtc = span.toUtc;
    std::vector<Event> events;
    try {
        const std::unique_ptr<HistoryStore> opened = OpenHistoryForReading(dataDirectory, database);
        HistoryStore& store = *opened;
        if (command.mode == HistoryCommand::Mode::Events) {
            events = store.QueryEvents(query);
        } else {
            ZoneSet zones;
            if (std::ifstream in{dataDirectory + "/strefy.geojson", std::ios::binary}) {
                const std::string text((std::istreambuf_iterator<char>(in)), {});
                zones = ZoneSet::FromGeoJson(text);
            }
            const EventSettings settings = ReadEventSettings(ini);
            events = ReplayEvents(store.Query(span), {settings, zones, decimalSeparator});
            for (EventType type : ReplayedEventTypes()) {
                query.type = type;
                store.RemoveEvents(query);
            }
            store.AppendEvents(events);
        }
    } catch (const std::exception& e) {
        return Failure("nie można odczytać historii: " + Cp1250ToUtf8(e.what()));
    }
    if (const int failed = Write(command, ExportEvents(events, command.eventFormat))) return failed;
    std::ostream& summary = command.outputPath ? std::cout : std::cerr;
    summary << (command.mode == HistoryCommand::Mode::Events ? "Zdarzeń: " : "Obliczono na nowo zdarzeń: ")
            << events.size() << "\n" << std::flush;
    return 0;
}

// --raport: the report of the span, written as JSON, CSV or XLSX.
int Report(const HistoryCommand& command, const IniFile& ini, const std::string& dataDirectory,
           const std::string& database) {
    const HistoryQuery span = QueryOf(command);
    ReportRequest request;
    request.kind = command.report;
    request.registrations = command.registrations;
    request.fromUtc = span.fromUtc;
    request.toUtc = span.toUtc;
    request.perDay = command.perDay;
    std::string zoneFailure;
    const ZoneSet zones = ReadZoneFile(dataDirectory, &zoneFailure);
    if (!zoneFailure.empty()) std::cerr << "historia: strefy pominięte: " << Cp1250ToUtf8(zoneFailure) << std::endl;
    const EventSettings events = ReadEventSettings(ini);
    ReportContext context;
    context.settings = ReadReportSettings(ini);
    context.zones = &zones;
    context.tankLitres = [&events](const std::string& registration) { return events.For(registration).tankLitres; };
    ReportTable table;
    std::string document;
    try {
        const std::unique_ptr<HistoryStore> store = OpenHistoryForReading(dataDirectory, database);
        table = MakeReport(*store, request, context);
        switch (command.reportFormat) {
            case ReportFormat::Json:
                document = ReportJson(table);
                break;
            case ReportFormat::Csv:
                document = ReportCsv(table);
                break;
            case ReportFormat::Xlsx:
                document = ReportXlsx(table);
                break;
        }
    } catch (const std::exception& e) {
        return Failure("nie można przygotować raportu: " + Cp1250ToUtf8(e.what()));
    }
    if (const int failed = Write(command, document)) return failed;
    std::ostream& summary = command.outputPath ? std::cout : std::cerr;
    summary << Cp1250ToUtf8(table.title) << ": wierszy " << table.rows.size();
    if (command.outputPath) summary << ", zapisano do " << *command.outputPath;
    summary << "\n" << std::flush;
    return 0;
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
    const IniFile ini = IniFile::Load(iniPath);
    const std::string dataDirectory = DataDirectoryOf(iniPath, ini);
    // [Historia] Baza: the history in PostgreSQL; otherwise the month files here.
    const std::string database = ReadSettings(ini, "").database;
    const std::string historyDirectory = HistoryDirectory(dataDirectory);
    if (database.empty() && !IsDirectory(historyDirectory))
        return Failure("nie ma katalogu historii " + Cp1250ToUtf8(historyDirectory) + " (ustawienia: " + iniPath + ")");

    if (command.mode == HistoryCommand::Mode::Report) return Report(command, ini, dataDirectory, database);
    if (command.mode != HistoryCommand::Mode::Track)
        return Events(command, ini, dataDirectory, database, decimalSeparator);

    std::vector<HistoryRecord> rows;
    try {
        rows = OpenHistoryForReading(dataDirectory, database)->Query(QueryOf(command));
    } catch (const std::exception& e) {
        return Failure("nie można odczytać historii: " + Cp1250ToUtf8(e.what()));
    }

    if (const int failed = Write(command, ExportTrack(rows, command.format))) return failed;

    std::ostream& summary = command.outputPath ? std::cout : std::cerr;
    summary << FormatSummaryTable(SummarizeDays(rows), decimalSeparator);
    if (command.outputPath) summary << "Zapisano do " << *command.outputPath << ", pozycji: " << rows.size() << "\n";
    summary << std::flush;
    return 0;
}

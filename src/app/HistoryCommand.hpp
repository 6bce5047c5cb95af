#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/Settings.hpp"
#include "common/DateTime.hpp"
#include "common/ServerError.hpp"
#include "history/DaySummary.hpp"
#include "history/HistoryStore.hpp"
#include "history/TrackExport.hpp"
#include "reports/ReportFormats.hpp"
#include "reports/ReportSettings.hpp"

namespace serwer {

// historia: the position history of one vehicle or all of them over a span of Polish
// time, exported to a file (or the standard output), with a summary per vehicle and day.

struct HistoryCommand {
    bool help = false;
    // --zdarzenia: the events of the span instead of the positions; --przelicz-zdarzenia:
    // the events of the span computed again from its positions, replacing those stored.
    // --raport R: a report (trasy, postoje, podsumowanie, kierowcy) instead.
    enum class Mode { Track, Events, RecomputeEvents, Report };
    Mode mode = Mode::Track;
    ReportKind report = ReportKind::Trasy;
    ReportFormat reportFormat = ReportFormat::Json;
    bool perDay = false;                     // --dzien: the summaries by day too
    std::vector<std::string> registrations;  // a report's --pojazd: one or more, comma-separated
    EventFormat eventFormat = EventFormat::Json;
    std::optional<std::string> registration;  // Windows-1250; none: every vehicle
    DateTime fromLocal, toLocal;              // Polish time, from included, to not
    ExportFormat format = ExportFormat::Gpx;
    std::optional<std::string> outputPath;  // none: the standard output
    std::optional<std::string> iniPath;     // none: serwer.ini beside the executable
};

// A command line that cannot be used; the text (Windows-1250) says why.
class UsageError : public ServerError {
public:
    using ServerError::ServerError;
};

// "YYYY-MM-DD HH:MM" or "YYYY-MM-DD" (then 00:00); nothing for anything else.
std::optional<DateTime> ParseLocalMinute(std::string_view text);

// The arguments after the program's name. --help anywhere gives help alone. Without
// --od and --do the span is today (the Polish day of nowUtc); --od alone runs to the end
// of today, --do alone starts at the beginning of the day of its last minute. Without
// --format, the ending of --plik names it (for events: json when neither does). Fails
// with UsageError.
HistoryCommand ParseHistoryCommand(const std::vector<std::string>& args, std::int64_t nowUtc);

// The span in UTC seconds, for the store.
HistoryQuery QueryOf(const HistoryCommand& command);

// The data directory of a serwer.ini: its Katalog, taken from the ini file's directory
// when relative.
std::string DataDirectoryOf(const std::string& iniPath, const IniFile& ini);

// What --help prints (UTF-8).
std::string HistoryUsage();

// The summaries as a table for a terminal (UTF-8), one line per vehicle and day, with
// the decimal separator given; a line saying so when there is none.
std::string FormatSummaryTable(const std::vector<DaySummary>& days, char decimalSeparator);

}  // namespace serwer

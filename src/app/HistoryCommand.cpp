#include "app/HistoryCommand.hpp"

#include <algorithm>
#include <cstdio>
#include <map>

#include "common/PolishTime.hpp"
#include "common/Win1250.hpp"

namespace serwer {

namespace {

const std::vector<std::string> kValueOptions = {"--pojazd", "--od", "--do", "--format", "--plik", "--ini", "--raport"};

[[noreturn]] void Fail(const std::string& utf8) { throw UsageError(Cp1250(utf8)); }

bool Digits(std::string_view text) {
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return !text.empty();
}

int Number(std::string_view digits) {
    int value = 0;
    for (char c : digits) value = value * 10 + (c - '0');
    return value;
}

std::string Trimmed(const std::string& text) {
    const auto begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return "";
    return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

DateTime TimeOption(const std::string& option, const std::string& value) {
    const auto time = ParseLocalMinute(value);
    if (!time) Fail("zły czas w " + option + ": \"" + value + "\" (RRRR-MM-DD GG:MM albo RRRR-MM-DD)");
    return *time;
}

std::string FormatName() { return "gpx, kml, geojson albo csv"; }

// Code points of UTF-8 text: the width of a column on a terminal.
std::size_t Width(const std::string& utf8) {
    std::size_t n = 0;
    for (char c : utf8) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

std::string Decimal(double value, char separator) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f", value);
    std::string text = buf;
    for (char& c : text)
        if (c == '.' || c == ',') c = separator;
    return text;
}

std::string Duration(std::int64_t seconds) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60));
    return buf;
}

std::string LocalClock(const HistoryRecord& row) {
    const DateTime::Parts p = PolishWallTime(*row.fixTimeUtc).Split();
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d:%02d", p.hour, p.minute);
    return buf;
}

std::string DateText(DateTime day) {
    const DateTime::Parts p = day.Split();
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", p.year, p.month, p.day);
    return buf;
}

}  // namespace

std::optional<DateTime> ParseLocalMinute(std::string_view text) {
    if (text.size() != 10 && text.size() != 16) return std::nullopt;
    const std::string_view y = text.substr(0, 4), mo = text.substr(5, 2), d = text.substr(8, 2);
    if (!Digits(y) || text[4] != '-' || !Digits(mo) || text[7] != '-' || !Digits(d)) return std::nullopt;
    int hour = 0, minute = 0;
    if (text.size() == 16) {
        const std::string_view h = text.substr(11, 2), mi = text.substr(14, 2);
        if (text[10] != ' ' || !Digits(h) || text[13] != ':' || !Digits(mi)) return std::nullopt;
        hour = Number(h);
        minute = Number(mi);
    }
    return DateTime::Make(Number(y), Number(mo), Number(d), hour, minute);
}

HistoryCommand ParseHistoryCommand(const std::vector<std::string>& args, std::int64_t nowUtc) {
    HistoryCommand command;
    for (const std::string& arg : args)
        if (arg == "--help" || arg == "-h") {
            command.help = true;
            return command;
        }

    std::map<std::string, std::string> values;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (option == "--dzien") {
            command.perDay = true;
            continue;
        }
        if (option == "--zdarzenia" || option == "--przelicz-zdarzenia") {
            const auto mode = option == "--zdarzenia" ? HistoryCommand::Mode::Events
                                                      : HistoryCommand::Mode::RecomputeEvents;
            if (command.mode != HistoryCommand::Mode::Track) Fail("podano --zdarzenia i --przelicz-zdarzenia razem");
            command.mode = mode;
            continue;
        }
        if (std::find(kValueOptions.begin(), kValueOptions.end(), option) == kValueOptions.end())
            Fail("nieznana opcja: " + option);
        if (i + 1 >= args.size()) Fail("brak wartości opcji " + option);
        if (!values.emplace(option, args[++i]).second) Fail("opcja " + option + " podana dwa razy");
    }
    const auto value = [&](const std::string& option) -> std::optional<std::string> {
        const auto it = values.find(option);
        if (it == values.end()) return std::nullopt;
        return it->second;
    };

    if (const auto report = value("--raport")) {
        if (command.mode != HistoryCommand::Mode::Track) Fail("podano --raport razem z --zdarzenia albo --przelicz-zdarzenia");
        const auto kind = ReportKindFromName(*report);
        if (!kind) Fail("nieznany raport: " + *report + " (trasy, postoje, podsumowanie albo kierowcy)");
        command.mode = HistoryCommand::Mode::Report;
        command.report = *kind;
    }
    if (command.perDay && command.mode != HistoryCommand::Mode::Report) Fail("--dzien działa tylko z --raport");
    if (const auto registration = value("--pojazd")) {
        if (command.mode == HistoryCommand::Mode::Report) {
            std::string list = *registration + ",";
            for (auto comma = list.find(','); comma != std::string::npos; comma = list.find(',')) {
                const std::string name = Trimmed(list.substr(0, comma));
                list.erase(0, comma + 1);
                if (!name.empty()) command.registrations.push_back(Cp1250(name));
            }
            if (command.registrations.empty()) Fail("pusta rejestracja w --pojazd");
        } else {
            command.registration = Cp1250(Trimmed(*registration));
            if (command.registration->empty()) Fail("pusta rejestracja w --pojazd");
        }
    }
    command.outputPath = value("--plik");
    command.iniPath = value("--ini");

    if (command.mode == HistoryCommand::Mode::Report) {
        const auto format = value("--format");
        const std::string& path = command.outputPath.value_or("");
        const auto dot = path.rfind('.');
        const auto byEnding = dot == std::string::npos ? std::nullopt : ParseReportFormat(path.substr(dot + 1));
        if (format) {
            const auto parsed = ParseReportFormat(*format);
            if (!parsed) Fail("nieznany format raportu: " + *format + " (json, csv albo xlsx)");
            command.reportFormat = *parsed;
        } else if (byEnding) {
            command.reportFormat = *byEnding;
        }
        if (command.reportFormat == ReportFormat::Xlsx && !command.outputPath) Fail("format xlsx wymaga --plik");
    } else if (command.mode != HistoryCommand::Mode::Track) {
        const auto format = value("--format");
        const std::string& path = command.outputPath.value_or("");
        const std::string name = format ? *format : path.substr(path.rfind('.') == std::string::npos ? path.size()
                                                                                                    : path.rfind('.') + 1);
        if (name == "csv")
            command.eventFormat = EventFormat::Csv;
        else if (name == "json" || (!format && name.empty()))
            command.eventFormat = EventFormat::Json;
        else if (format)
            Fail("nieznany format zdarzeń: " + *format + " (json albo csv)");
        if (command.mode == HistoryCommand::Mode::RecomputeEvents && (!value("--od") || !value("--do")))
            Fail("--przelicz-zdarzenia wymaga --od i --do");
    } else if (const auto format = value("--format")) {
        const auto parsed = ParseExportFormat(*format);
        if (!parsed) Fail("nieznany format: " + *format + " (" + FormatName() + ")");
        command.format = *parsed;
    } else {
        const std::string& path = command.outputPath.value_or("");
        const auto dot = path.rfind('.');
        const auto byEnding = dot == std::string::npos ? std::nullopt : ParseExportFormat(path.substr(dot + 1));
        if (!byEnding) Fail("brak opcji --format (" + FormatName() + ")");
        command.format = *byEnding;
    }

    const DateTime today = PolishWallTime(nowUtc).Date();
    const auto from = value("--od"), to = value("--do");
    // A date alone in --do includes that day, as a day picked in the window or on the map
    // page does; a time is the first minute not included.
    command.toLocal = to ? TimeOption("--do", *to) : today.PlusDays(1);
    if (to && to->size() == 10) command.toLocal = command.toLocal.PlusDays(1);
    if (from)
        command.fromLocal = TimeOption("--od", *from);
    else
        command.fromLocal = to ? command.toLocal.PlusMs(-DateTime::kMsPerMinute).Date() : today;
    if (command.fromLocal >= command.toLocal) Fail("czas --do musi być późniejszy niż czas --od");
    return command;
}

HistoryQuery QueryOf(const HistoryCommand& command) {
    HistoryQuery query;
    query.registration = command.registration;
    query.fromUtc = UtcSecondOfPolish(command.fromLocal);
    query.toUtc = UtcSecondOfPolish(command.toLocal);
    return query;
}

std::string DataDirectoryOf(const std::string& iniPath, const IniFile& ini) {
    const std::string katalog = ReadSettings(ini, "").dataDirectory;
    if (!katalog.empty() && katalog.front() == '/') return katalog;
    const auto slash = iniPath.rfind('/');
    const std::string iniDirectory = slash == std::string::npos ? "." : iniPath.substr(0, slash == 0 ? 1 : slash);
    if (katalog.empty() || katalog == ".") return iniDirectory;
    return iniDirectory + (iniDirectory.back() == '/' ? "" : "/") + katalog;
}

std::string HistoryUsage() {
    return "użycie: historia [opcje]\n"
           "  --pojazd REJ        rejestracja pojazdu (bez tej opcji: wszystkie pojazdy)\n"
           "  --od CZAS           początek, czas polski \"RRRR-MM-DD GG:MM\" albo \"RRRR-MM-DD\"\n"
           "  --do CZAS           koniec: sama data to do końca tego dnia, a z godziną ta minuta\n"
           "                      już się nie liczy; bez --od i --do: dzisiaj\n"
           "  --format F          gpx, kml, geojson albo csv (bez tej opcji: z rozszerzenia --plik)\n"
           "  --plik PLIK         plik eksportu (bez tej opcji: standardowe wyjście)\n"
           "  --ini PLIK          plik ustawień (domyślnie serwer.ini obok programu)\n"
           "  --zdarzenia         zdarzenia z tego czasu zamiast pozycji (format json albo csv)\n"
           "  --przelicz-zdarzenia  zdarzenia z --od do --do obliczone na nowo z zapisanych\n"
           "                      pozycji (po zmianie stref albo limitów); zastępują zapisane\n"
           "  --raport R          raport zamiast eksportu: trasy, postoje, podsumowanie albo\n"
           "                      kierowcy (format json, csv albo xlsx; xlsx tylko do --plik);\n"
           "                      --pojazd może wtedy podać kilka rejestracji po przecinku\n"
           "  --dzien             podsumowanie i kierowcy: osobny wiersz na każdy dzień\n"
           "Podsumowanie dni idzie na standardowe wyjście, a gdy tam idzie eksport, na\n"
           "standardowe wyjście błędów.\n";
}

std::string FormatSummaryTable(const std::vector<DaySummary>& days, char decimalSeparator) {
    if (days.empty()) return "Brak pozycji w podanym czasie.\n";
    std::vector<std::vector<std::string>> lines = {
        {"pojazd", "dzień", "pozycji", "km", "pierwsza", "ostatnia", "maks. km/h", "w ruchu", "postój"}};
    for (const DaySummary& d : days)
        lines.push_back({Cp1250ToUtf8(d.registration), DateText(d.day), std::to_string(d.positions),
                         Decimal(d.distanceKm, decimalSeparator), LocalClock(d.first), LocalClock(d.last),
                         Decimal(d.maxSpeedKmh, decimalSeparator), Duration(d.movingSeconds),
                         Duration(d.standingSeconds)});
    const std::size_t columns = lines.front().size();
    std::vector<std::size_t> widths(columns, 0);
    for (const auto& line : lines)
        for (std::size_t c = 0; c < columns; ++c) widths[c] = std::max(widths[c], Width(line[c]));

    std::string out;
    for (const auto& line : lines) {
        std::string text;
        for (std::size_t c = 0; c < columns; ++c) {
            const std::string pad(widths[c] - Width(line[c]), ' ');
            if (c > 0) text += "  ";
            // The vehicle and the day on the left, the numbers and times on the right.
            text += c < 2 ? line[c] + pad : pad + line[c];
        }
        out += text.substr(0, text.find_last_not_of(' ') + 1) + "\n";
    }
    return out;
}

}  // namespace serwer

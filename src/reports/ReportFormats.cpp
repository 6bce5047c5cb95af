#include "reports/ReportFormats.hpp"

#include <cctype>
#include <cmath>
#include <cstdio>

#include "common/JsonText.hpp"
#include "common/PolishTime.hpp"
#include "common/Win1250.hpp"
#include "history/TrackExport.hpp"

namespace serwer {

namespace {

std::string Fixed(double value, int decimals) {
    if (!std::isfinite(value)) return {};
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string DayText(std::int64_t utc) {
    const DateTime::Parts p = PolishWallTime(utc).Split();
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", p.year, p.month, p.day);
    return text;
}

std::string_view KindName(CellKind kind) {
    switch (kind) {
        case CellKind::Text:
            return "tekst";
        case CellKind::Number:
            return "liczba";
        case CellKind::Integer:
            return "liczba_calkowita";
        case CellKind::Time:
            return "czas";
        case CellKind::Date:
            return "dzien";
        case CellKind::Duration:
            return "sekundy";
    }
    return "tekst";
}

// A cell as the machine outputs write it: a JSON value, or (json false) a CSV field.
std::string MachineValue(const ReportColumn& column, const ReportCell& cell, bool json) {
    if (std::holds_alternative<std::monostate>(cell)) return json ? "null" : "";
    if (const auto* text = std::get_if<std::string>(&cell)) return json ? JsonString(*text) : CsvField(*text);
    if (const auto* number = std::get_if<double>(&cell)) {
        const std::string fixed = Fixed(*number, column.decimals);
        return fixed.empty() && json ? "null" : fixed;
    }
    const std::int64_t value = std::get<std::int64_t>(cell);
    switch (column.kind) {
        case CellKind::Time:
            return json ? "\"" + PolishIsoTime(value) + "\"" : PolishIsoTime(value);
        case CellKind::Date:
            return json ? "\"" + DayText(value) + "\"" : DayText(value);
        default:
            return std::to_string(value);
    }
}

}  // namespace

std::optional<ReportFormat> ParseReportFormat(std::string_view name) {
    std::string lower;
    for (char c : name) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "json") return ReportFormat::Json;
    if (lower == "csv") return ReportFormat::Csv;
    if (lower == "xlsx") return ReportFormat::Xlsx;
    return std::nullopt;
}

std::string ReportFileExtension(ReportFormat format) {
    switch (format) {
        case ReportFormat::Json:
            return "json";
        case ReportFormat::Csv:
            return "csv";
        case ReportFormat::Xlsx:
            return "xlsx";
    }
    return "json";
}

std::string ReportContentType(ReportFormat format) {
    switch (format) {
        case ReportFormat::Json:
            return "application/json; charset=utf-8";
        case ReportFormat::Csv:
            return "text/csv; charset=utf-8";
        case ReportFormat::Xlsx:
            return "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet";
    }
    return "application/octet-stream";
}

std::string ReportJson(const ReportTable& table) {
    std::string out = "{\"raport\": \"" + std::string(ReportKindName(table.kind)) + "\", \"tytul\": " +
                      JsonString(table.title) + ", \"od\": \"" + PolishIsoTime(table.fromUtc) + "\", \"do\": \"" +
                      PolishIsoTime(table.toUtc) + "\",\n \"kolumny\": [";
    for (std::size_t i = 0; i < table.columns.size(); ++i) {
        const ReportColumn& c = table.columns[i];
        out += std::string(i ? ", " : "") + "{\"klucz\": \"" + c.key + "\", \"tytul\": " + JsonString(c.title) +
               ", \"typ\": \"" + std::string(KindName(c.kind)) + "\"" +
               (c.kind == CellKind::Number ? ", \"miejsca\": " + std::to_string(c.decimals) : std::string()) + "}";
    }
    out += "],\n \"wiersze\": [";
    for (std::size_t r = 0; r < table.rows.size(); ++r) {
        out += r ? ",\n  {" : "\n  {";
        for (std::size_t i = 0; i < table.columns.size(); ++i)
            out += std::string(i ? ", " : "") + "\"" + table.columns[i].key +
                   "\": " + MachineValue(table.columns[i], table.rows[r][i], true);
        out += "}";
    }
    return out + "]}\n";
}

std::string ReportCsv(const ReportTable& table) {
    std::string out;
    for (std::size_t i = 0; i < table.columns.size(); ++i) out += (i ? "," : "") + table.columns[i].key;
    out += "\r\n";
    for (const auto& row : table.rows) {
        for (std::size_t i = 0; i < table.columns.size(); ++i)
            out += (i ? "," : "") + MachineValue(table.columns[i], row[i], false);
        out += "\r\n";
    }
    return out;
}

std::string CellText(const ReportColumn& column, const ReportCell& cell, char decimalSeparator) {
    if (std::holds_alternative<std::monostate>(cell)) return {};
    if (const auto* text = std::get_if<std::string>(&cell)) return Cp1250ToUtf8(*text);
    if (const auto* number = std::get_if<double>(&cell)) {
        std::string fixed = Fixed(*number, column.decimals);
        for (char& c : fixed)
            if (c == '.') c = decimalSeparator;
        return fixed;
    }
    const std::int64_t value = std::get<std::int64_t>(cell);
    char text[32];
    switch (column.kind) {
        case CellKind::Time: {
            const DateTime::Parts p = PolishWallTime(value).Split();
            std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", p.year, p.month, p.day, p.hour, p.minute);
            return text;
        }
        case CellKind::Date:
            return DayText(value);
        case CellKind::Duration:
            std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(value / 3600),
                          static_cast<long long>(value / 60 % 60));
            return text;
        default:
            return std::to_string(value);
    }
}

}  // namespace serwer

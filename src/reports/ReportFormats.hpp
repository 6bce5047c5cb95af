#pragma once
#include <optional>
#include <string>
#include <string_view>

#include "reports/ReportTable.hpp"

namespace serwer {

enum class ReportFormat { Json, Csv, Xlsx };

// "json", "csv", "xlsx" (any letter case); nothing for another name.
std::optional<ReportFormat> ParseReportFormat(std::string_view name);
std::string ReportFileExtension(ReportFormat format);
// "application/json; charset=utf-8", "text/csv; charset=utf-8", the XLSX type.
std::string ReportContentType(ReportFormat format);

// The report as UTF-8 JSON: {"raport", "tytul", "od", "do", "kolumny": [{"klucz",
// "tytul", "typ", and for numbers "miejsca": the decimals}], "wiersze": [{klucz: wartość}]}. Times are Polish ISO 8601, days
// "YYYY-MM-DD", durations whole seconds, an empty cell null.
std::string ReportJson(const ReportTable& table);
// The report as UTF-8 CSV: a header row of the column keys, then a line per row, as the
// JSON writes each value (an empty cell empty), lines ending in CRLF.
std::string ReportCsv(const ReportTable& table);

// A cell as text for a person (UTF-8): numbers with the decimal separator given and the
// column's decimals, times "YYYY-MM-DD HH:MM" and days "YYYY-MM-DD" of Polish time,
// durations "H:MM".
std::string CellText(const ReportColumn& column, const ReportCell& cell, char decimalSeparator);

}  // namespace serwer

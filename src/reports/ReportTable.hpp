#pragma once
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "reports/ReportSettings.hpp"

namespace serwer {

// What a column holds, and so how each output writes it.
enum class CellKind {
    Text,      // Windows-1250 bytes
    Number,    // a real number, with the column's decimals
    Integer,   // a count
    Time,      // UTC seconds, written in Polish time
    Date,      // the UTC second a Polish day starts
    Duration,  // seconds
};

struct ReportColumn {
    std::string key;    // the JSON and CSV name
    std::string title;  // the heading of the window, the printout and XLSX (Windows-1250)
    CellKind kind = CellKind::Text;
    int decimals = 0;  // Number: places after the point
    int width = 10;    // characters, for XLSX and the printout
};

// An empty cell, a text, a number, or an integer (a count, a time, a date, a duration).
using ReportCell = std::variant<std::monostate, std::string, double, std::int64_t>;

// A report as a table: the one form every output (JSON, CSV, XLSX, the window, the
// printout, the web page) is written from.
struct ReportTable {
    ReportKind kind = ReportKind::Trasy;
    std::string title;  // "Trasy", "Postoje", … (Windows-1250)
    std::int64_t fromUtc = 0, toUtc = 0;
    std::vector<ReportColumn> columns;
    std::vector<std::vector<ReportCell>> rows;
};

// The Polish title of a report: "Trasy", "Postoje", "Podsumowanie floty", "Kierowcy"
// (Windows-1250).
std::string ReportTitle(ReportKind kind);

}  // namespace serwer

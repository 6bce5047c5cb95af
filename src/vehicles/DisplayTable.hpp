#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/Bytes.hpp"
#include "vehicles/VehicleRow.hpp"

namespace serwer {

// The operator's copy of the vehicle table: rebuilt from Aktualne.txt on the window's
// thread without the TableLock, shown by the grid and the summary report, never
// written back. It has no key, so a file with a NAZWA twice shows both rows.

// The grid's columns, in the grid's order. PUNKTY and VGRANICZNA are not shown.
enum class DisplayColumn {
    NAZWA,
    OPIS,
    DLUGOSC,
    SZEROKOSC,
    GRUPA,
    GPS,
    LICENCJA,
    KIEROWCA,
    PREDKOSC,
    SILNIK,
    PALIWO,
    ODCZYT,
    LICZNIK_ODCZYTOW,
    PROBA_ODCZYTU,
    URZ1,
    URZ2,
    URZ3,
    PRZEBIEG
};
inline constexpr int kDisplayColumnCount = 18;
DisplayColumn DisplayColumnAt(int index);

// The column title of the grid (Windows-1250), e.g. "Długość geograficzna Longitude".
const std::string& DisplayColumnTitle(DisplayColumn column);

// "### ### km": the digits in groups of three separated by a blank, then " km".
std::string FormatMileage(std::int32_t value);

// A cell's display form (Windows-1250): "On"/"Off" for the inputs (null is "Off"), the
// mileage pattern for PRZEBIEG, dates in the window's date-time form, other columns
// as stored; an empty text for null.
std::string DisplayText(const VehicleRow& row, DisplayColumn column);

// The position's fix time held in OPIS ("yyyy.mm.dd-hh:mm"); nothing when OPIS is null
// or holds no such time.
std::optional<DateTime> FixTimeOf(const VehicleRow& row);

// The first number in a text, "." or "," before its fraction: 92.75 in "92,75 Km/h",
// 22 in "Sonda-22 %" (the "-" is no sign). Nothing when the text has no digit.
std::optional<double> NumberInText(const std::string& text);

// How old a position is (Windows-1250), in whole units cut down: "5 min" under an hour
// (anything under a minute, also a time ahead of the clock, is "0 min"), "3 godz." under
// a day, then "1 dzień", "2 dni".
std::string AgeText(std::int64_t ms);

// How fresh a position is, by its age: the grid's row colours and the web API's
// "swiezosc" follow this one rule. Fresh up to 3 hours, Stale (grey) after that, Old
// (dark red) after 24 hours or without a position time.
inline constexpr std::int64_t kMuteAfterMs = 3 * DateTime::kMsPerHour;
inline constexpr std::int64_t kWarnAfterMs = 24 * DateTime::kMsPerHour;
enum class Freshness { Fresh, Stale, Old };
inline Freshness PositionFreshness(std::optional<std::int64_t> ageMs) {
    if (!ageMs || *ageMs > kWarnAfterMs) return Freshness::Old;
    if (*ageMs > kMuteAfterMs) return Freshness::Stale;
    return Freshness::Fresh;
}
// The GPS status names a fix ("OK"); any other status or none is shown as no fix.
inline bool HasGpsFix(const VehicleRow& row) { return row.GPS == "OK"; }
// The age of the row's position at nowLocal (the Polish wall clock, as OPIS holds it);
// nothing without a position time.
inline std::optional<std::int64_t> PositionAgeMs(const VehicleRow& row, DateTime nowLocal) {
    const std::optional<DateTime> fix = FixTimeOf(row);
    if (!fix) return std::nullopt;
    return nowLocal.Ms() - fix->Ms();
}

// Orders two rows by a column's value: null first, texts by their bytes, the numbers in
// the speed and fuel texts and the counts by value (a text without a number as null),
// OPIS by its fix time (a text that is no time as null), dates by value, false before
// true. Negative, zero or positive.
int CompareRows(const VehicleRow& a, const VehicleRow& b, DisplayColumn column);

// The columns that hold free text (registration, coordinates, group, GPS, owner code,
// driver, engine), the ones a TextRanking orders.
bool IsTextColumn(DisplayColumn column);

// An order of texts other than their bytes, such as a language's collation: given the
// texts (Windows-1250), each one's place in that order, equal texts in equal places.
using TextRanking = std::function<std::vector<std::size_t>(const std::vector<std::string>& texts)>;

struct DisplaySort {
    DisplayColumn column;
    bool descending;
};

class DisplayTable {
public:
    // Rebuilds the rows from data directory + "/Aktualne.txt". Every failure is
    // swallowed: a file that cannot be opened leaves no rows, a line that cannot be
    // converted is left out. The chosen sort is applied again.
    void ReloadDisplayTable(const std::string& dataDirectory);
    // The same from file content already read (the report benchmark and tests).
    void ReloadFromContent(const Bytes& content);

    // Replaces any earlier sort; it stays in force across reloads. The sort is stable,
    // so rows with equal values keep the file's order.
    void SortBy(DisplayColumn column, bool descending);
    std::optional<DisplaySort> Sort() const { return sort_; }
    // The order of the text columns from now on (null still first); their bytes' order
    // without one. The chosen sort is applied again.
    void SetTextRanking(TextRanking ranking);

    // The DisplayTable opens at its first reload and stays open.
    bool IsOpen() const { return open_; }
    const std::vector<VehicleRow>& Rows() const { return rows_; }

private:
    void ApplySort();
    void ApplyRankedSort(DisplaySort sort);
    std::vector<VehicleRow> rows_;
    std::optional<DisplaySort> sort_;
    TextRanking textRanking_;
    bool open_ = false;
};

}  // namespace serwer

#pragma once
#include <array>
#include <cstdint>
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

// Orders two rows by a column's value: null first, texts by their bytes, numbers and
// dates by value, false before true. Negative, zero or positive.
int CompareRows(const VehicleRow& a, const VehicleRow& b, DisplayColumn column);

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

    // The DisplayTable opens at its first reload and stays open.
    bool IsOpen() const { return open_; }
    const std::vector<VehicleRow>& Rows() const { return rows_; }

private:
    void ApplySort();
    std::vector<VehicleRow> rows_;
    std::optional<DisplaySort> sort_;
    bool open_ = false;
};

}  // namespace serwer

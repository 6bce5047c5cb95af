#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/Bytes.hpp"
#include "vehicles/VehicleRow.hpp"

namespace serwer {

class VehicleTable;

// Aktualne.txt: the vehicle table as Windows-1250 CSV with CR LF line ends.

// The whole file content for these rows: header line, then one line per row.
Bytes FormatVehicleFile(const std::vector<VehicleRow>& rows);

// The same content for a whole table, kept between calls: a row's line is formatted
// again only when the row changed since the last call (VehicleTable::RowChange), so a
// save costs little more than copying the lines. One formatter serves one table.
class VehicleFileFormatter {
public:
    Bytes Format(const VehicleTable& table);

private:
    struct Line {
        std::uint64_t change = 0;
        Bytes text;
    };
    std::vector<Line> lines_;
};

struct VehicleFileContent {
    std::vector<VehicleRow> rows;      // every line that converted, in file order
    std::optional<std::string> error;  // the first conversion error, if any line failed
};
// Parses file content. A line that cannot be converted is skipped (its error is kept
// in `error`, the first one only) and the lines after it are still read. Header names
// are matched without regard to ASCII case, so "URZ1" and "Urz1" both match.
VehicleFileContent ParseVehicleFile(const Bytes& content);

// Writes the table to path, never leaving a half-written file: the content goes to a
// temporary file in the same directory, is flushed, and is renamed over the old file.
// Fails with ServerError "Cannot create file <path>"; the old file then stays as it was.
void SaveVehicleFile(const VehicleTable& table, const std::string& path);

// Reads the file at path. Fails with ServerError "Cannot open file <path>" when it
// cannot be opened (rows empty). Conversion errors are reported in `error`.
VehicleFileContent ReadVehicleFile(const std::string& path);

// Appends the file's rows to the table (duplicates keep their first row). Throws the
// first problem after everything loadable has been loaded: "Cannot open file <path>",
// a conversion error, or "Duplicate index value. Operation aborted.".
void LoadVehicleFile(VehicleTable& table, const std::string& path);

}  // namespace serwer

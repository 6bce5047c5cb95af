// Aktualne.txt as the server finds it on disk: parsed from memory and loaded from a
// file into a table. Whatever parses must come back the same when written with the
// server's own writer and parsed again, every row that loaded must fit its column
// widths, and the table must keep its keys unique. Failures are ServerError only
// (the conversion error of a bad line, a duplicate key).
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>

#include "FuzzCheck.hpp"
#include "ScratchFile.hpp"
#include "common/ServerError.hpp"
#include "vehicles/VehicleFile.hpp"
#include "vehicles/VehicleTable.hpp"

using namespace serwer;

namespace {

bool Fits(const std::optional<std::string>& text, std::size_t width) { return !text || text->size() <= width; }

void CheckWidths(const VehicleRow& row) {
    FUZZ_CHECK(Fits(row.NAZWA, 10) && Fits(row.OPIS, 50) && Fits(row.KIEROWCA, 10) && Fits(row.PREDKOSC, 10));
    FUZZ_CHECK(Fits(row.GPS, 10) && Fits(row.SILNIK, 10) && Fits(row.PUNKTY, 20) && Fits(row.VGRANICZNA, 20));
    FUZZ_CHECK(Fits(row.LICENCJA, 16) && Fits(row.PALIWO, 20) && Fits(row.SZEROKOSC, 20) && Fits(row.DLUGOSC, 20));
}

const ScratchFile& Scratch() {
    static const ScratchFile file("Aktualne.txt");
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes content(reinterpret_cast<const char*>(data), size);

    const VehicleFileContent parsed = ParseVehicleFile(content);
    for (const VehicleRow& row : parsed.rows) CheckWidths(row);

    const VehicleFileContent again = ParseVehicleFile(FormatVehicleFile(parsed.rows));
    FUZZ_CHECK(!again.error);
    FUZZ_CHECK(again.rows == parsed.rows);

    Scratch().Write(content);
    VehicleTable table;
    try {
        LoadVehicleFile(table, Scratch().Path());
    } catch (const ServerError&) {
    }
    FUZZ_CHECK(table.Size() <= parsed.rows.size());
    std::unordered_set<std::string> keys;
    for (const VehicleRow& row : table.Rows()) {
        CheckWidths(row);
        if (row.NAZWA) FUZZ_CHECK(keys.insert(*row.NAZWA).second);
    }
    return 0;
}

// Writes the seed inputs of the fuzz targets: well-formed link data built with the unit
// simulator's builders and file contents written with the server's own writer, so the
// fuzzers start from inputs that reach past the first checks.
// Usage: fuzz_make_corpus <corpus directory>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/Win1250.hpp"
#include "link/ByteStuffing.hpp"
#include "unitsim/BulkTransferBuilder.hpp"
#include "unitsim/PositionRecordBuilder.hpp"
#include "vehicles/VehicleFile.hpp"

using namespace serwer;

namespace {

namespace fs = std::filesystem;

void Put(const fs::path& dir, const std::string& name, const Bytes& content) {
    fs::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) throw std::runtime_error("cannot write " + (dir / name).string());
}

void PositionFrames(const fs::path& dir) {
    PositionOptions o = SamplePosition();
    o.ownerCode = ParseOwnerCode("0123456789ABCDEF");
    o.driverId = "K07";
    o.day = 27, o.month = 3, o.hour = 10;
    o.minute = 3;  // BCD 03 travels stuffed
    o.latitude = CoordinateFromDegrees(52.2297);
    o.longitude = CoordinateFromDegrees(21.0122);
    o.speedHundredths = 100310;  // 1003.10 km/h: BCD 10 03 10, all three stuffed
    o.fuelSensorType = 3;
    o.fuelReading = 57;
    o.input1 = false;
    o.input2 = true;
    Put(dir, "old_form", StuffBytes(BuildPositionRecord(o)));
    o.newForm = true;
    Put(dir, "new_form", StuffBytes(BuildPositionRecord(o)));
    PositionOptions plain;
    plain.registration = "KR777";
    plain.hemisphere = 3;
    plain.gpsStatus = 'V';
    plain.fuelReading = 77;
    Put(dir, "old_form_nothing_stuffed", StuffBytes(BuildPositionRecord(plain)));
}

// Pattern pages 0..count-1, the last one with its tail erased.
std::vector<Bytes> Pages(int count) {
    std::vector<Bytes> pages;
    for (int p = 0; p < count; ++p) pages.push_back(PatternPage(p, p == count - 1));
    return pages;
}

void Dumps(const fs::path& dir) {
    const std::vector<Bytes> pages = Pages(3);
    Put(dir, "sound", BuildBulkTransfer(pages, 2));
    BulkTransferOptions damaged;
    damaged.damagedPages = {1};
    damaged.missingPages = {0};
    // The replies to the repeat requests for pages 0 and 1 follow the transfer.
    Put(dir, "repeats",
        BuildBulkTransfer(pages, 2, damaged) + "#REPLY#" + StuffBytes(BuildPageBlock(0, pages[0])) + "#REPLY#" +
            StuffBytes(BuildPageBlock(1, pages[1])));
    BulkTransferOptions single;
    single.singleTrailer = true;
    Put(dir, "single_trailer", BuildBulkTransfer(pages, 2, single));
}

void Completions(const fs::path& dir) {
    const Bytes transfer = BuildBulkTransfer(Pages(2), 1);
    Put(dir, "one_piece", Bytes(1, '\0') + transfer);
    // Pieces of 7, 64 and 200 bytes, then the rest.
    Put(dir, "pieces", Bytes("\x03\x07\x40\xC8", 4) + transfer);
    // Page 10 is 00 10, stuffed 00 1B 04: the first piece ends between 1B and 04.
    const Bytes trailers = StuffBytes(BuildEndTrailer(10) + BuildEndTrailer(10));
    Put(dir, "split_escape_pair", Bytes("\x02\x04\x00", 3) + trailers);
}

void VehicleFiles(const fs::path& dir) {
    VehicleRow a;
    a.NAZWA = "WA12345";
    a.OPIS = "2026.03.27-12:03";
    a.KIEROWCA = "K07";
    a.PREDKOSC = "0.00 Km/h";
    a.GPS = "OK";
    a.SILNIK = Cp1250("ZAŁ");
    a.LICENCJA = "0123456789ABCDEF";
    a.PALIWO = "Plywak-57 %";
    a.LICZNIK_ODCZYTOW = 3;
    a.SZEROKOSC = "52.2297000N";
    a.DLUGOSC = "21.0122000E";
    a.ODCZYT = DateTime::Make(2026, 3, 27, 12, 5, 9);
    a.PROBA_ODCZYTU = DateTime::Make(2026, 3, 27);
    a.URZ1 = true;
    a.URZ2 = false;
    a.PRZEBIEG = 123400;
    VehicleRow b;
    b.NAZWA = "KR\"777";
    b.PUNKTY = "a;b%c\r\n";
    b.PREDKOSC = "12,50 Km/h";
    Put(dir, "two_rows", FormatVehicleFile({a, b}));
    // A file from a workstation with a 12-hour clock, columns in another order and case.
    Put(dir, "twelve_hour_clock",
        "\"nazwa\";\"Odczyt\";\"Licznik\";\"urz3\";\"Inna\"\r\n"
        "\"PO1\";\"27/3/2026 1:05:09 PM\";\"+4\";\"True\";\"x\"\r\n"
        "\"PO2\";\"1/12/2025 12:00 AM\";;\"False\"\r\n");
}

void SettingsFiles(const fs::path& dir) {
    Put(dir, "serwer.ini",
        "[Ustawienia]\r\nPort=4500\r\nKatalog=dane\r\nOdpytywac=1\r\nGodzina=0x3\r\nKasowac=0\r\n"
        "parametr=start\r\nPojazdy=wa12345, \"KR 777\",po\"\"1\r\n");
    Put(dir, "two_sections", "; comment\n[Inne]\nPort=1\n[ ustawienia ]\n  Godzina = -1 \nPort='4600'\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: fuzz_make_corpus <corpus directory>\n";
        return 2;
    }
    const fs::path root = argv[1];
    PositionFrames(root / "fuzz_position_frame");
    Dumps(root / "fuzz_dump");
    Completions(root / "fuzz_dump_completion");
    VehicleFiles(root / "fuzz_vehicle_file");
    SettingsFiles(root / "fuzz_settings");
    return 0;
}

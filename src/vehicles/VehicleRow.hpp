#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "common/DateTime.hpp"

namespace serwer {

// One vehicle: its last position and the bookkeeping of its memory reads.
// Every column may be null; a new row has every column null but LICZNIK_ODCZYTOW = 0.
// Text columns hold Windows-1250 bytes and are cut to their width when the row is
// committed to a table (VehicleTable::Post / Append) or loaded from the file.
struct VehicleRow {
    std::optional<std::string> NAZWA;       // string(10), the key
    std::optional<std::string> OPIS;        // string(50), fix time "yyyy.mm.dd-hh:mm"
    std::optional<std::string> KIEROWCA;    // string(10)
    std::optional<std::string> PREDKOSC;    // string(10)
    std::optional<std::string> GPS;         // string(10)
    std::optional<std::string> SILNIK;      // string(10)
    std::optional<std::string> PUNKTY;      // string(20), carried, never written by the server
    std::optional<std::string> VGRANICZNA;  // string(20), carried, never written by the server
    std::optional<std::string> LICENCJA;    // string(16)
    std::optional<std::string> PALIWO;      // string(20)
    std::optional<std::int32_t> LICZNIK_ODCZYTOW = 0;
    std::optional<std::string> SZEROKOSC;  // string(20)
    std::optional<std::string> DLUGOSC;    // string(20)
    std::optional<DateTime> ODCZYT;
    std::optional<DateTime> PROBA_ODCZYTU;
    std::optional<bool> URZ1, URZ2, URZ3;
    std::optional<std::int32_t> PRZEBIEG;

    // The calculated GRUPA column: "Postój" when PREDKOSC begins with '0', else "Jazda".
    std::string GRUPA() const;

    // Cuts every text column to its width.
    void CutToWidths();

    bool operator==(const VehicleRow&) const = default;
};

// The OPIS column text of a fix time (local time): "yyyy.mm.dd-hh:mm". Text order is
// time order, so the column sorts and compares as times do.
std::string FormatFixTime(DateTime local);

}  // namespace serwer

#include "vehicles/VehicleRow.hpp"

#include <cstddef>
#include <cstdio>

#include "common/Win1250.hpp"

namespace serwer {

namespace {

void Cut(std::optional<std::string>& text, std::size_t width) {
    if (text && text->size() > width) text->resize(width);
}

}  // namespace

std::string VehicleRow::GRUPA() const {
    // A speed text that starts with 0 ("0.00 Km/h", "0.75 Km/h") means the vehicle
    // stands; anything else, no speed at all included, counts as driving.
    static const std::string kStanding = Cp1250("Postój");
    static const std::string kDriving = "Jazda";
    return PREDKOSC && !PREDKOSC->empty() && (*PREDKOSC)[0] == '0' ? kStanding : kDriving;
}

void VehicleRow::CutToWidths() {
    Cut(NAZWA, 10);
    Cut(OPIS, 50);
    Cut(KIEROWCA, 10);
    Cut(PREDKOSC, 10);
    Cut(GPS, 10);
    Cut(SILNIK, 10);
    Cut(PUNKTY, 20);
    Cut(VGRANICZNA, 20);
    Cut(LICENCJA, 16);
    Cut(PALIWO, 20);
    Cut(SZEROKOSC, 20);
    Cut(DLUGOSC, 20);
}

std::string FormatFixTime(DateTime local) {
    // DateTime already holds whole milliseconds, so splitting it cannot lose a minute.
    const DateTime::Parts p = local.Split();
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d.%02d.%02d-%02d:%02d", p.year, p.month, p.day, p.hour, p.minute);
    return buf;
}

}  // namespace serwer

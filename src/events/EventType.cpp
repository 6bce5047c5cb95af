#include "events/EventType.hpp"

#include <array>

namespace serwer {

namespace {
constexpr std::array<std::string_view, kEventTypeCount> kNames = {
    "przekroczenie_predkosci", "wjazd_do_strefy", "wyjazd_ze_strefy", "zaplon", "wylaczenie_silnika",
    "postoj_z_pracujacym_silnikiem", "tankowanie", "spadek_paliwa", "zmiana_kierowcy", "utrata_gps",
    "odzyskanie_gps", "wejscie", "brak_pozycji", "powrot", "zalegly_odczyt", "przeglad",
};
}  // namespace

std::string_view EventTypeName(EventType type) { return kNames[static_cast<std::size_t>(type)]; }

std::optional<EventType> EventTypeFromName(std::string_view name) {
    for (std::size_t i = 0; i < kNames.size(); ++i)
        if (kNames[i] == name) return static_cast<EventType>(i);
    return std::nullopt;
}

}  // namespace serwer

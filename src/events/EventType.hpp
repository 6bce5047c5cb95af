#pragma once
#include <optional>
#include <string_view>

namespace serwer {

// What happened to a vehicle. The names (EventTypeName) are the ones of the history's
// events table, the web API, the settings and the metrics.
enum class EventType {
    PrzekroczeniePredkosci,
    WjazdDoStrefy,
    WyjazdZeStrefy,
    Zaplon,
    WylaczenieSilnika,
    PostojZPracujacymSilnikiem,
    Tankowanie,
    SpadekPaliwa,
    ZmianaKierowcy,
    UtrataGps,
    OdzyskanieGps,
    Wejscie,
    BrakPozycji,
    Powrot,
    ZaleglyOdczyt,
    Przeglad,
};
constexpr int kEventTypeCount = 16;

// "przekroczenie_predkosci", "wjazd_do_strefy", … "przeglad".
std::string_view EventTypeName(EventType type);
std::optional<EventType> EventTypeFromName(std::string_view name);

}  // namespace serwer

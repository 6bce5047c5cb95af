#include "events/EventStateFile.hpp"

#include <nlohmann/json.hpp>

#include "common/ServerError.hpp"
#include "common/Win1250.hpp"

namespace serwer {

namespace {

using Json = nlohmann::json;

template <typename T>
void Put(Json& j, const char* key, const std::optional<T>& value) {
    if (value) j[key] = *value;
}

template <typename T>
void Get(const Json& j, const char* key, std::optional<T>& value) {
    if (j.contains(key) && !j[key].is_null()) value = j[key].get<T>();
}

Json EventToJson(const Event& e) {
    Json j = {{"id", e.id},
              {"typ", std::string(EventTypeName(e.type))},
              {"pojazd", Cp1250ToUtf8(e.registration)},
              {"od", e.startUtc},
              {"przedzial", e.interval},
              {"strefa", Cp1250ToUtf8(e.zone)},
              {"szczegol", Cp1250ToUtf8(e.detail)},
              {"opis", Cp1250ToUtf8(e.text)}};
    Put(j, "do", e.endUtc);
    Put(j, "szerokosc", e.latitude);
    Put(j, "dlugosc", e.longitude);
    Put(j, "wartosc", e.value);
    Put(j, "limit", e.limit);
    Put(j, "dystans", e.distanceKm);
    Put(j, "litry", e.litres);
    return j;
}

Event EventFromJson(const Json& j) {
    Event e;
    const auto type = EventTypeFromName(j.at("typ").get<std::string>());
    if (!type) throw ServerError("zdarzenia-stan.json: unknown event type");
    e.type = *type;
    e.id = j.at("id").get<std::uint64_t>();
    e.registration = Cp1250(j.at("pojazd").get<std::string>());
    e.startUtc = j.at("od").get<std::int64_t>();
    e.interval = j.at("przedzial").get<bool>();
    e.zone = Cp1250(j.at("strefa").get<std::string>());
    e.detail = Cp1250(j.at("szczegol").get<std::string>());
    e.text = Cp1250(j.at("opis").get<std::string>());
    Get(j, "do", e.endUtc);
    Get(j, "szerokosc", e.latitude);
    Get(j, "dlugosc", e.longitude);
    Get(j, "wartosc", e.value);
    Get(j, "limit", e.limit);
    Get(j, "dystans", e.distanceKm);
    Get(j, "litry", e.litres);
    return e;
}

void PutEvent(Json& j, const char* key, const std::optional<Event>& e) {
    if (e) j[key] = EventToJson(*e);
}

void GetEvent(const Json& j, const char* key, std::optional<Event>& e) {
    if (j.contains(key) && j[key].is_object()) e = EventFromJson(j[key]);
}

Json StateToJson(const VehicleEventState& s) {
    Json j = Json::object();
    Put(j, "najnowszy_fix", s.newestFixUtc);
    Put(j, "ostatnio_odebrano", s.lastReceivedUtc);
    Put(j, "szerokosc", s.lastLatitude);
    Put(j, "dlugosc", s.lastLongitude);
    j["ponad_limit"] = s.speedAbove;
    PutEvent(j, "predkosc", s.speeding);
    Json zones = Json::object();
    for (const auto& [name, m] : s.zones) zones[Cp1250ToUtf8(name)] = {{"w_strefie", m.inside}, {"przeciw", m.against}};
    j["strefy"] = zones;
    Put(j, "silnik", s.engineOn);
    PutEvent(j, "postoj", s.idling);
    j["postoj_zgloszony"] = s.idlingRaised;
    j["paliwo_odczyty"] = s.fuelReadings;
    Put(j, "paliwo_odniesienie", s.fuelReference);
    Put(j, "ostatni_postoj", s.lastStandingUtc);
    PutEvent(j, "paliwo_zmiana", s.fuelChange);
    if (s.driver) j["kierowca"] = Cp1250ToUtf8(*s.driver);
    j["bez_fixu"] = s.withoutFix;
    PutEvent(j, "utrata_gps", s.gpsLoss);
    if (s.inputs) j["wejscia"] = *s.inputs;
    PutEvent(j, "cisza", s.silence);
    Put(j, "zalegly_odczyt_dzien", s.overdueReadDay);
    Put(j, "przebieg", s.odometerKm);
    return j;
}

VehicleEventState StateFromJson(const Json& j) {
    VehicleEventState s;
    Get(j, "najnowszy_fix", s.newestFixUtc);
    Get(j, "ostatnio_odebrano", s.lastReceivedUtc);
    Get(j, "szerokosc", s.lastLatitude);
    Get(j, "dlugosc", s.lastLongitude);
    s.speedAbove = j.value("ponad_limit", 0);
    GetEvent(j, "predkosc", s.speeding);
    if (j.contains("strefy"))
        for (const auto& [name, m] : j["strefy"].items())
            s.zones[Cp1250(name)] = {m.value("w_strefie", false), m.value("przeciw", 0)};
    Get(j, "silnik", s.engineOn);
    GetEvent(j, "postoj", s.idling);
    s.idlingRaised = j.value("postoj_zgloszony", false);
    if (j.contains("paliwo_odczyty")) s.fuelReadings = j["paliwo_odczyty"].get<std::vector<int>>();
    Get(j, "paliwo_odniesienie", s.fuelReference);
    Get(j, "ostatni_postoj", s.lastStandingUtc);
    GetEvent(j, "paliwo_zmiana", s.fuelChange);
    if (j.contains("kierowca")) s.driver = Cp1250(j["kierowca"].get<std::string>());
    s.withoutFix = j.value("bez_fixu", 0);
    GetEvent(j, "utrata_gps", s.gpsLoss);
    if (j.contains("wejscia")) s.inputs = j["wejscia"].get<std::array<bool, 3>>();
    GetEvent(j, "cisza", s.silence);
    Get(j, "zalegly_odczyt_dzien", s.overdueReadDay);
    Get(j, "przebieg", s.odometerKm);
    return s;
}

}  // namespace

std::string StatesToJson(const std::map<std::string, VehicleEventState>& states) {
    Json vehicles = Json::object();
    for (const auto& [registration, state] : states) vehicles[Cp1250ToUtf8(registration)] = StateToJson(state);
    return Json{{"wersja", 1}, {"pojazdy", vehicles}}.dump() + "\n";
}

std::map<std::string, VehicleEventState> StatesFromJson(const std::string& text) {
    std::map<std::string, VehicleEventState> states;
    try {
        const Json doc = Json::parse(text);
        for (const auto& [registration, state] : doc.at("pojazdy").items())
            states[Cp1250(registration)] = StateFromJson(state);
    } catch (const nlohmann::json::exception& e) {
        throw ServerError(std::string("zdarzenia-stan.json: ") + e.what());
    }
    return states;
}

}  // namespace serwer

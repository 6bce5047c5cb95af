#include "events/EventDetector.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "common/PolishTime.hpp"
#include "common/Win1250.hpp"

namespace serwer {

namespace {

constexpr std::int64_t kSecondsPerDay = 86400;

// "14:02" in Polish time.
std::string HourMinute(std::int64_t utc) {
    const auto parts = PolishWallTime(utc).Split();
    char text[8];
    std::snprintf(text, sizeof text, "%02d:%02d", parts.hour % 100, parts.minute % 100);
    return text;
}

std::string Whole(double value) { return std::to_string(static_cast<long long>(std::llround(value))); }

std::string OneDecimal(double value, char decimalSeparator) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    std::string s = text;
    std::replace(s.begin(), s.end(), '.', decimalSeparator);
    return s;
}

Event NewEvent(EventType type, const std::string& registration, std::int64_t startUtc, bool interval,
               const std::string& zoneOrDetail = "") {
    Event e;
    e.type = type;
    e.registration = registration;
    e.startUtc = startUtc;
    e.interval = interval;
    e.id = EventId(type, registration, startUtc, zoneOrDetail);
    return e;
}

void PlaceAt(Event& e, const DecodedPosition& p) {
    if (p.HasFix()) {
        e.latitude = p.latitude;
        e.longitude = p.longitude;
    }
}

std::string Span(const Event& e) {
    std::string s = Cp1250(" od ") + HourMinute(e.startUtc);
    if (e.endUtc) s += Cp1250(" do ") + HourMinute(*e.endUtc);
    return s;
}

void WriteSpeedingText(Event& e, char decimalSeparator) {
    e.text = Cp1250("przekroczenie prędkości ") + Whole(e.value.value_or(0)) + " km/h (limit " +
             Whole(e.limit.value_or(0)) + ")" + (e.zone.empty() ? "" : Cp1250(" w strefie ") + e.zone) + Span(e);
    if (e.endUtc) e.text += ", " + OneDecimal(e.distanceKm.value_or(0), decimalSeparator) + " km";
}

void WriteFuelText(Event& e) {
    e.text = Cp1250(e.type == EventType::Tankowanie ? "tankowanie " : "spadek paliwa ") + Whole(e.value.value_or(0)) +
             " %" + (e.litres ? " (" + Whole(*e.litres) + " l)" : "") + Span(e);
}

// The speed limit where the vehicle is: the lowest of the zones it is in, else its own,
// else the default; with the zone that sets it.
std::optional<double> SpeedLimit(const VehicleEventState& state, const std::string& registration,
                                 const EventInputs& in, std::string& zone) {
    std::optional<double> lowest;
    for (const auto& [name, membership] : state.zones) {
        if (!membership.inside) continue;
        const auto limit = in.zones.SpeedLimitOf(name);
        if (limit && (!lowest || *limit < *lowest)) lowest = limit, zone = name;
    }
    if (lowest) return lowest;
    zone.clear();
    const double own = in.settings.For(registration).speedLimitKmh.value_or(in.settings.speedLimitKmh);
    if (own > 0) return own;
    return std::nullopt;
}

std::string FirstZone(const VehicleEventState& state) {
    for (const auto& [name, membership] : state.zones)
        if (membership.inside) return name;
    return "";
}

void DetectZones(VehicleEventState& state, const DecodedPosition& p, std::int64_t t, const EventInputs& in,
                 std::vector<Event>& out) {
    if (!p.HasFix()) return;  // no fix, no change
    std::vector<std::string> here;
    for (std::size_t i : in.zones.ZonesAt(*p.latitude, *p.longitude))
        if (in.zones.At(i).AppliesTo(p.registration)) here.push_back(in.zones.At(i).name);
    const int needed = std::max(1, in.settings.zonePositions);
    for (const std::string& name : here) state.zones.try_emplace(name);
    for (auto it = state.zones.begin(); it != state.zones.end();) {
        auto& [name, m] = *it;
        if (!in.zones.Has(name)) {
            it = state.zones.erase(it);  // the zone is gone from the file
            continue;
        }
        const bool isHere = std::find(here.begin(), here.end(), name) != here.end();
        if (isHere == m.inside) {
            m.against = 0;
        } else if (++m.against >= needed) {
            m.inside = isHere;
            m.against = 0;
            Event e = NewEvent(isHere ? EventType::WjazdDoStrefy : EventType::WyjazdZeStrefy, p.registration, t,
                               false, name);
            PlaceAt(e, p);
            e.zone = name;
            e.text = Cp1250(isHere ? "wjazd do strefy " : "wyjazd ze strefy ") + name + " o " + HourMinute(t);
            out.push_back(std::move(e));
        }
        if (!m.inside && m.against == 0)
            it = state.zones.erase(it);
        else
            ++it;
    }
}

void DetectSpeeding(VehicleEventState& state, const DecodedPosition& p, std::int64_t t, const EventInputs& in,
                    std::vector<Event>& out) {
    if (!p.speedKmh) return;
    const double speed = *p.speedKmh;
    std::string zone;
    const std::optional<double> limit = SpeedLimit(state, p.registration, in, zone);
    const bool above = limit && speed > *limit;
    const int needed = std::max(1, in.settings.speedPositions);
    const bool moved = p.HasFix() && state.lastLatitude && state.lastLongitude;
    const double step = moved ? DistanceKm(*state.lastLatitude, *state.lastLongitude, *p.latitude, *p.longitude) : 0;
    if (state.speeding && (!above || state.speeding->limit != limit)) {
        // Ends at the first position at or below its limit (or under another limit).
        if (state.speedAbove >= needed) {
            Event& e = *state.speeding;
            e.endUtc = t;
            e.distanceKm = e.distanceKm.value_or(0) + step;
            WriteSpeedingText(e, in.decimalSeparator);
            out.push_back(e);
        }
        state.speeding.reset();
        state.speedAbove = 0;
    }
    if (!above) return;
    if (!state.speeding) {
        Event e = NewEvent(EventType::PrzekroczeniePredkosci, p.registration, t, true, zone);
        PlaceAt(e, p);
        e.zone = zone;
        e.limit = limit;
        e.value = speed;
        e.distanceKm = 0.0;
        state.speeding = std::move(e);
    } else {
        state.speeding->value = std::max(state.speeding->value.value_or(0), speed);
        state.speeding->distanceKm = state.speeding->distanceKm.value_or(0) + step;
    }
    if (++state.speedAbove == needed) {
        WriteSpeedingText(*state.speeding, in.decimalSeparator);
        out.push_back(*state.speeding);
    }
}

void DetectIdling(VehicleEventState& state, const DecodedPosition& p, std::int64_t t, const EventInputs& in,
                  std::vector<Event>& out) {
    const bool idle = p.engineOn && p.speedKmh && *p.speedKmh < kStandingKmh;
    auto describe = [](Event& e) {
        e.text = Cp1250("postój z pracującym silnikiem") + Span(e) + " (" + Whole(e.value.value_or(0)) + " min)";
    };
    if (idle) {
        if (!state.idling) {
            Event e = NewEvent(EventType::PostojZPracujacymSilnikiem, p.registration, t, true);
            PlaceAt(e, p);
            e.zone = FirstZone(state);
            state.idling = std::move(e);
            state.idlingRaised = false;
        }
        Event& e = *state.idling;
        const std::int64_t lasted = t - e.startUtc;
        if (!state.idlingRaised && lasted >= std::int64_t{in.settings.idleMinutes} * 60) {
            state.idlingRaised = true;
            e.value = static_cast<double>(lasted / 60);
            describe(e);
            out.push_back(e);
        }
        return;
    }
    if (!state.idling) return;
    if (state.idlingRaised) {
        Event& e = *state.idling;
        e.endUtc = t;
        e.value = static_cast<double>((t - e.startUtc) / 60);
        describe(e);
        out.push_back(e);
    }
    state.idling.reset();
    state.idlingRaised = false;
}

void DetectFuel(VehicleEventState& state, const DecodedPosition& p, std::int64_t t, const EventInputs& in,
                std::vector<Event>& out) {
    const bool standing = p.speedKmh && *p.speedKmh < kStandingKmh;
    if (standing) state.lastStandingUtc = t;
    if (!p.fuel.percent) return;
    auto& readings = state.fuelReadings;
    readings.push_back(*p.fuel.percent);
    if (readings.size() > 3) readings.erase(readings.begin());
    if (readings.size() < 3) return;
    std::vector<int> sorted = readings;
    std::sort(sorted.begin(), sorted.end());
    const double level = sorted[1];  // the median smooths a single bad reading away
    const bool nearStop = standing || (state.lastStandingUtc && t - *state.lastStandingUtc <= kFuelAfterStopSeconds);
    const auto tank = in.settings.For(p.registration).tankLitres;
    if (!state.fuelReference) {
        state.fuelReference = level;
        return;
    }
    if (state.fuelChange) {
        // The change goes on while the level keeps moving its way; it ends at the first
        // reading that does not.
        Event& e = *state.fuelChange;
        const bool rise = e.type == EventType::Tankowanie;
        const double change = rise ? level - *state.fuelReference : *state.fuelReference - level;
        if (change > e.value.value_or(0)) {
            e.value = change;
            if (tank) e.litres = change * *tank / 100.0;
            return;
        }
        e.endUtc = t;
        WriteFuelText(e);
        out.push_back(e);
        state.fuelChange.reset();
        state.fuelReference = level;
        return;
    }
    if (!nearStop) {
        state.fuelReference = level;  // while driving the level follows the use
        return;
    }
    const double rise = level - *state.fuelReference;
    const bool refuel = rise >= in.settings.refuelPoints;
    const bool drop = -rise >= in.settings.fuelDropPoints;
    if (!refuel && !drop) return;
    Event e = NewEvent(refuel ? EventType::Tankowanie : EventType::SpadekPaliwa, p.registration, t, true);
    PlaceAt(e, p);
    e.zone = FirstZone(state);
    e.value = std::fabs(rise);
    if (tank) e.litres = *e.value * *tank / 100.0;
    WriteFuelText(e);
    out.push_back(e);
    state.fuelChange = std::move(e);
}

void DetectGps(VehicleEventState& state, const DecodedPosition& p, std::int64_t t, std::vector<Event>& out) {
    if (!p.gps) return;
    if (*p.gps == "BRAK") {
        if (++state.withoutFix == kPositionsWithoutFix) {
            Event e = NewEvent(EventType::UtrataGps, p.registration, t, true);
            if (state.lastLatitude) e.latitude = state.lastLatitude, e.longitude = state.lastLongitude;
            e.zone = FirstZone(state);
            e.text = Cp1250("utrata sygnału GPS") + Span(e);
            out.push_back(e);
            state.gpsLoss = std::move(e);
        }
        return;
    }
    state.withoutFix = 0;
    if (!state.gpsLoss) return;
    Event& lost = *state.gpsLoss;
    lost.endUtc = t;
    lost.text = Cp1250("utrata sygnału GPS") + Span(lost);
    out.push_back(lost);
    Event back = NewEvent(EventType::OdzyskanieGps, p.registration, t, false);
    PlaceAt(back, p);
    back.zone = FirstZone(state);
    back.text = Cp1250("odzyskanie sygnału GPS o ") + HourMinute(t);
    out.push_back(std::move(back));
    state.gpsLoss.reset();
}

void DetectChanges(VehicleEventState& state, const DecodedPosition& p, std::int64_t t, const EventInputs& in,
                   std::vector<Event>& out) {
    const std::string zone = FirstZone(state);
    auto moment = [&](EventType type, const std::string& detail) {
        Event e = NewEvent(type, p.registration, t, false, detail);
        PlaceAt(e, p);
        e.zone = zone;
        e.detail = detail;
        return e;
    };
    if (state.engineOn && *state.engineOn != p.engineOn) {
        Event e = moment(p.engineOn ? EventType::Zaplon : EventType::WylaczenieSilnika, "");
        e.text = Cp1250(p.engineOn ? "zapłon o " : "wyłączenie silnika o ") + HourMinute(t);
        out.push_back(std::move(e));
    }
    state.engineOn = p.engineOn;

    if (state.driver && *state.driver != p.driver) {
        Event e = moment(EventType::ZmianaKierowcy, p.driver);
        e.text = Cp1250("zmiana kierowcy: ") + p.driver + " (poprzednio " + *state.driver + ") o " + HourMinute(t);
        out.push_back(std::move(e));
    }
    state.driver = p.driver;

    const std::array<bool, 3> inputs = {p.inputs.urz1, p.inputs.urz2, p.inputs.urz3};
    if (state.inputs)
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            const std::string& name = in.settings.inputNames[i];
            if (name.empty() || (*state.inputs)[i] == inputs[i]) continue;
            Event e = moment(EventType::Wejscie, name);
            e.value = inputs[i] ? 1 : 0;
            e.text = name + Cp1250(inputs[i] ? ": włączone o " : ": wyłączone o ") + HourMinute(t);
            out.push_back(std::move(e));
        }
    state.inputs = inputs;

    const auto& vehicle = in.settings.For(p.registration);
    if (p.odometerKm && vehicle.serviceEveryKm && *vehicle.serviceEveryKm > 0) {
        const std::int64_t every = *vehicle.serviceEveryKm, from = vehicle.serviceFromKm.value_or(0);
        auto marks = [&](std::int64_t km) { return km < from ? -1 : (km - from) / every; };
        if (state.odometerKm && marks(*p.odometerKm) > marks(*state.odometerKm)) {
            const std::int64_t mark = from + marks(*p.odometerKm) * every;
            Event e = moment(EventType::Przeglad, std::to_string(mark));
            e.detail.clear();
            e.value = static_cast<double>(mark);
            e.text = Cp1250("przegląd: przebieg ") + std::to_string(mark) + " km (co " + std::to_string(every) +
                     " km)";
            out.push_back(std::move(e));
        }
    }
    if (p.odometerKm) state.odometerKm = *p.odometerKm;
}

}  // namespace

std::vector<Event> DetectPosition(VehicleEventState& state, const DecodedPosition& p, std::int64_t receivedUtc,
                                  const EventInputs& in) {
    std::vector<Event> out;
    state.lastReceivedUtc = receivedUtc;
    if (!p.fixTimeUtc) return out;
    const std::int64_t t = p.fixTimeUtc->Ms() / DateTime::kMsPerSecond;
    if (state.newestFixUtc && t < *state.newestFixUtc) return out;  // late: stored, but no event
    state.newestFixUtc = t;

    if (state.silence) {
        Event& silent = *state.silence;
        silent.endUtc = receivedUtc;
        silent.value = static_cast<double>((receivedUtc - silent.startUtc) / 60);
        silent.text = Cp1250("brak pozycji") + Span(silent) + " (" + Whole(*silent.value) + " min)";
        out.push_back(silent);
        Event back = NewEvent(EventType::Powrot, p.registration, receivedUtc, false);
        PlaceAt(back, p);
        back.value = silent.value;
        back.text = Cp1250("powrót po ") + Whole(*silent.value) + " min przerwy o " + HourMinute(receivedUtc);
        out.push_back(std::move(back));
        state.silence.reset();
    }
    DetectChanges(state, p, t, in, out);
    DetectGps(state, p, t, out);
    DetectZones(state, p, t, in, out);
    DetectSpeeding(state, p, t, in, out);
    DetectIdling(state, p, t, in, out);
    DetectFuel(state, p, t, in, out);
    if (p.HasFix()) {
        state.lastLatitude = p.latitude;
        state.lastLongitude = p.longitude;
    }
    return out;
}

std::vector<Event> DetectSilence(VehicleEventState& state, const std::string& registration, std::int64_t nowUtc,
                                 const EventInputs& in) {
    std::vector<Event> out;
    if (!state.lastReceivedUtc || state.silence) return out;
    const int minutes = in.settings.For(registration).silenceMinutes.value_or(in.settings.silenceMinutes);
    if (minutes <= 0 || nowUtc - *state.lastReceivedUtc < std::int64_t{minutes} * 60) return out;
    Event e = NewEvent(EventType::BrakPozycji, registration, *state.lastReceivedUtc, true);
    if (state.lastLatitude) e.latitude = state.lastLatitude, e.longitude = state.lastLongitude;
    e.zone = FirstZone(state);
    e.value = static_cast<double>((nowUtc - e.startUtc) / 60);
    e.text = Cp1250("brak pozycji od ") + HourMinute(e.startUtc) + " (" + std::to_string(minutes) + " min)";
    out.push_back(e);
    state.silence = std::move(e);
    return out;
}

std::vector<Event> DetectOverdueRead(VehicleEventState& state, const std::string& registration, bool readsOn,
                                     std::optional<std::int64_t> lastReadUtc, std::int64_t nowUtc,
                                     const EventInputs& in) {
    std::vector<Event> out;
    if (!readsOn || in.settings.overdueReadDays <= 0) return out;
    const std::int64_t day = (nowUtc + PolishUtcOffsetSeconds(nowUtc)) / kSecondsPerDay;
    if (state.overdueReadDay == day) return out;
    if (lastReadUtc && nowUtc - *lastReadUtc <= std::int64_t{in.settings.overdueReadDays} * kSecondsPerDay)
        return out;
    state.overdueReadDay = day;
    Event e = NewEvent(EventType::ZaleglyOdczyt, registration, nowUtc, false);
    if (state.lastLatitude) e.latitude = state.lastLatitude, e.longitude = state.lastLongitude;
    if (lastReadUtc) {
        e.value = static_cast<double>((nowUtc - *lastReadUtc) / kSecondsPerDay);
        e.text = Cp1250("zaległy odczyt pamięci: ostatni ") + Whole(*e.value) + Cp1250(" dni temu");
    } else {
        e.text = Cp1250("zaległy odczyt pamięci: jeszcze żadnego odczytu");
    }
    out.push_back(std::move(e));
    return out;
}

std::string EventLine(const Event& event) { return event.registration + ": " + event.text; }

}  // namespace serwer

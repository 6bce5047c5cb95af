#include "events/EventService.hpp"

#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <map>

#include "common/DurableFile.hpp"
#include "common/ServerError.hpp"
#include "common/Win1250.hpp"
#include "events/EventStateFile.hpp"

namespace serwer {

namespace {

std::optional<std::string> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(in)), {});
    if (in.bad()) return std::nullopt;
    return text;
}

// The file's identity and version; empty when there is none.
std::string FileStamp(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return "";
    return std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) + ":" + std::to_string(st.st_mtim.tv_sec) +
           "." + std::to_string(st.st_mtim.tv_nsec);
}

}  // namespace

EventService::EventService(EventSettings settings, std::string zonesPath, std::string statePath,
                           char decimalSeparator, Report problem)
    : settings_(std::move(settings)),
      zonesPath_(std::move(zonesPath)),
      statePath_(std::move(statePath)),
      decimalSeparator_(decimalSeparator),
      problem_(std::move(problem)),
      zones_(std::make_shared<ZoneSet>()) {}

void EventService::Load() {
    if (const auto text = ReadFile(statePath_)) {
        try {
            std::lock_guard<std::mutex> lock(mapMutex_);
            for (auto& [registration, state] : StatesFromJson(*text)) {
                auto vehicle = std::make_unique<Vehicle>();
                vehicle->state = std::move(state);
                vehicles_[registration] = std::move(vehicle);
            }
        } catch (const ServerError& e) {
            if (problem_) problem_(Cp1250("Zdarzenia: nie można odczytać stanu, zaczęto od nowa: ") + e.what());
        }
    }
    ReloadZonesIfChanged();
}

EventService::Vehicle& EventService::VehicleOf(const std::string& registration) {
    std::lock_guard<std::mutex> lock(mapMutex_);
    auto& vehicle = vehicles_[registration];
    if (!vehicle) vehicle = std::make_unique<Vehicle>();
    return *vehicle;
}

void EventService::Counted(const std::vector<Event>& events) {
    // An interval counts once, when it starts (its end is the same event).
    for (const Event& e : events)
        if (!e.endUtc) counts_[static_cast<std::size_t>(e.type)].fetch_add(1);
}

std::vector<Event> EventService::OnPosition(const DecodedPosition& position, std::int64_t receivedUtc) {
    if (!settings_.enabled) return {};
    const std::shared_ptr<const ZoneSet> zones = Zones();
    Vehicle& vehicle = VehicleOf(position.registration);
    std::vector<Event> events;
    {
        std::lock_guard<std::mutex> lock(vehicle.mutex);
        events = DetectPosition(vehicle.state, position, receivedUtc, {settings_, *zones, decimalSeparator_});
    }
    dirty_ = true;
    Counted(events);
    return events;
}

std::vector<Event> EventService::Tick(std::int64_t nowUtc, bool readsOn, const std::vector<VehicleClock>& table) {
    ReloadZonesIfChanged();
    std::vector<Event> events;
    if (!settings_.enabled) return events;
    const std::shared_ptr<const ZoneSet> zones = Zones();
    const EventInputs in{settings_, *zones, decimalSeparator_};
    for (const VehicleClock& row : table) {
        Vehicle& vehicle = VehicleOf(row.registration);
        std::lock_guard<std::mutex> lock(vehicle.mutex);
        VehicleEventState& state = vehicle.state;
        // A vehicle not heard from since the start is silent since its row's fix.
        if (!state.lastReceivedUtc && row.lastFixUtc) state.lastReceivedUtc = row.lastFixUtc;
        for (Event& e : DetectSilence(state, row.registration, nowUtc, in)) events.push_back(std::move(e));
        for (Event& e : DetectOverdueRead(state, row.registration, readsOn, row.lastReadUtc, nowUtc, in))
            events.push_back(std::move(e));
    }
    if (!events.empty()) dirty_ = true;
    Counted(events);
    return events;
}

bool EventService::ReloadZonesIfChanged() {
    const std::string stamp = FileStamp(zonesPath_);
    {
        std::lock_guard<std::mutex> lock(zonesMutex_);
        if (stamp == zonesStamp_) return false;
    }
    std::shared_ptr<const ZoneSet> zones;
    std::optional<std::string> problem;
    if (stamp.empty()) {
        zones = std::make_shared<ZoneSet>();  // no file: no zones
    } else if (const auto text = ReadFile(zonesPath_)) {
        try {
            zones = std::make_shared<ZoneSet>(ZoneSet::FromGeoJson(*text));
        } catch (const ZoneFileError& e) {
            problem = e.what();
        }
    } else {
        problem = Cp1250("strefy.geojson: nie można odczytać pliku ") + zonesPath_;
    }
    {
        std::lock_guard<std::mutex> lock(zonesMutex_);
        zonesStamp_ = stamp;
        zoneProblem_ = problem;
        if (zones) zones_ = zones;
    }
    if (problem && problem_) problem_(*problem + Cp1250(" (strefy bez zmian)"));
    return static_cast<bool>(zones);
}

void EventService::SaveState() {
    if (!dirty_.exchange(false)) return;
    std::map<std::string, VehicleEventState> states;
    {
        std::lock_guard<std::mutex> lock(mapMutex_);
        for (auto& [registration, vehicle] : vehicles_) {
            std::lock_guard<std::mutex> own(vehicle->mutex);
            states[registration] = vehicle->state;
        }
    }
    const DurableWriteResult result = WriteDurableFile(statePath_, StatesToJson(states), Placement::Replace);
    if (!result.Ok()) {
        dirty_ = true;
        throw ServerError("Cannot write " + statePath_ + ": error " + std::to_string(result.error));
    }
}

std::shared_ptr<const ZoneSet> EventService::Zones() const {
    std::lock_guard<std::mutex> lock(zonesMutex_);
    return zones_;
}

std::optional<std::string> EventService::ZoneProblem() const {
    std::lock_guard<std::mutex> lock(zonesMutex_);
    return zoneProblem_;
}

}  // namespace serwer

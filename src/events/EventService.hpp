#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "events/EventDetector.hpp"

namespace serwer {

// The detectors of every vehicle at work: their states (kept in zdarzenia-stan.json),
// the zones of strefy.geojson (read again when the file changes) and the count of
// every type raised. Positions of one vehicle are run one at a time; the clock's tick
// comes from the caller. Texts are Windows-1250 bytes.
class EventService {
public:
    // Where a zone file that cannot be used is reported (the previous zones stay).
    using Report = std::function<void(const std::string& text)>;

    EventService(EventSettings settings, std::string zonesPath, std::string statePath, char decimalSeparator,
                 Report problem);

    // Reads the states of the last run (a file that cannot be read is reported and
    // the detectors start afresh) and the zones.
    void Load();

    // The events a stored position raises.
    std::vector<Event> OnPosition(const DecodedPosition& position, std::int64_t receivedUtc);

    // One vehicle of the table, as the clock's tick sees it.
    struct VehicleClock {
        std::string registration;
        std::optional<std::int64_t> lastFixUtc;   // its row's fix time: a vehicle not heard from since the start
        std::optional<std::int64_t> lastReadUtc;  // its last completed memory read (ODCZYT)
    };
    // The minute's tick: silence and overdue reads, and the zone file read again when it
    // changed.
    std::vector<Event> Tick(std::int64_t nowUtc, bool readsOn, const std::vector<VehicleClock>& table);

    // Reads strefy.geojson again when it changed since it was last read; true when the
    // zones changed.
    bool ReloadZonesIfChanged();
    // Writes the states through a durable write when they changed since the last one;
    // throws ServerError when the write fails.
    void SaveState();

    const EventSettings& Settings() const { return settings_; }
    std::shared_ptr<const ZoneSet> Zones() const;
    // Why the zone file is not in use now (Windows-1250); none when it is, or there is none.
    std::optional<std::string> ZoneProblem() const;
    std::uint64_t Count(EventType type) const { return counts_[static_cast<std::size_t>(type)].load(); }

private:
    struct Vehicle {
        std::mutex mutex;
        VehicleEventState state;
    };
    Vehicle& VehicleOf(const std::string& registration);
    void Counted(const std::vector<Event>& events);

    EventSettings settings_;
    std::string zonesPath_, statePath_;
    char decimalSeparator_;
    Report problem_;

    mutable std::mutex mapMutex_;  // the map's own lock; a vehicle's state has its own
    std::unordered_map<std::string, std::unique_ptr<Vehicle>> vehicles_;
    std::atomic<bool> dirty_{false};

    mutable std::mutex zonesMutex_;
    std::shared_ptr<const ZoneSet> zones_;
    std::string zonesStamp_;  // what the file was when last read: inode, size, time
    std::optional<std::string> zoneProblem_;

    std::array<std::atomic<std::uint64_t>, kEventTypeCount> counts_{};
};

}  // namespace serwer

#pragma once
#include <cstdint>
#include <string>

#include "events/Event.hpp"

namespace serwer {

// Where the connection threads show what they change: the operator window hands these
// to its own thread without waiting; the windowless server ignores them.
class StatusDisplay {
public:
    virtual ~StatusDisplay() = default;
    virtual void ShowPacketCount(std::int32_t) {}
    virtual void ShowOpenConnections(int) {}
    virtual void ShowPlannedRead(const std::string&) {}
    // A memory read whose archive could not be written (Windows-1250 text).
    virtual void ReportArchiveFailure(const std::string&) {}
    // What the server just did, for the operator's list of events (Windows-1250 text):
    // positions stored, registrations refused, memory reads started, pages asked
    // again, archives written, memories erased, reads that failed and why.
    virtual void ShowEvent(const std::string&) {}
    // An event of a vehicle, after its line has gone to ShowEvent: for the alarm list.
    virtual void ShowVehicleEvent(const Event&) {}
};

}  // namespace serwer

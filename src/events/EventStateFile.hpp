#pragma once
#include <map>
#include <string>

#include "events/VehicleEventState.hpp"

namespace serwer {

// The detectors' states of every vehicle as a JSON text (UTF-8; the Windows-1250 texts
// converted), kept in zdarzenia-stan.json in the data directory so that open intervals and
// zone memberships survive a restart.
std::string StatesToJson(const std::map<std::string, VehicleEventState>& states);
// Throws ServerError for a text that is not such a file.
std::map<std::string, VehicleEventState> StatesFromJson(const std::string& text);

}  // namespace serwer

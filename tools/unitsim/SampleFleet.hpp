#pragma once
// A fleet of any size for the tests and benchmarks of the map: vehicles "WA00001",
// "WA00002", ... spread around Polish cities, each at a place of its own, and the rows
// of Aktualne.txt that hold them.

#include <string>
#include <vector>

#include "common/DateTime.hpp"
#include "vehicles/VehicleRow.hpp"

namespace serwer {

struct FleetVehicle {
    std::string registration;
    double latitude = 0;
    double longitude = 0;
    bool moving = false;
};

// `count` vehicles, the same for the same count; vehicle 1 in Warsaw.
std::vector<FleetVehicle> SampleFleet(int count);

// The vehicle's row as the server writes it after a position with the fix time given (UTC).
VehicleRow FleetRow(const FleetVehicle& vehicle, DateTime fixUtc);

}  // namespace serwer

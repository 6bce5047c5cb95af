#include "unitsim/SampleFleet.hpp"

#include <cmath>
#include <cstdio>

#include "common/Win1250.hpp"
#include "link/PositionRecord.hpp"

namespace serwer {

namespace {

struct City {
    double latitude, longitude;
    int weight;
};

// Warsaw first, then by size, roughly.
constexpr City kCities[] = {{52.2297, 21.0122, 8}, {50.0647, 19.9450, 4}, {51.7592, 19.4560, 3}, {51.1079, 17.0385, 3},
                            {52.4064, 16.9252, 3}, {54.3520, 18.6466, 3}, {53.4285, 14.5528, 2}, {53.1235, 18.0084, 2},
                            {51.2465, 22.5684, 2}, {53.1325, 23.1688, 2}, {50.2649, 19.0238, 3}, {50.0412, 21.9991, 1},
                            {50.8661, 20.6286, 1}, {53.7784, 20.4801, 1}, {50.6751, 17.9213, 1}, {52.7325, 15.2369, 1}};

}  // namespace

std::vector<FleetVehicle> SampleFleet(int count) {
    int total = 0;
    for (const City& c : kCities) total += c.weight;
    std::vector<FleetVehicle> fleet;
    fleet.reserve(static_cast<std::size_t>(count));
    for (int i = 1; i <= count; ++i) {
        // A city by its weight, then a place on a spiral around it: no two vehicles meet.
        int pick = (i - 1) % total;
        const City* city = kCities;
        while (pick >= city->weight) pick -= (city++)->weight;
        const int k = (i - 1) / total * city->weight + pick;  // the vehicle's number in its city
        const double radius = 0.005 * std::sqrt(k + 1.0);
        const double angle = k * 2.39996;  // the golden angle
        char name[16];
        std::snprintf(name, sizeof name, "WA%05d", i);
        fleet.push_back({name, city->latitude + radius * std::sin(angle),
                         city->longitude + radius * 1.6 * std::cos(angle), i % 3 != 0});
    }
    return fleet;
}

VehicleRow FleetRow(const FleetVehicle& vehicle, DateTime fixUtc) {
    const DateTime::Parts t = FixTimeToLocal(fixUtc).Split();
    char text[32];
    VehicleRow row;
    row.NAZWA = vehicle.registration;
    row.LICENCJA = "001A2B3C4D5E6F70";
    std::snprintf(text, sizeof text, "%04d.%02d.%02d-%02d:%02d", t.year, t.month, t.day, t.hour, t.minute);
    row.OPIS = text;
    std::snprintf(text, sizeof text, "%.7fN", vehicle.latitude);
    row.SZEROKOSC = text;
    std::snprintf(text, sizeof text, "%.7fE", vehicle.longitude);
    row.DLUGOSC = text;
    row.PREDKOSC = vehicle.moving ? "42.50 Km/h" : "0.00 Km/h";
    row.GPS = "OK";
    row.SILNIK = Cp1250(vehicle.moving ? "ZAŁ" : "WYŁ");
    row.PALIWO = "Sonda-22 %";
    row.KIEROWCA = "Brak ID";
    row.PRZEBIEG = 12300;
    return row;
}

}  // namespace serwer

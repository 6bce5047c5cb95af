// The detectors' cost per position at the size of a large fleet: --vehicles vehicles
// (10,000) driving around Warsaw among --zones zones (100: squares and circles of a few
// kilometres, some with a speed limit), every vehicle sending --positions positions
// (20) a minute apart. Each position is decoded once (as the server does) and then run
// through EventService::OnPosition (the vehicle's lock, the zones' R-tree and every
// detector), in fix-time order per vehicle, vehicles interleaved as they arrive at a
// server. Printed: the events raised, and the time per position of the detectors alone
// (the decoding is timed apart), median of --runs runs (5), beside the same positions
// run with no zones.
//
// Usage: bench_events [--vehicles 10000] [--zones 100] [--positions 20] [--runs 5]

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BenchProcess.hpp"
#include "BenchZones.hpp"
#include "events/EventService.hpp"
#include "unitsim/PositionRecordBuilder.hpp"

using namespace serwer;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

int IntOption(int argc, char** argv, const char* name, int def) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return std::atoi(argv[i + 1]);
    return def;
}

struct Result {
    double decodeUs = 0, detectUs = 0;
    std::size_t events = 0;
};

Result Run(const std::vector<Bytes>& records, const fs::path& zonesFile, const fs::path& stateFile) {
    EventSettings settings;
    settings.speedLimitKmh = 90;
    settings.inputNames[0] = "Drzwi";
    EventService service(settings, zonesFile.string(), stateFile.string(), ',', {});
    service.Load();
    std::vector<DecodedPosition> decoded;
    decoded.reserve(records.size());
    const auto d0 = Clock::now();
    for (const Bytes& r : records) decoded.push_back(DecodePosition(r, ','));
    const auto d1 = Clock::now();
    Result result;
    for (const DecodedPosition& p : decoded) result.events += service.OnPosition(p, 0).size();
    const auto d2 = Clock::now();
    result.decodeUs = bench::Seconds(d1 - d0) * 1e6 / double(records.size());
    result.detectUs = bench::Seconds(d2 - d1) * 1e6 / double(records.size());
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    const int vehicles = IntOption(argc, argv, "--vehicles", 10000);
    const int zones = IntOption(argc, argv, "--zones", 100);
    const int positions = IntOption(argc, argv, "--positions", 20);
    const int runs = IntOption(argc, argv, "--runs", 5);
    const fs::path dir = fs::temp_directory_path() / ("bench_events." + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "strefy.geojson") << bench::ZonesGeoJson(zones);

    // Vehicle v starts somewhere on the grid and drives a straight line, speeding now
    // and then, stopping with the engine on, its door opening; minute by minute.
    std::vector<Bytes> records;
    records.reserve(std::size_t(vehicles) * positions);
    for (int m = 0; m < positions; ++m)
        for (int v = 0; v < vehicles; ++v) {
            PositionOptions o = SamplePosition("W" + std::to_string(100000 + v));
            o.day = 8, o.month = 12, o.year = 2026, o.hour = 6 + m / 60, o.minute = m % 60;
            const double lat = 52.0 + 0.5 * ((v * 37) % 1000) / 1000.0 + 0.003 * m;
            const double lon = 20.7 + 0.6 * ((v * 91) % 1000) / 1000.0 + 0.004 * m;
            o.latitude = CoordinateFromDegrees(lat);
            o.longitude = CoordinateFromDegrees(lon);
            o.speedHundredths = ((v + m) % 7 == 0) ? 10500 : ((v + m) % 5 == 0 ? 200 : 6000);
            o.engine = (v + m) % 11 != 0;
            o.input1 = (v + m) % 13 == 0;
            o.fuelReading = static_cast<unsigned char>(160 - m);
            records.push_back(BuildPositionRecord(o));
        }

    std::vector<double> decode, detect, detectNoZones;
    std::size_t events = 0, eventsNoZones = 0;
    for (int r = 0; r < runs; ++r) {
        const Result with = Run(records, dir / "strefy.geojson", dir / "stan.json");
        const Result without = Run(records, dir / "brak.geojson", dir / "stan.json");
        decode.push_back(with.decodeUs);
        detect.push_back(with.detectUs);
        detectNoZones.push_back(without.detectUs);
        events = with.events, eventsNoZones = without.events;
    }
    std::printf("bench_events: %d vehicles, %d positions each (%zu in all), medians of %d runs\n", vehicles, positions,
                records.size(), runs);
    std::printf("  decoding a record:                      %8.2f us/position\n", bench::Median(decode));
    std::printf("  detectors, %3d zones:                   %8.2f us/position (%zu events)\n", zones,
                bench::Median(detect), events);
    std::printf("  detectors, no zones:                    %8.2f us/position (%zu events)\n",
                bench::Median(detectNoZones), eventsNoZones);
    fs::remove_all(dir);
    return 0;
}

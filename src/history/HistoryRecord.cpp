#include "history/HistoryRecord.hpp"

#include <chrono>
#include <cmath>

namespace serwer {

std::optional<double> CoordinateWithin(std::optional<double> degrees, double limit) {
    if (!degrees || !std::isfinite(*degrees) || std::fabs(*degrees) > limit) return std::nullopt;
    return degrees;
}

HistoryRecord MakeHistoryRecord(const DecodedPosition& p, std::int64_t receivedUtc) {
    HistoryRecord h;
    h.receivedUtc = receivedUtc;
    h.raw = p.received;
    h.newForm = p.newForm;
    h.registration = p.registration;
    h.ownerCode = p.ownerCode;
    if (p.fixTimeUtc) h.fixTimeUtc = p.fixTimeUtc->Ms() / DateTime::kMsPerSecond;
    h.latitude = p.latitude;
    h.longitude = p.longitude;
    h.speedKmh = p.speedKmh;
    h.fuel = p.fuelText;
    h.engineOn = p.engineOn;
    h.gps = p.gps.value_or("");
    h.driver = p.driver;
    h.input1 = p.inputs.urz1;
    h.input2 = p.inputs.urz2;
    h.input3 = p.inputs.urz3;
    if (p.odometerKm) h.odometerKm = *p.odometerKm;
    return h;
}

HistoryRecord MakeHistoryRecord(const Bytes& received, std::int64_t receivedUtc) {
    return MakeHistoryRecord(DecodePosition(received, '.'), receivedUtc);
}

std::int64_t UtcNowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace serwer

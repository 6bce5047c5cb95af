#include "history/HistoryRecord.hpp"

#include <chrono>
#include <cmath>

#include "common/Win1250.hpp"
#include "link/PositionRecord.hpp"

namespace serwer {

namespace {

template <typename F>
auto Try(F f) -> std::optional<decltype(f())> {
    try {
        return f();
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace

std::optional<double> CoordinateWithin(std::optional<double> degrees, double limit) {
    if (!degrees || !std::isfinite(*degrees) || std::fabs(*degrees) > limit) return std::nullopt;
    return degrees;
}

HistoryRecord MakeHistoryRecord(const Bytes& received, std::int64_t receivedUtc) {
    HistoryRecord h;
    h.receivedUtc = receivedUtc;
    h.raw = received;
    h.newForm = IsNewForm(received);
    const Bytes record = h.newForm ? ConvertNewForm(received) : received;
    h.registration = RegistrationText(record);
    h.ownerCode = OwnerCodeText(record);
    if (auto fix = Try([&] { return DecodeFixTimeUtc(record); })) h.fixTimeUtc = fix->Ms() / DateTime::kMsPerSecond;
    h.latitude = LatitudeDegrees(record);
    h.longitude = LongitudeDegrees(record);
    h.speedKmh = Try([&] { return DecodeSpeed(record); });
    h.fuel = DecodeFuel(record);
    static const std::string kEngineOn = Cp1250("ZAŁ");
    h.engineOn = DecodeEngine(record) == kEngineOn;
    h.gps = DecodeGpsStatus(record).value_or("");
    h.driver = DecodeDriverId(record);
    const DeviceInputs inputs = DecodeInputs(record);
    h.input1 = inputs.urz1;
    h.input2 = inputs.urz2;
    h.input3 = inputs.urz3;
    if (auto odometer = Try([&] { return DecodeOdometer(record); })) h.odometerKm = std::int64_t{*odometer} * 100;
    return h;
}

std::int64_t UtcNowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace serwer

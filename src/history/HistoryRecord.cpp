#include "history/HistoryRecord.hpp"

#include <charconv>
#include <chrono>

#include "common/Win1250.hpp"
#include "link/PositionRecord.hpp"

namespace serwer {

namespace {

// The coordinate text ("%.7f" and the hemisphere letter, "0" when bad) as signed degrees;
// nothing when it is bad or names no hemisphere.
std::optional<double> SignedDegrees(const std::string& text, char negativeLetter) {
    if (text.size() < 2) return std::nullopt;
    const char letter = text.back();
    if (letter != 'N' && letter != 'S' && letter != 'E' && letter != 'W') return std::nullopt;
    double value = 0.0;
    const auto result = std::from_chars(text.data(), text.data() + text.size() - 1, value);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size() - 1) return std::nullopt;
    return letter == negativeLetter ? -value : value;
}

template <typename F>
auto Try(F f) -> std::optional<decltype(f())> {
    try {
        return f();
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace

HistoryRecord MakeHistoryRecord(const Bytes& received, std::int64_t receivedUtc) {
    HistoryRecord h;
    h.receivedUtc = receivedUtc;
    h.raw = received;
    h.newForm = IsNewForm(received);
    const Bytes record = h.newForm ? ConvertNewForm(received) : received;
    h.registration = RegistrationText(record);
    h.ownerCode = OwnerCodeText(record);
    if (auto fix = Try([&] { return DecodeFixTimeUtc(record); })) h.fixTimeUtc = fix->Ms() / DateTime::kMsPerSecond;
    h.latitude = SignedDegrees(DecodeLatitude(record, '.'), 'S');
    h.longitude = SignedDegrees(DecodeLongitude(record, '.'), 'W');
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

#include "link/DecodedPosition.hpp"

#include <exception>


namespace serwer {

namespace {

// Runs a decoder that can fail: its value, or nothing with its error text kept.
template <typename T, typename F>
void DecodeOrKeepError(std::optional<T>& value, std::string& error, F decode) {
    try {
        value = decode();
    } catch (const std::exception& e) {
        error = e.what();
    }
}

}  // namespace

bool DecodedPosition::HasFix() const {
    return gps == "OK" && latitude && longitude;
}

DecodedPosition DecodePosition(const Bytes& received, char decimalSeparator) {
    DecodedPosition p;
    p.received = received;
    p.newForm = IsNewForm(received);
    p.record = p.newForm ? ConvertNewForm(received) : received;
    const Bytes& record = p.record;
    p.registration = RegistrationText(record);
    p.ownerCode = OwnerCodeText(record);
    DecodeOrKeepError(p.fixTimeUtc, p.fixTimeError, [&] { return DecodeFixTimeUtc(record); });
    p.latitude = LatitudeDegrees(record);
    p.longitude = LongitudeDegrees(record);
    p.latitudeText = DecodeLatitude(record, decimalSeparator);
    p.longitudeText = DecodeLongitude(record, decimalSeparator);
    DecodeOrKeepError(p.speedKmh, p.speedError, [&] { return DecodeSpeed(record); });
    DecodeOrKeepError(p.odometerKm, p.odometerError, [&] { return DecodeOdometer(record) * 100; });
    p.engineText = DecodeEngine(record);
    p.engineOn = EngineOn(record);
    p.fuel = DecodeFuelLevel(record);
    p.fuelText = DecodeFuel(record);
    p.driver = DecodeDriverId(record);
    p.inputs = DecodeInputs(record);
    p.gps = DecodeGpsStatus(record);
    return p;
}

}  // namespace serwer

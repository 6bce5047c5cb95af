#pragma once
#include <optional>
#include <string>

#include "common/Bytes.hpp"
#include "common/DateTime.hpp"
#include "link/PositionRecord.hpp"

namespace serwer {

// A received position record decoded once, into the typed values that the table row,
// the history row and the event detectors all take from it. A field that cannot be
// decoded is empty and keeps the decoder's error text; the table's texts of the
// coordinates and the fuel are kept as the decoders give them.
struct DecodedPosition {
    Bytes received;        // the 128 bytes as they came
    Bytes record;          // the old form (the new form converted)
    bool newForm = false;
    std::string registration;  // RegistrationText
    std::string ownerCode;     // OwnerCodeText

    std::optional<DateTime> fixTimeUtc;
    std::string fixTimeError;
    std::optional<double> latitude, longitude;  // signed degrees, as LatitudeDegrees / LongitudeDegrees
    std::string latitudeText, longitudeText;    // the SZEROKOSC and DLUGOSC texts
    std::optional<double> speedKmh;
    std::string speedError;
    std::optional<int> odometerKm;
    std::string odometerError;

    bool engineOn = false;
    std::string engineText;  // "ZAŁ" or "WYŁ"
    FuelLevel fuel;
    std::string fuelText;  // the PALIWO text
    std::string driver;    // DecodeDriverId: the identifier or "Brak ID"
    DeviceInputs inputs;
    std::optional<std::string> gps;  // "OK", "BRAK", or none for any other status byte

    // A valid GPS fix with coordinates on the globe.
    bool HasFix() const;
};

// Decodes a 128-byte record (either form); the coordinates' texts with the decimal
// separator given. Throws only for a record of the wrong size.
DecodedPosition DecodePosition(const Bytes& received, char decimalSeparator);

}  // namespace serwer

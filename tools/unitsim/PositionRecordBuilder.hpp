#pragma once
#include <cstdint>
#include <string>

#include "common/Bytes.hpp"

namespace serwer {

// Builds the 128-byte position record a unit sends (before byte stuffing), the
// inverse of the server's decoders. Used by the unit simulator and the tests.

// A coordinate as the unit keeps it: whole degrees, whole minutes and thousandths of a minute.
struct CoordinateDm {
    int degrees = 0;
    int minutes = 0;
    int thousandths = 0;
};

// Decimal degrees (the sign is ignored: the hemisphere code carries it) rounded to
// the nearest thousandth of a minute.
CoordinateDm CoordinateFromDegrees(double degrees);

struct PositionOptions {
    std::string registration;          // up to 8 characters, padded with 0x00
    Bytes ownerCode = Bytes(8, '\0');  // 8 raw bytes
    Bytes driverId;                    // 3 bytes; empty means 00 00 00 (no driver)

    // Fix time in UTC.
    int day = 1, month = 1, year = 2026, hour = 0, minute = 0;

    CoordinateDm latitude;   // degrees 0..99
    CoordinateDm longitude;  // degrees 0..999
    int hemisphere = 0;      // 0 E/N, 1 W/N, 2 E/S, 3 W/S; 4..15 name no hemisphere

    char gpsStatus = 'A';     // 'A' fix valid, 'V' no fix
    int speedHundredths = 0;  // hundredths of km/h, 0..999999

    unsigned char fuelSensorType = 0;  // 3 float, anything else probe
    unsigned char fuelReading = 0;

    bool engine = false;
    bool input1 = false, input2 = false, input3 = false;

    int odometerHundredsKm = 0;  // 0..9999
    bool newForm = false;        // fuel and odometer at 43, 44, 45..46 and byte 53 = 1
};

// 16 hexadecimal digits (either case) to the 8 owner-code bytes; throws
// std::invalid_argument on anything else.
Bytes ParseOwnerCode(const std::string& hex16);

// The position the tests, the benchmarks and the simulator start from: a valid fix of
// 8 Dec 2026 13:45 UTC near Warsaw, old form, owner code 001A2B3C4D5E6F70, 12.34 km/h,
// probe at 84, engine and input 1 on, odometer 1234.
PositionOptions SamplePosition(const std::string& registration = "WA12345");

// The unstuffed record, byte 127 "$".
Bytes BuildPositionRecord(const PositionOptions& options);

}  // namespace serwer

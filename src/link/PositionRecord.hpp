#pragma once
#include <optional>
#include <string>

#include "common/Bytes.hpp"
#include "common/DateTime.hpp"

namespace serwer {

// The 128-byte position record a unit sends when it connects (byte 127 is "$").
// Two forms, told apart by byte 53: 0 is the old form, which every decoder reads;
// anything else is the new form, converted to the old one first.
// All functions are pure; those that can fail throw ConversionError.

constexpr std::size_t kRecordSize = 128;
constexpr std::size_t kFormFlagOffset = 53;
constexpr std::size_t kOwnerCodeOffset = 23;
constexpr std::size_t kRegistrationOffset = 31;
constexpr std::size_t kFieldSize = 8;  // owner code and registration are 8 bytes each

// The record must be kRecordSize bytes for every function below.
bool IsNewForm(const Bytes& record);
Bytes ConvertNewForm(const Bytes& newForm);

Bytes RegistrationField(const Bytes& record);  // the 8 raw bytes 31..38
Bytes OwnerCodeField(const Bytes& record);     // the 8 raw bytes 23..30

// Bytes up to the first 0x00, trimmed of leading and trailing bytes <= 0x20.
std::string RegistrationText(const Bytes& record);
// 16 upper-case hexadecimal digits.
std::string OwnerCodeText(const Bytes& record);
// The three driver bytes as text, or "Brak ID" when all three are 0x00.
std::string DecodeDriverId(const Bytes& record);

// UTC fix time of bytes 4..8 turned into local time. Fails on a bad BCD digit
// ("'%s' is not a valid integer value"), a bad date ("Invalid argument to date encode")
// or a bad time of day ("Invalid argument to time encode").
DateTime DecodeFixTime(const Bytes& record);
// The same fix time as it is in the record, in UTC.
DateTime DecodeFixTimeUtc(const Bytes& record);
// Fixed rule: +2 h strictly between 00:00 UTC of the last Sundays of March and
// October of the fix's year, +1 h otherwise (the two instants included).
DateTime FixTimeToLocal(DateTime utc);
// The reverse of FixTimeToLocal: the UTC time whose local time is the one given. In
// the hour that October's change repeats, the earlier (summer) instant is returned;
// a local time that March's change skips is taken as winter time.
DateTime LocalToFixTime(DateTime local);

// degrees + minutes/60 + seconds/3600; fails when minutes or seconds lie outside 0..60.
double DmsToDegrees(int degrees, int minutes, double seconds);

// "%.7f" with the given decimal separator followed by the hemisphere letter (none for
// an unknown hemisphere code); "0" alone when the digits or minutes are bad.
std::string DecodeLongitude(const Bytes& record, char decimalSeparator);
std::string DecodeLatitude(const Bytes& record, char decimalSeparator);
// The same coordinates as signed degrees (south and west negative) of the texts' seven
// decimals, for the history: nothing when the texts would be "0", the minutes are 60 or
// more, no hemisphere is named, or the value lies beyond 90 (latitude) or 180 (longitude).
std::optional<double> LongitudeDegrees(const Bytes& record);
std::optional<double> LatitudeDegrees(const Bytes& record);

// Speed in km/h from the 6 BCD digits of bytes 20..22 (hundredths). Fails on a bad digit.
double DecodeSpeed(const Bytes& record);
// "%.2f Km/h" with the given decimal separator: the PREDKOSC text.
std::string FormatSpeed(double kmh, char decimalSeparator);

// Odometer in hundreds of kilometres (0..9999) from bytes 51..52. Fails on a bad digit.
int DecodeOdometer(const Bytes& record);

// "ZAŁ" or "WYŁ" (Windows-1250 bytes) from bit 7 of byte 9.
std::string DecodeEngine(const Bytes& record);
bool EngineOn(const Bytes& record);  // the same bit

struct DeviceInputs {
    bool urz1 = false, urz2 = false, urz3 = false;
};
DeviceInputs DecodeInputs(const Bytes& record);

// "OK" for 'A', "BRAK" for 'V', nothing for any other byte (the column keeps its value).
std::optional<std::string> DecodeGpsStatus(const Bytes& record);

// "Plywak-57 %", "Plywak-", "Sonda-42 %", "Sonda-błąd" (Windows-1250 bytes).
std::string DecodeFuel(const Bytes& record);

// The fuel level a record carries, as a number: a float sensor's reading counts only
// while the engine runs (its text is then "Plywak-57 %"), a probe's unless it reports
// an error ("Sonda-błąd").
struct FuelLevel {
    enum class Sensor { Float, Probe };
    Sensor sensor = Sensor::Float;
    std::optional<int> percent;  // 0..100; none when the record gives no level
    bool operator==(const FuelLevel&) const = default;
};

FuelLevel DecodeFuelLevel(const Bytes& record);

}  // namespace serwer

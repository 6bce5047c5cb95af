#include "link/PositionRecord.hpp"

#include <charconv>
#include <cstdio>
#include <system_error>

#include "common/ServerError.hpp"
#include "common/Win1250.hpp"
#include "link/Bcd.hpp"

namespace serwer {

namespace {

constexpr std::size_t kDriverOffset = 1;
constexpr std::size_t kDriverSize = 3;
constexpr std::size_t kDayOffset = 4;
constexpr std::size_t kMonthOffset = 5;
constexpr std::size_t kYearOffset = 6;
constexpr std::size_t kHourOffset = 7;
constexpr std::size_t kMinuteOffset = 8;
constexpr std::size_t kFlagsOffset = 9;
constexpr std::size_t kLongitudeOffset = 10;
constexpr std::size_t kHemisphereOffset = 14;
constexpr std::size_t kLatitudeOffset = 15;
constexpr std::size_t kGpsOffset = 19;
constexpr std::size_t kSpeedOffset = 20;
constexpr std::size_t kFuelTypeOffset = 47;
constexpr std::size_t kFuelReadingOffset = 48;
constexpr std::size_t kOdometerOffset = 51;

// Where the new form keeps what the old form has at 47, 48 and 51..52.
constexpr std::size_t kNewSharedPrefix = 43;  // bytes 0..42 are common to both forms
constexpr std::size_t kNewFuelTypeOffset = 43;
constexpr std::size_t kNewFuelReadingOffset = 44;
constexpr std::size_t kNewOdometerOffset = 45;

constexpr unsigned char kEngineBit = 0x80;
constexpr unsigned char kInput1Bit = 0x40;
constexpr unsigned char kInput2Bit = 0x20;
constexpr unsigned char kInput3Bit = 0x10;

constexpr unsigned char kFloatSensor = 3;

void RequireRecord(const Bytes& record) {
    if (record.size() != kRecordSize) throw ServerError("position record must be 128 bytes");
}

unsigned char ByteAt(const Bytes& record, std::size_t offset) { return static_cast<unsigned char>(record[offset]); }

// Hemisphere letters from the high nibble of byte 14: bit 0 West, bit 1 South;
// a code above 3 names no hemisphere at all.
std::string LongitudeLetter(const Bytes& record) {
    const int code = ByteAt(record, kHemisphereOffset) >> 4;
    if (code > 3) return "";
    return (code & 1) ? "W" : "E";
}

std::string LatitudeLetter(const Bytes& record) {
    const int code = ByteAt(record, kHemisphereOffset) >> 4;
    if (code > 3) return "";
    return (code & 2) ? "S" : "N";
}

// A decimal integer made of digits only; the hexadecimal texts read here can hold
// "A".."F", which is what makes a coordinate bad.
bool ReadInteger(const std::string& text, int& value) {
    if (text.empty()) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

// A real number written as digits with at most one decimal separator. The text is
// rewritten with a full stop and read by from_chars, which ignores the C locale.
bool ReadReal(const std::string& text, char decimalSeparator, double& value) {
    std::string plain;
    bool seenSeparator = false;
    bool seenDigit = false;
    for (char c : text) {
        if (c == decimalSeparator && !seenSeparator) {
            seenSeparator = true;
            plain += '.';
        } else if (c >= '0' && c <= '9') {
            seenDigit = true;
            plain += c;
        } else {
            return false;
        }
    }
    if (!seenDigit) return false;
    const auto result = std::from_chars(plain.data(), plain.data() + plain.size(), value);
    return result.ec == std::errc() && result.ptr == plain.data() + plain.size();
}

std::string FormatFixed(double value, int decimals, char decimalSeparator) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    std::string text = buf;
    for (char& c : text)
        if (c == '.') c = decimalSeparator;
    return text;
}

// The last Sunday of a month at 00:00.
DateTime LastSunday(int year, int month) {
    const DateTime last = DateTime::FromParts({year, month, DaysInMonth(year, month), 0, 0, 0, 0});
    return last.PlusDays(-last.DayOfWeek());
}

struct CoordinateParts {
    int degrees = 0;
    int minutes = 0;
    double fraction = 0.0;  // of a minute
};

// Degrees, minutes and the fraction of a minute as numbers; nothing when a part is not one.
std::optional<CoordinateParts> ReadCoordinate(const std::string& degreesText, const std::string& minutesText,
                                              const std::string& fractionText, char decimalSeparator) {
    CoordinateParts parts;
    if (!ReadInteger(degreesText, parts.degrees) || !ReadInteger(minutesText, parts.minutes) ||
        !ReadReal(fractionText, decimalSeparator, parts.fraction))
        return std::nullopt;
    return parts;
}

// The coordinate text; "0" when a part is not a number or the minutes or seconds are
// out of range.
std::string CoordinateText(const std::optional<CoordinateParts>& parts, char decimalSeparator,
                           const std::string& letter) {
    if (!parts) return "0";
    try {
        const double value = DmsToDegrees(parts->degrees, parts->minutes, parts->fraction * 60.0);
        return FormatFixed(value, 7, decimalSeparator) + letter;
    } catch (const ConversionError&) {
        return "0";
    }
}

// Signed degrees of the seven decimals the text has; nothing for minutes of 60 or more,
// no hemisphere, or a value beyond the limit.
std::optional<double> SignedDegrees(const std::optional<CoordinateParts>& parts, const std::string& letter,
                                    char negativeLetter, double limit) {
    if (!parts || letter.empty() || parts->minutes >= 60) return std::nullopt;
    const std::string text = FormatFixed(DmsToDegrees(parts->degrees, parts->minutes, parts->fraction * 60.0), 7, '.');
    double value = 0.0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    if (!(value <= limit)) return std::nullopt;
    return letter[0] == negativeLetter ? -value : value;
}

std::optional<CoordinateParts> LongitudeParts(const Bytes& record, char decimalSeparator) {
    const std::string t = HexText(std::string_view(record).substr(kLongitudeOffset, 4));
    return ReadCoordinate(t.substr(0, 3), t.substr(3, 2), std::string("0") + decimalSeparator + t.substr(5, 3),
                          decimalSeparator);
}

std::optional<CoordinateParts> LatitudeParts(const Bytes& record, char decimalSeparator) {
    // The low nibble is written in decimal, so 10..15 take two characters and shift
    // everything after them; the positions below are taken as they fall.
    std::string t = std::to_string(ByteAt(record, kHemisphereOffset) & 0x0F) +
                    HexText(std::string_view(record).substr(kLatitudeOffset, 3));
    t.insert(4, 1, decimalSeparator);
    return ReadCoordinate(t.substr(0, 2), t.substr(2, 2), t.substr(4, 6), decimalSeparator);
}

}  // namespace

bool IsNewForm(const Bytes& record) {
    RequireRecord(record);
    return ByteAt(record, kFormFlagOffset) != 0;
}

Bytes ConvertNewForm(const Bytes& newForm) {
    RequireRecord(newForm);
    Bytes old(kRecordSize, '\0');
    old.replace(0, kNewSharedPrefix, newForm, 0, kNewSharedPrefix);
    old[kFuelTypeOffset] = newForm[kNewFuelTypeOffset];
    old[kFuelReadingOffset] = newForm[kNewFuelReadingOffset];
    old[kOdometerOffset] = newForm[kNewOdometerOffset];
    old[kOdometerOffset + 1] = newForm[kNewOdometerOffset + 1];
    return old;
}

Bytes RegistrationField(const Bytes& record) {
    RequireRecord(record);
    return record.substr(kRegistrationOffset, kFieldSize);
}

Bytes OwnerCodeField(const Bytes& record) {
    RequireRecord(record);
    return record.substr(kOwnerCodeOffset, kFieldSize);
}

std::string RegistrationText(const Bytes& record) {
    std::string text = RegistrationField(record);
    const std::size_t nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && blank(text[begin])) ++begin;
    while (end > begin && blank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

std::string OwnerCodeText(const Bytes& record) { return HexText(OwnerCodeField(record)); }

std::string DecodeDriverId(const Bytes& record) {
    RequireRecord(record);
    const std::string id = record.substr(kDriverOffset, kDriverSize);
    if (id == std::string(kDriverSize, '\0')) return "Brak ID";
    return id;
}

DateTime DecodeFixTime(const Bytes& record) { return FixTimeToLocal(DecodeFixTimeUtc(record)); }

DateTime DecodeFixTimeUtc(const Bytes& record) {
    RequireRecord(record);
    const int day = DecodeBcdByte(ByteAt(record, kDayOffset));
    const int month = DecodeBcdByte(ByteAt(record, kMonthOffset));
    const int year = 2000 + DecodeBcdByte(ByteAt(record, kYearOffset));
    const int hour = DecodeBcdByte(ByteAt(record, kHourOffset));
    const int minute = DecodeBcdByte(ByteAt(record, kMinuteOffset));
    if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
        throw ConversionError("Invalid argument to date encode");
    if (hour > 23 || minute > 59) throw ConversionError("Invalid argument to time encode");
    return DateTime::FromParts({year, month, day, hour, minute, 0, 0});
}

DateTime FixTimeToLocal(DateTime utc) {
    const int year = utc.Split().year;
    const DateTime summerStart = LastSunday(year, 3);
    const DateTime summerEnd = LastSunday(year, 10);
    return utc.PlusHours(utc > summerStart && utc < summerEnd ? 2 : 1);
}

DateTime LocalToFixTime(DateTime local) {
    const DateTime summer = local.PlusHours(-2);
    if (FixTimeToLocal(summer) == local) return summer;
    return local.PlusHours(-1);
}

double DmsToDegrees(int degrees, int minutes, double seconds) {
    if (minutes < 0 || minutes > 60 || seconds < 0.0 || seconds > 60.0)
        throw ConversionError("Invalid argument to degrees conversion");
    return degrees + minutes / 60.0 + seconds / 3600.0;
}

std::string DecodeLongitude(const Bytes& record, char decimalSeparator) {
    RequireRecord(record);
    return CoordinateText(LongitudeParts(record, decimalSeparator), decimalSeparator, LongitudeLetter(record));
}

std::string DecodeLatitude(const Bytes& record, char decimalSeparator) {
    RequireRecord(record);
    return CoordinateText(LatitudeParts(record, decimalSeparator), decimalSeparator, LatitudeLetter(record));
}

std::optional<double> LongitudeDegrees(const Bytes& record) {
    RequireRecord(record);
    return SignedDegrees(LongitudeParts(record, '.'), LongitudeLetter(record), 'W', 180.0);
}

std::optional<double> LatitudeDegrees(const Bytes& record) {
    RequireRecord(record);
    return SignedDegrees(LatitudeParts(record, '.'), LatitudeLetter(record), 'S', 90.0);
}

double DecodeSpeed(const Bytes& record) {
    RequireRecord(record);
    return static_cast<double>(DecodeBcdNumber(std::string_view(record).substr(kSpeedOffset, 3))) / 100.0;
}

std::string FormatSpeed(double kmh, char decimalSeparator) { return FormatFixed(kmh, 2, decimalSeparator) + " Km/h"; }

int DecodeOdometer(const Bytes& record) {
    RequireRecord(record);
    return static_cast<int>(DecodeBcdNumber(std::string_view(record).substr(kOdometerOffset, 2)));
}

std::string DecodeEngine(const Bytes& record) {
    static const std::string kOn = Cp1250("ZAŁ");
    static const std::string kOff = Cp1250("WYŁ");
    return EngineOn(record) ? kOn : kOff;
}

bool EngineOn(const Bytes& record) {
    RequireRecord(record);
    return (ByteAt(record, kFlagsOffset) & kEngineBit) != 0;
}

DeviceInputs DecodeInputs(const Bytes& record) {
    RequireRecord(record);
    const unsigned char flags = ByteAt(record, kFlagsOffset);
    DeviceInputs inputs;
    inputs.urz1 = (flags & kInput1Bit) != 0;
    inputs.urz2 = (flags & kInput2Bit) != 0;
    inputs.urz3 = (flags & kInput3Bit) != 0;
    return inputs;
}

std::optional<std::string> DecodeGpsStatus(const Bytes& record) {
    RequireRecord(record);
    switch (record[kGpsOffset]) {
        case 'A':
            return std::string("OK");
        case 'V':
            return std::string("BRAK");
        default:
            return std::nullopt;
    }
}

std::string DecodeFuel(const Bytes& record) {
    const FuelLevel level = DecodeFuelLevel(record);
    if (level.sensor == FuelLevel::Sensor::Float)
        return level.percent ? "Plywak-" + std::to_string(*level.percent) + " %" : "Plywak-";
    static const std::string kProbeError = Cp1250("Sonda-błąd");
    return level.percent ? "Sonda-" + std::to_string(*level.percent) + " %" : kProbeError;
}

FuelLevel DecodeFuelLevel(const Bytes& record) {
    RequireRecord(record);
    const unsigned char type = ByteAt(record, kFuelTypeOffset);
    const int reading = ByteAt(record, kFuelReadingOffset);
    FuelLevel level;
    if (type == kFloatSensor) {
        if (ByteAt(record, kFlagsOffset) & kEngineBit) level.percent = reading < 100 ? reading : 100;
        return level;
    }
    level.sensor = FuelLevel::Sensor::Probe;
    if (reading >= 250) return level;
    // Half the reading, a half going to the even neighbour.
    int percent = reading / 2;
    if (reading % 2 == 1 && percent % 2 == 1) ++percent;
    level.percent = percent > 100 ? 100 : percent;
    return level;
}

}  // namespace serwer

#include "unitsim/PositionRecordBuilder.hpp"

#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "link/PositionRecord.hpp"

namespace serwer {

namespace {

// Decimal digits of a value, zero-padded to the given count.
std::string Digits(long value, int count, const char* what) {
    long limit = 1;
    for (int i = 0; i < count; ++i) limit *= 10;
    if (value < 0 || value >= limit) throw std::invalid_argument(std::string(what) + " out of range");
    char buf[24];
    std::snprintf(buf, sizeof buf, "%0*ld", count, value);
    return buf;
}

// Packs an even number of decimal digits into BCD bytes written at offset.
void PutBcd(Bytes& record, std::size_t offset, const std::string& digits) {
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        record[offset + i / 2] = static_cast<char>((digits[i] - '0') << 4 | (digits[i + 1] - '0'));
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    throw std::invalid_argument("owner code must be 16 hexadecimal digits");
}

}  // namespace

CoordinateDm CoordinateFromDegrees(double degrees) {
    const long totalThousandths = std::lround(std::fabs(degrees) * 60000.0);
    CoordinateDm c;
    c.degrees = static_cast<int>(totalThousandths / 60000);
    c.minutes = static_cast<int>(totalThousandths % 60000 / 1000);
    c.thousandths = static_cast<int>(totalThousandths % 1000);
    return c;
}

Bytes ParseOwnerCode(const std::string& hex16) {
    if (hex16.size() != 16) throw std::invalid_argument("owner code must be 16 hexadecimal digits");
    Bytes code;
    for (std::size_t i = 0; i < hex16.size(); i += 2)
        code += static_cast<char>(HexValue(hex16[i]) << 4 | HexValue(hex16[i + 1]));
    return code;
}

PositionOptions SamplePosition(const std::string& registration) {
    PositionOptions o;
    o.registration = registration;
    o.ownerCode = ParseOwnerCode("001A2B3C4D5E6F70");
    o.day = 8, o.month = 12, o.year = 2026, o.hour = 13, o.minute = 45;
    o.latitude = {52, 12, 345};
    o.longitude = {21, 1, 234};
    o.hemisphere = 0;
    o.gpsStatus = 'A';
    o.speedHundredths = 1234;
    o.fuelSensorType = 0;
    o.fuelReading = 84;
    o.engine = true;
    o.input1 = true;
    o.odometerHundredsKm = 1234;
    return o;
}

Bytes BuildPositionRecord(const PositionOptions& o) {
    if (o.registration.size() > kFieldSize) throw std::invalid_argument("registration longer than 8 characters");
    if (o.ownerCode.size() != kFieldSize) throw std::invalid_argument("owner code must be 8 bytes");
    if (!o.driverId.empty() && o.driverId.size() != 3) throw std::invalid_argument("driver id must be 3 bytes");
    if (o.hemisphere < 0 || o.hemisphere > 15) throw std::invalid_argument("hemisphere code out of range");

    Bytes r(kRecordSize, '\0');
    if (!o.driverId.empty()) r.replace(1, 3, o.driverId);

    PutBcd(r, 4,
           Digits(o.day, 2, "day") + Digits(o.month, 2, "month") + Digits(o.year - 2000, 2, "year") +
               Digits(o.hour, 2, "hour") + Digits(o.minute, 2, "minute"));

    unsigned char flags = 0;
    if (o.engine) flags |= 0x80;
    if (o.input1) flags |= 0x40;
    if (o.input2) flags |= 0x20;
    if (o.input3) flags |= 0x10;
    r[9] = static_cast<char>(flags);

    PutBcd(r, 10,
           Digits(o.longitude.degrees, 3, "longitude degrees") + Digits(o.longitude.minutes, 2, "longitude minutes") +
               Digits(o.longitude.thousandths, 3, "longitude thousandths"));

    // Byte 14: hemisphere code above the tens digit of the latitude degrees; the
    // remaining six latitude digits follow in bytes 15..17.
    const std::string lat = Digits(o.latitude.degrees, 2, "latitude degrees") +
                            Digits(o.latitude.minutes, 2, "latitude minutes") +
                            Digits(o.latitude.thousandths, 3, "latitude thousandths");
    r[14] = static_cast<char>(o.hemisphere << 4 | (lat[0] - '0'));
    PutBcd(r, 15, lat.substr(1));

    r[19] = o.gpsStatus;
    PutBcd(r, 20, Digits(o.speedHundredths, 6, "speed"));
    r.replace(kOwnerCodeOffset, kFieldSize, o.ownerCode);
    r.replace(kRegistrationOffset, o.registration.size(), o.registration);

    const std::size_t fuelType = o.newForm ? 43 : 47;
    const std::size_t fuelReading = o.newForm ? 44 : 48;
    const std::size_t odometer = o.newForm ? 45 : 51;
    r[fuelType] = static_cast<char>(o.fuelSensorType);
    r[fuelReading] = static_cast<char>(o.fuelReading);
    PutBcd(r, odometer, Digits(o.odometerHundredsKm, 4, "odometer"));
    r[kFormFlagOffset] = o.newForm ? 1 : 0;

    r[kRecordSize - 1] = '$';
    return r;
}

}  // namespace serwer

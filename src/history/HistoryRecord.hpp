#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "common/Bytes.hpp"
#include "link/DecodedPosition.hpp"

namespace serwer {

constexpr double kMaxLatitude = 90.0;
constexpr double kMaxLongitude = 180.0;

// A coordinate in signed degrees when it is one, within -limit..limit; nothing for none,
// a value that is not finite, or one beyond the limit.
std::optional<double> CoordinateWithin(std::optional<double> degrees, double limit);

// One stored position as the history keeps it: the fields decoded from the record as
// plain values (texts are Windows-1250 bytes, like every text of the core), and the
// record itself as it came, so that it can be decoded again later.
struct HistoryRecord {
    std::string registration;                // the registration text, as in the table's NAZWA
    std::string ownerCode;                   // 16 upper-case hexadecimal digits
    std::optional<std::int64_t> fixTimeUtc;  // seconds since 1970-01-01 UTC; none when undecodable
    std::int64_t receivedUtc = 0;            // seconds since 1970-01-01 UTC
    std::optional<double> latitude;          // signed decimal degrees, south negative
    std::optional<double> longitude;         // signed decimal degrees, west negative
    std::optional<double> speedKmh;
    std::string fuel;  // as the table's PALIWO
    bool engineOn = false;
    std::string gps;     // "OK", "BRAK", or empty when the record names neither
    std::string driver;  // as the table's KIEROWCA
    bool input1 = false, input2 = false, input3 = false;
    std::optional<std::int64_t> odometerKm;
    bool newForm = false;
    Bytes raw;  // the 128 bytes as received (before the new form is converted)

    // Both coordinates, on the globe: a position that can be drawn.
    bool HasCoordinates() const {
        return CoordinateWithin(latitude, kMaxLatitude) && CoordinateWithin(longitude, kMaxLongitude);
    }
    bool HasFix() const { return gps == "OK" && HasCoordinates(); }
    bool operator==(const HistoryRecord&) const = default;
};

// The history row of a decoded position. A field that could not be decoded is left
// empty (a coordinate off the globe too).
HistoryRecord MakeHistoryRecord(const DecodedPosition& position, std::int64_t receivedUtc);
// The same from a received 128-byte record (either form); nothing throws for a bad field.
HistoryRecord MakeHistoryRecord(const Bytes& received, std::int64_t receivedUtc);

// Seconds since 1970-01-01 UTC now.
std::int64_t UtcNowSeconds();

}  // namespace serwer

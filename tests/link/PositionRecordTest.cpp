#include <gtest/gtest.h>

#include "common/ServerError.hpp"
#include "link/PositionRecord.hpp"
#include "vehicles/VehicleRow.hpp"

using namespace serwer;

namespace {

// A zero old-form record ending in "$" with the given bytes written at offset.
Bytes RecordWith(std::size_t offset, const Bytes& bytes) {
    Bytes r(kRecordSize, '\0');
    r[kRecordSize - 1] = '$';
    r.replace(offset, bytes.size(), bytes);
    return r;
}

Bytes Put(Bytes r, std::size_t offset, const Bytes& bytes) {
    r.replace(offset, bytes.size(), bytes);
    return r;
}

std::string Opis(const Bytes& dateBytes, const Bytes& timeBytes) {
    return FormatFixTime(DecodeFixTime(Put(RecordWith(4, dateBytes), 7, timeBytes)));
}

template <typename F>
std::string FailureMessage(F f) {
    try {
        f();
    } catch (const ConversionError& e) {
        return e.what();
    }
    return "no failure";
}

}  // namespace

TEST(PositionRecordForm, ByteFiftyThreeTellsTheForms) {
    EXPECT_FALSE(IsNewForm(RecordWith(53, "\x00")));
    EXPECT_TRUE(IsNewForm(RecordWith(53, "\x01")));
    EXPECT_TRUE(IsNewForm(RecordWith(53, "\xFF")));
}

TEST(PositionRecordForm, ConvertNewFormMovesFuelAndOdometer) {
    Bytes fresh(kRecordSize, '\x77');  // every byte set, so zeros in the result come from the conversion
    fresh[43] = 3;
    fresh[44] = 57;
    fresh[45] = 0x12;
    fresh[46] = 0x34;
    fresh[53] = 1;
    const Bytes old = ConvertNewForm(fresh);
    ASSERT_EQ(old.size(), kRecordSize);
    EXPECT_EQ(old.substr(0, 43), fresh.substr(0, 43));
    EXPECT_EQ(old.substr(43, 4), Bytes(4, '\0'));
    EXPECT_EQ(old[47], 3);
    EXPECT_EQ(old[48], 57);
    EXPECT_EQ(old.substr(49, 2), Bytes(2, '\0'));
    EXPECT_EQ(old.substr(51, 2), "\x12\x34");
    EXPECT_EQ(old.substr(53), Bytes(kRecordSize - 53, '\0'));
    EXPECT_FALSE(IsNewForm(old));
    EXPECT_EQ(DecodeOdometer(old), 1234);
    EXPECT_EQ(DecodeFuel(Put(old, 9, "\x80")), "Plywak-57 %");
}

TEST(PositionRecordFields, RegistrationTextCutsAtZeroAndTrims) {
    EXPECT_EQ(RegistrationText(RecordWith(31, Bytes("AB12345\0", 8))), "AB12345");
    EXPECT_EQ(RegistrationText(RecordWith(31, Bytes("\x20KR 1\0\0\0", 8))), "KR 1");
    EXPECT_EQ(RegistrationText(RecordWith(31, Bytes("\0ABCDEFG", 8))), "");
    EXPECT_EQ(RegistrationText(RecordWith(31, Bytes(8, ' '))), "");
    EXPECT_EQ(RegistrationText(RecordWith(31, "WA12345B")), "WA12345B");
    EXPECT_EQ(RegistrationText(RecordWith(31,
                                          "\x01\x1FPO\xA3"
                                          "1\x20\x20")),
              "PO\xA3"
              "1");
    EXPECT_EQ(RegistrationField(RecordWith(31, Bytes("KR 1\0\0\0\0", 8))), Bytes("KR 1\0\0\0\0", 8));
}

TEST(PositionRecordFields, OwnerCodeTextIsUpperCaseHex) {
    const Bytes code("\x00\x1A\x2B\x3C\x4D\x5E\x6F\x70", 8);
    EXPECT_EQ(OwnerCodeText(RecordWith(23, code)), "001A2B3C4D5E6F70");
    EXPECT_EQ(OwnerCodeText(RecordWith(23, "\xAB\xCD\xEF\x01\x02\x03\x04\x05")), "ABCDEF0102030405");
    EXPECT_EQ(OwnerCodeField(RecordWith(23, code)), code);
}

TEST(PositionRecordFields, DriverIdBrakIdOnlyForThreeZeros) {
    EXPECT_EQ(DecodeDriverId(RecordWith(1, Bytes(3, '\0'))), "Brak ID");
    EXPECT_EQ(DecodeDriverId(RecordWith(1, Bytes("\0\0"
                                                 "1",
                                                 3))),
              Bytes("\0\0"
                    "1",
                    3));
    EXPECT_EQ(DecodeDriverId(RecordWith(1, "K07")), "K07");
}

TEST(PositionRecordFixTime, WorkedExamples) {
    EXPECT_EQ(Opis("\x08\x12\x26", "\x13\x45"), "2026.12.08-14:45");
    EXPECT_EQ(Opis("\x15\x07\x26", "\x10\x30"), "2026.07.15-12:30");
    EXPECT_EQ(Opis("\x29\x03\x26", Bytes("\x00\x00", 2)), "2026.03.29-01:00");
    EXPECT_EQ(Opis("\x29\x03\x26", Bytes("\x00\x01", 2)), "2026.03.29-02:01");
    EXPECT_EQ(Opis("\x31\x12\x26", "\x23\x30"), "2027.01.01-00:30");
}

TEST(PositionRecordFixTime, LastSundayOfOctoberIsWinterAtMidnight) {
    EXPECT_EQ(Opis("\x25\x10\x26", Bytes("\x00\x00", 2)), "2026.10.25-01:00");
    EXPECT_EQ(Opis("\x24\x10\x26", "\x23\x59"), "2026.10.25-01:59");
}

TEST(PositionRecordFixTime, InvalidDatesAndTimesFail) {
    EXPECT_EQ(Opis("\x29\x02\x24", "\x12\x00"), "2024.02.29-13:00");
    EXPECT_EQ(FailureMessage([] { Opis("\x29\x02\x25", "\x12\x00"); }), "Invalid argument to date encode");
    EXPECT_EQ(FailureMessage([] { Opis("\x01\x13\x26", "\x12\x00"); }), "Invalid argument to date encode");
    EXPECT_EQ(FailureMessage([] { Opis(Bytes("\x00\x01\x26", 3), "\x12\x00"); }), "Invalid argument to date encode");
    EXPECT_EQ(FailureMessage([] { Opis("\x01\x01\x26", Bytes("\x24\x00", 2)); }), "Invalid argument to time encode");
    EXPECT_EQ(FailureMessage([] { Opis("\x01\x01\x26", "\x12\x60"); }), "Invalid argument to time encode");
    EXPECT_EQ(FailureMessage([] { Opis("\x01\x01\x26", "\x12\x5A"); }), "'00000000005A' is not a valid integer value");
    EXPECT_EQ(FailureMessage([] { Opis("\x1B\x01\x26", "\x12\x00"); }), "'00000000001B' is not a valid integer value");
}

TEST(PositionRecordCoordinates, DmsToDegreesLimits) {
    EXPECT_DOUBLE_EQ(DmsToDegrees(52, 60, 60.0), 52.0 + 1.0 + 60.0 / 3600.0);
    EXPECT_DOUBLE_EQ(DmsToDegrees(10, 30, 0.0), 10.5);
    EXPECT_THROW(DmsToDegrees(52, 61, 0.0), ConversionError);
    EXPECT_THROW(DmsToDegrees(52, -1, 0.0), ConversionError);
    EXPECT_THROW(DmsToDegrees(52, 0, 60.001), ConversionError);
    EXPECT_THROW(DmsToDegrees(52, 0, -0.5), ConversionError);
}

TEST(PositionRecordCoordinates, LatitudeWorkedExamples) {
    EXPECT_EQ(DecodeLatitude(RecordWith(14, "\x05\x21\x23\x45"), '.'), "52.2057500N");
    EXPECT_EQ(DecodeLatitude(RecordWith(14, "\x25\x21\x23\x45"), '.'), "52.2057500S");
    EXPECT_EQ(DecodeLatitude(RecordWith(14, "\x45\x21\x23\x45"), '.'), "52.2057500");
    EXPECT_EQ(DecodeLatitude(RecordWith(14, Bytes("\x05\x27\x50\x00", 4)), '.'), "0");
}

TEST(PositionRecordCoordinates, LongitudeWorkedExamples) {
    const Bytes lon = Put(RecordWith(10, "\x02\x10\x12\x34"), 14, "\x05");
    EXPECT_EQ(DecodeLongitude(lon, '.'), "21.0205667E");
    EXPECT_EQ(DecodeLongitude(Put(lon, 14, "\x15"), '.'), "21.0205667W");
    EXPECT_EQ(DecodeLongitude(Put(lon, 14, "\x25"), '.'), "21.0205667E");
    EXPECT_EQ(DecodeLongitude(Put(lon, 14, "\xF5"), '.'), "21.0205667");
    EXPECT_EQ(DecodeLongitude(Put(lon, 10, "\x02\x1A"), '.'), "0");
    EXPECT_EQ(DecodeLongitude(Put(lon, 13, "\x3F"), '.'), "0");
}

TEST(PositionRecordCoordinates, SeparatorBuildsParsesAndFormats) {
    EXPECT_EQ(DecodeLatitude(RecordWith(14, "\x05\x21\x23\x45"), ','), "52,2057500N");
    EXPECT_EQ(DecodeLongitude(Put(RecordWith(10, "\x02\x10\x12\x34"), 14, "\x15"), ','), "21,0205667W");
}

TEST(PositionRecordCoordinates, LatitudeTwoDigitNibbleShiftsCharacters) {
    // Low nibble 12 gives "12" + "212345": degrees 12, minutes 21, fraction .2345.
    EXPECT_EQ(DecodeLatitude(RecordWith(14, "\x0C\x21\x23\x45"), '.'), "12.3539083N");
}

TEST(PositionRecordCoordinates, BadLatitudeDigitsGiveZero) {
    EXPECT_EQ(DecodeLatitude(RecordWith(14, "\x05\xA1\x23\x45"), '.'), "0");
    EXPECT_EQ(DecodeLatitude(RecordWith(14, "\x05\x21\x23\x4B"), '.'), "0");
    EXPECT_EQ(DecodeLatitude(RecordWith(14, "\x15\x2A\x23\x45"), '.'), "0");
    EXPECT_EQ(DecodeLatitude(RecordWith(14, Bytes("\x05\x26\x00\x00", 4)), '.'), "53.0000000N");
}

TEST(PositionRecordSpeed, HundredthsOfKmPerHour) {
    EXPECT_DOUBLE_EQ(DecodeSpeed(RecordWith(20, Bytes("\x00\x12\x34", 3))), 12.34);
    EXPECT_EQ(FormatSpeed(DecodeSpeed(RecordWith(20, Bytes("\x00\x12\x34", 3))), '.'), "12.34 Km/h");
    EXPECT_EQ(FormatSpeed(DecodeSpeed(RecordWith(20, Bytes(3, '\0'))), '.'), "0.00 Km/h");
    EXPECT_EQ(FormatSpeed(DecodeSpeed(RecordWith(20, "\x01\x23\x45")), '.'), "123.45 Km/h");
    EXPECT_EQ(FormatSpeed(DecodeSpeed(RecordWith(20, "\x01\x23\x45")), ','), "123,45 Km/h");
}

TEST(PositionRecordSpeed, BadDigitFails) {
    EXPECT_EQ(FailureMessage([] { DecodeSpeed(RecordWith(20, Bytes("\x00\x0A\x00", 3))); }),
              "'000A00' is not a valid integer value");
}

TEST(PositionRecordOdometer, HundredsOfKilometres) {
    EXPECT_EQ(DecodeOdometer(RecordWith(51, "\x12\x34")), 1234);
    EXPECT_EQ(DecodeOdometer(RecordWith(51, "\x99\x99")), 9999);
    EXPECT_EQ(FailureMessage([] { DecodeOdometer(RecordWith(51, "\x12\xF4")); }),
              "'12F4' is not a valid integer value");
}

TEST(PositionRecordFlags, EngineAndInputs) {
    EXPECT_EQ(DecodeEngine(RecordWith(9, "\x80")), "ZA\xA3");
    EXPECT_EQ(DecodeEngine(RecordWith(9, "\x7F")), "WY\xA3");
    const DeviceInputs all = DecodeInputs(RecordWith(9, "\x70"));
    EXPECT_TRUE(all.urz1 && all.urz2 && all.urz3);
    const DeviceInputs second = DecodeInputs(RecordWith(9, "\x2F"));
    EXPECT_FALSE(second.urz1);
    EXPECT_TRUE(second.urz2);
    EXPECT_FALSE(second.urz3);
}

TEST(PositionRecordFlags, GpsStatus) {
    EXPECT_EQ(DecodeGpsStatus(RecordWith(19, "A")), "OK");
    EXPECT_EQ(DecodeGpsStatus(RecordWith(19, "V")), "BRAK");
    EXPECT_FALSE(DecodeGpsStatus(RecordWith(19, "\x58")).has_value());
    EXPECT_FALSE(DecodeGpsStatus(RecordWith(19, "a")).has_value());
}

TEST(PositionRecordFuel, WorkedTable) {
    auto fuel = [](unsigned char type, unsigned char reading, bool engine) {
        Bytes r = RecordWith(47, Bytes{static_cast<char>(type), static_cast<char>(reading)});
        r[9] = engine ? '\x80' : '\x00';
        return DecodeFuel(r);
    };
    EXPECT_EQ(fuel(3, 57, true), "Plywak-57 %");
    EXPECT_EQ(fuel(3, 180, true), "Plywak-100 %");
    EXPECT_EQ(fuel(3, 57, false), "Plywak-");
    for (bool engine : {false, true}) {
        EXPECT_EQ(fuel(0, 84, engine), "Sonda-42 %");
        EXPECT_EQ(fuel(0, 1, engine), "Sonda-0 %");
        EXPECT_EQ(fuel(0, 249, engine), "Sonda-100 %");
        EXPECT_EQ(fuel(0, 250, engine),
                  "Sonda-b\xB3\xB9"
                  "d");
    }
    EXPECT_EQ(fuel(0, 5, false), "Sonda-2 %");
    EXPECT_EQ(fuel(0, 7, false), "Sonda-4 %");
    EXPECT_EQ(fuel(7, 255, false),
              "Sonda-b\xB3\xB9"
              "d");
}

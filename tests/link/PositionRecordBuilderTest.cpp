#include <gtest/gtest.h>

#include <stdexcept>

#include "link/PositionRecord.hpp"
#include "unitsim/PositionRecordBuilder.hpp"
#include "vehicles/VehicleRow.hpp"

using namespace serwer;

namespace {

PositionOptions SampleOptions() {
    PositionOptions o = SamplePosition();
    o.ownerCode = ParseOwnerCode("001a2b3c4d5e6f70");  // the sample's, in small letters
    o.driverId = "K07";
    o.day = 15, o.month = 7, o.hour = 10, o.minute = 30;
    o.hemisphere = 1;
    o.gpsStatus = 'V';
    o.speedHundredths = 12345;
    o.fuelSensorType = 3;
    o.fuelReading = 57;
    o.input3 = true;
    return o;
}

// Decodes what the server would store and compares it with the options it came from.
void ExpectDecodesTo(const Bytes& received, const PositionOptions& o) {
    ASSERT_EQ(received.size(), kRecordSize);
    EXPECT_EQ(received[kRecordSize - 1], '$');
    EXPECT_EQ(IsNewForm(received), o.newForm);
    const Bytes r = o.newForm ? ConvertNewForm(received) : received;
    EXPECT_EQ(RegistrationText(r), o.registration);
    EXPECT_EQ(OwnerCodeField(r), o.ownerCode);
    EXPECT_EQ(DecodeDriverId(r), o.driverId.empty() ? "Brak ID" : o.driverId);
    EXPECT_EQ(DecodeFixTime(r), FixTimeToLocal(*DateTime::Make(o.year, o.month, o.day, o.hour, o.minute)));
    EXPECT_DOUBLE_EQ(DecodeSpeed(r), o.speedHundredths / 100.0);
    EXPECT_EQ(DecodeOdometer(r), o.odometerHundredsKm);
    const DeviceInputs in = DecodeInputs(r);
    EXPECT_EQ(in.urz1, o.input1);
    EXPECT_EQ(in.urz2, o.input2);
    EXPECT_EQ(in.urz3, o.input3);
    EXPECT_EQ(r[9] & 0x80, o.engine ? 0x80 : 0);
    EXPECT_EQ(static_cast<unsigned char>(r[47]), o.fuelSensorType);
    EXPECT_EQ(static_cast<unsigned char>(r[48]), o.fuelReading);
}

}  // namespace

TEST(PositionRecordBuilder, OldFormRoundTrip) {
    const PositionOptions o = SampleOptions();
    const Bytes r = BuildPositionRecord(o);
    ExpectDecodesTo(r, o);
    EXPECT_EQ(OwnerCodeText(r), "001A2B3C4D5E6F70");
    EXPECT_EQ(DecodeLatitude(r, '.'), "52.2057500N");
    EXPECT_EQ(DecodeLongitude(r, '.'), "21.0205667W");
    EXPECT_EQ(FormatFixTime(DecodeFixTime(r)), "2026.07.15-12:30");
    EXPECT_EQ(DecodeGpsStatus(r), "BRAK");
    EXPECT_EQ(DecodeFuel(r), "Plywak-57 %");
}

TEST(PositionRecordBuilder, NewFormPutsFuelAndOdometerAtFortyThree) {
    PositionOptions o = SampleOptions();
    o.newForm = true;
    o.driverId.clear();
    o.fuelSensorType = 0;
    o.fuelReading = 84;
    const Bytes r = BuildPositionRecord(o);
    EXPECT_EQ(r.substr(43, 4), Bytes("\x00\x54\x12\x34", 4));
    EXPECT_EQ(r[53], 1);
    EXPECT_EQ(r.substr(47, 6), Bytes(6, '\0'));
    ExpectDecodesTo(r, o);
    EXPECT_EQ(DecodeFuel(ConvertNewForm(r)), "Sonda-42 %");
}

TEST(PositionRecordBuilder, CoordinateFromDecimalDegrees) {
    const CoordinateDm lat = CoordinateFromDegrees(52.20575);
    EXPECT_EQ(lat.degrees, 52);
    EXPECT_EQ(lat.minutes, 12);
    EXPECT_EQ(lat.thousandths, 345);
    const CoordinateDm lon = CoordinateFromDegrees(-21.0205667);
    EXPECT_EQ(lon.degrees, 21);
    EXPECT_EQ(lon.minutes, 1);
    EXPECT_EQ(lon.thousandths, 234);
    const CoordinateDm carry = CoordinateFromDegrees(18.99999999);
    EXPECT_EQ(carry.degrees, 19);
    EXPECT_EQ(carry.minutes, 0);
    EXPECT_EQ(carry.thousandths, 0);
}

TEST(PositionRecordBuilder, ParseOwnerCodeRejectsBadText) {
    EXPECT_EQ(ParseOwnerCode("ABCDEF0102030405"), Bytes("\xAB\xCD\xEF\x01\x02\x03\x04\x05", 8));
    EXPECT_THROW(ParseOwnerCode("ABCDEF01020304"), std::invalid_argument);
    EXPECT_THROW(ParseOwnerCode("ABCDEF010203040G"), std::invalid_argument);
}

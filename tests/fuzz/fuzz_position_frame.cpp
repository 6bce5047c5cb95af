// The position frame as a connection handler takes it off the link (PositionFrame),
// unstuffed, checked for 128 bytes, converted from the new form when byte 53 says so,
// then every decoder in the order the handler stores the vehicle's row, and then the one
// decoding and the event detectors (with a zone, a limit and a named input), twice in a row
// as two positions of one vehicle. The decoders may refuse a record only with a
// ConversionError; any other exception or a sanitizer report is a finding.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.hpp"
#include "common/ServerError.hpp"
#include "events/EventDetector.hpp"
#include "link/DecodedPosition.hpp"
#include "link/ByteStuffing.hpp"
#include "link/PositionFrame.hpp"
#include "link/PositionRecord.hpp"
#include "server/ConnectionHandler.hpp"
#include "vehicles/VehicleRow.hpp"

using namespace serwer;

namespace {

// The frame the handler would have read from these link bytes, or nothing when the
// unit stops short of it or never ends it in time.
bool ReadFrame(const Bytes& link, Bytes& frame) {
    PositionFrame reader;
    std::size_t next = 0;
    for (;;) {
        const std::size_t wanted = reader.BytesWanted();
        if (link.size() - next < wanted) return false;  // the connection ends
        const PositionFrame::State state = reader.Add(std::string_view(link).substr(next, wanted));
        next += wanted;
        if (state == PositionFrame::State::TooLong) return false;  // "nie doczekalismy sie pozycji"
        if (state == PositionFrame::State::Complete) break;
    }
    frame = reader.Frame();
    return true;
}

bool IsUpperHex(const std::string& text) {
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    return true;
}

// The same text with the other decimal separator: the separator is the only difference.
bool SameButSeparator(const std::string& dot, const std::string& comma) {
    if (dot.size() != comma.size()) return false;
    for (std::size_t i = 0; i < dot.size(); ++i)
        if (dot[i] != comma[i] && !(dot[i] == '.' && comma[i] == ',')) return false;
    return true;
}

void CheckCoordinate(const std::string& dot, const std::string& comma) {
    FUZZ_CHECK(!dot.empty());
    FUZZ_CHECK(SameButSeparator(dot, comma));
}

void DecodeRecord(const Bytes& record) {
    const Bytes registrationBytes = RegistrationField(record);
    FUZZ_CHECK(registrationBytes.size() == kFieldSize);
    const std::string registrationText = RegistrationText(record);
    FUZZ_CHECK(registrationText.size() <= kFieldSize);
    FUZZ_CHECK(registrationText.find('\0') == std::string::npos);
    if (!registrationText.empty()) {
        FUZZ_CHECK(static_cast<unsigned char>(registrationText.front()) > 0x20);
        FUZZ_CHECK(static_cast<unsigned char>(registrationText.back()) > 0x20);
    }
    static const std::vector<std::string> kNoList;
    static const std::vector<std::string> kList = {"WA12345", "ab"};
    CzPoprawnyNumer(registrationBytes, kNoList);
    CzPoprawnyNumer(registrationBytes, kList);
    CzPoprawnyNumer(registrationText, kList);

    DecodeInputs(record);
    try {
        const std::string fixTime = FormatFixTime(DecodeFixTime(record));
        FUZZ_CHECK(fixTime.size() == 16);
    } catch (const ConversionError&) {
    }
    CheckCoordinate(DecodeLongitude(record, '.'), DecodeLongitude(record, ','));
    CheckCoordinate(DecodeLatitude(record, '.'), DecodeLatitude(record, ','));
    try {
        const double speed = DecodeSpeed(record);
        FUZZ_CHECK(speed >= 0.0 && speed < 10000.0);
        FUZZ_CHECK(SameButSeparator(FormatSpeed(speed, '.'), FormatSpeed(speed, ',')));
    } catch (const ConversionError&) {
    }
    const std::string driver = DecodeDriverId(record);
    FUZZ_CHECK(driver == "Brak ID" || driver.size() == 3);
    if (auto gps = DecodeGpsStatus(record)) FUZZ_CHECK(*gps == "OK" || *gps == "BRAK");
    const std::string owner = OwnerCodeText(record);
    FUZZ_CHECK(owner.size() == 16 && IsUpperHex(owner));
    FUZZ_CHECK(!DecodeFuel(record).empty());
    FUZZ_CHECK(!DecodeEngine(record).empty());
    try {
        const int odometer = DecodeOdometer(record);
        FUZZ_CHECK(odometer >= 0 && odometer <= 9999);
    } catch (const ConversionError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes link(reinterpret_cast<const char*>(data), size);
    Bytes frame;
    if (!ReadFrame(link, frame)) return 0;

    const Bytes unstuffed = UnstuffBytes(frame);
    FUZZ_CHECK(unstuffed.size() <= frame.size());
    if (unstuffed.size() != kRecordSize) return 0;  // "Bledna pozycja"

    Bytes record = unstuffed;
    if (IsNewForm(unstuffed)) {
        record = ConvertNewForm(unstuffed);
        FUZZ_CHECK(record.size() == kRecordSize);
        FUZZ_CHECK(!IsNewForm(record));
        FUZZ_CHECK(RegistrationField(record) == RegistrationField(unstuffed));
        FUZZ_CHECK(OwnerCodeField(record) == OwnerCodeField(unstuffed));
    }
    DecodeRecord(record);

    // The detectors take whatever a unit sends: no exception, every event of the vehicle.
    static const ZoneSet zones = ZoneSet::FromGeoJson(
        R"({"type":"FeatureCollection","features":[{"type":"Feature","properties":{"nazwa":"A","predkosc":50},)"
        R"("geometry":{"type":"Polygon","coordinates":[[[-180,-90],[180,-90],[180,0],[-180,0],[-180,-90]]]}},)"
        R"({"type":"Feature","properties":{"nazwa":"B","promien":100000},"geometry":{"type":"Point","coordinates":[21,52]}}]})");
    static const EventSettings settings = [] {
        EventSettings s;
        s.speedLimitKmh = 90;
        s.inputNames[0] = "Drzwi";
        return s;
    }();
    const DecodedPosition position = DecodePosition(unstuffed, ',');
    FUZZ_CHECK(position.record == record);
    VehicleEventState state;
    for (int i = 0; i < 2; ++i)
        for (const Event& e : DetectPosition(state, position, 1796724000 + i, {settings, zones, ','})) {
            FUZZ_CHECK(e.registration == position.registration);
            FUZZ_CHECK(!e.text.empty());
            FUZZ_CHECK(!e.endUtc || *e.endUtc >= e.startUtc);
        }
    return 0;
}

// Whatever a unit sends, the parsers stay inside their data and the image, and fail
// only with their own conversion errors. Random bytes are mixed with the markers the
// parsers look for, so every branch is reached; the sanitizer build catches any read
// or write out of bounds.
#include <gtest/gtest.h>

#include <random>

#include "common/ServerError.hpp"
#include "download/MemoryImage.hpp"
#include "link/PositionRecord.hpp"
#include "vehicles/VehicleFile.hpp"
#include "vehicles/VehicleRow.hpp"

using namespace serwer;

namespace {

Bytes HostileBytes(std::mt19937& rng, std::size_t size) {
    static const Bytes kPieces[] = {Bytes("\xAB\xCD", 2), Bytes("\xDC\xBA", 2), Bytes("\x1B", 1),
                                    Bytes("\x1B\x04", 2), Bytes("\x10\x23", 2), Bytes("\x99\x99", 2),
                                    Bytes("\xFA\xFA", 2)};
    Bytes out;
    while (out.size() < size) {
        if (rng() % 4 == 0)
            out += kPieces[rng() % std::size(kPieces)];
        else
            out += static_cast<char>(rng());
    }
    return out;
}

}  // namespace

TEST(HostileInput, ParseDumpStaysInsideTheImageAndAnswersAPageOfIt) {
    std::mt19937 rng(20261208);
    MemoryImage image;
    for (int round = 0; round < 3000; ++round) {
        const Bytes data = HostileBytes(rng, rng() % 3000);
        try {
            const int page = ParseDump(image, data);
            EXPECT_GE(page, -1);
            EXPECT_LT(page, MemoryImage::kPages);
        } catch (const ConversionError&) {
        }
        EXPECT_EQ(image.Contents().size(), static_cast<std::size_t>(MemoryImage::kImageSize));
    }
}

TEST(HostileInput, PositionDecodersEitherAnswerOrFailWithAConversionError) {
    std::mt19937 rng(42);
    for (int round = 0; round < 3000; ++round) {
        Bytes record = HostileBytes(rng, kRecordSize).substr(0, kRecordSize);
        if (IsNewForm(record)) record = ConvertNewForm(record);
        RegistrationText(record);
        OwnerCodeText(record);
        DecodeDriverId(record);
        DecodeLongitude(record, '.');
        DecodeLatitude(record, ',');
        DecodeEngine(record);
        DecodeInputs(record);
        DecodeGpsStatus(record);
        DecodeFuel(record);
        for (auto decode :
             {+[](const Bytes& r) { FormatFixTime(DecodeFixTime(r)); },
              +[](const Bytes& r) { FormatSpeed(DecodeSpeed(r), '.'); }, +[](const Bytes& r) { DecodeOdometer(r); }}) {
            try {
                decode(record);
            } catch (const ConversionError&) {
            }
        }
    }
}

TEST(HostileInput, VehicleFileParserSurvivesNoise) {
    std::mt19937 rng(99);
    const Bytes header = "\"Nazwa\";\"Licznik\";\"Odczyt\";\"URZ1\";\"Paliwo\"\r\n";
    for (int round = 0; round < 1000; ++round) {
        Bytes body = HostileBytes(rng, rng() % 400);
        for (char& c : body)
            if (rng() % 10 == 0) c = "\";%\r\n"[rng() % 5];
        const VehicleFileContent content = ParseVehicleFile(header + body);
        for (const VehicleRow& row : content.rows) {
            if (row.NAZWA) {
                EXPECT_LE(row.NAZWA->size(), 10u);
            }
        }
    }
}

// Every export format is read back by GDAL's ogrinfo (Debian's gdal-bin), a reader that
// shares nothing with the writer.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "common/Win1250.hpp"
#include "history/TrackExport.hpp"
#include "support/HistoryBackends.hpp"
#include "support/TestDirectory.hpp"

using namespace serwer;

namespace {

::testing::AssertionResult Holds(const std::string& text, const std::string& piece) {
    if (text.find(piece) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no \"" << piece << "\" in:\n" << text;
}

HistoryRecord Row(const std::string& registration, std::int64_t fixUtc, double lat, double lon) {
    HistoryRecord r;
    r.registration = registration;
    r.fixTimeUtc = fixUtc;
    r.receivedUtc = fixUtc + 5;
    r.latitude = lat;
    r.longitude = lon;
    r.gps = "OK";
    return r;
}

// A vehicle whose texts need escaping, with one summer position at a western longitude;
// WA12345 with two winter positions (from 2026-12-08 13:45 UTC), the first with a 0x00 in
// its driver, and one without coordinates.
std::vector<HistoryRecord> Rows() {
    std::vector<HistoryRecord> rows = {Row(Cp1250("ŁÓDŹ<&>\x01"), 1782900000, 50.0614, -19.9366)};
    rows[0].driver = Cp1250("Ż\"a,b\n\x01");
    for (int i = 0; i < 3; ++i) {
        rows.push_back(Row("WA12345", 1796737500 + i * 300, 52.20575 + 0.01 * i, 21.0205667));
        rows.back().speedKmh = 12.34;
        rows.back().odometerKm = 123400;
    }
    rows[1].driver = std::string("A\0\tB", 4);  // three bytes from the unit and a tab
    rows[3].latitude = rows[3].longitude = std::nullopt;
    rows[3].gps = "BRAK";
    return rows;
}

// The rows are exported as the store gives them back, on each kind of store.
class TrackExportReadBack : public OnEachHistoryBackend {
protected:
    void SetUp() override {
        OnEachHistoryBackend::SetUp();
        if (!IsSkipped()) store().Append(Rows());
    }
    // Writes the export and returns what ogrinfo makes of it.
    std::string ReadBack(ExportFormat format, const std::string& options = "-al", const std::string& layers = "") {
        const auto path = Directory() / ("trasa." + ExportFileExtension(format));
        const std::vector<HistoryRecord> rows = store().Query({std::nullopt, 1782900000, 1796737500 + 900});
        EXPECT_EQ(rows.size(), 4u);
        document_ = ExportTrack(rows, format);
        std::ofstream(path, std::ios::binary) << document_;
        const std::string command =
            "ogrinfo -ro -geom=YES -nomd -noextent " + options + " '" + path.string() + "' " + layers + " 2>&1";
        std::string out;
        FILE* pipe = ::popen(command.c_str(), "r");
        char chunk[4096];
        for (std::size_t n; pipe && (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, n);
        EXPECT_EQ(pipe ? ::pclose(pipe) : -1, 0) << out;
        return out;
    }
    std::string document_;
};
INSTANTIATE_TEST_SUITE_P(Backends, TrackExportReadBack, kHistoryBackends, HistoryBackendName);

TEST_P(TrackExportReadBack, GpxTrackPerVehicleOfPointsWithCoordinatesAndUtcTimes) {
    const std::string out = ReadBack(ExportFormat::Gpx, "", "tracks track_points");
    EXPECT_TRUE(Holds(out, "name (String) = ŁÓDŹ<&>\uFFFD\n"));
    EXPECT_TRUE(Holds(out, "MULTILINESTRING ((21.0205667 52.20575,21.0205667 52.21575))"));  // no BRAK point
    EXPECT_TRUE(Holds(out, "time (DateTime) = 2026/07/01 10:00:00+00\n  POINT (-19.9366 50.0614)"));
    EXPECT_TRUE(Holds(document_, "<trkpt lat=\"52.2057500\" lon=\"21.0205667\"><time>2026-12-08T13:45:00Z"));
}

TEST_P(TrackExportReadBack, KmlFolderPerVehicleWithLineAndTimedPoints) {
    const std::string out = ReadBack(ExportFormat::Kml);
    EXPECT_TRUE(Holds(out, "Layer name: WA12345\nGeometry: Unknown (any)\nFeature Count: 3"));
    EXPECT_TRUE(Holds(out, "LINESTRING (21.0205667 52.20575,21.0205667 52.21575)"));
    EXPECT_TRUE(Holds(out, "timestamp (DateTime) = 2026/12/08 13:45:00+00"));
}

TEST_P(TrackExportReadBack, GeoJsonFeaturePerPositionWithPolishTimesAndNullGeometry) {
    const std::string out = ReadBack(ExportFormat::GeoJson);
    EXPECT_TRUE(Holds(out, "Feature Count: 4"));
    EXPECT_TRUE(Holds(out, "czas (DateTime) = 2026/07/01 12:00:00+02"));
    EXPECT_TRUE(Holds(out, "kierowca (String) = Ż\"a,b\n\x01\n"));
    EXPECT_TRUE(Holds(out, "kierowca (String) = A \tB\n"));  // the 0x00 is a blank
    EXPECT_TRUE(Holds(out, "predkosc (Real) = 12.34"));
    EXPECT_TRUE(Holds(document_, "\"geometry\": null, \"properties\": {\"pojazd\": \"WA12345\""));
}

TEST_P(TrackExportReadBack, CsvRowPerPositionQuotedWhereNeededWithControlBytesButTheTabAsBlanks) {
    const std::string out = ReadBack(
        ExportFormat::Csv, "-al -oo X_POSSIBLE_NAMES=dlugosc -oo Y_POSSIBLE_NAMES=szerokosc -oo AUTODETECT_TYPE=YES");
    EXPECT_TRUE(Holds(out, "kierowca (String) = Ż\"a,b  \n"));
    EXPECT_TRUE(Holds(out, "kierowca (String) = A \tB\n"));
    EXPECT_TRUE(Holds(out, "czas (DateTime) = 2026/12/08 14:50:00+01\n  odebrano (DateTime) = 2026/12/08 14:50:05+01"));
    EXPECT_TRUE(Holds(out, "POINT (21.0205667 52.21575)"));
    EXPECT_TRUE(Holds(document_,
                      "\r\nWA12345,,2026-12-08T14:55:00+01:00,2026-12-08T14:55:05+01:00,,,12.34,,0,BRAK,"
                      ",0,0,0,123400,0\r\n"));
}

TEST(TrackExportRules, PolishTimeByTheZoneNoPointOffTheGlobeAndTheAntimeridianAsMinus180InGpx) {
    const std::vector<HistoryRecord> rows = {
        Row("WA1", 1792888200, -16.5, 180.0),              // 2026-10-25 00:30 UTC, summer time
        Row("WA1", 1792891800, 99.9999833, 999.9999833)};  // 01:30 UTC, winter time; a damaged record
    EXPECT_TRUE(Holds(ExportTrack(rows, ExportFormat::Gpx),
                      "<trkseg>\n      <trkpt lat=\"-16.5000000\" lon=\"-180.0000000\"><time>2026-10-25T00:30:00Z"
                      "</time></trkpt>\n    </trkseg>"));
    EXPECT_EQ(ExportTrack(rows, ExportFormat::Csv),
              "pojazd,licencja,czas,odebrano,szerokosc,dlugosc,predkosc_kmh,paliwo,silnik,gps,kierowca,we1,we2,we3,"
              "przebieg_km,nowa_forma\r\n"
              "WA1,,2026-10-25T02:30:00+02:00,2026-10-25T02:30:05+02:00,-16.5000000,180.0000000,,,0,OK,,0,0,0,,0\r\n"
              "WA1,,2026-10-25T02:30:00+01:00,2026-10-25T02:30:05+01:00,,,,,0,OK,,0,0,0,,0\r\n");
    EXPECT_TRUE(Holds(ExportTrack(rows, ExportFormat::GeoJson),
                      "{\"type\": \"Feature\", \"geometry\": null, \"properties\": {\"pojazd\": \"WA1\", "
                      "\"licencja\": \"\", \"czas\": \"2026-10-25T02:30:00+01:00\""));
}

}  // namespace

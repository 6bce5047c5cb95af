#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/HistoryCommand.hpp"
#include "common/Win1250.hpp"

using namespace serwer;

namespace {

constexpr std::int64_t kNowUtc = 1796772600;  // 2026-12-08 23:30 UTC: 9 December in Poland

HistoryCommand Parse(const std::vector<std::string>& args) { return ParseHistoryCommand(args, kNowUtc); }

TEST(HistoryCommandTimes, PolishMinuteOrDateWithTodayAsTheDefaultSpan) {
    EXPECT_EQ(ParseLocalMinute("2026-12-08 14:45"), DateTime::FromParts({2026, 12, 8, 14, 45}));
    for (const char* bad : {"2026-12-8", "2026-02-30", "2026-12-08 24:00", "2026-12-08T14:45"})
        EXPECT_EQ(ParseLocalMinute(bad), std::nullopt) << bad;

    const HistoryQuery today = QueryOf(Parse({"--format", "gpx"}));  // 9 December, Polish time
    EXPECT_EQ(today.fromUtc, 1796770800);                            // 8 December 23:00 UTC
    EXPECT_EQ(today.toUtc, 1796857200);
    const HistoryCommand oneDay = Parse({"--do", "2026-12-09", "--format", "csv"});  // a date alone: that day
    EXPECT_EQ(oneDay.fromLocal, DateTime::FromParts({2026, 12, 9}));
    EXPECT_EQ(oneDay.toLocal, DateTime::FromParts({2026, 12, 10}));
    EXPECT_EQ(Parse({"--do", "2026-12-09 00:00", "--format", "csv"}).toLocal, DateTime::FromParts({2026, 12, 9}));
    const HistoryCommand fromOnly = Parse({"--od", "2026-07-01 12:00", "--format", "csv"});
    EXPECT_EQ(fromOnly.toLocal, DateTime::FromParts({2026, 12, 10}));
    EXPECT_EQ(QueryOf(fromOnly).fromUtc, 1782900000);  // summer time: 10:00 UTC
    // The hour October's change repeats is taken as the earlier, summer one.
    const HistoryQuery october =
        QueryOf(Parse({"--od", "2026-10-25 02:00", "--do", "2026-10-25 03:00", "--format", "csv"}));
    EXPECT_EQ(october.fromUtc, 1792886400);  // 00:00 UTC
    EXPECT_EQ(october.toUtc, 1792893600);    // 02:00 UTC
}

TEST(HistoryCommandOptions, FormatFromFileEndingRegistrationInWindows1250AndUsageErrors) {
    const HistoryCommand c = Parse({"--pojazd", " ŁÓDŹ1 ", "--plik", "/tmp/trasa.GeoJSON", "--ini", "a.ini"});
    EXPECT_EQ(c.registration, Cp1250("ŁÓDŹ1"));
    EXPECT_EQ(c.format, ExportFormat::GeoJson);
    EXPECT_EQ(c.outputPath, "/tmp/trasa.GeoJSON");
    EXPECT_EQ(c.iniPath, "a.ini");
    EXPECT_TRUE(Parse({"--format", "xls", "--help"}).help);
    const std::vector<std::vector<std::string>> bad = {{"--format", "xls"},
                                                       {"--plik", "trasa.txt"},
                                                       {"--format"},
                                                       {"--format", "kml", "--x"},
                                                       {"--format", "kml", "--format", "gpx"},
                                                       {"--format", "kml", "--od", "2026-12-09", "--do", "2026-12-08"},
                                                       {"--format", "kml", "--pojazd", " "}};
    for (const auto& args : bad) EXPECT_THROW(Parse(args), UsageError) << args.size() << " " << args.back();
}

TEST(HistoryCommandOptions, ReportWithVehiclesFormatAndDaysAndItsUsageErrors) {
    const HistoryCommand c = Parse({"--raport", "podsumowanie", "--pojazd", "WA1, ŁÓDŹ1,", "--dzien", "--plik", "r.XLSX"});
    EXPECT_EQ(c.mode, HistoryCommand::Mode::Report);
    EXPECT_EQ(c.report, ReportKind::Podsumowanie);
    EXPECT_EQ(c.registrations, (std::vector<std::string>{"WA1", Cp1250("ŁÓDŹ1")}));
    EXPECT_TRUE(c.perDay);
    EXPECT_EQ(c.reportFormat, ReportFormat::Xlsx);
    EXPECT_EQ(Parse({"--raport", "trasy"}).reportFormat, ReportFormat::Json);
    const std::vector<std::vector<std::string>> bad = {{"--raport", "trasa"},
                                                       {"--raport", "trasy", "--format", "xlsx"},  // not to a terminal
                                                       {"--raport", "trasy", "--format", "gpx"},
                                                       {"--raport", "trasy", "--zdarzenia"},
                                                       {"--dzien", "--format", "gpx"},
                                                       {"--raport", "trasy", "--pojazd", ", "}};
    for (const auto& args : bad) EXPECT_THROW(Parse(args), UsageError) << args[1];
}

}  // namespace

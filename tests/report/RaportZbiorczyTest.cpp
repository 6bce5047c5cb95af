// Page layout of the summary report, its PDF export and page pictures.
#include <gtest/gtest.h>

#include <QColor>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QString>

#include "common/Win1250.hpp"
#include "report/RaportZbiorczy.hpp"
#include "support/TestDirectory.hpp"
#include "vehicles/DisplayTable.hpp"
#include "vehicles/VehicleFile.hpp"

using namespace serwer;

namespace {

const DateTime kNow = *DateTime::Make(2026, 3, 15, 12, 34, 56);

VehicleRow Vehicle(const std::string& name, const char* speed, std::optional<DateTime> read, std::string position) {
    VehicleRow row;
    row.NAZWA = name;
    row.PREDKOSC = speed;
    row.ODCZYT = read;
    row.OPIS = std::move(position);
    row.DLUGOSC = "19.9450000E";
    row.SZEROKOSC = "50.0640000N";
    row.PALIWO = "45";
    return row;
}

// n rows that belong to all three lists.
std::vector<VehicleRow> RecentVehicles(int n) {
    std::vector<VehicleRow> rows;
    for (int i = 0; i < n; ++i)
        rows.push_back(Vehicle("WA" + std::to_string(10000 + i), "12.00 Km/h", kNow, "2026.03.15-12:00"));
    return rows;
}

// The report as pdftotext reads it back with the given option (-layout: the text of
// the pages; -bbox: every word with its box); empty when the tool is missing.
QString PdfText(const RaportZbiorczy& report, const TestDirectory& dir,
                const QString& option = QStringLiteral("-layout")) {
    const QString tool = QStandardPaths::findExecutable(QStringLiteral("pdftotext"));
    if (tool.isEmpty()) return {};
    const QString pdf = QString::fromStdString((dir.Path() / "raport.pdf").string());
    EXPECT_TRUE(report.ExportPdf(pdf));
    QProcess process;
    process.start(tool, {option, QStringLiteral("-enc"), QStringLiteral("UTF-8"), pdf, QStringLiteral("-")});
    EXPECT_TRUE(process.waitForFinished(30000));
    return QString::fromUtf8(process.readAllStandardOutput());
}

// The heights of the boxes of every word `word` in the PDF, in reading order; a word's
// box is as high as the size its font is drawn at.
std::vector<double> PdfWordHeights(const RaportZbiorczy& report, const TestDirectory& dir, const QString& word) {
    static const QRegularExpression kWord(
        QStringLiteral(R"re(yMin="([0-9.]+)" xMax="[0-9.]+" yMax="([0-9.]+)">([^<]*)<)re"));
    std::vector<double> heights;
    for (const QRegularExpressionMatch& m : kWord.globalMatch(PdfText(report, dir, QStringLiteral("-bbox"))))
        if (m.captured(3) == word) heights.push_back(m.captured(2).toDouble() - m.captured(1).toDouble());
    return heights;
}

#define SKIP_WITHOUT_PDFTOTEXT()                                               \
    if (QStandardPaths::findExecutable(QStringLiteral("pdftotext")).isEmpty()) \
    GTEST_SKIP() << "pdftotext is not installed"

TEST(SummaryReportLayout, EmptyTableGivesOnePageWithTitleThreeHeadersAndThreeFooters) {
    const RaportZbiorczy report({}, kNow);
    ASSERT_EQ(report.PageCount(), 1);
    std::vector<ReportBand> bands;
    for (const PlacedBand& band : report.Bands(0)) bands.push_back(band.kind);
    using B = ReportBand;
    EXPECT_EQ(bands, (std::vector<B>{B::Title, B::ListFooter, B::ListTitle, B::ColumnHeadings, B::ListFooter,
                                     B::ListTitle, B::ColumnHeadings, B::ListFooter}));
    EXPECT_THROW(report.Bands(1), std::out_of_range);
}

// Whatever the number of rows: every band ends above the page footer, every list prints
// its rows once and in order, the title is on the first page only, a list header never
// ends a page and a list footer never starts one.
TEST(SummaryReportLayout, ListsRunOverPagesWithoutOrphanedHeadersOrFooters) {
    for (int n = 0; n <= 130; ++n) {
        SCOPED_TRACE("rows: " + std::to_string(n));
        const RaportZbiorczy report(RecentVehicles(n), kNow);
        std::array<std::vector<std::size_t>, 3> printed;
        for (int page = 0; page < report.PageCount(); ++page) {
            const std::vector<PlacedBand>& bands = report.Bands(page);
            ASSERT_FALSE(bands.empty());
            EXPECT_EQ(bands.front().kind == ReportBand::Title, page == 0);
            EXPECT_NE(bands.front().kind, ReportBand::ListFooter);
            EXPECT_NE(bands.back().kind, ReportBand::ListTitle);
            EXPECT_NE(bands.back().kind, ReportBand::ColumnHeadings);
            double y = 0;
            for (const PlacedBand& band : bands) {
                EXPECT_GE(band.topMm, y);
                y = band.topMm + band.heightMm;
                if (band.kind == ReportBand::Row) printed[static_cast<std::size_t>(band.list)].push_back(band.row);
            }
            EXPECT_LE(y, RaportZbiorczy::kBodyHeightMm);
        }
        EXPECT_EQ(printed[0], report.Lists().all);
        EXPECT_EQ(printed[1], report.Lists().readLastDay);
        EXPECT_EQ(printed[2], report.Lists().recentPosition);
    }
}

TEST(SummaryReportPdf, EmptyTableReadsTitleThreeHeadersAndThreeZeroFooters) {
    SKIP_WITHOUT_PDFTOTEXT();
    TestDirectory dir;
    const QString text = PdfText(RaportZbiorczy({}, *DateTime::Make(2026, 3, 5, 17, 4, 9)), dir);
    EXPECT_TRUE(text.contains(QStringLiteral("Raport z aktualizacji danych 05-03-2026 17:04")));
    EXPECT_TRUE(text.contains(QStringLiteral("Samochody z aktualnym odczytem ( nie starszym niż 1 dzień)")));
    EXPECT_TRUE(text.contains(QStringLiteral("Samochody z aktualną pozycją( nie starszym niż 3 godziny)")));
    EXPECT_EQ(text.count(QStringLiteral("Razem samochodów : 0")), 3);
    EXPECT_EQ(text.count(QStringLiteral("Czas pozycji")), 3);
    EXPECT_TRUE(text.contains(QStringLiteral("Strona 1 z 1")));
}

TEST(SummaryReportPdf, VehicleFileContentGivesThreeListsWithTheirCounts) {
    SKIP_WITHOUT_PDFTOTEXT();
    const std::vector<VehicleRow> rows = {
        Vehicle("WA10001", "54.00 Km/h", *DateTime::Make(2026, 3, 15, 8, 0, 0), "2026.03.15-11:50"),
        Vehicle(Cp1250("GDŁ 1234"), "0.00 Km/h", *DateTime::Make(2026, 3, 14, 0, 0, 1), "2026.03.15-07:00"),
        Vehicle("PO777", "3.00 Km/h", std::nullopt, ""),
    };
    DisplayTable display;
    display.ReloadFromContent(FormatVehicleFile(rows));
    ASSERT_EQ(display.Rows().size(), 3u);

    TestDirectory dir;
    const QString text = PdfText(RaportZbiorczy(display.Rows(), kNow), dir);
    EXPECT_TRUE(text.contains(QStringLiteral("Razem samochodów : 3")));
    EXPECT_TRUE(text.contains(QStringLiteral("Razem samochodów : 2")));
    EXPECT_TRUE(text.contains(QStringLiteral("Razem samochodów : 1")));
    EXPECT_EQ(text.count(QStringLiteral("WA10001")), 3);
    EXPECT_EQ(text.count(QStringLiteral("GDŁ 1234")), 2);
    EXPECT_EQ(text.count(QStringLiteral("PO777")), 1);
    // Rodzaj from the speed, the read time in the window's date-time form.
    EXPECT_EQ(text.count(QStringLiteral("Postój")), 2);
    EXPECT_TRUE(text.contains(QStringLiteral("14-03-2026 00:00:01")));
    EXPECT_TRUE(text.contains(QStringLiteral("15-03-2026 08:00:00")));
    EXPECT_TRUE(text.contains(QStringLiteral("2026.03.15-11:50")));
    EXPECT_TRUE(text.contains(QStringLiteral("19.9450000E")));
    EXPECT_TRUE(text.contains(QStringLiteral("Strona 1 z 1")));
}

// A speed too wide for its cell makes the whole Prędkość column of its list smaller; the
// lists without it keep the full size.
TEST(SummaryReportPdf, EveryCellOfAListsColumnHasTheSizeItsWidestTextFitsAt) {
    SKIP_WITHOUT_PDFTOTEXT();
    TestDirectory dir;
    const RaportZbiorczy report(
        {Vehicle("WA1", "0.00 Km/h", kNow, "2026.03.15-12:00"), Vehicle("WA2", "118.22 Km/h", std::nullopt, "")}, kNow);
    // "Km/h" of both rows in list 1, then of the first row in lists 2 and 3.
    const std::vector<double> heights = PdfWordHeights(report, dir, QStringLiteral("Km/h"));
    ASSERT_EQ(heights.size(), 4u);
    EXPECT_NEAR(heights[0], heights[1], 0.01);
    EXPECT_NEAR(heights[2], heights[3], 0.01);
    EXPECT_LT(heights[0], heights[2] - 0.5);
}

TEST(SummaryReportPdf, ContinuationPageStartsWithTheColumnHeadings) {
    SKIP_WITHOUT_PDFTOTEXT();
    TestDirectory dir;
    const QStringList pages =
        PdfText(RaportZbiorczy(RecentVehicles(40), kNow), dir).split(QChar('\f'), Qt::SkipEmptyParts);
    ASSERT_GE(pages.size(), 2);
    EXPECT_TRUE(pages[1].simplified().startsWith(
        QStringLiteral("Nazwa Rodzaj Czas pozycji Długość Szerokość Prędkość Paliwo Data odczytu WA10031 Jazda")))
        << pages[1].toStdString();
}

TEST(SummaryReportPdf, EveryPageEndsWithItsNumberAndThePageCount) {
    SKIP_WITHOUT_PDFTOTEXT();
    TestDirectory dir;
    const RaportZbiorczy report(RecentVehicles(60), kNow);
    ASSERT_GE(report.PageCount(), 3);
    const QStringList pages = PdfText(report, dir).split(QChar('\f'), Qt::SkipEmptyParts);
    ASSERT_EQ(pages.size(), report.PageCount());
    for (int page = 0; page < report.PageCount(); ++page) {
        const QString footer = QStringLiteral("Strona %1 z %2").arg(page + 1).arg(pages.size());
        EXPECT_TRUE(pages[page].trimmed().endsWith(footer)) << footer.toStdString();
    }
    EXPECT_EQ(pages.join(QString()).count(QStringLiteral("Razem samochodów : 60")), 3);
}

TEST(SummaryReportPicture, PageIsTheWholeSheetWithBlankMargins) {
    const RaportZbiorczy report(RecentVehicles(3), kNow);
    const QImage image = report.RenderPage(0, 100);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.width(), 1169);  // 297 mm at 100 dpi
    EXPECT_EQ(image.height(), 827);  // 210 mm
    const int margin = 37;           // 10 mm, less the frame line and its smoothing
    int inked = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const bool white = image.pixel(x, y) == QColor(Qt::white).rgb();
            const bool inMargin =
                x < margin || y < margin || x >= image.width() - margin || y >= image.height() - margin;
            if (inMargin) {
                ASSERT_TRUE(white) << x << "," << y;
            }
            if (!white) ++inked;
        }
    EXPECT_GT(inked, 1000);
    EXPECT_TRUE(report.RenderPage(1, 100).isNull());
}

}  // namespace

#include <gtest/gtest.h>

#include <QProcess>
#include <QStandardPaths>

#include "common/DateTime.hpp"
#include "common/Win1250.hpp"
#include "report/ReportTablePrintout.hpp"
#include "support/TestDirectory.hpp"

using namespace serwer;

namespace {

std::int64_t UtcSeconds(int year, int month, int day, int hour) {
    return DateTime::Make(year, month, day, hour)->Ms() / DateTime::kMsPerSecond;
}

// Stops of 1 to 8 December 2026 (Polish days: from 23:00 UTC), one row a vehicle.
ReportTable Stops(int rows) {
    ReportTable table;
    table.kind = ReportKind::Postoje;
    table.title = "Postoje";
    table.fromUtc = UtcSeconds(2026, 11, 30, 23);
    table.toUtc = UtcSeconds(2026, 12, 8, 23);
    table.columns = {{"pojazd", "Pojazd", CellKind::Text, 0, 10},
                     {"miejsce", "Miejsce", CellKind::Text, 0, 28},
                     {"czas_s", "Czas postoju", CellKind::Duration, 0, 10}};
    for (int i = 0; i < rows; ++i) {
        std::vector<ReportCell> row;
        row.emplace_back("WA" + std::to_string(10000 + i));
        row.emplace_back(Cp1250("Magazyn Łódź"));
        row.emplace_back(std::int64_t{3600 + i * 60});
        table.rows.push_back(std::move(row));
    }
    return table;
}

QString PdfText(const ReportTablePrintout& printout, const TestDirectory& dir) {
    const QString pdf = QString::fromStdString((dir.Path() / "postoje.pdf").string());
    EXPECT_TRUE(printout.ExportPdf(pdf));
    QProcess process;
    process.start(QStringLiteral("pdftotext"),
                  {QStringLiteral("-layout"), QStringLiteral("-enc"), QStringLiteral("UTF-8"), pdf, QStringLiteral("-")});
    EXPECT_TRUE(process.waitForFinished(30000));
    return QString::fromUtf8(process.readAllStandardOutput());
}

TEST(ReportTablePrintout, RunsOverPagesWithTheHeadingsAtopEachAndTheTitleOnTheFirst) {
    const ReportTablePrintout printout(Stops(60));
    EXPECT_EQ(printout.Title(), "Postoje od 2026-12-01 do 2026-12-08");
    ASSERT_EQ(printout.PageCount(), 2);
    EXPECT_EQ(printout.FirstRow(1), printout.EndRow(0));
    EXPECT_EQ(printout.EndRow(1), 60u);
    EXPECT_FALSE(printout.RenderPage(1, 50).isNull());
    EXPECT_TRUE(printout.RenderPage(2, 50).isNull());

    if (QStandardPaths::findExecutable(QStringLiteral("pdftotext")).isEmpty()) GTEST_SKIP() << "no pdftotext";
    TestDirectory dir;
    const QString text = PdfText(printout, dir);
    EXPECT_EQ(text.count(QStringLiteral("Postoje od 2026-12-01 do 2026-12-08")), 1);
    EXPECT_EQ(text.count(QStringLiteral("Czas postoju")), 2);
    EXPECT_EQ(text.count(QString::fromUtf8("Magazyn Łódź")), 60);
    EXPECT_TRUE(text.contains(QStringLiteral("Strona 1 z 2")));
    EXPECT_TRUE(text.contains(QStringLiteral("Strona 2 z 2")));
    EXPECT_TRUE(text.contains(QStringLiteral("1:59")));  // the last row's hour and 59 minutes
}

TEST(ReportTablePrintout, ColumnsTooNarrowForTheirNumbersGetASmallerFontAndAnEmptyReportOnePage) {
    ReportTable wide = Stops(0);
    for (int i = 0; i < 22; ++i) wide.columns.push_back({"k" + std::to_string(i), "Liczba", CellKind::Integer, 0, 8});
    EXPECT_EQ(ReportTablePrintout(wide).CellPoints(), 9);
    ASSERT_EQ(ReportTablePrintout(wide).PageCount(), 1);
    EXPECT_EQ(ReportTablePrintout(wide).EndRow(0), 0u);
    std::vector<ReportCell> row(3);
    for (int i = 0; i < 22; ++i) row.emplace_back(std::int64_t{1234567890});
    wide.rows.push_back(row);
    const double points = ReportTablePrintout(wide).CellPoints();
    EXPECT_LT(points, 9);
    EXPECT_GE(points, 6);
}

}  // namespace

#pragma once
#include <QImage>
#include <QString>
#include <memory>

#include "report/PagedOutput.hpp"
#include "reports/ReportTable.hpp"

class QPagedPaintDevice;
class QPainter;
class QWidget;

namespace serwer {

// A report of the reports library (trips, stops, the summaries) as printed pages: A4
// landscape with 10 mm margins (RaportZbiorczy::PageLayout), the title line
// "<title> od YYYY-MM-DD do YYYY-MM-DD" (the Polish days of the span, the last one
// included) on the first page, the column headings atop every page, the rows between
// thin lines, and "Strona N z M" at the foot of each page. The columns share the page's
// width by their widths in characters, a narrow one widened to hold its longest number,
// time or word; a report whose columns cannot all be held so at 9 points is set in a
// smaller font. A text too wide for its column runs onto more lines, and a heading
// whose words do not fit its column runs from the bottom up.
//
// Laid out once when it is built, then painted any number of times (a printer, the
// preview, a PDF file) from the same layout. Copies are cheap and share the layout.
class ReportTablePrintout {
public:
    // decimalSeparator: as the window shows numbers.
    explicit ReportTablePrintout(const ReportTable& table, char decimalSeparator = '.');

    // "Trasy od 2026-12-01 do 2026-12-08".
    const QString& Title() const;
    int PageCount() const;
    // The rows on a page: [first, end) of the table's rows.
    std::size_t FirstRow(int page) const;
    std::size_t EndRow(int page) const;
    // The point size of the cells: 9, or less where the columns need it.
    double CellPoints() const;

    // Sets the page layout on the device and paints every page; lengths go through the
    // device's resolution. False when the device cannot be painted on.
    bool Paint(QPagedPaintDevice& device) const;
    // Writes the pages as a PDF file, replacing one already there only once the whole
    // file is written. False when it cannot be written, with the reason in *failure.
    bool ExportPdf(const QString& path, QString* failure = nullptr) const;
    // One page (0-based) as a picture of the whole sheet; a null image for no such page.
    QImage RenderPage(int page, int dpi) const;

private:
    struct Layout;
    void DrawPage(QPainter& painter, int page, double pxPerMmX, double pxPerMmY) const;
    PageDrawer Drawer() const;  // DrawPage of this report
    std::shared_ptr<const Layout> layout_;
};

// The printout in Qt's print preview (page navigation, zoom, page setup), modal;
// printing from it goes to the printer its QPrinter names, the default one.
void PreviewPrintout(const ReportTablePrintout& printout, QWidget* parent);

}  // namespace serwer

#pragma once
#include <QImage>
#include <QPageLayout>
#include <QString>
#include <array>
#include <cstddef>
#include <memory>
#include <vector>

#include "report/PagedOutput.hpp"
#include "common/DateTime.hpp"
#include "report/ReportLists.hpp"
#include "vehicles/VehicleRow.hpp"

class QPagedPaintDevice;
class QPainter;
class QWidget;

namespace serwer {

class ReportPreviewDialog;

// The kinds of horizontal bands a page of the summary report is built from.
enum class ReportBand {
    Title,           // first page only: title with date and time, the column headings of list 1
    ListTitle,       // title line above list 2 or list 3
    ColumnHeadings,  // the headings under a list title, and atop a page a list runs over to
    Row,             // one vehicle
    ListFooter,      // "Razem samochodów : N"
};

struct PlacedBand {
    ReportBand kind;
    int list = 0;         // 0, 1 or 2
    std::size_t row = 0;  // Row: index into the report's rows
    double topMm = 0;     // below the top margin
    double heightMm = 0;
};

// The summary report "Raport zbiorczy": all vehicles, the vehicles read since the start
// of yesterday and the vehicles with a position from the last three hours, laid out
// once into A4 landscape pages when it is built. It can then be painted any number of
// times, to a printer, the preview or a PDF file, always from the same layout.
//
// Copies are cheap and share the layout; a report never changes after it is built.
class RaportZbiorczy {
public:
    static constexpr double kPageWidthMm = 297;
    static constexpr double kPageHeightMm = 210;
    static constexpr double kMarginMm = 10;
    // Bands stay above the page footer "Strona N z M", which takes the bottom of the
    // printable area.
    static constexpr double kBodyHeightMm = 183;

    // rows: the display copy's rows in the grid's current order. now: the date and time
    // the lists are chosen by, printed in the title and in the PDF file's name.
    RaportZbiorczy(const std::vector<VehicleRow>& rows, DateTime now);

    int PageCount() const;
    // The bands of page 0 .. PageCount()-1, top to bottom.
    const std::vector<PlacedBand>& Bands(int page) const;
    const SummaryReportLists& Lists() const;

    // "Raport zbiorczy yyyy-mm-dd hh-mm.pdf", the report's date and time (24-hour).
    QString PdfFileName() const;

    // The page layout every report page uses: A4 landscape with 10 mm margins.
    static QPageLayout PageLayout();

    // Sets the page layout on the device and paints every page. Lengths are taken in
    // millimetres through the device's resolution, so a printer, the preview and a PDF
    // writer all give the same pages. False when the device cannot be painted on.
    bool Paint(QPagedPaintDevice& device) const;

    // Writes the report as a PDF file; a file already there is replaced only once the
    // whole report is written. False when the file cannot be written, with the system's
    // reason in *failure when given; the caller tells the operator.
    bool ExportPdf(const QString& path, QString* failure = nullptr) const;

    // One page (0-based) as a picture of the whole sheet at the given resolution; a null
    // image for a page that does not exist.
    QImage RenderPage(int page, int dpi) const;

private:
    struct Layout;
    void DrawPage(QPainter& painter, int page, double pxPerMmX, double pxPerMmY) const;
    PageDrawer Drawer() const;  // DrawPage of this report
    std::shared_ptr<const Layout> layout_;
};

// Opens the preview window of the report (ReportPreviewDialog.hpp) without waiting for
// it to close; the window keeps its own copy of the report and deletes itself when
// closed.
ReportPreviewDialog* ShowReportPreview(QWidget* parent, const RaportZbiorczy& report);

}  // namespace serwer

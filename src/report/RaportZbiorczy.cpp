#include "report/RaportZbiorczy.hpp"

#include <QDate>
#include <QFont>
#include <QFontMetricsF>
#include <QPageSize>
#include <QPagedPaintDevice>
#include <QPainter>
#include <QPdfWriter>
#include <QPen>
#include <QSaveFile>
#include <QTime>
#include <algorithm>
#include <stdexcept>

#include "common/Win1250.hpp"
#include "report/PagedOutput.hpp"
#include "vehicles/DisplayTable.hpp"

namespace serwer {

namespace {

constexpr int kCellCount = 8;

struct CellColumn {
    double leftMm;
    double widthMm;
    Qt::Alignment alignment;
};

// Every vehicle row: eight framed cells side by side, 258 mm in all.
constexpr std::array<CellColumn, kCellCount> kColumns = {{
    {0, 21, Qt::AlignLeft},      // Nazwa
    {21, 34, Qt::AlignLeft},     // Rodzaj
    {55, 38, Qt::AlignHCenter},  // Czas pozycji
    {93, 42, Qt::AlignRight},    // Długość
    {135, 42, Qt::AlignRight},   // Szerokość
    {177, 21, Qt::AlignRight},   // Prędkość
    {198, 22, Qt::AlignRight},   // Paliwo
    {220, 38, Qt::AlignLeft},    // Data odczytu
}};

constexpr std::array<DisplayColumn, kCellCount> kCellSources = {
    DisplayColumn::NAZWA,     DisplayColumn::GRUPA,    DisplayColumn::OPIS,   DisplayColumn::DLUGOSC,
    DisplayColumn::SZEROKOSC, DisplayColumn::PREDKOSC, DisplayColumn::PALIWO, DisplayColumn::ODCZYT,
};

constexpr double kPrintableWidthMm = RaportZbiorczy::kPageWidthMm - 2 * RaportZbiorczy::kMarginMm;
constexpr double kCellHeightMm = 5;
constexpr double kCellPaddingMm = 0.8;
constexpr double kLineWidthMm = 0.2;
constexpr double kTitleBandMm = 26;
constexpr double kTitleTextMm = 9;
constexpr double kListTitleBandMm = 11;
constexpr double kListTitleGapMm = 3;
constexpr double kListFooterBandMm = 8;
constexpr double kListFooterGapMm = 1;
constexpr double kListFooterLeftMm = 191;
constexpr double kListFooterWidthMm = 59;
constexpr double kPageFooterTopMm = 185;
constexpr double kCellFontPoints = 10;
constexpr double kHeadingFontPoints = 10;
constexpr double kTitleFontPoints = 12;

const QString& ColumnHeading(int cell) {
    static const std::array<QString, kCellCount> kHeadings = {
        QStringLiteral("Nazwa"),   QStringLiteral("Rodzaj"),       QStringLiteral("Czas pozycji"),
        QStringLiteral("Długość"), QStringLiteral("Szerokość"),    QStringLiteral("Prędkość"),
        QStringLiteral("Paliwo"),  QStringLiteral("Data odczytu"),
    };
    return kHeadings[static_cast<std::size_t>(cell)];
}

QString ListTitle(int list) {
    return list == 1 ? QStringLiteral("Samochody z aktualnym odczytem ( nie starszym niż 1 dzień)")
                     : QStringLiteral("Samochody z aktualną pozycją( nie starszym niż 3 godziny)");
}

QString FromCp1250(const std::string& text) { return QString::fromUtf8(Cp1250ToUtf8(text)); }

// The date and time of a DateTime in Qt's format patterns, e.g. "dd-MM-yyyy" and "HH:mm".
QString FormatStamp(DateTime t, const QString& datePattern, const QString& timePattern) {
    const DateTime::Parts p = t.Split();
    return QDate(p.year, p.month, p.day).toString(datePattern) + QChar(' ') +
           QTime(p.hour, p.minute, p.second).toString(timePattern);
}

QFont ReportFont(double points, bool bold) {
    QFont font(QStringLiteral("Arial"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

// The cell font is Arial; where Arial is missing a wider font may stand in for it. A
// column whose widest text in a list would not fit its cells is drawn that much smaller in
// every cell of the list (down to a limit) instead of being cut. Widths are measured once,
// at a printer's resolution, while laying out.
constexpr double kMinimumFitScale = 0.6;
constexpr int kMeasureDpi = 1200;

class CellFitter {
public:
    CellFitter() : probe_(MeasuringProbe()), metrics_(ReportFont(kCellFontPoints, false), &probe_) {}
    float Scale(const QString& text, int cell) const {
        if (text.isEmpty()) return 1.0f;
        // A little room is kept back: at a screen's resolution hinting makes text
        // wider than measured at a printer's.
        const double availableMm = (kColumns[static_cast<std::size_t>(cell)].widthMm - 2 * kCellPaddingMm) * 0.92;
        const double widthMm = metrics_.horizontalAdvance(text) * 25.4 / kMeasureDpi;
        if (widthMm <= availableMm) return 1.0f;
        return static_cast<float>(std::max(kMinimumFitScale, availableMm / widthMm));
    }

private:
    static QImage MeasuringProbe() {
        QImage probe(1, 1, QImage::Format_RGB32);
        const int dotsPerMeter = qRound(kMeasureDpi / 0.0254);
        probe.setDotsPerMeterX(dotsPerMeter);
        probe.setDotsPerMeterY(dotsPerMeter);
        return probe;
    }
    QImage probe_;
    QFontMetricsF metrics_;
};

// Fills pages with bands from the top down, starting a new page when a band (or a band
// together with what must stay with it) does not fit above the page footer.
class Paginator {
public:
    explicit Paginator(std::vector<std::vector<PlacedBand>>& pages) : pages_(pages) { NewPage(); }

    // True when it started a new page.
    bool KeepSpace(double heightMm) {
        if (y_ + heightMm <= RaportZbiorczy::kBodyHeightMm || pages_.back().empty()) return false;
        NewPage();
        return true;
    }
    void Place(ReportBand kind, int list, std::size_t row, double heightMm) {
        pages_.back().push_back(PlacedBand{kind, list, row, y_, heightMm});
        y_ += heightMm;
    }

private:
    void NewPage() {
        pages_.emplace_back();
        y_ = 0;
    }
    std::vector<std::vector<PlacedBand>>& pages_;
    double y_ = 0;
};

// Millimetres below and right of the printable area's corner to device units.
struct MmScale {
    double x, y;
    QRectF Rect(double leftMm, double topMm, double widthMm, double heightMm) const {
        return QRectF(leftMm * x, topMm * y, widthMm * x, heightMm * y);
    }
};

}  // namespace

// The size each column's cells are drawn at (1 = full).
using ColumnScales = std::array<float, kCellCount>;

struct RaportZbiorczy::Layout {
    std::vector<std::array<QString, kCellCount>> cells;  // per row
    std::array<ColumnScales, 3> columnScales;            // per list
    SummaryReportLists lists;
    DateTime created;
    std::vector<std::vector<PlacedBand>> pages;

    const std::vector<std::size_t>& List(int list) const {
        return list == 0 ? lists.all : list == 1 ? lists.readLastDay : lists.recentPosition;
    }
};

RaportZbiorczy::RaportZbiorczy(const std::vector<VehicleRow>& rows, DateTime now) {
    auto layout = std::make_shared<Layout>();
    layout->lists = SelectReportLists(rows, now);
    layout->created = now;
    layout->cells.resize(rows.size());
    std::vector<ColumnScales> fits(rows.size());
    const CellFitter fitter;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        for (int c = 0; c < kCellCount; ++c) {
            const auto index = static_cast<std::size_t>(c);
            layout->cells[i][index] = FromCp1250(DisplayText(rows[i], kCellSources[index]));
            fits[i][index] = fitter.Scale(layout->cells[i][index], c);
        }
    }
    for (int list = 0; list < 3; ++list) {
        ColumnScales& scales = layout->columnScales[static_cast<std::size_t>(list)];
        scales.fill(1.0f);
        for (const std::size_t row : layout->List(list))
            for (std::size_t c = 0; c < scales.size(); ++c) scales[c] = std::min(scales[c], fits[row][c]);
    }

    Paginator paginator(layout->pages);
    paginator.Place(ReportBand::Title, 0, 0, kTitleBandMm);
    for (int list = 0; list < 3; ++list) {
        const std::vector<std::size_t>& members = layout->List(list);
        if (list > 0) {
            // A list's title and headings go to the next page unless its first row (or,
            // for an empty list, its footer) fits under them.
            paginator.KeepSpace(kListTitleBandMm + kCellHeightMm +
                                (members.empty() ? kListFooterBandMm : kCellHeightMm));
            paginator.Place(ReportBand::ListTitle, list, 0, kListTitleBandMm);
            paginator.Place(ReportBand::ColumnHeadings, list, 0, kCellHeightMm);
        }
        for (std::size_t i = 0; i < members.size(); ++i) {
            // The last row takes the footer with it, so a footer never starts a page alone.
            // A list that runs over to a new page starts it with its column headings.
            const bool last = i + 1 == members.size();
            if (paginator.KeepSpace(kCellHeightMm + (last ? kListFooterBandMm : 0)))
                paginator.Place(ReportBand::ColumnHeadings, list, 0, kCellHeightMm);
            paginator.Place(ReportBand::Row, list, members[i], kCellHeightMm);
        }
        paginator.KeepSpace(kListFooterBandMm);
        paginator.Place(ReportBand::ListFooter, list, 0, kListFooterBandMm);
    }
    layout_ = std::move(layout);
}

int RaportZbiorczy::PageCount() const { return static_cast<int>(layout_->pages.size()); }

const std::vector<PlacedBand>& RaportZbiorczy::Bands(int page) const {
    if (page < 0 || page >= PageCount()) throw std::out_of_range("report page");
    return layout_->pages[static_cast<std::size_t>(page)];
}

const SummaryReportLists& RaportZbiorczy::Lists() const { return layout_->lists; }

QString RaportZbiorczy::PdfFileName() const {
    return QStringLiteral("Raport zbiorczy %1.pdf")
        .arg(FormatStamp(layout_->created, QStringLiteral("yyyy-MM-dd"), QStringLiteral("HH-mm")));
}

QPageLayout RaportZbiorczy::PageLayout() {
    return QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Landscape,
                       QMarginsF(kMarginMm, kMarginMm, kMarginMm, kMarginMm), QPageLayout::Millimeter);
}

void RaportZbiorczy::DrawPage(QPainter& painter, int page, double pxPerMmX, double pxPerMmY) const {
    const MmScale mm{pxPerMmX, pxPerMmY};
    const QFont cellFont = ReportFont(kCellFontPoints, false);
    const QFont headingFont = ReportFont(kHeadingFontPoints, true);
    const QFont titleFont = ReportFont(kTitleFontPoints, false);
    painter.setPen(QPen(Qt::black, kLineWidthMm * pxPerMmX));
    painter.setBrush(Qt::NoBrush);

    auto cellRect = [&](int cell, double topMm) {
        const CellColumn& column = kColumns[static_cast<std::size_t>(cell)];
        return mm.Rect(column.leftMm, topMm, column.widthMm, kCellHeightMm);
    };
    auto drawCellText = [&](const QRectF& rect, Qt::Alignment alignment, const QString& text) {
        const double pad = kCellPaddingMm * pxPerMmX;
        painter.drawText(rect.adjusted(pad, 0, -pad, 0), int(alignment | Qt::AlignVCenter), text);
    };
    // Headings when cells is null, else a vehicle's cells at its list's column sizes; the
    // font is set by the caller.
    auto drawFramedCells = [&](double topMm, const std::array<QString, kCellCount>* cells, const ColumnScales& scales) {
        std::array<QRectF, kCellCount> rects;
        for (int c = 0; c < kCellCount; ++c) rects[static_cast<std::size_t>(c)] = cellRect(c, topMm);
        painter.drawRects(rects.data(), kCellCount);
        for (int c = 0; c < kCellCount; ++c) {
            const auto index = static_cast<std::size_t>(c);
            if (!cells) {
                drawCellText(rects[index], kColumns[index].alignment, ColumnHeading(c));
            } else if (scales[index] < 1.0f) {
                QFont smaller = cellFont;
                smaller.setPointSizeF(cellFont.pointSizeF() * scales[index]);
                painter.setFont(smaller);
                drawCellText(rects[index], kColumns[index].alignment, (*cells)[index]);
                painter.setFont(cellFont);
            } else {
                drawCellText(rects[index], kColumns[index].alignment, (*cells)[index]);
            }
        }
    };

    const Layout& layout = *layout_;
    for (const PlacedBand& band : Bands(page)) {
        const ColumnScales& scales = layout.columnScales[static_cast<std::size_t>(band.list)];
        switch (band.kind) {
            case ReportBand::Title:
                painter.setFont(titleFont);
                painter.drawText(
                    mm.Rect(0, band.topMm, kPrintableWidthMm, kTitleTextMm), int(Qt::AlignLeft | Qt::AlignVCenter),
                    QStringLiteral("Raport z aktualizacji danych %1")
                        .arg(FormatStamp(layout.created, QStringLiteral("dd-MM-yyyy"), QStringLiteral("HH:mm"))));
                painter.setFont(headingFont);
                drawFramedCells(band.topMm + band.heightMm - kCellHeightMm, nullptr, scales);
                break;
            case ReportBand::ListTitle:
                painter.setFont(titleFont);
                painter.drawText(
                    mm.Rect(0, band.topMm + kListTitleGapMm, kPrintableWidthMm, band.heightMm - kListTitleGapMm),
                    int(Qt::AlignHCenter | Qt::AlignVCenter), ListTitle(band.list));
                break;
            case ReportBand::ColumnHeadings:
                painter.setFont(headingFont);
                drawFramedCells(band.topMm, nullptr, scales);
                break;
            case ReportBand::Row:
                painter.setFont(cellFont);
                drawFramedCells(band.topMm, &layout.cells[band.row], scales);
                break;
            case ReportBand::ListFooter:
                painter.setFont(headingFont);
                drawCellText(
                    mm.Rect(kListFooterLeftMm, band.topMm + kListFooterGapMm, kListFooterWidthMm, kCellHeightMm),
                    Qt::AlignRight, QStringLiteral("Razem samochodów : %1").arg(layout.List(band.list).size()));
                break;
        }
    }
    painter.setFont(cellFont);
    painter.drawText(mm.Rect(0, kPageFooterTopMm, kPrintableWidthMm, kCellHeightMm),
                     int(Qt::AlignRight | Qt::AlignVCenter),
                     QStringLiteral("Strona %1 z %2").arg(page + 1).arg(PageCount()));
}

bool RaportZbiorczy::Paint(QPagedPaintDevice& device) const {
    return PaintPages(device, PageCount(), Drawer());
}

bool RaportZbiorczy::ExportPdf(const QString& path, QString* failure) const {
    return WritePdf(path, QStringLiteral("Raport zbiorczy"), PageCount(), Drawer(), failure);
}

QImage RaportZbiorczy::RenderPage(int page, int dpi) const { return RenderPageImage(page, PageCount(), dpi, Drawer()); }

PageDrawer RaportZbiorczy::Drawer() const {
    return [this](QPainter& painter, int page, double pxPerMmX, double pxPerMmY) {
        DrawPage(painter, page, pxPerMmX, pxPerMmY);
    };
}

}  // namespace serwer

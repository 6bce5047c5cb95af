#include "report/ReportTablePrintout.hpp"

#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPagedPaintDevice>
#include <QPainter>
#include <QPdfWriter>
#include <QPen>
#include <QPrintPreviewDialog>
#include <QPrintPreviewWidget>
#include <QPrinter>
#include <QSaveFile>
#include <QScreen>
#include <QStringList>
#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "common/PolishTime.hpp"
#include "common/Win1250.hpp"
#include "report/PagedOutput.hpp"
#include "report/RaportZbiorczy.hpp"
#include "reports/ReportFormats.hpp"

namespace serwer {

namespace {

constexpr double kPrintableWidthMm = RaportZbiorczy::kPageWidthMm - 2 * RaportZbiorczy::kMarginMm;
constexpr double kBodyHeightMm = RaportZbiorczy::kBodyHeightMm;
constexpr double kPageFooterTopMm = 185;
constexpr double kFooterHeightMm = 5;
constexpr double kTitleTextMm = 8;
constexpr double kTitleBandMm = 11;
constexpr double kPadXMm = 0.8;
constexpr double kPadYMm = 0.6;
constexpr double kFrameLineMm = 0.2;
constexpr double kRowLineMm = 0.1;
constexpr double kTitlePoints = 12;
constexpr double kFooterPoints = 9;
constexpr double kLargestCellPoints = 9;
constexpr double kSmallestCellPoints = 6;
// Widths are measured at a printer's resolution; a little room is kept back, since at
// a screen's resolution hinting makes text wider than measured.
constexpr int kMeasureDpi = 1200;
constexpr double kRoomKept = 0.94;

QFont PrintFont(double points, bool bold) {
    QFont font(QStringLiteral("Arial"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

QString DayText(std::int64_t utc) {
    const DateTime::Parts p = PolishWallTime(utc).Split();
    return QString::asprintf("%04d-%02d-%02d", p.year, p.month, p.day);
}

bool RightAligned(CellKind kind) {
    return kind == CellKind::Number || kind == CellKind::Integer || kind == CellKind::Duration;
}

// Font metrics at the measuring resolution, in millimetres.
class Measure {
public:
    explicit Measure(const QFont& font) : probe_(Probe()), metrics_(font, &probe_) {}
    double Width(const QString& text) const { return metrics_.horizontalAdvance(text) * 25.4 / kMeasureDpi; }
    double LineHeight() const { return metrics_.lineSpacing() * 25.4 / kMeasureDpi; }

    // The text in lines no wider than widthMm, broken between words; a word wider than
    // that alone is broken too, with a hyphen at the end of each piece but the last.
    QStringList Wrap(const QString& text, double widthMm) const {
        const double width = widthMm * kRoomKept;
        QStringList lines;
        QString line;
        for (QString word : text.split(QChar(' '), Qt::SkipEmptyParts)) {
            const QString joined = line.isEmpty() ? word : line + QChar(' ') + word;
            if (Width(joined) <= width) {
                line = joined;
                continue;
            }
            if (!line.isEmpty()) lines << line;
            while (word.size() > 1 && Width(word) > width) {
                qsizetype n = word.size() - 1;
                while (n > 1 && Width(word.left(n) + QChar('-')) > width) --n;
                lines << word.left(n) + QChar('-');
                word = word.mid(n);
            }
            line = word;
        }
        if (!line.isEmpty() || lines.isEmpty()) lines << line;
        return lines;
    }

private:
    static QImage Probe() {
        QImage probe(1, 1, QImage::Format_RGB32);
        const int dotsPerMeter = qRound(kMeasureDpi / 0.0254);
        probe.setDotsPerMeterX(dotsPerMeter);
        probe.setDotsPerMeterY(dotsPerMeter);
        return probe;
    }
    QImage probe_;
    QFontMetricsF metrics_;
};

struct PrintColumn {
    double leftMm = 0, widthMm = 0;
    Qt::Alignment alignment = Qt::AlignLeft;
    QStringList heading;  // its lines
    bool turned = false;  // the heading runs from the bottom up
};

struct PrintRow {
    std::vector<QStringList> cells;  // each cell's lines
    double heightMm = 0;
};

// What of a cell must stay on one line: each word of a text, the whole of anything else.
double UnbrokenMm(const Measure& measure, const QString& text, bool words) {
    if (!words) return measure.Width(text);
    double widest = 0;
    for (const QString& word : text.split(QChar(' '), Qt::SkipEmptyParts))
        widest = std::max(widest, measure.Width(word));
    return widest;
}

// The widths the columns take by their widths in characters, except that none is
// narrower than it needs: what the narrow ones lack, the others give up in proportion
// to what they have to spare. The needs must fit the printable width together.
std::vector<double> Balanced(const std::vector<double>& proportional, const std::vector<double>& needs) {
    double lacking = 0, spare = 0;
    for (std::size_t c = 0; c < needs.size(); ++c)
        (proportional[c] < needs[c] ? lacking : spare) += std::abs(proportional[c] - needs[c]);
    std::vector<double> widths(needs.size());
    for (std::size_t c = 0; c < needs.size(); ++c)
        widths[c] = proportional[c] < needs[c] ? needs[c]
                    : spare > 0                 ? proportional[c] - lacking * (proportional[c] - needs[c]) / spare
                                                : proportional[c];
    return widths;
}

}  // namespace

struct ReportTablePrintout::Layout {
    QString title;
    double cellPoints = kLargestCellPoints, headingPoints = kLargestCellPoints;
    double lineMm = 0, headingLineMm = 0;
    std::vector<PrintColumn> columns;
    double headingMm = 0;
    std::vector<PrintRow> rows;
    std::vector<std::pair<std::size_t, std::size_t>> pages;  // [first, end) of rows
};

ReportTablePrintout::ReportTablePrintout(const ReportTable& table, char decimalSeparator) {
    auto layout = std::make_shared<Layout>();
    const std::int64_t lastSecond = std::max(table.fromUtc, table.toUtc - 1);
    layout->title = QStringLiteral("%1 od %2 do %3")
                        .arg(QString::fromUtf8(Cp1250ToUtf8(table.title)), DayText(table.fromUtc), DayText(lastSecond));
    const std::size_t columnCount = table.columns.size();

    // The cells' texts, and per column the widest of what must stay on one line, at the
    // largest size.
    std::vector<std::vector<QString>> texts;
    texts.reserve(table.rows.size());
    std::vector<double> widest(columnCount, 0);
    const Measure largest(PrintFont(kLargestCellPoints, false));
    for (const auto& row : table.rows) {
        std::vector<QString>& cells = texts.emplace_back(columnCount);
        for (std::size_t c = 0; c < columnCount && c < row.size(); ++c) {
            cells[c] = QString::fromUtf8(CellText(table.columns[c], row[c], decimalSeparator));
            widest[c] = std::max(widest[c], UnbrokenMm(largest, cells[c], table.columns[c].kind == CellKind::Text));
        }
    }

    // The largest size, in half points, at which every column can be as wide as that;
    // at the smallest the columns keep their shares of the width, and texts run onto
    // more lines or are broken.
    int characters = 0;
    for (const ReportColumn& c : table.columns) characters += std::max(1, c.width);
    std::vector<double> widths(columnCount);
    for (std::size_t c = 0; c < columnCount; ++c)
        widths[c] = kPrintableWidthMm * std::max(1, table.columns[c].width) / characters;
    layout->cellPoints = kSmallestCellPoints;
    for (double points = kLargestCellPoints; points >= kSmallestCellPoints; points -= 0.5) {
        std::vector<double> needs(columnCount);
        double total = 0;
        for (std::size_t c = 0; c < columnCount; ++c)
            total += needs[c] = widest[c] * points / kLargestCellPoints / kRoomKept + 2 * kPadXMm;
        if (total > kPrintableWidthMm) continue;
        layout->cellPoints = points;
        widths = Balanced(widths, needs);
        break;
    }
    double left = 0;
    for (std::size_t c = 0; c < columnCount; ++c) {
        PrintColumn& column = layout->columns.emplace_back();
        column.leftMm = left;
        column.widthMm = widths[c];
        column.alignment = RightAligned(table.columns[c].kind) ? Qt::AlignRight : Qt::AlignLeft;
        left += column.widthMm;
    }

    // The headings lie in one size, up to 2 points under the cells', when each word of
    // each fits its column; else they are a point under the cells', and those that do
    // not fit run from the bottom up, in as many lines as the column is wide.
    std::vector<QString> titles;
    for (const ReportColumn& c : table.columns) titles.push_back(QString::fromUtf8(Cp1250ToUtf8(c.title)));
    const auto fitsLying = [&](const Measure& measure, std::size_t c) {
        return UnbrokenMm(measure, titles[c], true) <= (widths[c] - 2 * kPadXMm) * kRoomKept;
    };
    bool allLying = false;
    layout->headingPoints = std::max(kSmallestCellPoints, layout->cellPoints - 1);
    for (double points = layout->cellPoints; points >= std::max(kSmallestCellPoints, layout->cellPoints - 2) && !allLying;
         points -= 0.5) {
        const Measure measure(PrintFont(points, true));
        allLying = true;
        for (std::size_t c = 0; c < columnCount && allLying; ++c) allLying = fitsLying(measure, c);
        if (allLying) layout->headingPoints = points;
    }
    const Measure headings(PrintFont(layout->headingPoints, true));
    layout->headingLineMm = headings.LineHeight();
    double headingMm = layout->headingLineMm;
    for (std::size_t c = 0; c < columnCount; ++c) {
        PrintColumn& column = layout->columns[c];
        const double inner = column.widthMm - 2 * kPadXMm;
        if (fitsLying(headings, c)) {
            column.heading = headings.Wrap(titles[c], inner);
            headingMm = std::max(headingMm, static_cast<double>(column.heading.size()) * layout->headingLineMm);
            continue;
        }
        column.turned = true;
        const auto lines = static_cast<qsizetype>(std::max(1.0, std::floor(inner / layout->headingLineMm)));
        double length = UnbrokenMm(headings, titles[c], true) / kRoomKept;
        while ((column.heading = headings.Wrap(titles[c], length)).size() > lines) length += 1;
        headingMm = std::max(headingMm, length);
    }
    layout->headingMm = headingMm + 2 * kPadYMm;

    const Measure cells(PrintFont(layout->cellPoints, false));
    layout->lineMm = cells.LineHeight();
    layout->rows.reserve(texts.size());
    for (const std::vector<QString>& row : texts) {
        PrintRow& printed = layout->rows.emplace_back();
        qsizetype lines = 1;
        for (std::size_t c = 0; c < columnCount; ++c) {
            printed.cells.push_back(cells.Wrap(row[c], layout->columns[c].widthMm - 2 * kPadXMm));
            lines = std::max(lines, printed.cells.back().size());
        }
        printed.heightMm = static_cast<double>(lines) * layout->lineMm + 2 * kPadYMm;
    }

    // The title on the first page, the headings on every one, then as many rows as fit
    // above the footer (one at least, however tall).
    std::size_t first = 0;
    double y = kTitleBandMm + layout->headingMm;
    for (std::size_t r = 0; r < layout->rows.size(); ++r) {
        if (r > first && y + layout->rows[r].heightMm > kBodyHeightMm) {
            layout->pages.emplace_back(first, r);
            first = r;
            y = layout->headingMm;
        }
        y += layout->rows[r].heightMm;
    }
    layout->pages.emplace_back(first, layout->rows.size());
    layout_ = std::move(layout);
}

const QString& ReportTablePrintout::Title() const { return layout_->title; }

int ReportTablePrintout::PageCount() const { return static_cast<int>(layout_->pages.size()); }

std::size_t ReportTablePrintout::FirstRow(int page) const {
    return layout_->pages.at(static_cast<std::size_t>(page)).first;
}

std::size_t ReportTablePrintout::EndRow(int page) const {
    return layout_->pages.at(static_cast<std::size_t>(page)).second;
}

double ReportTablePrintout::CellPoints() const { return layout_->cellPoints; }

void ReportTablePrintout::DrawPage(QPainter& painter, int page, double pxPerMmX, double pxPerMmY) const {
    const Layout& layout = *layout_;
    const auto rect = [&](double leftMm, double topMm, double widthMm, double heightMm) {
        return QRectF(leftMm * pxPerMmX, topMm * pxPerMmY, widthMm * pxPerMmX, heightMm * pxPerMmY);
    };
    const auto line = [&](double x1, double y1, double x2, double y2) {
        painter.drawLine(QPointF(x1 * pxPerMmX, y1 * pxPerMmY), QPointF(x2 * pxPerMmX, y2 * pxPerMmY));
    };
    // A cell's lines from its top, each in its column's padding.
    const auto drawLines = [&](const PrintColumn& column, double topMm, double lineMm, const QStringList& lines,
                               Qt::Alignment alignment) {
        for (qsizetype i = 0; i < lines.size(); ++i)
            painter.drawText(rect(column.leftMm + kPadXMm, topMm + static_cast<double>(i) * lineMm,
                                  column.widthMm - 2 * kPadXMm, lineMm),
                             int(alignment | Qt::AlignVCenter), lines[i]);
    };
    const QPen frame(Qt::black, kFrameLineMm * pxPerMmX);
    const QPen thin(QColor(96, 96, 96), kRowLineMm * pxPerMmX);
    const double tableWidthMm = layout.columns.empty() ? kPrintableWidthMm
                                                       : layout.columns.back().leftMm + layout.columns.back().widthMm;

    double y = 0;
    if (page == 0) {
        painter.setFont(PrintFont(kTitlePoints, true));
        painter.drawText(rect(0, 0, kPrintableWidthMm, kTitleTextMm), int(Qt::AlignLeft | Qt::AlignVCenter),
                         layout.title);
        y = kTitleBandMm;
    }

    // The headings: a grey band, framed column by column, the lines of each centred.
    const double headingTop = y;
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(228, 228, 228));
    painter.drawRect(rect(0, headingTop, tableWidthMm, layout.headingMm));
    painter.setBrush(Qt::NoBrush);
    painter.setPen(frame);
    painter.setFont(PrintFont(layout.headingPoints, true));
    for (const PrintColumn& column : layout.columns) {
        painter.drawRect(rect(column.leftMm, headingTop, column.widthMm, layout.headingMm));
        const double blockMm = static_cast<double>(column.heading.size()) * layout.headingLineMm;
        if (!column.turned) {
            drawLines(column, headingTop + (layout.headingMm - blockMm) / 2, layout.headingLineMm, column.heading,
                      Qt::AlignHCenter);
            continue;
        }
        // Turned a quarter to the left: the lines run up the band, side by side from the left.
        painter.save();
        painter.translate((column.leftMm + (column.widthMm - blockMm) / 2) * pxPerMmX,
                          (headingTop + layout.headingMm - kPadYMm) * pxPerMmY);
        painter.rotate(-90);
        const double lengthMm = layout.headingMm - 2 * kPadYMm;
        for (qsizetype i = 0; i < column.heading.size(); ++i)
            painter.drawText(QRectF(0, static_cast<double>(i) * layout.headingLineMm * pxPerMmX, lengthMm * pxPerMmY,
                                    layout.headingLineMm * pxPerMmX),
                             int(Qt::AlignHCenter | Qt::AlignVCenter), column.heading[i]);
        painter.restore();
    }
    y += layout.headingMm;

    const auto [first, end] = layout.pages[static_cast<std::size_t>(page)];
    painter.setFont(PrintFont(layout.cellPoints, false));
    if (first == end) {
        painter.drawText(rect(kPadXMm, y + kPadYMm, kPrintableWidthMm, layout.lineMm),
                         int(Qt::AlignLeft | Qt::AlignVCenter), QStringLiteral("Brak danych w wybranym okresie."));
    }
    const double bodyTop = y;
    const QPen text(Qt::black);
    for (std::size_t r = first; r < end; ++r) {
        const PrintRow& row = layout.rows[r];
        painter.setPen(text);
        for (std::size_t c = 0; c < layout.columns.size(); ++c)
            drawLines(layout.columns[c], y + kPadYMm, layout.lineMm, row.cells[c], layout.columns[c].alignment);
        y += row.heightMm;
        painter.setPen(thin);
        line(0, y, tableWidthMm, y);
    }
    painter.setPen(thin);
    if (end > first) {
        line(0, bodyTop, 0, y);
        for (const PrintColumn& column : layout.columns)
            line(column.leftMm + column.widthMm, bodyTop, column.leftMm + column.widthMm, y);
    }

    painter.setPen(text);
    painter.setFont(PrintFont(kFooterPoints, false));
    painter.drawText(rect(0, kPageFooterTopMm, kPrintableWidthMm, kFooterHeightMm),
                     int(Qt::AlignRight | Qt::AlignVCenter),
                     QStringLiteral("Strona %1 z %2").arg(page + 1).arg(PageCount()));
}

bool ReportTablePrintout::Paint(QPagedPaintDevice& device) const {
    return PaintPages(device, PageCount(), Drawer());
}

bool ReportTablePrintout::ExportPdf(const QString& path, QString* failure) const {
    return WritePdf(path, Title(), PageCount(), Drawer(), failure);
}

QImage ReportTablePrintout::RenderPage(int page, int dpi) const { return RenderPageImage(page, PageCount(), dpi, Drawer()); }

PageDrawer ReportTablePrintout::Drawer() const {
    return [this](QPainter& painter, int page, double pxPerMmX, double pxPerMmY) {
        DrawPage(painter, page, pxPerMmX, pxPerMmY);
    };
}

void PreviewPrintout(const ReportTablePrintout& printout, QWidget* parent) {
    QPrintPreviewDialog dialog(parent);
    dialog.setWindowTitle(QString::fromUtf8("Podgląd wydruku: %1").arg(printout.Title()));
    // The dialog's own printer is the default printer, asked for its full resolution.
    QPrinter* printer = dialog.printer();
    printer->setResolution(QPrinter(QPrinter::HighResolution).resolution());
    printer->setPageLayout(RaportZbiorczy::PageLayout());
    printer->setDocName(printout.Title());
    QObject::connect(&dialog, &QPrintPreviewDialog::paintRequested, &dialog, [&dialog, &printout](QPrinter* target) {
        if (!printout.Paint(*target))
            QMessageBox::critical(&dialog, dialog.windowTitle(),
                                  QString::fromUtf8("Nie można wydrukować raportu: drukarka %1 nie przyjęła stron.")
                                      .arg(target->printerName()));
    });
    if (auto* preview = dialog.findChild<QPrintPreviewWidget*>()) preview->fitToWidth();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QSize available = screen->availableSize();
        dialog.resize(available.width() * 4 / 5, available.height() * 4 / 5);
    }
    dialog.exec();
}

}  // namespace serwer

#include "report/PagedOutput.hpp"

#include <QPagedPaintDevice>
#include <QPainter>
#include <QPdfWriter>
#include <QSaveFile>

#include "report/RaportZbiorczy.hpp"

namespace serwer {

bool PaintPages(QPagedPaintDevice& device, int pageCount, const PageDrawer& draw) {
    // A device that refuses the layout (a printer with wider minimum margins) is still
    // painted, from the corner of whatever printable area it has.
    device.setPageLayout(RaportZbiorczy::PageLayout());
    QPainter painter;
    if (!painter.begin(&device)) return false;
    painter.setRenderHint(QPainter::TextAntialiasing);
    const double pxPerMmX = device.logicalDpiX() / 25.4;
    const double pxPerMmY = device.logicalDpiY() / 25.4;
    for (int page = 0; page < pageCount; ++page) {
        if (page > 0 && !device.newPage()) {
            painter.end();
            return false;
        }
        draw(painter, page, pxPerMmX, pxPerMmY);
    }
    return painter.end();
}

bool WritePdf(const QString& path, const QString& title, int pageCount, const PageDrawer& draw, QString* failure) {
    QSaveFile file(path);
    bool painted = false;
    if (file.open(QIODevice::WriteOnly)) {
        QPdfWriter writer(&file);
        writer.setTitle(title);
        painted = PaintPages(writer, pageCount, draw);
    }
    // A write error is kept by the file, so the commit below fails with it.
    if (painted && file.commit()) return true;
    if (failure)
        *failure = file.error() != QFileDevice::NoError ? file.errorString()
                                                        : QStringLiteral("nie udało się utworzyć dokumentu PDF");
    return false;
}

QImage RenderPageImage(int page, int pageCount, int dpi, const PageDrawer& draw) {
    if (page < 0 || page >= pageCount || dpi <= 0) return QImage();
    const double pxPerMm = dpi / 25.4;
    QImage image(qRound(RaportZbiorczy::kPageWidthMm * pxPerMm), qRound(RaportZbiorczy::kPageHeightMm * pxPerMm),
                 QImage::Format_RGB32);
    const int dotsPerMeter = qRound(dpi / 0.0254);
    image.setDotsPerMeterX(dotsPerMeter);
    image.setDotsPerMeterY(dotsPerMeter);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    painter.translate(RaportZbiorczy::kMarginMm * pxPerMm, RaportZbiorczy::kMarginMm * pxPerMm);
    draw(painter, page, pxPerMm, pxPerMm);
    painter.end();
    return image;
}

}  // namespace serwer

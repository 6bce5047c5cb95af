#pragma once
#include <QImage>
#include <QString>
#include <functional>

class QPagedPaintDevice;
class QPainter;

namespace serwer {

// What the printed reports share: the A4 landscape pages of RaportZbiorczy::PageLayout,
// painted page by page to a printer, the preview, a PDF file or a picture. `draw` paints
// one page with lengths in millimetres through the pixels per millimetre given, from
// the top-left corner inside the margins.
using PageDrawer = std::function<void(QPainter& painter, int page, double pxPerMmX, double pxPerMmY)>;

// Sets the page layout on the device and paints every page; false when the device
// cannot be painted on or refuses a new page.
bool PaintPages(QPagedPaintDevice& device, int pageCount, const PageDrawer& draw);

// Writes the pages as a PDF file titled `title`; a file already there is replaced only
// once the whole document is written. False when it cannot be, with the system's reason
// in *failure when given.
bool WritePdf(const QString& path, const QString& title, int pageCount, const PageDrawer& draw, QString* failure);

// One page as a picture of the whole sheet at the resolution; a null image for a page
// that does not exist.
QImage RenderPageImage(int page, int pageCount, int dpi, const PageDrawer& draw);

}  // namespace serwer

#include "report/ReportPreviewDialog.hpp"

#include <QAction>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPrintPreviewWidget>
#include <QPrinter>
#include <QScreen>
#include <QStandardPaths>
#include <QToolBar>

namespace serwer {

ReportPreviewDialog::ReportPreviewDialog(RaportZbiorczy report, QWidget* parent)
    : QPrintPreviewDialog(parent), report_(std::move(report)) {
    setWindowTitle(QStringLiteral("Raport zbiorczy"));

    // The dialog's own printer is the default printer. It is asked for its full
    // resolution so that printed pages are placed as finely as the PDF export.
    QPrinter* device = printer();
    device->setResolution(QPrinter(QPrinter::HighResolution).resolution());
    device->setPageLayout(RaportZbiorczy::PageLayout());
    device->setDocName(QStringLiteral("Raport zbiorczy"));
    connect(this, &QPrintPreviewDialog::paintRequested, this, [this](QPrinter* target) { report_.Paint(*target); });

    preview_ = findChild<QPrintPreviewWidget*>();
    if (preview_) preview_->setZoomFactor(1.0);

    exportAction_ = new QAction(QStringLiteral("Eksport do PDF"), this);
    exportAction_->setObjectName(QStringLiteral("eksportDoPdf"));
    exportAction_->setToolTip(QStringLiteral("Zapisz raport jako plik PDF"));
    connect(exportAction_, &QAction::triggered, this, &ReportPreviewDialog::ExportPdf);
    if (auto* toolbar = findChild<QToolBar*>()) {
        toolbar->addSeparator();
        toolbar->addAction(exportAction_);
    } else {
        addAction(exportAction_);
    }

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QSize available = screen->availableSize();
        resize(available.width() * 4 / 5, available.height() * 4 / 5);
    }
}

QString ReportPreviewDialog::PdfFolder() {
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (!documents.isEmpty() && QDir().mkpath(documents)) return documents;
    return QDir::homePath();
}

bool ReportPreviewDialog::ExportPdfTo(const QString& path) {
    const QString shownPath = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    QString failure;
    if (report_.ExportPdf(path, &failure)) {
        QMessageBox::information(this, QStringLiteral("Eksport do PDF"),
                                 QStringLiteral("Raport zapisano w pliku %1").arg(shownPath));
        return true;
    }
    QMessageBox::critical(
        this, QStringLiteral("Eksport do PDF"),
        QStringLiteral("Nie można zapisać raportu do pliku %1\nPrzyczyna: %2").arg(shownPath, failure));
    return false;
}

void ReportPreviewDialog::ExportPdf() { ExportPdfTo(QDir(PdfFolder()).filePath(report_.PdfFileName())); }

ReportPreviewDialog* ShowReportPreview(QWidget* parent, const RaportZbiorczy& report) {
    auto* dialog = new ReportPreviewDialog(report, parent);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
    return dialog;
}

}  // namespace serwer

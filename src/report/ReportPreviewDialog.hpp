#pragma once
#include <QPrintPreviewDialog>
#include <QString>

#include "report/RaportZbiorczy.hpp"

class QAction;
class QPrintPreviewWidget;
class QWidget;

namespace serwer {

// The preview window of the summary report: page navigation, zoom, page setup and
// printing come from Qt's print preview; printing goes to the printer the dialog's
// QPrinter names, the default printer. An added toolbar action "Eksport do PDF" saves
// the same pages as a PDF file named by the report's date and time (PdfFileName) in
// PdfFolder(), without asking. The preview opens at 100 % zoom.
//
// It holds its own copy of the report, so it can be shown without exec() and outlive
// the caller's report.
class ReportPreviewDialog : public QPrintPreviewDialog {
    Q_OBJECT
public:
    explicit ReportPreviewDialog(RaportZbiorczy report, QWidget* parent = nullptr);

    const RaportZbiorczy& Report() const { return report_; }
    QPrintPreviewWidget* PreviewWidget() const { return preview_; }
    QAction* ExportAction() const { return exportAction_; }

    // The folder the export writes to: the user's documents folder, created when it is
    // missing, or the home directory when there is none or it cannot be created.
    static QString PdfFolder();

    // Writes the report to path as PDF and tells the operator in a message box: the full
    // path when it was written, the reason when it was not. Returns whether it was written.
    bool ExportPdfTo(const QString& path);

private slots:
    void ExportPdf();

private:
    RaportZbiorczy report_;
    QPrintPreviewWidget* preview_ = nullptr;
    QAction* exportAction_ = nullptr;
};

}  // namespace serwer

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
// the same pages as a PDF file. The preview opens at 100 % zoom.
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

    // Writes the report to path as PDF. A failure is shown to the operator in a
    // message box; returns whether the file was written.
    bool ExportPdfTo(const QString& path);

private slots:
    void AskAndExportPdf();

private:
    RaportZbiorczy report_;
    QPrintPreviewWidget* preview_ = nullptr;
    QAction* exportAction_ = nullptr;
};

}  // namespace serwer

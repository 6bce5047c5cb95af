#pragma once
#include <QDialog>
#include <QString>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "events/Zones.hpp"
#include "report/ReportTablePrintout.hpp"
#include "reports/FleetReport.hpp"

class QCheckBox;
class QComboBox;
class QDateEdit;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QPushButton;
class QTableView;

namespace serwer {

class HistoryStore;
class ReportTableModel;

// "Raporty": trips, stops, the fleet summary or the drivers' summary from the stored
// history, over whole Polish days "Od" to "Do" inclusive (today at first), of every
// vehicle or of those checked. "Pokaż" makes the report (the summaries by day when
// "Po dniach" is on) and lists it; the report shown can be previewed and printed, or
// written as PDF or XLSX to a file the operator names. A history that cannot be read
// and a file that cannot be written are told in a message box.
class ReportsDialog : public QDialog {
    Q_OBJECT
public:
    // registrations: the vehicles to choose from (Windows-1250), in any order. context:
    // how trips and stops are told apart and the tanks; its zones are the ones given here
    // (an empty set: places as coordinates). decimalSeparator: as the grid shows numbers.
    ReportsDialog(HistoryStore& store, std::vector<std::string> registrations, ReportContext context, ZoneSet zones,
                  QWidget* parent = nullptr, char decimalSeparator = '.');
    ~ReportsDialog() override;

    // What the controls ask for.
    ReportRequest Request() const;
    // Makes the report asked for and shows it; false when the history could not be read
    // (the operator is told why, and nothing is shown).
    bool ShowReport();
    // The report shown; none before the first report or after a failure.
    const ReportTable* Shown() const { return shown_ ? &*shown_ : nullptr; }
    // Its printout, laid out when first asked for; none without a report.
    const ReportTablePrintout* Printout();

    // "trasy-2026-12-08.pdf", or with both days for a longer span:
    // "trasy-2026-12-01-2026-12-08.pdf".
    QString ExportFileName(const QString& extension) const;
    // Write the report shown to path and tell the operator where, or why not.
    bool ExportPdfTo(const QString& path);
    bool ExportXlsxTo(const QString& path);

private:
    void KindChanged();
    void DateChanged(QDateEdit* changed);
    void VehicleChecked(QListWidgetItem* item);
    void ShowState(const QString& text, bool failure);
    void Preview();
    void Print();
    void Export(const QString& extension);
    void Told(bool written, const QString& title, const QString& path, const QString& failure);

    HistoryStore& store_;
    ReportContext context_;
    ZoneSet zones_;
    char decimalSeparator_;
    std::optional<ReportTable> shown_;
    std::optional<ReportTablePrintout> printout_;
    bool checking_ = false;  // the vehicle list is being changed by the dialog itself

    QComboBox* cbRodzaj_ = nullptr;
    QDateEdit* edOd_ = nullptr;
    QDateEdit* edDo_ = nullptr;
    QCheckBox* cbPoDniach_ = nullptr;
    QListWidget* lsPojazdy_ = nullptr;
    QPushButton* btPokaz_ = nullptr;
    QLabel* lbStan_ = nullptr;
    ReportTableModel* model_ = nullptr;
    QTableView* tbRaport_ = nullptr;
    std::vector<QPushButton*> outputButtons_;
};

}  // namespace serwer

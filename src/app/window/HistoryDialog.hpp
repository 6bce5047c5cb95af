#pragma once
#include <QDate>
#include <QDialog>
#include <QString>
#include <QUrl>
#include <string>
#include <vector>

#include "history/HistoryRecord.hpp"
#include "history/TrackExport.hpp"

class QDateEdit;
class QLabel;
class QPushButton;
class QTableView;
class QTableWidget;

namespace serwer {

class HistoryStore;
class HistoryPositionsModel;

// "Historia": one vehicle's stored positions over whole local (Polish) days, "Od" to
// "Do" inclusive, today at first. The positions are listed with their local fix times,
// the days summed up under them, and the rows shown can be written as GPX, KML, GeoJSON
// or CSV into the documents folder or shown one at a time on OpenStreetMap in the
// default browser. A store that fails says so in the dialog; the lists are empty then.
class HistoryDialog : public QDialog {
    Q_OBJECT
public:
    // registration: the vehicle's NAZWA (Windows-1250). decimalSeparator: as the grid
    // shows coordinates and speeds. The store is asked at once for today.
    HistoryDialog(HistoryStore& store, std::string registration, QWidget* parent = nullptr,
                  char decimalSeparator = '.');
    ~HistoryDialog() override;

    const std::string& Registration() const { return registration_; }
    // The rows shown, ordered by fix time.
    const std::vector<HistoryRecord>& Rows() const { return rows_; }

    // Asks the store for the days in "Od" and "Do" and shows what it returns.
    void ShowHistory();

    // "Historia WA12345 2026-12-08.gpx", or with both days for a longer range:
    // "Historia WA12345 2026-12-01 - 2026-12-08.gpx".
    QString ExportFileName(ExportFormat format) const;
    // Writes the rows shown to path and tells the operator where, or why not.
    bool ExportTo(ExportFormat format, const QString& path);

    // The OpenStreetMap page centred on a point, with a marker on it.
    static QUrl MapUrl(double latitude, double longitude);

private:
    void DateChanged(QDateEdit* changed);
    void ShowSummaries();
    void ShowState(const QString& text, bool failure);
    void UpdateMapButton();
    void ShowOnMap();
    void Export(ExportFormat format);

    HistoryStore& store_;
    std::string registration_;
    char decimalSeparator_;
    std::vector<HistoryRecord> rows_;
    QDate shownFrom_, shownTo_;  // the days rows_ hold

    QDateEdit* edOd_ = nullptr;
    QDateEdit* edDo_ = nullptr;
    QPushButton* btPokaz_ = nullptr;
    QLabel* lbStan_ = nullptr;
    HistoryPositionsModel* positions_ = nullptr;
    QTableView* tbPozycje_ = nullptr;
    QTableWidget* tbDni_ = nullptr;
    QPushButton* btMapa_ = nullptr;
    std::vector<QPushButton*> exportButtons_;
};

}  // namespace serwer

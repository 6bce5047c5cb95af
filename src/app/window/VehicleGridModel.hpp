#pragma once
#include <QAbstractTableModel>
#include <array>

#include "vehicles/DisplayTable.hpp"

namespace serwer {

// The vehicle grid's view of the DisplayTable: one row per vehicle, the eighteen grid
// columns with their titles and display forms, and a sort marker per column title
// (none or down).
class VehicleGridModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit VehicleGridModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Rebuilds the DisplayTable from the data directory's Aktualne.txt; the chosen sort
    // stays in force.
    void ReloadDisplayTable(const std::string& dataDirectory);
    // The same from file content (benchmarks).
    void ReloadFromContent(const Bytes& content);

    // A click on a column title: every marker goes back to none, then the column is
    // sorted ascending when its marker was none and descending when it was down, and
    // its marker becomes down.
    void TitleClick(int column);
    bool MarkerIsDown(int column) const { return markers_.at(static_cast<std::size_t>(column)); }

    const DisplayTable& Table() const { return table_; }

private:
    void ClearSortMarkers();
    DisplayTable table_;
    std::array<bool, kDisplayColumnCount> markers_{};
};

}  // namespace serwer

#pragma once
#include <QAbstractTableModel>
#include <QColor>
#include <optional>
#include <vector>

#include "vehicles/DisplayTable.hpp"

class QFontMetricsF;

namespace serwer {

// The vehicle grid's view of the DisplayTable: one row per vehicle, the DisplayTable's
// eighteen columns with the position's age after its time, their titles and display
// forms, numbers on the right, and each row coloured by how fresh its position is.
class VehicleGridModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int kAgeColumn = 2;
    static constexpr int kColumnCount = kDisplayColumnCount + 1;
    static int GridColumn(DisplayColumn column);
    // The DisplayTable column a grid column shows; nothing for the age column.
    static std::optional<DisplayColumn> ColumnAt(int gridColumn);

    // A row's colours: grey text when its position is older than 3 hours, dark red text
    // when older than 24 hours or without a position time, a light orange background
    // when its GPS status is not "OK".
    static const QColor kOlderThan3Hours;
    static const QColor kOlderThan24Hours;
    static const QColor kNoGpsFix;

    // Now on the clock of the position times: the server turns a unit's UTC fix into
    // Polish time by a fixed rule (FixTimeToLocal), whatever the machine's time zone.
    static DateTime FixClockNow();

    explicit VehicleGridModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Rebuilds the DisplayTable from the data directory's Aktualne.txt; the chosen sort
    // stays in force and the ages count from now.
    void ReloadDisplayTable(const std::string& dataDirectory);
    // The same from file content (benchmarks).
    void ReloadFromContent(const Bytes& content);

    // A click on a column title: the first click on a column sorts it ascending, each
    // further click on it turns the order. Texts sort in Polish order; the age column
    // sorts as its position times do, the youngest first when ascending.
    void TitleClick(int column);
    struct GridSort {
        int column;
        Qt::SortOrder order;
    };
    std::optional<GridSort> Sort() const { return sort_; }

    // The first row of this registration, or -1.
    int RowOf(const std::optional<std::string>& name) const;
    // The width of each column's widest text in these metrics (titles not included).
    std::vector<double> TextWidths(const QFontMetricsF& metrics) const;

    const DisplayTable& Table() const { return table_; }

private:
    template <typename Change>
    void Rebuild(Change change);
    std::string CellText(std::size_t row, int column) const;

    DisplayTable table_;
    std::optional<GridSort> sort_;
    std::vector<std::optional<std::int64_t>> ages_;  // per row, ms since the fix
};

}  // namespace serwer

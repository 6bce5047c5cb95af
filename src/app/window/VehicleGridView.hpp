#pragma once
#include <QTableView>
#include <optional>
#include <string>
#include <vector>

namespace serwer {

class VehicleGridModel;

// The vehicle grid as the dispatcher works with it: the Nazwa column stays in place
// when the grid scrolls sideways (a second view over the first column, sharing the
// model and the selection), a reload keeps the current vehicle and the scroll position,
// and the columns fit their content after every reload until the operator sizes one by
// hand. A click on a title sorts by it and shows the order in the title's marker.
class VehicleGridView : public QTableView {
    Q_OBJECT
public:
    VehicleGridView(VehicleGridModel* model, QWidget* parent);

    // Reloads the model from the data directory's Aktualne.txt. The current vehicle (by
    // NAZWA) stays current; when it is gone the first row becomes current.
    void ReloadDisplayTable(const std::string& dataDirectory);
    // The title click: sorts, keeps the current vehicle and scrolls to it.
    void TitleClick(int column);

    QTableView* FrozenView() const { return frozen_; }
    void scrollTo(const QModelIndex& index, ScrollHint hint = EnsureVisible) override;

protected:
    void updateGeometries() override;

private:
    // The current vehicle across a change of the rows.
    struct Place {
        bool valid = false;
        std::optional<std::string> name;
        int column = 0;
    };
    Place CurrentPlace() const;
    // The row of the same vehicle becomes current, the first row when it is gone.
    void RestoreCurrent(const Place& place);
    void FitColumns();
    void ShowSortMarker();
    void PlaceFrozenView();
    void ColumnResized(int column, int newSize);

    VehicleGridModel* model_;
    QTableView* frozen_;
    std::vector<bool> sizedByHand_;
    bool fitting_ = false;
    bool keepScroll_ = false;
};

}  // namespace serwer

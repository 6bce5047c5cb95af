#include "app/window/VehicleGridModel.hpp"

#include <QApplication>
#include <QStyle>

#include "app/window/UiText.hpp"

namespace serwer {

VehicleGridModel::VehicleGridModel(QObject* parent) : QAbstractTableModel(parent) {}

int VehicleGridModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(table_.Rows().size());
}

int VehicleGridModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kDisplayColumnCount;
}

QVariant VehicleGridModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const DisplayColumn column = DisplayColumnAt(index.column());
    if (role == Qt::DisplayRole)
        return UiText(DisplayText(table_.Rows()[static_cast<std::size_t>(index.row())], column));
    if (role == Qt::TextAlignmentRole) {
        switch (column) {
            case DisplayColumn::LICZNIK_ODCZYTOW:
            case DisplayColumn::PRZEBIEG:
                return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
            default:
                return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
        }
    }
    return {};
}

QVariant VehicleGridModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal) return QAbstractTableModel::headerData(section, orientation, role);
    if (section < 0 || section >= kDisplayColumnCount) return {};
    if (role == Qt::DisplayRole) return UiText(DisplayColumnTitle(DisplayColumnAt(section)));
    if (role == Qt::DecorationRole && markers_[static_cast<std::size_t>(section)])
        return QApplication::style()->standardIcon(QStyle::SP_ArrowDown);
    return {};
}

void VehicleGridModel::ReloadDisplayTable(const std::string& dataDirectory) {
    beginResetModel();
    table_.ReloadDisplayTable(dataDirectory);
    endResetModel();
}

void VehicleGridModel::ReloadFromContent(const Bytes& content) {
    beginResetModel();
    table_.ReloadFromContent(content);
    endResetModel();
}

void VehicleGridModel::ClearSortMarkers() { markers_.fill(false); }

void VehicleGridModel::TitleClick(int column) {
    if (column < 0 || column >= kDisplayColumnCount) return;
    const bool wasDown = markers_[static_cast<std::size_t>(column)];
    ClearSortMarkers();
    beginResetModel();
    table_.SortBy(DisplayColumnAt(column), wasDown);
    endResetModel();
    markers_[static_cast<std::size_t>(column)] = true;
    emit headerDataChanged(Qt::Horizontal, 0, kDisplayColumnCount - 1);
}

}  // namespace serwer

#include "app/window/VehicleGridModel.hpp"

#include <QCollator>
#include <QFontMetricsF>
#include <QLocale>
#include <algorithm>
#include <array>
#include <chrono>
#include <numeric>

#include "app/window/UiText.hpp"
#include "link/PositionRecord.hpp"

namespace serwer {

namespace {

// Places of the texts in Polish order, by sort keys so that each text is prepared once.
std::vector<std::size_t> PolishRanks(const std::vector<std::string>& texts) {
    const QCollator collator{QLocale(QLocale::Polish, QLocale::Poland)};
    std::vector<QCollatorSortKey> keys;
    keys.reserve(texts.size());
    for (const std::string& t : texts) keys.push_back(collator.sortKey(UiText(t)));
    std::vector<std::size_t> order(texts.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return keys[a].compare(keys[b]) < 0; });
    std::vector<std::size_t> ranks(texts.size());
    std::size_t rank = 0;
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (i > 0 && keys[order[i - 1]].compare(keys[order[i]]) != 0) ++rank;
        ranks[order[i]] = rank;
    }
    return ranks;
}

bool IsNumberColumn(int gridColumn) {
    const std::optional<DisplayColumn> column = VehicleGridModel::ColumnAt(gridColumn);
    if (!column) return true;  // the age
    switch (*column) {
        case DisplayColumn::PREDKOSC:
        case DisplayColumn::PALIWO:
        case DisplayColumn::LICZNIK_ODCZYTOW:
        case DisplayColumn::PRZEBIEG:
            return true;
        default:
            return false;
    }
}

}  // namespace

const QColor VehicleGridModel::kOlderThan3Hours{128, 128, 128};
const QColor VehicleGridModel::kOlderThan24Hours{176, 0, 0};
const QColor VehicleGridModel::kNoGpsFix{255, 224, 178};

int VehicleGridModel::GridColumn(DisplayColumn column) {
    const int index = static_cast<int>(column);
    return index < kAgeColumn ? index : index + 1;
}

std::optional<DisplayColumn> VehicleGridModel::ColumnAt(int gridColumn) {
    if (gridColumn == kAgeColumn) return std::nullopt;
    return DisplayColumnAt(gridColumn < kAgeColumn ? gridColumn : gridColumn - 1);
}

DateTime VehicleGridModel::FixClockNow() {
    const auto utc = std::chrono::system_clock::now().time_since_epoch();
    return FixTimeToLocal(DateTime::FromMs(std::chrono::duration_cast<std::chrono::milliseconds>(utc).count()));
}

VehicleGridModel::VehicleGridModel(QObject* parent) : QAbstractTableModel(parent) {
    table_.SetTextRanking(PolishRanks);
}

int VehicleGridModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(table_.Rows().size());
}

int VehicleGridModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumnCount; }

std::string VehicleGridModel::CellText(std::size_t row, int column) const {
    if (column != kAgeColumn) return DisplayText(table_.Rows()[row], *ColumnAt(column));
    return ages_[row] ? AgeText(*ages_[row]) : std::string();
}

QVariant VehicleGridModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= kColumnCount) return {};
    const auto row = static_cast<std::size_t>(index.row());
    switch (role) {
        case Qt::DisplayRole:
            return UiText(CellText(row, index.column()));
        case Qt::TextAlignmentRole:
            return QVariant::fromValue((IsNumberColumn(index.column()) ? Qt::AlignRight : Qt::AlignLeft) |
                                       Qt::AlignVCenter);
        case Qt::ForegroundRole:
            switch (PositionFreshness(ages_[row])) {
                case Freshness::Old:
                    return kOlderThan24Hours;
                case Freshness::Stale:
                    return kOlderThan3Hours;
                case Freshness::Fresh:
                    return {};
            }
            return {};
        case Qt::BackgroundRole:
            if (!HasGpsFix(table_.Rows()[row])) return kNoGpsFix;
            return {};
        default:
            return {};
    }
}

QVariant VehicleGridModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal) return QAbstractTableModel::headerData(section, orientation, role);
    if (section < 0 || section >= kColumnCount || role != Qt::DisplayRole) return {};
    if (section == kAgeColumn) return QStringLiteral("Wiek pozycji");
    return UiText(DisplayColumnTitle(*ColumnAt(section)));
}

template <typename Change>
void VehicleGridModel::Rebuild(Change change) {
    beginResetModel();
    change();
    const DateTime now = FixClockNow();
    ages_.clear();
    ages_.reserve(table_.Rows().size());
    for (const VehicleRow& row : table_.Rows()) ages_.push_back(PositionAgeMs(row, now));
    endResetModel();
}

void VehicleGridModel::ReloadDisplayTable(const std::string& dataDirectory) {
    Rebuild([&] { table_.ReloadDisplayTable(dataDirectory); });
}

void VehicleGridModel::ReloadFromContent(const Bytes& content) {
    Rebuild([&] { table_.ReloadFromContent(content); });
}

void VehicleGridModel::TitleClick(int column) {
    if (column < 0 || column >= kColumnCount) return;
    const bool descending = sort_ && sort_->column == column && sort_->order == Qt::AscendingOrder;
    sort_ = GridSort{column, descending ? Qt::DescendingOrder : Qt::AscendingOrder};
    // The youngest position has the latest time.
    const std::optional<DisplayColumn> shown = ColumnAt(column);
    Rebuild([&] { table_.SortBy(shown.value_or(DisplayColumn::OPIS), shown ? descending : !descending); });
    emit headerDataChanged(Qt::Horizontal, 0, kColumnCount - 1);
}

int VehicleGridModel::RowOf(const std::optional<std::string>& name) const {
    const auto& rows = table_.Rows();
    const auto found = std::find_if(rows.begin(), rows.end(), [&](const VehicleRow& r) { return r.NAZWA == name; });
    return found == rows.end() ? -1 : static_cast<int>(found - rows.begin());
}

std::vector<double> VehicleGridModel::TextWidths(const QFontMetricsF& metrics) const {
    // The sum of the characters' advances: a Windows-1250 byte is one character.
    std::array<double, 256> advance{};
    for (int b = 0; b < 256; ++b) {
        const QString c = UiText(std::string(1, static_cast<char>(b)));
        advance[static_cast<std::size_t>(b)] = c.size() == 1 ? metrics.horizontalAdvance(c[0]) : 0.0;
    }
    std::vector<double> widths(kColumnCount, 0.0);
    for (std::size_t row = 0; row < table_.Rows().size(); ++row) {
        for (int column = 0; column < kColumnCount; ++column) {
            double width = 0;
            for (const char c : CellText(row, column)) width += advance[static_cast<unsigned char>(c)];
            widths[static_cast<std::size_t>(column)] = std::max(widths[static_cast<std::size_t>(column)], width);
        }
    }
    return widths;
}

}  // namespace serwer

#include "app/window/VehicleGridView.hpp"

#include <QHeaderView>
#include <QProxyStyle>
#include <QScrollBar>
#include <QStyleOptionHeader>
#include <algorithm>
#include <cmath>

#include "app/window/VehicleGridModel.hpp"

namespace serwer {

namespace {

// The title's marker as the operators know it: pointing up when the column is sorted
// ascending, down when descending (Qt's styles draw ascending as an arrow down).
class SortMarkerStyle : public QProxyStyle {
public:
    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override {
        const auto* header = qstyleoption_cast<const QStyleOptionHeader*>(option);
        if (element != PE_IndicatorHeaderArrow || !header || header->sortIndicator == QStyleOptionHeader::None) {
            QProxyStyle::drawPrimitive(element, option, painter, widget);
            return;
        }
        QStyleOptionHeader turned(*header);
        turned.sortIndicator = header->sortIndicator == QStyleOptionHeader::SortUp ? QStyleOptionHeader::SortDown
                                                                                   : QStyleOptionHeader::SortUp;
        QProxyStyle::drawPrimitive(element, &turned, painter, widget);
    }
};

void SetUpTable(QTableView& view) {
    view.setSelectionBehavior(QAbstractItemView::SelectRows);
    view.setSelectionMode(QAbstractItemView::SingleSelection);
    view.setEditTriggers(QAbstractItemView::NoEditTriggers);
    view.setSortingEnabled(false);
    view.setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    view.horizontalHeader()->setSectionsClickable(true);
    view.horizontalHeader()->setHighlightSections(false);
    view.horizontalHeader()->setSortIndicatorShown(true);
    view.horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    view.verticalHeader()->setDefaultSectionSize(view.fontMetrics().height() + 6);
}

}  // namespace

VehicleGridView::VehicleGridView(VehicleGridModel* model, QWidget* parent)
    : QTableView(parent),
      model_(model),
      frozen_(new QTableView(this)),
      sizedByHand_(VehicleGridModel::kColumnCount, false) {
    setModel(model_);
    SetUpTable(*this);
    setHorizontalScrollMode(ScrollPerPixel);

    // The first column again, over this view's first column and in step with its rows.
    frozen_->setObjectName("DBGridEH1Nazwa");
    frozen_->setModel(model_);
    frozen_->setSelectionModel(selectionModel());
    SetUpTable(*frozen_);
    frozen_->setFocusPolicy(Qt::NoFocus);
    frozen_->setFrameShape(QFrame::NoFrame);
    frozen_->setAutoScroll(false);  // this view scrolls both
    frozen_->verticalHeader()->hide();
    frozen_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    frozen_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    for (int column = 1; column < VehicleGridModel::kColumnCount; ++column) frozen_->setColumnHidden(column, true);
    viewport()->stackUnder(frozen_);
    auto* markers = new SortMarkerStyle;
    markers->setParent(this);
    horizontalHeader()->setStyle(markers);
    frozen_->horizontalHeader()->setStyle(markers);

    connect(horizontalHeader(), &QHeaderView::sectionResized, this,
            [this](int column, int, int newSize) { ColumnResized(column, newSize); });
    connect(frozen_->horizontalHeader(), &QHeaderView::sectionResized, this, [this](int column, int, int newSize) {
        if (column == 0 && newSize != columnWidth(0)) setColumnWidth(0, newSize);
    });
    connect(verticalHeader(), &QHeaderView::sectionResized, this,
            [this](int row, int, int newSize) { frozen_->setRowHeight(row, newSize); });
    connect(verticalScrollBar(), &QScrollBar::valueChanged, frozen_->verticalScrollBar(), &QScrollBar::setValue);
    connect(frozen_->verticalScrollBar(), &QScrollBar::valueChanged, verticalScrollBar(), &QScrollBar::setValue);
    connect(frozen_->horizontalHeader(), &QHeaderView::sectionClicked, horizontalHeader(),
            &QHeaderView::sectionClicked);
    frozen_->show();
    PlaceFrozenView();
}

VehicleGridView::Place VehicleGridView::CurrentPlace() const {
    const QModelIndex current = currentIndex();
    if (!current.isValid() || current.row() >= model_->rowCount()) return {};
    return {true, model_->Table().Rows()[static_cast<std::size_t>(current.row())].NAZWA, current.column()};
}

void VehicleGridView::RestoreCurrent(const Place& place) {
    if (model_->rowCount() == 0) return;
    const int row = place.valid ? model_->RowOf(place.name) : -1;
    keepScroll_ = true;
    setCurrentIndex(row >= 0 ? model_->index(row, place.column) : model_->index(0, 0));
    keepScroll_ = false;
}

void VehicleGridView::ReloadDisplayTable(const std::string& dataDirectory) {
    const Place place = CurrentPlace();
    const int top = verticalScrollBar()->value();
    const int left = horizontalScrollBar()->value();
    model_->ReloadDisplayTable(dataDirectory);
    FitColumns();
    RestoreCurrent(place);
    // The scroll ranges of the new rows first, so that the old position is in range.
    executeDelayedItemsLayout();
    verticalScrollBar()->setValue(top);
    horizontalScrollBar()->setValue(left);
}

void VehicleGridView::TitleClick(int column) {
    const Place place = CurrentPlace();
    model_->TitleClick(column);
    ShowSortMarker();
    RestoreCurrent(place);
    if (currentIndex().isValid()) scrollTo(currentIndex());
}

void VehicleGridView::ShowSortMarker() {
    const auto sort = model_->Sort();
    for (QTableView* view : {static_cast<QTableView*>(this), frozen_})
        view->horizontalHeader()->setSortIndicator(sort ? sort->column : -1, sort ? sort->order : Qt::AscendingOrder);
}

void VehicleGridView::FitColumns() {
    const std::vector<double> widths = model_->TextWidths(QFontMetricsF(font()));
    // The item's text margins on both sides, the grid line, and a pixel for rounding.
    const int margins = 2 * (style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1) + 2;
    fitting_ = true;
    for (int column = 0; column < VehicleGridModel::kColumnCount; ++column) {
        if (sizedByHand_[static_cast<std::size_t>(column)]) continue;
        const int content = static_cast<int>(std::ceil(widths[static_cast<std::size_t>(column)])) + margins;
        setColumnWidth(column, std::max(content, horizontalHeader()->sectionSizeHint(column)));
    }
    fitting_ = false;
}

void VehicleGridView::ColumnResized(int column, int newSize) {
    if (!fitting_ && column >= 0 && column < VehicleGridModel::kColumnCount)
        sizedByHand_[static_cast<std::size_t>(column)] = true;
    if (column == 0) {
        frozen_->setColumnWidth(0, newSize);
        PlaceFrozenView();
    }
}

void VehicleGridView::scrollTo(const QModelIndex& index, ScrollHint hint) {
    if (keepScroll_) return;
    const int left = horizontalScrollBar()->value();
    QTableView::scrollTo(index, hint);
    // The first column is always in sight; any other is not hidden under it.
    if (index.column() == 0) {
        horizontalScrollBar()->setValue(left);
        return;
    }
    const int covered = columnWidth(0) - visualRect(index).left();
    if (covered > 0) horizontalScrollBar()->setValue(horizontalScrollBar()->value() - covered);
}

void VehicleGridView::updateGeometries() {
    QTableView::updateGeometries();
    PlaceFrozenView();
}

void VehicleGridView::PlaceFrozenView() {
    frozen_->horizontalHeader()->setFixedHeight(horizontalHeader()->height());
    frozen_->setGeometry(verticalHeader()->width() + frameWidth(), frameWidth(), columnWidth(0),
                         viewport()->height() + horizontalHeader()->height());
}

}  // namespace serwer

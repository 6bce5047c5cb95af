#include "app/window/AlarmPane.hpp"

#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "app/window/UiText.hpp"
#include "common/PolishTime.hpp"

namespace serwer {

namespace {

enum Column { kColumnTime, kColumnVehicle, kColumnText, kColumnCount };

// The start of an event in Polish time, as the events' texts give it: the hour alone for
// today's.
QString StartText(std::int64_t startUtc) {
    const DateTime::Parts start = PolishWallTime(startUtc).Split();
    const DateTime::Parts today = PolishWallTime(QDateTime::currentSecsSinceEpoch()).Split();
    const QString hour = QStringLiteral("%1:%2").arg(start.hour, 2, 10, QChar('0')).arg(start.minute, 2, 10, QChar('0'));
    if (start.year == today.year && start.month == today.month && start.day == today.day) return hour;
    return QStringLiteral("%1.%2 ").arg(start.day, 2, 10, QChar('0')).arg(start.month, 2, 10, QChar('0')) + hour;
}

}  // namespace

AlarmPane::AlarmPane(std::set<EventType> types, QWidget* parent) : QWidget(parent), alarms_(std::move(types)) {
    setObjectName("paAlarmy");
    lbAlarmy_ = new QLabel(this);
    lbAlarmy_->setObjectName("lbAlarmy");
    QFont bold = lbAlarmy_->font();
    bold.setBold(true);
    lbAlarmy_->setFont(bold);
    lvAlarmy_ = new QTableWidget(0, kColumnCount, this);
    lvAlarmy_->setObjectName("lvAlarmy");
    lvAlarmy_->setHorizontalHeaderLabels({QStringLiteral("Od"), QStringLiteral("Pojazd"), QStringLiteral("Zdarzenie")});
    lvAlarmy_->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvAlarmy_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lvAlarmy_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvAlarmy_->verticalHeader()->hide();
    lvAlarmy_->horizontalHeader()->setStretchLastSection(true);
    lvAlarmy_->verticalHeader()->setDefaultSectionSize(lvAlarmy_->fontMetrics().lineSpacing() + 4);
    lvAlarmy_->setFixedHeight(lvAlarmy_->fontMetrics().lineSpacing() * 6 + 10);  // as high as "Zdarzenia"
    btPotwierdz_ = new QPushButton(QString::fromUtf8("Potwierdź"), this);
    btPotwierdz_->setObjectName("btPotwierdz");
    btPotwierdz_->setEnabled(false);

    auto* header = new QHBoxLayout;
    header->addWidget(lbAlarmy_);
    header->addStretch();
    header->addWidget(btPotwierdz_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(header);
    layout->addWidget(lvAlarmy_);

    connect(btPotwierdz_, &QPushButton::clicked, this, &AlarmPane::AcknowledgeSelected);
    connect(lvAlarmy_, &QTableWidget::itemSelectionChanged, this,
            [this] { btPotwierdz_->setEnabled(!lvAlarmy_->selectedItems().isEmpty()); });
    Show();
}

void AlarmPane::Add(const std::vector<Event>& events) {
    bool changed = false;
    for (const Event& e : events) changed = alarms_.Add(e) || changed;
    if (changed) Show();
}

void AlarmPane::AcknowledgeSelected() {
    std::vector<std::uint64_t> ids;
    for (const QModelIndex& row : lvAlarmy_->selectionModel()->selectedRows())
        ids.push_back(lvAlarmy_->item(row.row(), kColumnTime)->data(Qt::UserRole).toULongLong());
    for (std::uint64_t id : ids) alarms_.Acknowledge(id);
    Show();
}

void AlarmPane::Show() {
    const auto& pending = alarms_.Pending();
    const int count = static_cast<int>(pending.size());
    lbAlarmy_->setText(QStringLiteral("Alarmy (%1)").arg(count));
    QPalette p = lbAlarmy_->palette();
    p.setColor(QPalette::WindowText, count > 0 ? Qt::red : palette().color(QPalette::WindowText));
    lbAlarmy_->setPalette(p);
    // The selection goes by id, so that rows added above keep it where it was.
    std::set<std::uint64_t> selected;
    for (const QModelIndex& row : lvAlarmy_->selectionModel()->selectedRows())
        selected.insert(lvAlarmy_->item(row.row(), kColumnTime)->data(Qt::UserRole).toULongLong());
    lvAlarmy_->clearSelection();
    lvAlarmy_->setRowCount(count);
    for (int row = 0; row < count; ++row) {
        const Event& e = pending[static_cast<std::size_t>(count - 1 - row)];  // newest first
        auto* time = new QTableWidgetItem(StartText(e.startUtc));
        time->setData(Qt::UserRole, QVariant::fromValue<qulonglong>(e.id));
        lvAlarmy_->setItem(row, kColumnTime, time);
        lvAlarmy_->setItem(row, kColumnVehicle, new QTableWidgetItem(UiText(e.registration)));
        lvAlarmy_->setItem(row, kColumnText, new QTableWidgetItem(UiText(e.text)));
        if (selected.count(e.id))
            lvAlarmy_->selectionModel()->select(lvAlarmy_->model()->index(row, 0),
                                                QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    lvAlarmy_->resizeColumnToContents(kColumnTime);
    lvAlarmy_->resizeColumnToContents(kColumnVehicle);
    btPotwierdz_->setEnabled(!lvAlarmy_->selectedItems().isEmpty());
}

}  // namespace serwer

#include "app/window/HistoryDialog.hpp"

#include <QAbstractTableModel>
#include <QDateEdit>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSaveFile>
#include <QSplitter>
#include <QTableView>
#include <QTableWidget>
#include <QVBoxLayout>
#include <cmath>
#include <iterator>

#include "app/window/UiText.hpp"
#include "app/window/VehicleGridModel.hpp"
#include "common/DateTime.hpp"
#include "common/PolishTime.hpp"
#include "history/DaySummary.hpp"
#include "history/HistoryStore.hpp"
#include "link/PositionRecord.hpp"
#include "report/ReportPreviewDialog.hpp"
#include "vehicles/DisplayTable.hpp"

namespace serwer {

namespace {

const char* const kPositionTitles[] = {"Czas",   "Szerokość", "Długość",  "Prędkość", "GPS",
                                       "Silnik", "Paliwo",    "Kierowca", "Przebieg"};
const char* const kDayTitles[] = {"Dzień", "Pozycji", "Km", "Pierwsza", "Ostatnia", "Maks. km/h", "W ruchu", "Postój"};
enum PositionColumn { kCzas, kSzerokosc, kDlugosc, kPredkosc, kGps, kSilnik, kPaliwo, kKierowca, kPrzebieg };

DateTime LocalTimeOf(std::int64_t utcSeconds) { return PolishWallTime(utcSeconds); }

// A fix time always with its time of day: "08-12-2026 00:00:00", not the date alone.
QString LocalDateTimeText(std::int64_t utcSeconds) {
    const DateTime::Parts p = LocalTimeOf(utcSeconds).Split();
    return QString::asprintf("%02d-%02d-%04d %02d:%02d:%02d", p.day, p.month, p.year, p.hour, p.minute, p.second);
}

QString LocalTimeText(std::int64_t utcSeconds) {
    const DateTime::Parts p = LocalTimeOf(utcSeconds).Split();
    return QString::asprintf("%02d:%02d:%02d", p.hour, p.minute, p.second);
}

QString Fixed(double value, int decimals, char decimalSeparator) {
    QString text = QString::number(value, 'f', decimals);
    return text.replace('.', QChar::fromLatin1(decimalSeparator));
}

// As the grid shows a coordinate: seven decimals and the hemisphere's letter.
QString CoordinateText(std::optional<double> degrees, char positive, char negative, char decimalSeparator) {
    if (!degrees) return {};
    return Fixed(std::fabs(*degrees), 7, decimalSeparator) + QChar::fromLatin1(*degrees < 0 ? negative : positive);
}

// "2:05": hours and minutes.
QString DurationText(std::int64_t seconds) {
    const std::int64_t minutes = seconds / 60;
    return QString::asprintf("%lld:%02lld", static_cast<long long>(minutes / 60), static_cast<long long>(minutes % 60));
}

DateTime LocalMidnight(QDate day) { return DateTime::FromParts({day.year(), day.month(), day.day(), 0, 0, 0, 0}); }

QString DayText(QDate day) { return day.toString(QStringLiteral("yyyy-MM-dd")); }

// A registration in a file name: what no file name may hold becomes "_".
QString FileNameSafe(const QString& text) {
    QString safe = text;
    for (QChar& c : safe)
        if (c < QChar(0x20) || QStringLiteral("/\\:*?\"<>|").contains(c)) c = QChar('_');
    return safe;
}

QString FormatName(ExportFormat format) {
    switch (format) {
        case ExportFormat::Gpx:
            return QStringLiteral("GPX");
        case ExportFormat::Kml:
            return QStringLiteral("KML");
        case ExportFormat::GeoJson:
            return QStringLiteral("GeoJSON");
        case ExportFormat::Csv:
            return QStringLiteral("CSV");
    }
    return {};
}

void SetUpList(QTableView& view) {
    view.setSelectionBehavior(QAbstractItemView::SelectRows);
    view.setSelectionMode(QAbstractItemView::SingleSelection);
    view.setEditTriggers(QAbstractItemView::NoEditTriggers);
    view.verticalHeader()->hide();
    view.verticalHeader()->setDefaultSectionSize(view.fontMetrics().height() + 6);
    view.horizontalHeader()->setHighlightSections(false);
}

}  // namespace

// The positions as the dialog lists them, one row per record; rows without a GPS fix
// have the grid's background for them.
class HistoryPositionsModel : public QAbstractTableModel {
public:
    HistoryPositionsModel(const std::vector<HistoryRecord>& rows, char decimalSeparator, QObject* parent)
        : QAbstractTableModel(parent), rows_(rows), decimalSeparator_(decimalSeparator) {}

    // Called around every change of the rows.
    void BeginReset() { beginResetModel(); }
    void EndReset() { endResetModel(); }

    int rowCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : static_cast<int>(rows_.size());
    }
    int columnCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : static_cast<int>(std::size(kPositionTitles));
    }

    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid() || index.row() >= rowCount()) return {};
        const HistoryRecord& r = rows_[static_cast<std::size_t>(index.row())];
        switch (role) {
            case Qt::DisplayRole:
                return Text(r, index.column());
            case Qt::TextAlignmentRole:
                if (index.column() == kSzerokosc || index.column() == kDlugosc || index.column() == kPredkosc ||
                    index.column() == kPrzebieg)
                    return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
                return {};
            case Qt::BackgroundRole:
                if (r.gps != "OK") return VehicleGridModel::kNoGpsFix;
                return {};
            default:
                return {};
        }
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < columnCount())
            return QString::fromUtf8(kPositionTitles[section]);
        return QAbstractTableModel::headerData(section, orientation, role);
    }

private:
    QString Text(const HistoryRecord& r, int column) const {
        switch (column) {
            case kCzas:
                return r.fixTimeUtc ? LocalDateTimeText(*r.fixTimeUtc) : QString();
            case kSzerokosc:
                return CoordinateText(r.latitude, 'N', 'S', decimalSeparator_);
            case kDlugosc:
                return CoordinateText(r.longitude, 'E', 'W', decimalSeparator_);
            case kPredkosc:
                return r.speedKmh ? UiText(FormatSpeed(*r.speedKmh, decimalSeparator_)) : QString();
            case kGps:
                return UiText(r.gps);
            case kSilnik:
                return QString::fromUtf8(r.engineOn ? "ZAŁ" : "WYŁ");
            case kPaliwo:
                return UiText(r.fuel);
            case kKierowca:
                return UiText(r.driver);
            case kPrzebieg:
                return r.odometerKm ? UiText(FormatMileage(static_cast<std::int32_t>(*r.odometerKm))) : QString();
            default:
                return {};
        }
    }

    const std::vector<HistoryRecord>& rows_;
    char decimalSeparator_;
};

HistoryDialog::HistoryDialog(HistoryStore& store, std::string registration, QWidget* parent, char decimalSeparator)
    : QDialog(parent), store_(store), registration_(std::move(registration)), decimalSeparator_(decimalSeparator) {
    setObjectName("frmHistoria");
    setWindowTitle(QStringLiteral("Historia pojazdu %1").arg(UiText(registration_)));
    setSizeGripEnabled(true);

    const DateTime::Parts now = VehicleGridModel::FixClockNow().Split();
    const QDate today(now.year, now.month, now.day);
    auto dateEdit = [this, today](const char* name) {
        auto* edit = new QDateEdit(today, this);
        edit->setObjectName(name);
        edit->setDisplayFormat(QStringLiteral("dd-MM-yyyy"));
        edit->setCalendarPopup(true);
        return edit;
    };
    edOd_ = dateEdit("edOd");
    edDo_ = dateEdit("edDo");
    auto* lbOd = new QLabel(QStringLiteral("Od"), this);
    lbOd->setBuddy(edOd_);
    auto* lbDo = new QLabel(QStringLiteral("Do"), this);
    lbDo->setBuddy(edDo_);
    btPokaz_ = new QPushButton(QString::fromUtf8("Pokaż"), this);
    btPokaz_->setObjectName("btPokaz");
    btPokaz_->setDefault(true);  // Enter in a date field shows the range
    lbStan_ = new QLabel(this);
    lbStan_->setObjectName("lbStan");
    lbStan_->setWordWrap(true);

    auto* range = new QHBoxLayout;
    range->addWidget(lbOd);
    range->addWidget(edOd_);
    range->addSpacing(10);
    range->addWidget(lbDo);
    range->addWidget(edDo_);
    range->addWidget(btPokaz_);
    range->addSpacing(20);
    range->addWidget(lbStan_, 1);

    positions_ = new HistoryPositionsModel(rows_, decimalSeparator_, this);
    tbPozycje_ = new QTableView(this);
    tbPozycje_->setObjectName("tbPozycje");
    tbPozycje_->setModel(positions_);
    SetUpList(*tbPozycje_);

    tbDni_ = new QTableWidget(0, static_cast<int>(std::size(kDayTitles)), this);
    tbDni_->setObjectName("tbDni");
    QStringList dayTitles;
    for (const char* title : kDayTitles) dayTitles << QString::fromUtf8(title);
    tbDni_->setHorizontalHeaderLabels(dayTitles);
    SetUpList(*tbDni_);

    auto* positionsPane = new QWidget(this);
    auto* positionsLayout = new QVBoxLayout(positionsPane);
    positionsLayout->setContentsMargins(0, 0, 0, 0);
    positionsLayout->addWidget(new QLabel(QStringLiteral("Pozycje"), positionsPane));
    positionsLayout->addWidget(tbPozycje_);
    auto* daysPane = new QWidget(this);
    auto* daysLayout = new QVBoxLayout(daysPane);
    daysLayout->setContentsMargins(0, 0, 0, 0);
    daysLayout->addWidget(new QLabel(QStringLiteral("Podsumowanie dni"), daysPane));
    daysLayout->addWidget(tbDni_);
    auto* splitter = new QSplitter(Qt::Vertical, this);
    splitter->setChildrenCollapsible(false);
    splitter->addWidget(positionsPane);
    splitter->addWidget(daysPane);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 1);

    btMapa_ = new QPushButton(QString::fromUtf8("Pokaż na mapie"), this);
    btMapa_->setObjectName("btMapa");
    btMapa_->setAutoDefault(false);
    btMapa_->setToolTip(QStringLiteral("Wybrana pozycja na mapie OpenStreetMap w przeglądarce"));
    auto* actions = new QHBoxLayout;
    actions->addWidget(btMapa_);
    actions->addStretch();
    actions->addWidget(new QLabel(QString::fromUtf8("Zapisz pokazane pozycje:"), this));
    for (ExportFormat format : {ExportFormat::Gpx, ExportFormat::Kml, ExportFormat::GeoJson, ExportFormat::Csv}) {
        auto* button = new QPushButton(FormatName(format), this);
        button->setObjectName(QStringLiteral("bt") + FormatName(format));
        button->setAutoDefault(false);
        connect(button, &QPushButton::clicked, this, [this, format] { Export(format); });
        actions->addWidget(button);
        exportButtons_.push_back(button);
    }
    actions->addSpacing(20);
    auto* btZamknij = new QPushButton(QStringLiteral("Zamknij"), this);
    btZamknij->setObjectName("btZamknij");
    btZamknij->setAutoDefault(false);
    actions->addWidget(btZamknij);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(range);
    layout->addWidget(splitter, 1);
    layout->addLayout(actions);

    connect(edOd_, &QDateEdit::dateChanged, this, [this] { DateChanged(edOd_); });
    connect(edDo_, &QDateEdit::dateChanged, this, [this] { DateChanged(edDo_); });
    connect(btPokaz_, &QPushButton::clicked, this, &HistoryDialog::ShowHistory);
    connect(tbPozycje_->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            &HistoryDialog::UpdateMapButton);
    connect(btMapa_, &QPushButton::clicked, this, &HistoryDialog::ShowOnMap);
    connect(btZamknij, &QPushButton::clicked, this, &QDialog::reject);

    resize(1100, 700);
    ShowHistory();
}

HistoryDialog::~HistoryDialog() = default;

void HistoryDialog::DateChanged(QDateEdit* changed) {
    // The other end follows, so that the range is never empty.
    QDateEdit* other = changed == edOd_ ? edDo_ : edOd_;
    const bool turned = changed == edOd_ ? edOd_->date() > edDo_->date() : edDo_->date() < edOd_->date();
    if (turned) {
        const QSignalBlocker quiet(other);
        other->setDate(changed->date());
    }
    ShowHistory();
}

void HistoryDialog::ShowHistory() {
    const QDate from = edOd_->date();
    const QDate to = edDo_->date();
    HistoryQuery query;
    query.registration = registration_;
    query.fromUtc = UtcSecondOfPolish(LocalMidnight(from));
    query.toUtc = UtcSecondOfPolish(LocalMidnight(to.addDays(1)));

    std::vector<HistoryRecord> found;
    QString failure;
    try {
        found = store_.Query(query);
    } catch (const std::exception& e) {
        failure = UiMessage(e.what());
    }
    positions_->BeginReset();
    rows_ = std::move(found);
    positions_->EndReset();
    shownFrom_ = from;
    shownTo_ = to;
    tbPozycje_->resizeColumnsToContents();
    ShowSummaries();
    UpdateMapButton();
    for (QPushButton* button : exportButtons_) button->setEnabled(!rows_.empty());

    if (!failure.isEmpty())
        ShowState(QString::fromUtf8("Nie można odczytać historii pojazdu: %1").arg(failure), true);
    else if (rows_.empty())
        ShowState(QString::fromUtf8("Brak zapisanych pozycji w wybranych dniach."), false);
    else
        ShowState(QString::fromUtf8("Pozycji: %1").arg(rows_.size()), false);
}

void HistoryDialog::ShowSummaries() {
    std::vector<DaySummary> days;
    try {
        days = SummarizeDays(rows_);
    } catch (const std::exception&) {
        // The positions stay listed without their days.
    }
    tbDni_->setRowCount(static_cast<int>(days.size()));
    for (std::size_t i = 0; i < days.size(); ++i) {
        const DaySummary& d = days[i];
        const QString cells[] = {
            UiText(FormatDateTimeText(d.day.Date())),
            QString::number(d.positions),
            Fixed(d.distanceKm, 1, decimalSeparator_),
            d.first.fixTimeUtc ? LocalTimeText(*d.first.fixTimeUtc) : QString(),
            d.last.fixTimeUtc ? LocalTimeText(*d.last.fixTimeUtc) : QString(),
            Fixed(d.maxSpeedKmh, 1, decimalSeparator_),
            DurationText(d.movingSeconds),
            DurationText(d.standingSeconds),
        };
        for (int column = 0; column < static_cast<int>(std::size(cells)); ++column) {
            auto* item = new QTableWidgetItem(cells[column]);
            if (column > 0) item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            tbDni_->setItem(static_cast<int>(i), column, item);
        }
    }
    tbDni_->resizeColumnsToContents();
}

void HistoryDialog::ShowState(const QString& text, bool failure) {
    lbStan_->setText(text);
    QPalette p = lbStan_->palette();
    p.setColor(QPalette::WindowText, failure ? QColor(Qt::red) : palette().color(QPalette::WindowText));
    lbStan_->setPalette(p);
}

void HistoryDialog::UpdateMapButton() {
    const QModelIndex current = tbPozycje_->currentIndex();
    bool located = false;
    if (current.isValid() && current.row() < static_cast<int>(rows_.size())) {
        const HistoryRecord& r = rows_[static_cast<std::size_t>(current.row())];
        located = r.HasCoordinates();
    }
    btMapa_->setEnabled(located);
}

QUrl HistoryDialog::MapUrl(double latitude, double longitude) {
    const QString lat = QString::number(latitude, 'f', 6);
    const QString lon = QString::number(longitude, 'f', 6);
    return QUrl(QStringLiteral("https://www.openstreetmap.org/?mlat=%1&mlon=%2#map=16/%1/%2").arg(lat, lon));
}

void HistoryDialog::ShowOnMap() {
    const QModelIndex current = tbPozycje_->currentIndex();
    if (!current.isValid() || current.row() >= static_cast<int>(rows_.size())) return;
    const HistoryRecord& r = rows_[static_cast<std::size_t>(current.row())];
    if (!r.HasCoordinates()) return;
    if (!QDesktopServices::openUrl(MapUrl(*r.latitude, *r.longitude)))
        QMessageBox::warning(this, windowTitle(), QString::fromUtf8("Nie można otworzyć przeglądarki z mapą."));
}

QString HistoryDialog::ExportFileName(ExportFormat format) const {
    QString days = DayText(shownFrom_);
    if (shownTo_ != shownFrom_) days += QStringLiteral(" - ") + DayText(shownTo_);
    return QStringLiteral("Historia %1 %2.%3")
        .arg(FileNameSafe(UiText(registration_)), days, QString::fromStdString(ExportFileExtension(format)));
}

bool HistoryDialog::ExportTo(ExportFormat format, const QString& path) {
    const QString title = QStringLiteral("Eksport %1").arg(FormatName(format));
    const QString shownPath = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    QString failure;
    try {
        const std::string document = ExportTrack(rows_, format);
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly) ||
            file.write(document.data(), static_cast<qint64>(document.size())) != static_cast<qint64>(document.size()) ||
            !file.commit())
            failure = file.errorString();
    } catch (const std::exception& e) {
        failure = UiMessage(e.what());
    }
    if (failure.isEmpty()) {
        QMessageBox::information(this, title, QString::fromUtf8("Historię zapisano w pliku %1").arg(shownPath));
        return true;
    }
    QMessageBox::critical(
        this, title,
        QString::fromUtf8("Nie można zapisać historii do pliku %1\nPrzyczyna: %2").arg(shownPath, failure));
    return false;
}

void HistoryDialog::Export(ExportFormat format) {
    ExportTo(format, QDir(ReportPreviewDialog::PdfFolder()).filePath(ExportFileName(format)));
}

}  // namespace serwer

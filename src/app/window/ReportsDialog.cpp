#include "app/window/ReportsDialog.hpp"

#include <QAbstractTableModel>
#include <QCheckBox>
#include <QComboBox>
#include <QDate>
#include <QDateEdit>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "app/window/UiText.hpp"
#include "common/DateTime.hpp"
#include "common/DurableFile.hpp"
#include "common/PolishTime.hpp"
#include "history/HistoryStore.hpp"
#include "report/RaportZbiorczy.hpp"
#include "report/ReportPreviewDialog.hpp"
#include "reports/ReportFormats.hpp"
#include "reports/XlsxReport.hpp"

namespace serwer {

namespace {

constexpr ReportKind kKinds[] = {ReportKind::Trasy, ReportKind::Postoje, ReportKind::Podsumowanie,
                                 ReportKind::Kierowcy};

bool Summarizes(ReportKind kind) { return kind == ReportKind::Podsumowanie || kind == ReportKind::Kierowcy; }

std::int64_t PolishMidnightUtc(QDate day) {
    return UtcSecondOfPolish(DateTime::FromParts({day.year(), day.month(), day.day(), 0, 0, 0, 0}));
}

QDate PolishDayOf(std::int64_t utc) {
    const DateTime::Parts p = PolishWallTime(utc).Split();
    return QDate(p.year, p.month, p.day);
}

// The wait cursor while the report is made, whatever way its making ends.
class WaitCursor {
public:
    WaitCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QGuiApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

// Why a file could not be written, in the operator's words where the cause is common.
QString WriteFailure(const DurableWriteResult& result) {
    switch (result.error) {
        case EACCES:
        case EPERM:
            return QString::fromUtf8("brak uprawnień do zapisu w tym miejscu");
        case ENOENT:
        case ENOTDIR:
            return QString::fromUtf8("folder nie istnieje");
        case ENOSPC:
            return QString::fromUtf8("brak miejsca na dysku");
        case EROFS:
            return QString::fromUtf8("dysk jest tylko do odczytu");
        default:
            return QString::fromStdString(std::system_category().message(result.error));
    }
}

// A long heading on two lines, broken at the blank nearest its middle.
QString TwoLineHeading(QString title) {
    if (title.size() <= 14) return title;
    qsizetype best = -1;
    for (qsizetype i = title.indexOf(' '); i >= 0; i = title.indexOf(' ', i + 1))
        if (best < 0 || std::abs(i - title.size() / 2) < std::abs(best - title.size() / 2)) best = i;
    if (best >= 0) title[best] = QChar('\n');
    return title;
}

}  // namespace

// The report shown, as the window lists it: its cells as people read them, numbers to
// the right, the columns' titles as headings.
class ReportTableModel : public QAbstractTableModel {
public:
    ReportTableModel(char decimalSeparator, QObject* parent)
        : QAbstractTableModel(parent), decimalSeparator_(decimalSeparator) {}

    // The table must stay as it is while shown; none: nothing.
    void Show(const ReportTable* table) {
        beginResetModel();
        table_ = table;
        texts_.clear();
        if (table_) {
            texts_.reserve(table_->rows.size() * table_->columns.size());
            for (const auto& row : table_->rows)
                for (std::size_t c = 0; c < table_->columns.size(); ++c)
                    texts_.push_back(c < row.size() ? QString::fromStdString(CellText(table_->columns[c], row[c],
                                                                                      decimalSeparator_))
                                                    : QString());
        }
        endResetModel();
    }

    int rowCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() || !table_ ? 0 : static_cast<int>(table_->rows.size());
    }
    int columnCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() || !table_ ? 0 : static_cast<int>(table_->columns.size());
    }

    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid() || index.row() >= rowCount() || index.column() >= columnCount()) return {};
        const auto column = static_cast<std::size_t>(index.column());
        switch (role) {
            case Qt::DisplayRole:
                return texts_[static_cast<std::size_t>(index.row()) * table_->columns.size() + column];
            case Qt::TextAlignmentRole: {
                const CellKind kind = table_->columns[column].kind;
                if (kind == CellKind::Number || kind == CellKind::Integer || kind == CellKind::Duration)
                    return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
                return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
            }
            default:
                return {};
        }
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        if (orientation == Qt::Horizontal && section >= 0 && section < columnCount()) {
            const QString title = UiText(table_->columns[static_cast<std::size_t>(section)].title);
            if (role == Qt::DisplayRole) return TwoLineHeading(title);
            if (role == Qt::ToolTipRole) return title;
        }
        return QAbstractTableModel::headerData(section, orientation, role);
    }

private:
    char decimalSeparator_;
    const ReportTable* table_ = nullptr;
    std::vector<QString> texts_;  // row by row
};

ReportsDialog::ReportsDialog(HistoryStore& store, std::vector<std::string> registrations, ReportContext context,
                             ZoneSet zones, QWidget* parent, char decimalSeparator)
    : QDialog(parent),
      store_(store),
      context_(std::move(context)),
      zones_(std::move(zones)),
      decimalSeparator_(decimalSeparator) {
    context_.zones = zones_.Size() > 0 ? &zones_ : nullptr;
    setObjectName("frmRaporty");
    setWindowTitle(QStringLiteral("Raporty"));
    setSizeGripEnabled(true);
    setWindowFlag(Qt::WindowMaximizeButtonHint);  // the summaries have many columns

    cbRodzaj_ = new QComboBox(this);
    cbRodzaj_->setObjectName("cbRodzaj");
    for (ReportKind kind : kKinds) cbRodzaj_->addItem(UiText(ReportTitle(kind)), static_cast<int>(kind));

    const QDate today = PolishDayOf(QDateTime::currentSecsSinceEpoch());
    auto dateEdit = [this, today](const char* name) {
        auto* edit = new QDateEdit(today, this);
        edit->setObjectName(name);
        edit->setDisplayFormat(QStringLiteral("dd-MM-yyyy"));
        edit->setCalendarPopup(true);
        return edit;
    };
    edOd_ = dateEdit("edOd");
    edDo_ = dateEdit("edDo");
    cbPoDniach_ = new QCheckBox(QStringLiteral("Po dniach"), this);
    cbPoDniach_->setObjectName("cbPoDniach");
    cbPoDniach_->setToolTip(QString::fromUtf8("Podsumowanie z osobnym wierszem dla każdego dnia"));

    lsPojazdy_ = new QListWidget(this);
    lsPojazdy_->setObjectName("lsPojazdy");
    auto addVehicle = [this](const QString& text, const std::string& registration, bool checked) {
        auto* item = new QListWidgetItem(text, lsPojazdy_);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
        item->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
        item->setData(Qt::UserRole, QByteArray::fromStdString(registration));
    };
    addVehicle(QStringLiteral("Wszystkie pojazdy"), {}, true);
    std::sort(registrations.begin(), registrations.end());
    registrations.erase(std::unique(registrations.begin(), registrations.end()), registrations.end());
    for (const std::string& registration : registrations)
        if (!registration.empty()) addVehicle(UiText(registration), registration, false);

    btPokaz_ = new QPushButton(QString::fromUtf8("Pokaż"), this);
    btPokaz_->setObjectName("btPokaz");
    btPokaz_->setDefault(true);

    auto* choices = new QFormLayout;
    choices->addRow(QStringLiteral("Raport"), cbRodzaj_);
    choices->addRow(QStringLiteral("Od"), edOd_);
    choices->addRow(QStringLiteral("Do"), edDo_);
    auto* left = new QVBoxLayout;
    left->addLayout(choices);
    left->addWidget(cbPoDniach_);
    auto* lbPojazdy = new QLabel(QStringLiteral("Pojazdy"), this);
    lbPojazdy->setBuddy(lsPojazdy_);
    left->addWidget(lbPojazdy);
    left->addWidget(lsPojazdy_, 1);
    left->addWidget(btPokaz_);
    auto* leftPane = new QWidget(this);
    leftPane->setLayout(left);
    leftPane->setFixedWidth(230);
    left->setContentsMargins(0, 0, 0, 0);

    lbStan_ = new QLabel(QString::fromUtf8("Wybierz raport, dni i pojazdy, a potem naciśnij „Pokaż”."), this);
    lbStan_->setObjectName("lbStan");
    lbStan_->setWordWrap(true);
    model_ = new ReportTableModel(decimalSeparator_, this);
    tbRaport_ = new QTableView(this);
    tbRaport_->setObjectName("tbRaport");
    tbRaport_->setModel(model_);
    tbRaport_->setSelectionBehavior(QAbstractItemView::SelectRows);
    tbRaport_->setSelectionMode(QAbstractItemView::SingleSelection);
    tbRaport_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tbRaport_->setAlternatingRowColors(true);
    tbRaport_->verticalHeader()->hide();
    tbRaport_->verticalHeader()->setDefaultSectionSize(tbRaport_->fontMetrics().height() + 6);
    tbRaport_->horizontalHeader()->setHighlightSections(false);
    auto* right = new QVBoxLayout;
    right->addWidget(lbStan_);
    right->addWidget(tbRaport_, 1);

    auto* body = new QHBoxLayout;
    body->addWidget(leftPane);
    body->addLayout(right, 1);

    auto* actions = new QHBoxLayout;
    const std::pair<const char*, const char*> outputs[] = {{"btPodglad", "Podgląd wydruku"},
                                                           {"btDrukuj", "Drukuj"},
                                                           {"btPdf", "Eksport do PDF"},
                                                           {"btXlsx", "Eksport do XLSX"}};
    for (const auto& [name, text] : outputs) {
        auto* button = new QPushButton(QString::fromUtf8(text), this);
        button->setObjectName(name);
        button->setAutoDefault(false);
        button->setEnabled(false);
        actions->addWidget(button);
        outputButtons_.push_back(button);
    }
    actions->addStretch();
    auto* btZamknij = new QPushButton(QStringLiteral("Zamknij"), this);
    btZamknij->setObjectName("btZamknij");
    btZamknij->setAutoDefault(false);
    actions->addWidget(btZamknij);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(body, 1);
    layout->addLayout(actions);

    connect(cbRodzaj_, &QComboBox::currentIndexChanged, this, &ReportsDialog::KindChanged);
    connect(edOd_, &QDateEdit::dateChanged, this, [this] { DateChanged(edOd_); });
    connect(edDo_, &QDateEdit::dateChanged, this, [this] { DateChanged(edDo_); });
    connect(lsPojazdy_, &QListWidget::itemChanged, this, &ReportsDialog::VehicleChecked);
    connect(btPokaz_, &QPushButton::clicked, this, &ReportsDialog::ShowReport);
    connect(outputButtons_[0], &QPushButton::clicked, this, &ReportsDialog::Preview);
    connect(outputButtons_[1], &QPushButton::clicked, this, &ReportsDialog::Print);
    connect(outputButtons_[2], &QPushButton::clicked, this, [this] { Export(QStringLiteral("pdf")); });
    connect(outputButtons_[3], &QPushButton::clicked, this, [this] { Export(QStringLiteral("xlsx")); });
    connect(btZamknij, &QPushButton::clicked, this, &QDialog::reject);

    KindChanged();
    resize(1200, 700);
}

ReportsDialog::~ReportsDialog() = default;

void ReportsDialog::KindChanged() {
    cbPoDniach_->setEnabled(Summarizes(static_cast<ReportKind>(cbRodzaj_->currentData().toInt())));
}

void ReportsDialog::DateChanged(QDateEdit* changed) {
    // The other end follows, so that the span is never empty.
    QDateEdit* other = changed == edOd_ ? edDo_ : edOd_;
    if (changed == edOd_ ? edOd_->date() > edDo_->date() : edDo_->date() < edOd_->date()) {
        const QSignalBlocker quiet(other);
        other->setDate(changed->date());
    }
}

void ReportsDialog::VehicleChecked(QListWidgetItem* item) {
    if (checking_) return;
    const QScopedValueRollback guard(checking_, true);
    QListWidgetItem* all = lsPojazdy_->item(0);
    if (item == all) {
        // "Wszystkie pojazdy" clears the choice, and stays while nothing else is chosen.
        if (all->checkState() == Qt::Unchecked) {
            all->setCheckState(Qt::Checked);
            return;
        }
        for (int i = 1; i < lsPojazdy_->count(); ++i) lsPojazdy_->item(i)->setCheckState(Qt::Unchecked);
        return;
    }
    bool any = false;
    for (int i = 1; i < lsPojazdy_->count(); ++i) any = any || lsPojazdy_->item(i)->checkState() == Qt::Checked;
    all->setCheckState(any ? Qt::Unchecked : Qt::Checked);
}

ReportRequest ReportsDialog::Request() const {
    ReportRequest request;
    request.kind = static_cast<ReportKind>(cbRodzaj_->currentData().toInt());
    if (lsPojazdy_->item(0)->checkState() != Qt::Checked)
        for (int i = 1; i < lsPojazdy_->count(); ++i)
            if (lsPojazdy_->item(i)->checkState() == Qt::Checked)
                request.registrations.push_back(lsPojazdy_->item(i)->data(Qt::UserRole).toByteArray().toStdString());
    request.fromUtc = PolishMidnightUtc(edOd_->date());
    request.toUtc = PolishMidnightUtc(edDo_->date().addDays(1));
    request.perDay = Summarizes(request.kind) && cbPoDniach_->isChecked();
    return request;
}

bool ReportsDialog::ShowReport() {
    const ReportRequest request = Request();
    std::optional<ReportTable> made;
    QString failure;
    {
        const WaitCursor wait;
        try {
            made = MakeReport(store_, request, context_);
        } catch (const std::exception& e) {
            failure = UiMessage(e.what());
        }
        model_->Show(nullptr);
        printout_.reset();
        shown_ = std::move(made);
        model_->Show(Shown());
        tbRaport_->resizeColumnsToContents();
    }
    for (QPushButton* button : outputButtons_) button->setEnabled(shown_.has_value());
    if (!shown_) {
        ShowState(QString::fromUtf8("Nie można odczytać historii: %1").arg(failure), true);
        QMessageBox::critical(this, windowTitle(),
                              QString::fromUtf8("Nie można przygotować raportu, bo nie można odczytać historii "
                                                "pozycji.\nPrzyczyna: %1")
                                  .arg(failure));
        return false;
    }
    if (shown_->rows.empty())
        ShowState(QString::fromUtf8("Brak danych w wybranym okresie."), false);
    else
        ShowState(QString::fromUtf8("Wierszy: %1").arg(shown_->rows.size()), false);
    return true;
}

const ReportTablePrintout* ReportsDialog::Printout() {
    if (!printout_ && shown_) printout_.emplace(*shown_, decimalSeparator_);
    return printout_ ? &*printout_ : nullptr;
}

void ReportsDialog::ShowState(const QString& text, bool failure) {
    lbStan_->setText(text);
    QPalette p = lbStan_->palette();
    p.setColor(QPalette::WindowText, failure ? QColor(Qt::red) : palette().color(QPalette::WindowText));
    lbStan_->setPalette(p);
}

QString ReportsDialog::ExportFileName(const QString& extension) const {
    if (!shown_) return {};
    const QString from = PolishDayOf(shown_->fromUtc).toString(QStringLiteral("yyyy-MM-dd"));
    const QString to =
        PolishDayOf(std::max(shown_->fromUtc, shown_->toUtc - 1)).toString(QStringLiteral("yyyy-MM-dd"));
    return QStringLiteral("%1-%2.%3")
        .arg(QString::fromLatin1(ReportKindName(shown_->kind)), from == to ? from : from + '-' + to, extension);
}

void ReportsDialog::Told(bool written, const QString& title, const QString& path, const QString& failure) {
    const QString shownPath = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    if (written)
        QMessageBox::information(this, title, QString::fromUtf8("Raport zapisano w pliku %1").arg(shownPath));
    else
        QMessageBox::critical(
            this, title,
            QString::fromUtf8("Nie można zapisać raportu do pliku %1\nPrzyczyna: %2").arg(shownPath, failure));
}

bool ReportsDialog::ExportPdfTo(const QString& path) {
    const ReportTablePrintout* printout = Printout();
    if (!printout) return false;
    QString failure;
    bool written = false;
    {
        const WaitCursor wait;
        written = printout->ExportPdf(path, &failure);
    }
    Told(written, QStringLiteral("Eksport do PDF"), path, failure);
    return written;
}

bool ReportsDialog::ExportXlsxTo(const QString& path) {
    if (!shown_) return false;
    QString failure;
    {
        const WaitCursor wait;
        try {
            const std::string workbook = ReportXlsx(*shown_);
            const DurableWriteResult result =
                WriteDurableFile(QFile::encodeName(path).toStdString(), workbook, Placement::Replace);
            if (!result.placed) failure = WriteFailure(result);
        } catch (const std::exception& e) {
            failure = UiMessage(e.what());
        }
    }
    Told(failure.isEmpty(), QStringLiteral("Eksport do XLSX"), path, failure);
    return failure.isEmpty();
}

void ReportsDialog::Export(const QString& extension) {
    if (!shown_) return;
    const bool pdf = extension == QLatin1String("pdf");
    const QString title = pdf ? QStringLiteral("Eksport do PDF") : QStringLiteral("Eksport do XLSX");
    QString path = QFileDialog::getSaveFileName(
        this, title, QDir(ReportPreviewDialog::PdfFolder()).filePath(ExportFileName(extension)),
        pdf ? QStringLiteral("Dokument PDF (*.pdf)") : QStringLiteral("Skoroszyt Excel (*.xlsx)"));
    if (path.isEmpty()) return;
    if (!path.endsWith('.' + extension, Qt::CaseInsensitive)) path += '.' + extension;
    if (pdf)
        ExportPdfTo(path);
    else
        ExportXlsxTo(path);
}

void ReportsDialog::Preview() {
    if (const ReportTablePrintout* printout = Printout()) PreviewPrintout(*printout, this);
}

void ReportsDialog::Print() {
    const ReportTablePrintout* printout = Printout();
    if (!printout) return;
    QPrinter printer(QPrinter::HighResolution);
    printer.setPageLayout(RaportZbiorczy::PageLayout());
    printer.setDocName(printout->Title());
    QPrintDialog dialog(&printer, this);
    dialog.setWindowTitle(QStringLiteral("Drukuj raport"));
    if (dialog.exec() != QDialog::Accepted) return;
    bool printed = false;
    {
        const WaitCursor wait;
        printed = printout->Paint(printer);
    }
    if (!printed)
        QMessageBox::critical(this, windowTitle(),
                              QString::fromUtf8("Nie można wydrukować raportu na drukarce %1.")
                                  .arg(printer.printerName()));
}

}  // namespace serwer

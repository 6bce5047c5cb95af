#include "app/window/TfrmMain.hpp"

#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QStringList>
#include <QTableView>
#include <QTime>
#include <QTimer>
#include <QVBoxLayout>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "app/ServerSetupFromSettings.hpp"
#include "app/window/AlarmPane.hpp"
#include "app/Settings.hpp"
#include "app/window/HistoryDialog.hpp"
#include "app/window/ReportsDialog.hpp"
#include "app/window/TfrmOdpytajJeden.hpp"
#include "app/window/TfrmOdpytajWszystkie.hpp"
#include "app/window/UiText.hpp"
#include "app/window/VehicleFileWatch.hpp"
#include "app/window/VehicleGridModel.hpp"
#include "app/window/VehicleGridView.hpp"
#include "common/ServerError.hpp"
#include "download/ArchiveWriter.hpp"
#include "events/Zones.hpp"
#include "history/OpenHistoryStore.hpp"
#include "report/RaportZbiorczy.hpp"
#include "vehicles/ReadSchedule.hpp"

namespace serwer {

namespace {

const char* const kVersion = "2.5";
constexpr int kTimer1Interval = 60000;
constexpr int kReadHourColumns = 6;
constexpr int kReadHourCount = 24;
constexpr int kEventLines = 500;

QString Caption() { return QStringLiteral("Serwer pozycjonowania"); }

// The port typed in the field: a whole number from 1 to 65535, blanks around it allowed.
std::optional<std::uint16_t> PortOfField(const QString& text) {
    const QString t = text.trimmed();
    if (t.isEmpty() || t.size() > 5) return std::nullopt;
    for (QChar c : t)
        if (c < '0' || c > '9') return std::nullopt;
    const int port = t.toInt();
    if (port < 1 || port > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(port);
}

// The fleet map page of the [Www] service: its address (127.0.0.1 when it listens on
// every address) and port; empty when it has no port.
QUrl MapPageUrl(const WebSettings& www) {
    const std::optional<std::uint16_t> port = PortOfField(UiText(www.port));
    if (!port) return {};
    QString host = UiText(www.address).trimmed();
    if (host.isEmpty() || host == QLatin1String("0.0.0.0") || host == QLatin1String("::")) host = "127.0.0.1";
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(host);
    url.setPort(*port);
    url.setPath(QStringLiteral("/"));
    return url;
}

QString EraseConfirmationText() {
    return QString::fromUtf8(
        "Uruchomienie serwera odczytów GPRS spowoduje odczyt danych z aut oraz ich skasowanie\n"
        "w samochodach ! Odczytane dane z samochodów należy zabezpieczyć w celu dalszego przetworzenia.\n"
        "W przeciwnym przypadku dane zostaną stracone !!\n"
        "Czy kontynuować ?");
}

QString CloseConfirmationText() { return QString::fromUtf8("Czy napewno zamkąć program ?"); }

QLabel* ColouredBold(const QString& text, Qt::GlobalColor colour, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, colour);
    label->setPalette(p);
    return label;
}

}  // namespace

// What the connection threads show: handed to the window's thread as queued calls,
// never waited for (the stop waits for those threads on a thread of its own).
class TfrmMain::WindowStatus : public StatusDisplay {
public:
    explicit WindowStatus(TfrmMain* window) : window_(window) {}

    void ShowPacketCount(std::int32_t count) override {
        Post([count](TfrmMain& w) { w.lbIlosc_->setText(QString::number(count)); });
    }
    void ShowOpenConnections(int count) override {
        Post([count](TfrmMain& w) { w.lbWontki_->setText(QString::number(count)); });
    }
    void ShowPlannedRead(const std::string& text) override {
        Post([text](TfrmMain& w) { w.lbPlanOdczytu_->setText(UiText(text)); });
    }
    // Events come from every connection thread, thousands a second in a burst: they
    // are gathered and handed to the window's thread in one piece, not one call each.
    void ShowEvent(const std::string& text) override {
        const QString line = QTime::currentTime().toString(QStringLiteral("hh:mm:ss  ")) + UiText(text);
        {
            std::lock_guard<std::mutex> lock(eventsMutex_);
            pendingEvents_.append(line);
            if (pendingEvents_.size() > 1) return;  // a hand-over is already on its way
        }
        Post([this](TfrmMain& w) {
            QStringList lines;
            {
                std::lock_guard<std::mutex> lock(eventsMutex_);
                lines.swap(pendingEvents_);
            }
            // Only the newest fit in the pane anyway.
            if (lines.size() > kEventLines) lines = lines.mid(lines.size() - kEventLines);
            w.edZdarzenia_->appendPlainText(lines.join('\n'));
        });
    }
    // Alarms are gathered the same way.
    void ShowVehicleEvent(const Event& event) override {
        {
            std::lock_guard<std::mutex> lock(eventsMutex_);
            pendingAlarms_.push_back(event);
            if (pendingAlarms_.size() > 1) return;
        }
        Post([this](TfrmMain& w) {
            std::vector<Event> events;
            {
                std::lock_guard<std::mutex> lock(eventsMutex_);
                events.swap(pendingAlarms_);
            }
            if (w.paAlarmy_) w.paAlarmy_->Add(events);
        });
    }
    void ReportArchiveFailure(const std::string& text) override {
        Post([text](TfrmMain& w) {
            // Not modal: the operator's other work goes on while the box is open.
            auto* box = new QMessageBox(QMessageBox::Critical, Caption(), UiMessage(text), QMessageBox::Ok, &w);
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->setModal(false);
            box->show();
        });
    }

private:
    template <typename F>
    void Post(F work) {
        TfrmMain* w = window_;
        QMetaObject::invokeMethod(
            w, [w, work] { work(*w); }, Qt::QueuedConnection);
    }
    TfrmMain* window_;
    std::mutex eventsMutex_;
    QStringList pendingEvents_;
    std::vector<Event> pendingAlarms_;
};

TfrmMain::TfrmMain(Options options) : options_(std::move(options)), cleanup_(".") {
    setObjectName("frmMain");
    setWindowTitle(Caption());
    BuildControls();

    // The settings, in the order the profile is read.
    const Settings settings = ReadSettings(IniFile::Load(options_.settingsPath), options_.firstArgument);
    mapUrl_ = MapPageUrl(settings.www);
    serviceMode_ = settings.serviceMode;
    if (!serviceMode_) {
        cbKasuj_->setChecked(true);
        cbKasuj_->setEnabled(false);
    } else {
        cbKasuj_->setChecked(settings.erase);
    }
    autoStart_ = settings.autoStart;
    cbOdbieraj_->setChecked(settings.readsEnabled);
    SelectReadHourIndex(settings.readHourIndex);
    edPort_->setText(UiText(settings.port));
    dataDirectory_ = settings.dataDirectory;
    database_ = settings.database;
    reportSettings_ = settings.reports;
    eventSettings_ = std::make_shared<const EventSettings>(settings.events);
    if (settings.events.enabled) {
        paAlarmy_ = new AlarmPane(settings.events.alarms, centralWidget());
        eventsRow_->addWidget(paAlarmy_, 1);
        for (const std::string& name : settings.events.unknownAlarmNames)
            edZdarzenia_->appendPlainText(QString::fromUtf8("Nieznany typ zdarzenia w Alarmy: ") + UiText(name));
    }
    EnsureDataDirectory(dataDirectory_);
    cleanup_ = OldFileCleanup(dataDirectory_);

    status_ = std::make_unique<WindowStatus>(this);
    ServerSetup setup = ServerSetupFromSettings(settings, options_.decimalSeparator);
    setup.timings = options_.timings;
    setup.eraseEnabled = cbKasuj_->isChecked();
    setup.readsEnabled = cbOdbieraj_->isChecked();
    setup.readHourIndex = rgGodzinaButtons_->checkedId();
    setup.display = status_.get();
    server_ = std::make_unique<PositioningServer>(setup);
    web_ = WebServiceFromSettings(*server_, settings);
    // Without a history kept there is nothing to look back at.
    btHistoria_->setEnabled(server_->History() != nullptr);
    btRaporty_->setEnabled(server_->History() != nullptr);
    HandlerContext& context = server_->Context();

    // The switches take effect at once where the handler reads them.
    connect(cbKasuj_, &QCheckBox::toggled, this, [&context](bool on) { context.eraseEnabled = on; });
    connect(cbOdbieraj_, &QCheckBox::toggled, this, [&context](bool on) { context.readsEnabled = on; });
    connect(rgGodzinaButtons_, &QButtonGroup::idToggled, this,
            [this, &context](int, bool) { context.readHourIndex = rgGodzinaButtons_->checkedId(); });

    // A first start without Aktualne.txt leaves the grid empty until the file appears.
    try {
        server_->LoadVehicleTable();
        ReloadDisplayTable();
    } catch (const std::exception&) {
    }
    // Besides Timer1, the grid follows every save of the file within about a second.
    vehicleFileWatch_ = new VehicleFileWatch(dataDirectory_, this);
    connect(vehicleFileWatch_, &VehicleFileWatch::Changed, this, &TfrmMain::ReloadDisplayTable);

    frmOdpytajJeden_ = new TfrmOdpytajJeden(this, server_->Table(), dataDirectory_);
    frmOdpytajWszystkie_ = new TfrmOdpytajWszystkie(this, server_->Table(), dataDirectory_);
}

TfrmMain::~TfrmMain() {
    // Every connection thread ends before the window's parts they use go away.
    if (stopper_.joinable()) stopper_.join();
    server_->Stop();
}

void TfrmMain::BuildControls() {
    auto* central = new QWidget(this);
    setCentralWidget(central);

    gbUstawienia_ = new QGroupBox(QStringLiteral("Ustawienia"), central);
    edPort_ = new QLineEdit(gbUstawienia_);
    edPort_->setObjectName("edPort");
    edPort_->setMaximumWidth(90);
    auto* lbPort = new QLabel(QStringLiteral("Port"), gbUstawienia_);
    lbPort->setBuddy(edPort_);
    btStart_ = new QPushButton(QStringLiteral("Start"), gbUstawienia_);
    btStart_->setObjectName("btStart");
    btStop_ = new QPushButton(QStringLiteral("Stop"), gbUstawienia_);
    btStop_->setObjectName("btStop");
    cbKasuj_ = new QCheckBox(QStringLiteral("Kasuj dane po odebraniu"), gbUstawienia_);
    cbKasuj_->setObjectName("cbKasuj");
    cbOdbieraj_ = new QCheckBox(QStringLiteral("Odbieraj dane"), gbUstawienia_);
    cbOdbieraj_->setObjectName("cbOdbieraj");

    rgGodzina_ = new QGroupBox(QStringLiteral("Godzina odbierania danych"), gbUstawienia_);
    rgGodzina_->setObjectName("rgGodzina");
    rgGodzinaButtons_ = new QButtonGroup(rgGodzina_);
    auto* hours = new QGridLayout(rgGodzina_);
    const int rows = (kReadHourCount + kReadHourColumns - 1) / kReadHourColumns;
    for (int i = 0; i < kReadHourCount; ++i) {
        const QString text = i < 23 ? QString::number(i + 1) : QStringLiteral("00");
        auto* item = new QRadioButton(text, rgGodzina_);
        item->setObjectName(QStringLiteral("rgGodzina_%1").arg(i));
        rgGodzinaButtons_->addButton(item, i);
        // Items run down each column, then on to the next column.
        hours->addWidget(item, i % rows, i / rows);
    }

    auto* settingsLayout = new QGridLayout(gbUstawienia_);
    settingsLayout->addWidget(lbPort, 0, 0);
    settingsLayout->addWidget(edPort_, 0, 1);
    settingsLayout->addWidget(btStart_, 0, 2);
    settingsLayout->addWidget(btStop_, 0, 3);
    settingsLayout->addWidget(cbKasuj_, 1, 0, 1, 4);
    settingsLayout->addWidget(cbOdbieraj_, 2, 0, 1, 4);
    settingsLayout->addWidget(rgGodzina_, 0, 4, 3, 1);

    lbIlosc_ = new QLabel(QStringLiteral("0"), central);
    lbIlosc_->setObjectName("lbIlosc");
    lbWontki_ = new QLabel(QStringLiteral("0"), central);
    lbWontki_->setObjectName("lbWontki");
    lbPlanOdczytu_ = new QLabel(QString(), central);
    lbPlanOdczytu_->setObjectName("lbPlanOdczytu");
    lbZegar_ = new QLabel(central);
    lbZegar_->setObjectName("lbZegar");
    QFont clockFont = lbZegar_->font();
    clockFont.setPointSize(28);
    clockFont.setBold(true);
    lbZegar_->setFont(clockFont);
    lbZegar_->setText(QTime::currentTime().toString(QStringLiteral("hh:mm:ss")));

    auto* counters = new QGridLayout;
    counters->addWidget(new QLabel(QString::fromUtf8("Odebranych pakietów : "), central), 0, 0);
    counters->addWidget(lbIlosc_, 0, 1);
    counters->addWidget(new QLabel(QString::fromUtf8("Otwartych wątków"), central), 1, 0);
    counters->addWidget(lbWontki_, 1, 1);
    counters->addWidget(new QLabel(QStringLiteral("Planowany odczyt :"), central), 2, 0);
    counters->addWidget(lbPlanOdczytu_, 2, 1);
    counters->setColumnStretch(1, 1);

    btOdczytajTeraz_ = new QPushButton(QStringLiteral("Odczytaj wszystkie auta teraz"), central);
    btOdczytajTeraz_->setObjectName("btOdczytajTeraz");
    btOdczytajWybrane_ = new QPushButton(QStringLiteral("Odczytaj wybrane auto teraz"), central);
    btOdczytajWybrane_->setObjectName("btOdczytajWybrane");
    btHistoria_ = new QPushButton(QStringLiteral("Historia"), central);
    btHistoria_->setObjectName("btHistoria");
    btHistoria_->setToolTip(QString::fromUtf8("Zapisane pozycje wybranego pojazdu"));
    auto* readNow = new QVBoxLayout;
    readNow->addWidget(btOdczytajTeraz_);
    readNow->addWidget(btOdczytajWybrane_);
    readNow->addWidget(btHistoria_);
    btRaporty_ = new QPushButton(QStringLiteral("Raporty"), central);
    btRaporty_->setObjectName("btRaporty");
    btRaporty_->setToolTip(QString::fromUtf8("Trasy, postoje i podsumowania floty z zapisanej historii"));
    readNow->addWidget(btRaporty_);
    btMapa_ = new QPushButton(QStringLiteral("Mapa"), central);
    btMapa_->setObjectName("btMapaFloty");
    btMapa_->setToolTip(QString::fromUtf8("Mapa floty w przeglądarce"));
    readNow->addWidget(btMapa_);

    auto* top = new QHBoxLayout;
    top->addWidget(gbUstawienia_);
    top->addLayout(counters, 1);
    top->addLayout(readNow);
    top->addWidget(lbZegar_);

    gridModel_ = new VehicleGridModel(this);
    DBGridEH1_ = new VehicleGridView(gridModel_, central);
    DBGridEH1_->setObjectName("DBGridEH1");

    lbNieaktywny_ = ColouredBold(QStringLiteral("Serwer nieaktywny"), Qt::red, central);
    lbNieaktywny_->setObjectName("lbNieaktywny");
    lbAktywny_ = ColouredBold(QStringLiteral("Serwer aktywny"), Qt::darkGreen, central);
    lbAktywny_->setObjectName("lbAktywny");
    lbAktywny_->setVisible(false);
    lbWersja_ = new QLabel(QStringLiteral("?"), central);
    lbWersja_->setObjectName("lbWersja");
    lbSerwisowa_ = ColouredBold(QString(), Qt::red, central);
    lbSerwisowa_->setObjectName("lbSerwisowa");
    btRaport_ = new QPushButton(QStringLiteral("Raport zbiorczy"), central);
    btRaport_->setObjectName("btRaport");
    btZakoncz_ = new QPushButton(QString::fromUtf8("Zakończ pracę"), central);
    btZakoncz_->setObjectName("btZakoncz");

    auto* bottom = new QHBoxLayout;
    bottom->addWidget(lbNieaktywny_);
    bottom->addWidget(lbAktywny_);
    lbNasluch_ = new QLabel(central);
    lbNasluch_->setObjectName("lbNasluch");
    lbNasluch_->setVisible(false);
    bottom->addWidget(lbNasluch_);
    lbZamykanie_ = new QLabel(central);
    lbZamykanie_->setObjectName("lbZamykanie");
    lbZamykanie_->setVisible(false);
    bottom->addWidget(lbZamykanie_);
    bottom->addSpacing(20);
    bottom->addWidget(new QLabel(QStringLiteral("Wersja : "), central));
    bottom->addWidget(lbWersja_);
    bottom->addSpacing(20);
    bottom->addWidget(lbSerwisowa_);
    bottom->addStretch();
    bottom->addWidget(btRaport_);
    bottom->addWidget(btZakoncz_);

    // The last events, newest at the bottom: what the server did, without its logs.
    edZdarzenia_ = new QPlainTextEdit(central);
    edZdarzenia_->setObjectName("edZdarzenia");
    edZdarzenia_->setReadOnly(true);
    edZdarzenia_->setMaximumBlockCount(kEventLines);
    edZdarzenia_->setFixedHeight(edZdarzenia_->fontMetrics().lineSpacing() * 6 + 10);
    auto* lbZdarzenia = new QLabel(QStringLiteral("Zdarzenia"), central);
    lbZdarzenia->setBuddy(edZdarzenia_);
    auto* eventsColumn = new QVBoxLayout;
    eventsColumn->addWidget(lbZdarzenia);
    eventsColumn->addWidget(edZdarzenia_);
    eventsRow_ = new QHBoxLayout;
    eventsRow_->addLayout(eventsColumn, 2);

    auto* layout = new QVBoxLayout(central);
    layout->addLayout(top);
    layout->addWidget(DBGridEH1_, 1);
    layout->addLayout(eventsRow_);
    layout->addLayout(bottom);

    Timer1_ = new QTimer(this);
    Timer1_->setObjectName("Timer1");
    Timer1_->setInterval(kTimer1Interval);
    connect(Timer1_, &QTimer::timeout, this, &TfrmMain::Timer1Timer);
    Timer1_->start();
    clockTimer_ = new QTimer(this);
    clockTimer_->setInterval(1000);
    connect(clockTimer_, &QTimer::timeout, this,
            [this] { lbZegar_->setText(QTime::currentTime().toString(QStringLiteral("hh:mm:ss"))); });
    clockTimer_->start();

    connect(btStart_, &QPushButton::clicked, this, &TfrmMain::StartServer);
    connect(btStop_, &QPushButton::clicked, this, &TfrmMain::StopServer);
    stopTimer_ = new QTimer(this);
    stopTimer_->setInterval(100);
    connect(stopTimer_, &QTimer::timeout, this, &TfrmMain::ShowStopProgress);
    connect(btOdczytajTeraz_, &QPushButton::clicked, this, &TfrmMain::btOdczytajTerazClick);
    connect(btOdczytajWybrane_, &QPushButton::clicked, this, &TfrmMain::btOdczytajWybraneClick);
    connect(btRaport_, &QPushButton::clicked, this, &TfrmMain::btRaportClick);
    connect(btHistoria_, &QPushButton::clicked, this, &TfrmMain::btHistoriaClick);
    connect(btRaporty_, &QPushButton::clicked, this, &TfrmMain::btRaportyClick);
    connect(btMapa_, &QPushButton::clicked, this, &TfrmMain::btMapaClick);
    for (QTableView* view : {static_cast<QTableView*>(DBGridEH1_), DBGridEH1_->FrozenView()})
        connect(view, &QTableView::doubleClicked, this, [this](const QModelIndex& index) { OpenHistory(index.row()); });
    connect(btZakoncz_, &QPushButton::clicked, this, &TfrmMain::btZakonczClick);
    connect(DBGridEH1_->horizontalHeader(), &QHeaderView::sectionClicked, this, &TfrmMain::DBGridEH1TitleClick);

    resize(1200, 700);
}

void TfrmMain::SelectReadHourIndex(int index) {
    if (index >= 0 && index < kReadHourCount) {
        rgGodzinaButtons_->button(index)->setChecked(true);
        return;
    }
    // No hour selected: an exclusive group cannot uncheck its last item on its own.
    rgGodzinaButtons_->setExclusive(false);
    for (QAbstractButton* b : rgGodzinaButtons_->buttons()) b->setChecked(false);
    rgGodzinaButtons_->setExclusive(true);
}

void TfrmMain::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (shown_) return;
    shown_ = true;
    // After the window is on screen, so the message boxes of FormShow have a parent
    // that can be seen.
    QMetaObject::invokeMethod(this, &TfrmMain::FormShow, Qt::QueuedConnection);
}

void TfrmMain::FormShow() {
    lbWersja_->setText(QString::fromLatin1(kVersion));
    if (serviceMode_) lbSerwisowa_->setText(QStringLiteral("Tryb serwisowy !"));
    if (!ArchiveWriterUsable()) {
        QMessageBox::critical(this, Caption(), UiMessage(kArchiveWriterMissingMessage));
        if (close()) return;
    }
    if (autoStart_) StartServer();
    try {
        cleanup_.CleanOldFiles(DateTime::Now());
    } catch (const std::exception&) {
    }
    try {
        server_->PruneHistory(DateTime::Now(), PositioningServer::PruneOn::OwnThread);
    } catch (const std::exception&) {
    }
}

void TfrmMain::StartServer() {
    const std::optional<std::uint16_t> port = PortOfField(edPort_->text());
    if (!port) {
        ShowError(
            QString::fromUtf8("Nieprawidłowy numer portu „%1”: podaj liczbę od 1 do 65535.").arg(edPort_->text()));
        return;
    }
    // A port that cannot be had never stops the server that runs.
    if (server_->IsActive() && *port != server_->Port() && !ConnectionServer::CanListenOn(*port)) {
        ShowError(QString::fromUtf8("Port %1 jest zajęty; serwer nadal nasłuchuje na porcie %2.")
                      .arg(*port)
                      .arg(server_->Port()));
        return;
    }
    if (!autoStart_) {
        if (cbKasuj_->isChecked() &&
            QMessageBox::question(this, Caption(), EraseConfirmationText(), QMessageBox::Yes | QMessageBox::No,
                                  QMessageBox::No) != QMessageBox::Yes)
            return;
        if (server_->IsActive() || Stopping()) {
            // A restart: it listens again once the old connections are closed.
            startAfterStop_ = true;
            StopServer();
            return;
        }
    }
    StartListening();
}

void TfrmMain::StartListening() {
    try {
        server_->Start(Cp1250(edPort_->text().trimmed().toStdString()));
    } catch (const std::exception& e) {
        ShowError(UiMessage(e.what()));
        return;
    }
    server_->Context().packetCounter = 1;
    if (web_ && !web_->IsActive())
        if (const auto why = StartWebService(*web_)) ShowError(UiMessage(*why));
    ShowRunning(true);
    cbKasuj_->setEnabled(false);
    btOdczytajTeraz_->setEnabled(false);
    rgGodzina_->setEnabled(false);
    ShowPlannedRead();
}

void TfrmMain::StopServer() {
    if (Stopping()) return;
    if (web_) web_->Stop();
    ShowRunning(false);
    btOdczytajTeraz_->setEnabled(true);
    rgGodzina_->setEnabled(true);
    if (serviceMode_) cbKasuj_->setEnabled(true);
    if (!server_->IsActive() && server_->OpenConnectionCount() == 0) return;
    // Each handler still ends with its closing wait, up to 10 s: not on this thread.
    stopped_ = false;
    btStart_->setEnabled(false);
    btStop_->setEnabled(false);
    stopper_ = std::thread([this] {
        server_->Stop();
        stopped_ = true;
    });
    ShowStopProgress();
    stopTimer_->start();
}

void TfrmMain::ShowStopProgress() {
    if (!stopped_) {
        lbZamykanie_->setText(
            QString::fromUtf8("Zamykanie połączeń, otwartych: %1").arg(server_->OpenConnectionCount()));
        lbZamykanie_->setVisible(true);
        return;
    }
    stopTimer_->stop();
    stopper_.join();
    lbZamykanie_->setVisible(false);
    btStart_->setEnabled(true);
    btStop_->setEnabled(true);
    if (closeAfterStop_) {
        close();
    } else if (startAfterStop_) {
        startAfterStop_ = false;
        StartListening();
    }
}

void TfrmMain::ShowRunning(bool running) {
    lbNieaktywny_->setVisible(!running);
    lbAktywny_->setVisible(running);
    lbNasluch_->setText(running ? QString::fromUtf8("na porcie %1").arg(server_->Port()) : QString());
    lbNasluch_->setVisible(running);
}

void TfrmMain::ShowPlannedRead() {
    lbPlanOdczytu_->setText(
        UiText(serwer::ShowPlannedRead(ReadHourOfIndex(rgGodzinaButtons_->checkedId()), DateTime::Now())));
}

void TfrmMain::ReloadDisplayTable() { DBGridEH1_->ReloadDisplayTable(dataDirectory_); }

void TfrmMain::Timer1Timer() {
    try {
        cleanup_.CleanOldFiles(DateTime::Now());
    } catch (const std::exception&) {
    }
    try {
        server_->PruneHistory(DateTime::Now(), PositioningServer::PruneOn::OwnThread);
    } catch (const std::exception&) {
    }
    ReloadDisplayTable();
}

void TfrmMain::DBGridEH1TitleClick(int column) { DBGridEH1_->TitleClick(column); }

void TfrmMain::btOdczytajTerazClick() {
    frmOdpytajWszystkie_->ShowReadsOffWarning(!cbOdbieraj_->isChecked());
    frmOdpytajWszystkie_->exec();
    ReloadDisplayTable();
}

void TfrmMain::btOdczytajWybraneClick() {
    std::string name, lastRead;
    const QModelIndex current = DBGridEH1_->currentIndex();
    if (current.isValid() && current.row() < gridModel_->rowCount()) {
        const VehicleRow& row = gridModel_->Table().Rows()[static_cast<std::size_t>(current.row())];
        name = row.NAZWA.value_or("");
        lastRead = DisplayText(row, DisplayColumn::ODCZYT);
    }
    if (name.empty()) {
        QMessageBox::information(this, Caption(), QString::fromUtf8("Najpierw wybierz w tabeli pojazd do odczytu."));
        return;
    }
    frmOdpytajJeden_->FormShow(name, lastRead);
    frmOdpytajJeden_->ShowReadsOffWarning(!cbOdbieraj_->isChecked());
    frmOdpytajJeden_->exec();
    ReloadDisplayTable();
}

void TfrmMain::btRaportClick() {
    // A new report from the display copy as it stands, every time.
    const RaportZbiorczy report(gridModel_->Table().Rows(), DateTime::Now());
    ShowReportPreview(this, report);
}

void TfrmMain::btHistoriaClick() {
    const QModelIndex current = DBGridEH1_->currentIndex();
    OpenHistory(current.isValid() ? current.row() : -1);
}

void TfrmMain::OpenHistory(int gridRow) {
    std::string name;
    if (gridRow >= 0 && gridRow < gridModel_->rowCount())
        name = gridModel_->Table().Rows()[static_cast<std::size_t>(gridRow)].NAZWA.value_or("");
    if (name.empty()) {
        QMessageBox::information(
            this, Caption(), QString::fromUtf8("Najpierw wybierz w tabeli pojazd, którego historię chcesz zobaczyć."));
        return;
    }
    // A store of its own for reading, open as long as the dialog is (the server writes
    // through another).
    std::unique_ptr<HistoryStore> store;
    try {
        store = OpenHistoryForReading(dataDirectory_, database_);
    } catch (const std::exception& e) {
        ShowError(QString::fromUtf8("Nie można otworzyć historii pozycji: %1").arg(UiMessage(e.what())));
        return;
    }
    HistoryDialog dialog(*store, name, this, options_.decimalSeparator);
    dialog.exec();
}

void TfrmMain::btRaportyClick() {
    std::unique_ptr<HistoryStore> store;
    try {
        store = OpenHistoryForReading(dataDirectory_, database_);
    } catch (const std::exception& e) {
        ShowError(QString::fromUtf8("Nie można otworzyć historii pozycji: %1").arg(UiMessage(e.what())));
        return;
    }
    std::vector<std::string> names;
    for (const VehicleRow& row : gridModel_->Table().Rows())
        if (row.NAZWA && !row.NAZWA->empty()) names.push_back(*row.NAZWA);
    ReportContext context;
    context.settings = reportSettings_;
    context.tankLitres = [events = eventSettings_](const std::string& registration) {
        return events->For(registration).tankLitres;
    };
    std::string zonesFailure;
    ZoneSet zones = ReadZoneFile(dataDirectory_, &zonesFailure);
    if (!zonesFailure.empty())
        edZdarzenia_->appendPlainText(QString::fromUtf8("Strefy pominięte w raportach (miejsca jako współrzędne): ") +
                                      UiText(zonesFailure));
    ReportsDialog dialog(*store, std::move(names), std::move(context), std::move(zones), this,
                         options_.decimalSeparator);
    dialog.exec();
}

void TfrmMain::btMapaClick() {
    if (mapUrl_.isEmpty()) {
        QMessageBox::information(this, Caption(),
                                 QString::fromUtf8("Mapa w przeglądarce jest wyłączona: ustaw Port w sekcji [Www] "
                                                   "pliku serwer.ini i uruchom program ponownie."));
        return;
    }
    if (!QDesktopServices::openUrl(mapUrl_))
        ShowError(QString::fromUtf8("Nie można otworzyć przeglądarki z adresem %1").arg(mapUrl_.toString()));
}

void TfrmMain::btZakonczClick() {
    // close() asks first; nothing is stopped when the operator answers No.
    close();
}

void TfrmMain::closeEvent(QCloseEvent* event) {
    if (!closeAfterStop_) {
        if (QMessageBox::question(this, Caption(), CloseConfirmationText(), QMessageBox::Yes | QMessageBox::No,
                                  QMessageBox::No) != QMessageBox::Yes) {
            event->ignore();
            return;
        }
        FormClose();
    }
    if (server_->IsActive() || Stopping()) {
        // The window closes once the last connection is closed; it stays usable meanwhile.
        closeAfterStop_ = true;
        StopServer();
        event->ignore();
        return;
    }
    event->accept();
}

void TfrmMain::FormClose() {
    SettingsAtClose settings;
    settings.readsEnabled = cbOdbieraj_->isChecked();
    settings.erase = cbKasuj_->isChecked();
    settings.readHourIndex = rgGodzinaButtons_->checkedId();
    settings.port = Cp1250(edPort_->text().toStdString());
    try {
        WriteSettingsAtClose(options_.settingsPath, settings);
    } catch (const std::exception& e) {
        ShowError(UiMessage(e.what()));
    }
}

void TfrmMain::ShowError(const QString& text) { QMessageBox::critical(this, Caption(), text); }

}  // namespace serwer

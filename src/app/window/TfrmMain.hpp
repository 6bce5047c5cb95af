#pragma once
#include <QMainWindow>
#include <QUrl>
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "events/EventSettings.hpp"
#include "logs/OldFileCleanup.hpp"
#include "reports/ReportSettings.hpp"
#include "server/PositioningServer.hpp"
#include "web/WebService.hpp"

class QButtonGroup;
class QCheckBox;
class QGroupBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTableView;
class QTimer;

namespace serwer {

class AlarmPane;
class VehicleFileWatch;
class VehicleGridModel;
class VehicleGridView;
class TfrmOdpytajJeden;
class TfrmOdpytajWszystkie;

// The operator window "Serwer pozycjonowania": starts and stops the server, holds the
// settings while the program runs (port, erase and read switches, read hour), shows the
// status labels and the vehicle grid, forces reads, opens the summary report, the
// selected vehicle's history and the reports of the history.
class TfrmMain : public QMainWindow {
    Q_OBJECT
public:
    struct Options {
        std::string settingsPath;   // serwer.ini, read at creation, written at close
        std::string firstArgument;  // "sv" service mode, "start" auto-start
        char decimalSeparator = '.';
        HandlerTimings timings;  // the handler's waits (shortened by tests)
    };

    // FormCreate: reads the settings, prepares the data directory and loads the tables.
    // Fails with ServerError "Nie można było utworzyc katalogu dla danych : ..." when
    // the data directory cannot be created; nothing is written then.
    explicit TfrmMain(Options options);
    ~TfrmMain() override;

    void StartServer();
    // Stops accepting at once; the open connections are closed on a thread of their
    // own while the window shows how many are left, so the window never waits for them.
    void StopServer();
    // True while connections of a stopped server are still being closed.
    bool Stopping() const { return stopper_.joinable(); }
    // The grid again from Aktualne.txt (Timer1, a change of the file, the read-now
    // dialogs), keeping the current vehicle, the scroll position and the sort.
    void ReloadDisplayTable();
    // Timer1: the old-file clean-up, then the display reload.
    void Timer1Timer();
    // The planned read for the label after "Planowany odczyt :", on the window's thread.
    void ShowPlannedRead();

    bool ServerActive() const { return !Stopping() && server_->IsActive(); }
    std::uint16_t ServerPort() const { return server_->Port(); }
    HandlerContext& Context() { return server_->Context(); }
    VehicleGridModel& Grid() { return *gridModel_; }
    TfrmOdpytajJeden& ReadOneDialog() { return *frmOdpytajJeden_; }
    TfrmOdpytajWszystkie& ReadAllDialog() { return *frmOdpytajWszystkie_; }
    AlarmPane& Alarms() { return *paAlarmy_; }

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    class WindowStatus;
    void BuildControls();
    void FormShow();
    void FormClose();
    void btOdczytajTerazClick();
    void btOdczytajWybraneClick();
    void btRaportClick();
    // "Historia" and a double-click on a grid row: the history of that row's vehicle.
    void btHistoriaClick();
    void OpenHistory(int gridRow);
    // "Raporty": trips, stops and summaries of the history, of the grid's vehicles.
    void btRaportyClick();
    // "Mapa": the fleet map page of the server's [Www] service in the default browser.
    void btMapaClick();
    void btZakonczClick();
    void DBGridEH1TitleClick(int column);
    void SelectReadHourIndex(int index);
    void ShowRunning(bool running);
    void StartListening();
    // Called every moment while the connections close; ends the stop once they are.
    void ShowStopProgress();
    void ShowError(const QString& text);

    Options options_;
    bool serviceMode_ = false;
    bool autoStart_ = false;
    bool shown_ = false;
    std::string dataDirectory_;
    std::string database_;  // [Historia] Baza: the history in PostgreSQL; empty: SQLite files
    ReportSettings reportSettings_;                       // [Raporty]
    std::shared_ptr<const EventSettings> eventSettings_;  // the vehicles' tanks (Zbiornik)

    std::unique_ptr<WindowStatus> status_;  // outlives the server, whose threads use it
    std::unique_ptr<PositioningServer> server_;
    std::unique_ptr<WebService> web_;  // [Www]: runs while the server runs; none without a port
    OldFileCleanup cleanup_;

    QGroupBox* gbUstawienia_ = nullptr;
    QLineEdit* edPort_ = nullptr;
    QPushButton* btStart_ = nullptr;
    QPushButton* btStop_ = nullptr;
    QCheckBox* cbKasuj_ = nullptr;
    QCheckBox* cbOdbieraj_ = nullptr;
    QGroupBox* rgGodzina_ = nullptr;
    QButtonGroup* rgGodzinaButtons_ = nullptr;
    QLabel* lbIlosc_ = nullptr;
    QLabel* lbWontki_ = nullptr;
    QLabel* lbPlanOdczytu_ = nullptr;
    QLabel* lbZegar_ = nullptr;
    QPushButton* btOdczytajTeraz_ = nullptr;
    QPushButton* btOdczytajWybrane_ = nullptr;
    QPushButton* btHistoria_ = nullptr;
    QPushButton* btRaporty_ = nullptr;
    QPushButton* btMapa_ = nullptr;
    QUrl mapUrl_;  // the fleet map page; empty when [Www] has no port
    VehicleGridView* DBGridEH1_ = nullptr;
    VehicleGridModel* gridModel_ = nullptr;
    QLabel* lbNieaktywny_ = nullptr;
    QLabel* lbAktywny_ = nullptr;
    QLabel* lbWersja_ = nullptr;
    QLabel* lbSerwisowa_ = nullptr;
    QPushButton* btRaport_ = nullptr;
    QPushButton* btZakoncz_ = nullptr;
    QTimer* Timer1_ = nullptr;
    VehicleFileWatch* vehicleFileWatch_ = nullptr;  // reloads the grid when Aktualne.txt changes
    QTimer* clockTimer_ = nullptr;
    QPlainTextEdit* edZdarzenia_ = nullptr;  // the server's events, as they happen
    QHBoxLayout* eventsRow_ = nullptr;       // the events beside the alarms
    AlarmPane* paAlarmy_ = nullptr;          // the vehicles' alarms not yet acknowledged
    QLabel* lbNasluch_ = nullptr;            // "na porcie N" beside "Serwer aktywny"
    QLabel* lbZamykanie_ = nullptr;          // "Zamykanie połączeń: N" while a stop runs
    QTimer* stopTimer_ = nullptr;
    std::thread stopper_;  // runs the server's Stop
    std::atomic<bool> stopped_{false};
    bool closeAfterStop_ = false;  // the operator closed the window during a stop
    bool startAfterStop_ = false;  // Start was pressed while the server ran
    TfrmOdpytajJeden* frmOdpytajJeden_ = nullptr;
    TfrmOdpytajWszystkie* frmOdpytajWszystkie_ = nullptr;
};

}  // namespace serwer

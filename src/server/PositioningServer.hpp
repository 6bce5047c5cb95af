#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "events/EventService.hpp"
#include "history/HistoryWriter.hpp"
#include "history/OpenHistoryStore.hpp"
#include "history/SqliteHistoryStore.hpp"
#include "link/ConnectionServer.hpp"
#include "server/ConnectionHandler.hpp"
#include "server/HandlerContext.hpp"
#include "server/StatusDisplay.hpp"

namespace serwer {

// What a server starts with: the settings as the program read them, and the display
// its connection threads report to (none for the windowless server).
struct ServerSetup {
    std::vector<std::string> allowList;  // empty admits every registration
    std::vector<std::string> ownerCodeAllowList;  // Licencje: empty admits every owner code
    int newVehiclesPerHour = 1000;                // NowePojazdyNaGodzine: rows added to the table per hour
    std::size_t readMemoryBudget = std::size_t{256} << 20;  // PamiecOdczytowMB: all memory reads together
    std::uint64_t diskReserve = std::uint64_t{1} << 30;     // RezerwaDyskuMB: no read starts with less free
    bool serviceMode = false;
    std::string dataDirectory = ".";
    char decimalSeparator = '.';
    bool readsEnabled = false;
    bool eraseEnabled = true;
    int readHourIndex = 0;
    HandlerTimings timings;
    StatusDisplay* display = nullptr;
    bool keepHistory = true;  // every stored position also goes to <data directory>/historia
    int historyDays = 365;    // HistoriaDni: how long the history is kept; 0 keeps everything
    // [Historia] Baza: the PostgreSQL database (a libpq URI) of the history, the events, the
    // notifications' outbox and the accounts; empty: SQLite files in the data directory.
    std::string database;
    // [Historia] Serwer: this server among those sharing the database (what is its own there).
    std::string serverName;
    // ZapisTabeliMs: the least time between the starts of two saves of Aktualne.txt
    // (TableLock::SetSaveInterval); the history's writes follow the saves.
    std::chrono::milliseconds tableSaveInterval{1000};
    // ZapisTabeliPozycje: positions waiting that start a save before the interval is over
    // (TableLock::SetEarlySaveChanges); 0: none.
    std::uint64_t tableEarlySaveChanges = 500;
    std::size_t threadStackSize = ConnectionServer::DefaultThreadStackSize();
    // The events ([Zdarzenia]); none raises none. Zones come from strefy.geojson and the
    // detectors' states are kept in zdarzenia-stan.json, both in the data directory.
    std::optional<EventSettings> events;
    std::chrono::milliseconds eventTickInterval{60000};  // silence and overdue reads are checked this often
    // The notifications ([Powiadomienie NAZWA], [Poczta]); none sends none. Their outbox
    // is powiadomienia.sqlite in the history's directory (in the data directory without
    // a history). They need the events.
    std::optional<NotificationSettings> notifications;
    std::function<std::int64_t()> nowUtc;  // the notifications' clock; none: the system's
};

// The positioning server in one piece: the handler's context (settings, the operator's
// switches, the counters and the vehicle table), the connection handler, and the
// connection server that runs the handler on a thread of its own for every unit.
// serwerd, the operator window, the tests and the benchmarks all run this one.
class PositioningServer {
public:
    explicit PositioningServer(const ServerSetup& setup = {});
    // Stops first: every connection thread ends before the parts it uses go away.
    ~PositioningServer();
    PositioningServer(const PositioningServer&) = delete;
    PositioningServer& operator=(const PositioningServer&) = delete;

    // The load at start: removes the temporary files a killed server left in the data
    // directory (RemoveStaleTemporaryFiles), then LoadVehicleTableAtStart; errors are
    // thrown after every readable row is in the table.
    bool LoadVehicleTable();

    // Listens on the port given as text (see ConnectionServer::Start).
    void Start(const std::string& portText);
    // Closes every connection and returns when every connection thread has ended.
    void Stop();

    bool IsActive() const { return server_.IsActive(); }
    std::uint16_t Port() const { return server_.Port(); }
    int OpenConnectionCount() const { return server_.OpenConnectionCount(); }

    HandlerContext& Context() { return context_; }
    TableLock& Table() { return context_.tableLock; }
    // The position history (none when the setup keeps none).
    HistoryStore* History() { return historyStore_.get(); }
    HistoryWriter* HistoryWrites() { return historyWriter_.get(); }
    // The events (none when the setup raises none).
    EventService* Events() { return events_.get(); }
    // The notifications (none when the setup sends none).
    NotificationService* Notifications() { return notifications_.get(); }
    // One tick of the events' clock now (the clock thread runs it every
    // eventTickInterval): silence and overdue reads, shown, stored and the states saved.
    void RunEventTick();

    // The history's daily pruning: the first call of each local day drops the month
    // files older than HistoriaDni and logs them to log.txt. Deleting a month file of a
    // few gigabytes takes a second or more, so a window's thread has it done on a thread
    // of its own (a call while that one still deletes does nothing).
    enum class PruneOn { ThisThread, OwnThread };
    void PruneHistory(DateTime now, PruneOn where = PruneOn::ThisThread);

private:
    // Declared first, so they go after the connection threads and the context.
    std::unique_ptr<HistoryStore> historyStore_;
    std::unique_ptr<HistoryWriter> historyWriter_;
    int historyDays_ = 365;
    std::optional<DateTime> lastPruneDate_;
    std::thread pruning_;  // the last pruning, on a thread of its own
    std::atomic<bool> pruned_{true};

    std::unique_ptr<EventService> events_;
    std::unique_ptr<NotificationService> notifications_;
    std::chrono::milliseconds eventTickInterval_{60000};
    std::thread eventClock_;
    std::mutex eventClockMutex_;
    std::condition_variable eventClockWake_;
    bool eventClockStop_ = false;
    void RunEventClock();
    void StopEventClock();

    HandlerContext context_;
    ConnectionHandler handler_;
    ConnectionServer server_;
};

}  // namespace serwer

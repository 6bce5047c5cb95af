#include "server/PositioningServer.hpp"

#include <cstdio>
#include <filesystem>
#include <functional>

#include "common/Win1250.hpp"
#include "link/PositionRecord.hpp"
#include "logs/EventLog.hpp"
#include "server/StaleTemporaryFiles.hpp"

namespace serwer {

namespace {

// The UTC second of a table's fix time text "yyyy.mm.dd-hh:mm"; none for another text.
std::optional<std::int64_t> FixTimeOfText(const std::string& text) {
    int year, month, day, hour, minute;
    char tail;
    if (std::sscanf(text.c_str(), "%4d.%2d.%2d-%2d:%2d%c", &year, &month, &day, &hour, &minute, &tail) != 5)
        return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59) return std::nullopt;
    return LocalToFixTime(DateTime::FromParts({year, month, day, hour, minute, 0, 0})).Ms() / DateTime::kMsPerSecond;
}

ConnectionServer::Events HandlerEvents(ConnectionHandler& handler) {
    return {[&handler](UnitConnection& c) { handler.IdTCPServer1Connect(c); },
            [&handler](UnitConnection& c) { handler.IdTCPServer1Execute(c); }};
}

}  // namespace

PositioningServer::PositioningServer(const ServerSetup& setup)
    : handler_(context_), server_(HandlerEvents(handler_), setup.threadStackSize) {
    context_.allowList = setup.allowList;
    context_.ownerCodeAllowList = setup.ownerCodeAllowList;
    context_.newVehiclesPerHour = setup.newVehiclesPerHour;
    // The logs go to the working directory, everything else to the data directory.
    context_.readAdmission = std::make_unique<ReadAdmission>(setup.readMemoryBudget, setup.diskReserve,
                                                             std::vector<std::string>{".", setup.dataDirectory});
    context_.serviceMode = setup.serviceMode;
    context_.dataDirectory = setup.dataDirectory;
    context_.decimalSeparator = setup.decimalSeparator;
    context_.timings = setup.timings;
    context_.tableLock.SetSaveInterval(setup.tableSaveInterval);
    context_.tableLock.SetEarlySaveChanges(setup.tableEarlySaveChanges);
    context_.readsEnabled = setup.readsEnabled;
    context_.eraseEnabled = setup.eraseEnabled;
    context_.readHourIndex = setup.readHourIndex;
    context_.display = setup.display;
    context_.openConnectionCount = [this] { return server_.OpenConnectionCount(); };
    historyDays_ = setup.historyDays;
    // History failures and unusable zone files go to err2.txt and, when there is one, to the display.
    StatusDisplay* display = setup.display;
    auto report = [display](const std::string& text) {
        WriteLog(text, "err2.txt");
        if (display) display->ShowEvent(text);
    };
    if (setup.keepHistory) {
        historyStore_ = OpenHistoryStore(setup.dataDirectory, setup.database, setup.serverName, report);
        historyWriter_ = std::make_unique<HistoryWriter>(*historyStore_, report);
        context_.history = historyWriter_.get();
        // One cycle for both: the rows of the changes a save held are written right
        // after it, by its maker, before their handlers are woken.
        context_.tableLock.SetAfterSave([writer = historyWriter_.get()] { writer->WriteQueued(); });
    }
    eventTickInterval_ = setup.eventTickInterval;
    if (setup.events) {
        events_ = std::make_unique<EventService>(*setup.events, setup.dataDirectory + "/strefy.geojson",
                                                 setup.dataDirectory + "/zdarzenia-stan.json",
                                                 setup.decimalSeparator, report);
        events_->Load();
        context_.events = events_.get();
        if (setup.notifications)
            for (const std::string& problem : setup.notifications->problems) report(problem);
        if (setup.notifications && !setup.notifications->rules.empty()) {
            const std::string directory = setup.keepHistory ? HistoryDirectory(setup.dataDirectory) : setup.dataDirectory;
            std::function<std::int64_t()> now = setup.nowUtc;
            if (!now) now = [] { return UtcNowSeconds(); };
            // A shared database's history holds other servers' events too: a restart tells
            // only those of the vehicles in this server's table.
            NotificationService::OwnVehicle ownVehicle;
            if (!setup.database.empty())
                ownVehicle = [&lock = context_.tableLock](const std::string& registration) {
                    TableLockGuard guard(lock);
                    return guard.Table().Find(registration).has_value();
                };
            // An outbox that cannot be opened turns the notifications off, never the units' service.
            try {
                std::filesystem::create_directories(directory);
                notifications_ = std::make_unique<NotificationService>(
                    *setup.notifications,
                    NotificationService::OutboxPlace{directory + "/powiadomienia.sqlite", setup.database,
                                                     setup.serverName},
                    setup.decimalSeparator,
                    NotificationService::Reports{[](const std::string& text) { WriteLog(text, "err2.txt"); },
                                                 [display](const std::string& text) {
                                                     if (display) display->ShowEvent(text);
                                                 }},
                    now, std::move(ownVehicle));
                context_.notifications = notifications_.get();
            } catch (const std::exception& e) {
                report(Cp1250("Powiadomienia wyłączone: nie można otworzyć kolejki: ") + e.what());
            }
        }
    }
}

PositioningServer::~PositioningServer() {
    Stop();
    if (pruning_.joinable()) pruning_.join();
}

bool PositioningServer::LoadVehicleTable() {
    RemoveStaleTemporaryFiles(context_.dataDirectory);
    return LoadVehicleTableAtStart(context_.tableLock, context_.dataDirectory);
}

void PositioningServer::Start(const std::string& portText) {
    server_.Start(portText);
    if (notifications_) notifications_->Start(historyStore_.get());
    if (events_ && !eventClock_.joinable()) {
        eventClockStop_ = false;
        eventClock_ = std::thread([this] { RunEventClock(); });
    }
}

void PositioningServer::Stop() {
    server_.Stop();
    StopEventClock();
    if (notifications_) notifications_->Stop();
}

void PositioningServer::StopEventClock() {
    if (!eventClock_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(eventClockMutex_);
        eventClockStop_ = true;
    }
    eventClockWake_.notify_all();
    eventClock_.join();
    try {
        events_->SaveState();  // the open intervals and zones of the last positions
    } catch (const std::exception& e) {
        WriteLog(e.what(), "err2.txt");
    }
}

void PositioningServer::RunEventClock() {
    // The zone file is looked at every 10 s (at most); the tick comes every interval.
    const auto look = std::min<std::chrono::milliseconds>(eventTickInterval_, std::chrono::seconds(10));
    auto nextTick = std::chrono::steady_clock::now() + eventTickInterval_;
    std::unique_lock<std::mutex> lock(eventClockMutex_);
    while (!eventClockWake_.wait_for(lock, look, [this] { return eventClockStop_; })) {
        lock.unlock();
        events_->ReloadZonesIfChanged();
        if (std::chrono::steady_clock::now() >= nextTick) {
            nextTick = std::chrono::steady_clock::now() + eventTickInterval_;
            RunEventTick();
        }
        lock.lock();
    }
}

void PositioningServer::RunEventTick() {
    if (!events_) return;
    // The table's fix times and reads, taken in one short lock section. The rows keep
    // local times; their age is the same in UTC.
    std::vector<EventService::VehicleClock> clocks;
    const std::int64_t nowUtc = UtcNowSeconds();
    const DateTime nowLocal = DateTime::Now();
    {
        TableLockGuard guard(context_.tableLock);
        VehicleTable& table = guard.Table();
        clocks.reserve(table.Size());
        for (std::size_t i = 0; i < table.Size(); ++i) {
            const VehicleRow& row = table.Row(i);
            if (!row.NAZWA) continue;
            EventService::VehicleClock c;
            c.registration = *row.NAZWA;
            if (row.OPIS) c.lastFixUtc = FixTimeOfText(*row.OPIS);
            if (row.ODCZYT) c.lastReadUtc = nowUtc - (nowLocal.Ms() - row.ODCZYT->Ms()) / DateTime::kMsPerSecond;
            clocks.push_back(std::move(c));
        }
    }
    const std::vector<Event> events = events_->Tick(nowUtc, context_.readsEnabled.load(), clocks);
    for (const Event& e : events) {
        if (!context_.display) continue;
        context_.display->ShowEvent(EventLine(e));
        context_.display->ShowVehicleEvent(e);
    }
    if (historyWriter_ && !events.empty()) {
        historyWriter_->SubmitEvents(events);
        historyWriter_->WriteQueued();
    }
    if (notifications_) notifications_->Offer(events);
    try {
        events_->SaveState();
    } catch (const std::exception& e) {
        WriteLog(e.what(), "err2.txt");
    }
}

void PositioningServer::PruneHistory(DateTime now, PruneOn where) {
    if (!historyStore_ || (lastPruneDate_ && *lastPruneDate_ == now.Date())) return;
    if (pruning_.joinable()) {
        if (!pruned_.load()) return;  // the last one is still deleting; the next call comes back
        pruning_.join();
    }
    lastPruneDate_ = now.Date();
    auto prune = [this] {
        try {
            const int dropped = historyStore_->Prune(historyDays_, UtcNowSeconds());
            if (dropped > 0)
                WriteLog(Cp1250("Historia pozycji: usunięto pliki miesięcy starszych niż ") +
                             std::to_string(historyDays_) + Cp1250(" dni: ") + std::to_string(dropped),
                         "log.txt");
        } catch (...) {
        }
        pruned_ = true;
    };
    pruned_ = false;
    if (where == PruneOn::ThisThread)
        prune();
    else
        pruning_ = std::thread(prune);
}

}  // namespace serwer

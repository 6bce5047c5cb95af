#include "server/PositioningServer.hpp"

#include "common/Win1250.hpp"
#include "logs/EventLog.hpp"
#include "server/StaleTemporaryFiles.hpp"

namespace serwer {

namespace {

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
    context_.readsEnabled = setup.readsEnabled;
    context_.eraseEnabled = setup.eraseEnabled;
    context_.readHourIndex = setup.readHourIndex;
    context_.display = setup.display;
    context_.openConnectionCount = [this] { return server_.OpenConnectionCount(); };
    historyDays_ = setup.historyDays;
    if (setup.keepHistory) {
        // History failures go to err2.txt and, when there is one, to the display.
        StatusDisplay* display = setup.display;
        auto report = [display](const std::string& text) {
            WriteLog(text, "err2.txt");
            if (display) display->ShowEvent(text);
        };
        historyStore_ = std::make_unique<SqliteHistoryStore>(HistoryDirectory(setup.dataDirectory), report);
        historyWriter_ = std::make_unique<HistoryWriter>(*historyStore_, report);
        context_.history = historyWriter_.get();
        // One cycle for both: the rows of the changes a save held are written right
        // after it, by its maker, before their handlers are woken.
        context_.tableLock.SetAfterSave([writer = historyWriter_.get()] { writer->WriteQueued(); });
    }
}

PositioningServer::~PositioningServer() {
    server_.Stop();
    if (pruning_.joinable()) pruning_.join();
}

bool PositioningServer::LoadVehicleTable() {
    RemoveStaleTemporaryFiles(context_.dataDirectory);
    return LoadVehicleTableAtStart(context_.tableLock, context_.dataDirectory);
}

void PositioningServer::Start(const std::string& portText) { server_.Start(portText); }

void PositioningServer::Stop() { server_.Stop(); }

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

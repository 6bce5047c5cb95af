#include "history/SpoolingHistoryStore.hpp"

#include "common/ServerError.hpp"
#include "common/Win1250.hpp"

namespace serwer {

SpoolingHistoryStore::SpoolingHistoryStore(Connect connect, const std::string& spoolPath, std::string serverName,
                                           Report report)
    : connect_(std::move(connect)), serverName_(std::move(serverName)), report_(std::move(report)), spool_(spoolPath) {
    try {
        if (const std::int64_t left = spool_.Count(); left > 0) {
            spooling_ = true;
            report_(Cp1250("Historia w PostgreSQL: w buforze ") + spool_.Path() + Cp1250(" czeka ") +
                    std::to_string(left) + Cp1250(" wpisów, zostaną zapisane w bazie"));
        }
    } catch (const ServerError& e) {
        report_(e.what());  // the spool is tried again when it is needed
    }
    drainer_ = std::thread([this] { RunDrainer(); });
}

SpoolingHistoryStore::~SpoolingHistoryStore() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    drainer_.join();
}

PostgresHistoryStore& SpoolingHistoryStore::Database(std::unique_ptr<PostgresHistoryStore>& store) {
    if (!store) store = connect_();
    return *store;
}

PostgresHistoryStore& SpoolingHistoryStore::Reader() {
    std::lock_guard<std::mutex> lock(readerMutex_);
    return Database(reader_);
}

void SpoolingHistoryStore::AppendOrSpool(const std::vector<HistoryRecord>& rows, const std::vector<Event>& events) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!spooling_) {
        try {
            std::unique_lock<std::mutex> connecting(connectMutex_);
            PostgresHistoryStore& database = Database(writer_);
            connecting.unlock();
            if (!rows.empty()) database.Append(rows);
            if (!events.empty()) database.AppendEvents(events);
            return;
        } catch (const ServerError& e) {
            spooling_ = true;
            report_(Cp1250("Historia w PostgreSQL: baza nie przyjmuje zapisów, pozycje i zdarzenia czekają w buforze ") +
                    spool_.Path() + ": " + e.what());
        }
    }
    spool_.Add(rows, events);  // a failure here is the caller's lost write
}

void SpoolingHistoryStore::Append(const std::vector<HistoryRecord>& rows) {
    if (!rows.empty()) AppendOrSpool(rows, {});
}

void SpoolingHistoryStore::AppendEvents(const std::vector<Event>& events) {
    if (!events.empty()) AppendOrSpool({}, events);
}

bool SpoolingHistoryStore::DrainStep() {
    // Connecting and asking the database happen outside mutex_: the positions that come
    // meanwhile go on into the spool.
    std::string key;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_) return false;
        key = serverName_ + "/" + spool_.Id();
    }
    PostgresHistoryStore* database = nullptr;
    {
        std::lock_guard<std::mutex> lock(connectMutex_);
        database = &Database(writer_);
    }
    if (!checkedWritten_) {
        // Entries the database took before a crash that left them in the spool.
        const std::int64_t upTo = database->SpooledUpTo(key);
        std::lock_guard<std::mutex> lock(mutex_);
        spool_.RemoveUpTo(upTo);
        checkedWritten_ = true;
    }
    std::vector<SpooledItem> items;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        items = spool_.Front(kEntriesPerWrite);
        if (items.empty()) {
            if (spooling_) {
                std::string text = Cp1250("Historia w PostgreSQL: zapis wznowiony; z bufora zapisano ") +
                                   std::to_string(drainedRows_) + Cp1250(" pozycji i ") +
                                   std::to_string(drainedEvents_) + Cp1250(" zdarzeń");
                if (spool_.Unreadable() > unreadableReported_)
                    text += Cp1250("; nieczytelnych wpisów bufora: ") +
                            std::to_string(spool_.Unreadable() - unreadableReported_);
                unreadableReported_ = spool_.Unreadable();
                report_(text);
            }
            spooling_ = false;
            drainedRows_ = drainedEvents_ = 0;
            return false;
        }
    }
    std::vector<HistoryRecord> rows;
    std::vector<Event> events;
    for (SpooledItem& item : items) {
        for (HistoryRecord& r : item.rows) rows.push_back(std::move(r));
        for (Event& e : item.events) events.push_back(std::move(e));
    }
    // New rows queue behind these in the spool meanwhile (spooling_ stays set).
    database->AppendSpooled(rows, events, key, items.back().number);
    std::lock_guard<std::mutex> lock(mutex_);
    spool_.RemoveUpTo(items.back().number);
    drainedRows_ += rows.size();
    drainedEvents_ += events.size();
    return true;
}

bool SpoolingHistoryStore::Drain() {
    std::lock_guard<std::mutex> lock(drainMutex_);
    try {
        while (DrainStep()) {
        }
        std::lock_guard<std::mutex> state(mutex_);
        return !spooling_;
    } catch (const ServerError&) {
        // The outage was reported when it began. A commit whose outcome is unknown may
        // have been taken: what the database holds is looked up again first.
        std::lock_guard<std::mutex> state(mutex_);
        checkedWritten_ = false;
        return false;
    }
}

void SpoolingHistoryStore::RunDrainer() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        wake_.wait_for(lock, kRetryInterval, [this] { return stop_; });
        if (stop_ || !spooling_) continue;
        lock.unlock();
        Drain();
        lock.lock();
    }
}

std::int64_t SpoolingHistoryStore::Waiting() {
    std::lock_guard<std::mutex> lock(mutex_);
    return spool_.Count();
}

bool SpoolingHistoryStore::Spooling() {
    std::lock_guard<std::mutex> lock(mutex_);
    return spooling_;
}

std::vector<HistoryRecord> SpoolingHistoryStore::Query(const HistoryQuery& query) { return Reader().Query(query); }

void SpoolingHistoryStore::ScanTrack(const TrackQuery& query, TrackVisitor& visitor) {
    Reader().ScanTrack(query, visitor);
}

std::vector<Event> SpoolingHistoryStore::QueryEvents(const EventQuery& query) { return Reader().QueryEvents(query); }

std::optional<std::vector<HistoryRecord>> SpoolingHistoryStore::LastPositions() { return Reader().LastPositions(); }

PostgresHistoryStore& SpoolingHistoryStore::Writer() {
    std::lock_guard<std::mutex> lock(connectMutex_);
    return Database(writer_);
}

void SpoolingHistoryStore::RemoveEvents(const EventQuery& query) { Writer().RemoveEvents(query); }

int SpoolingHistoryStore::Prune(int keepDays, std::int64_t nowUtc) { return Writer().Prune(keepDays, nowUtc); }

}  // namespace serwer

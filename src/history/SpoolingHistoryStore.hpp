#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "history/HistorySpool.hpp"
#include "history/PostgresHistoryStore.hpp"

namespace serwer {

// The history in a PostgreSQL database that may be out of reach. While the database
// cannot be reached or refuses writes, rows and events go to a local spool
// (HistorySpool), and an Append returns once they are durable there; a thread of the
// store writes them to the database, in order and each once, when it takes writes again
// (the spool's last entry written is kept in the same transaction). While the spool is
// not empty, new rows queue behind it. The start of an outage and the end of the spool
// are reported (Windows-1250 texts) with the counts.
//
// Writes and reads use connections of their own, so that a long report does not hold up
// the positions. Reads need the database: they fail while it is out of reach.
class SpoolingHistoryStore : public HistoryStore {
public:
    using Report = std::function<void(const std::string& text)>;
    using Connect = std::function<std::unique_ptr<PostgresHistoryStore>()>;

    // connect makes a connection (and fails with ServerError); the server's name keys the
    // spool's progress in the database.
    SpoolingHistoryStore(Connect connect, const std::string& spoolPath, std::string serverName, Report report);
    ~SpoolingHistoryStore() override;
    SpoolingHistoryStore(const SpoolingHistoryStore&) = delete;
    SpoolingHistoryStore& operator=(const SpoolingHistoryStore&) = delete;

    void Append(const std::vector<HistoryRecord>& rows) override;
    std::vector<HistoryRecord> Query(const HistoryQuery& query) override;
    void ScanTrack(const TrackQuery& query, TrackVisitor& visitor) override;
    void AppendEvents(const std::vector<Event>& events) override;
    std::vector<Event> QueryEvents(const EventQuery& query) override;
    void RemoveEvents(const EventQuery& query) override;
    int Prune(int keepDays, std::int64_t nowUtc) override;
    std::optional<std::vector<HistoryRecord>> LastPositions() override;

    // The entries waiting in the spool, and whether new ones queue there.
    std::int64_t Waiting();
    bool Spooling();
    // Writes what the spool holds now (as the store's thread does), for a caller that
    // cannot wait; false when the database did not take it all.
    bool Drain();

    // How long the thread waits between tries while the database is out of reach, and
    // how many spool entries go to the database in one transaction.
    static constexpr std::chrono::seconds kRetryInterval{2};
    static constexpr std::size_t kEntriesPerWrite = 2000;

private:
    // The connection of the kind, made at its first use (the caller holds its lock).
    PostgresHistoryStore& Database(std::unique_ptr<PostgresHistoryStore>& store);
    PostgresHistoryStore& Reader();
    PostgresHistoryStore& Writer();
    void AppendOrSpool(const std::vector<HistoryRecord>& rows, const std::vector<Event>& events);
    // One transaction's worth of the spool to the database; false when nothing was left.
    bool DrainStep();
    void RunDrainer();

    Connect connect_;
    std::string serverName_;
    Report report_;

    std::mutex mutex_;  // the spool, the state of an outage and the counts
    HistorySpool spool_;
    std::mutex connectMutex_;  // making writer_ (taken after mutex_ when both are held)
    std::unique_ptr<PostgresHistoryStore> writer_;
    bool spooling_ = false;
    bool checkedWritten_ = false;  // entries the database had already were removed (one drain at a time)
    std::uint64_t drainedRows_ = 0, drainedEvents_ = 0;  // written from the spool since it last emptied
    std::uint64_t unreadableReported_ = 0;

    std::mutex readerMutex_;
    std::unique_ptr<PostgresHistoryStore> reader_;

    std::mutex drainMutex_;  // one drain at a time
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread drainer_;
};

}  // namespace serwer

#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "history/HistoryStore.hpp"

namespace serwer {

// The history in a PostgreSQL database, for servers that share it or keep it on another
// machine. Table pozycje is partitioned by the month (UTC) a row was received in,
// zdarzenia by the month an event started in; a month's partitions
// (pozycje_YYYY_MM, zdarzenia_YYYY_MM) are created before its first write, and pruning
// drops whole months, like the month files of SqliteHistoryStore, whose rows, order and
// replacement of events by id this store keeps.
//
// One connection, used by one call at a time. A call that finds the connection lost
// resets it once and tries again; a commit whose outcome is unknown is not repeated.
class PostgresHistoryStore : public HistoryStore {
public:
    // Connects (a libpq URI, "postgresql://…") and creates the tables or checks their
    // version. Fails with ServerError when the database cannot be reached or has a
    // schema newer than this program knows.
    explicit PostgresHistoryStore(const std::string& uri);
    ~PostgresHistoryStore() override;
    PostgresHistoryStore(const PostgresHistoryStore&) = delete;
    PostgresHistoryStore& operator=(const PostgresHistoryStore&) = delete;

    void Append(const std::vector<HistoryRecord>& rows) override;
    std::vector<HistoryRecord> Query(const HistoryQuery& query) override;
    void AppendEvents(const std::vector<Event>& events) override;
    std::vector<Event> QueryEvents(const EventQuery& query) override;
    void RemoveEvents(const EventQuery& query) override;
    int Prune(int keepDays, std::int64_t nowUtc) override;

    // The version of the tables this program writes (wersja_schematu.wersja).
    static constexpr int kSchemaVersion = 1;

    struct Connection;  // the connection and the partitions known to exist

private:
    // Runs the operation on the connection, under the mutex, resetting a lost
    // connection once (see the class's comment).
    template <typename Operation>
    auto Run(Operation&& operation);

    std::mutex mutex_;
    std::unique_ptr<Connection> connection_;
};

}  // namespace serwer

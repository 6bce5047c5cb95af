#pragma once
#include <cstdint>
#include <memory>
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
// Beside them, table ostatnie_pozycje keeps every vehicle's last position, updated in
// the transaction of each write, so that servers sharing the database see each other's
// fleets. The tables are made and upgraded by the store (its row "historia" in
// wersja_schematu).
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

    // Every vehicle's last position written (by any server), ordered by registration.
    std::vector<HistoryRecord> LastPositions();

    struct State;  // the connection and the partitions known to exist

private:
    std::unique_ptr<State> state_;
};

}  // namespace serwer

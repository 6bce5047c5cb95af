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
    // Only the columns the points need, through a cursor (a fetch at a time in memory).
    // Named vehicles are read one by one through the index; every vehicle, in the order
    // the rows lie in the partitions, a vehicle found out of its order restarted and
    // read again through the index.
    void ScanTrack(const TrackQuery& query, TrackVisitor& visitor) override;
    void AppendEvents(const std::vector<Event>& events) override;
    std::vector<Event> QueryEvents(const EventQuery& query) override;
    void RemoveEvents(const EventQuery& query) override;
    int Prune(int keepDays, std::int64_t nowUtc) override;

    // Writes rows and events that waited in a server's spool, in one transaction with the
    // number of the last spool entry they hold (bufor_zapisany), so that entries the
    // database already has are never written twice.
    void AppendSpooled(const std::vector<HistoryRecord>& rows, const std::vector<Event>& events,
                       const std::string& server, std::int64_t upTo);
    // The number of the server's last spool entry the database holds; 0 for none.
    std::int64_t SpooledUpTo(const std::string& server);

    // Every vehicle's last position written (by any server), ordered by registration.
    std::optional<std::vector<HistoryRecord>> LastPositions() override;

    struct State;  // the connection and the partitions known to exist

private:
    std::unique_ptr<State> state_;
};

}  // namespace serwer

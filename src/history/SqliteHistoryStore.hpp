#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "history/HistoryStore.hpp"

namespace serwer {

// The history in SQLite files, one per calendar month (UTC) of the time received:
// <directory>/pozycje-YYYY-MM.db, each in WAL mode with full synchronous commits and an
// index by vehicle and fix time, and the events (table zdarzenia) in the file of the month
// they started in. Pruning drops whole month files. Writes go to the file
// of the month the rows were received in; a query reads every month file from the one
// before its range to the one after it.
//
// A month file that SQLite finds damaged when it is written to (at the first write of
// a run, or later) is renamed to "<name>.uszkodzony-<yyyy_mm_dd_hh_mm_ss>" and a new one is started; the
// notice callback is told (Windows-1250 text) so that the caller can log it.
class SqliteHistoryStore : public HistoryStore {
public:
    using Notice = std::function<void(const std::string& text)>;

    // Nothing is touched on disk until the first Append, which creates the directory
    // (one level) when it is missing.
    explicit SqliteHistoryStore(std::string directory, Notice notice = {});
    ~SqliteHistoryStore() override;
    SqliteHistoryStore(const SqliteHistoryStore&) = delete;
    SqliteHistoryStore& operator=(const SqliteHistoryStore&) = delete;

    void Append(const std::vector<HistoryRecord>& rows) override;
    std::vector<HistoryRecord> Query(const HistoryQuery& query) override;
    // A file whose month the range covers for a tenth or more is read in the order it was
    // written, only the columns the points need; the others (and every file when the
    // vehicles are named) through the index, vehicle by vehicle. A vehicle whose points
    // were not written in time order is restarted and read again through the index.
    void ScanTrack(const TrackQuery& query, TrackVisitor& visitor) override;
    void AppendEvents(const std::vector<Event>& events) override;
    std::vector<Event> QueryEvents(const EventQuery& query) override;
    void RemoveEvents(const EventQuery& query) override;
    int Prune(int keepDays, std::int64_t nowUtc) override;

    const std::string& Directory() const { return directory_; }
    // The month file for a time: "<directory>/pozycje-YYYY-MM.db".
    std::string MonthFile(std::int64_t utc) const;

    struct Writer;  // the open file of the month being written

private:
    // Runs the write on the open file of the month (opened first when another is open),
    // moving a damaged file aside and trying once more on a new one.
    void WriteToMonth(const std::string& month, const std::string& path, const std::function<void(Writer&)>& write);
    // The items in the month files of their times (in time order, the order of equal
    // times kept), each month's part written by the write makeWrite makes of it.
    template <typename T, typename TimeOf, typename MakeWrite>
    void WriteByMonth(const std::vector<T>& items, TimeOf timeOf, MakeWrite makeWrite);

    std::string directory_;
    Notice notice_;
    std::mutex mutex_;                // Append and Prune, one at a time
    std::unique_ptr<Writer> writer_;  // the open file of the month being written
};

// The history directory of a data directory: "<data directory>/historia".
std::string HistoryDirectory(const std::string& dataDirectory);

}  // namespace serwer

#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/LatencyHistogram.hpp"
#include "history/HistoryStore.hpp"

namespace serwer {

// Writes the history rows of the stored positions to a store, in groups: rows submitted
// while a write is running go together into the next one (group commit), as the table's
// saves do. A failed write never fails the positions: its rows are counted as lost, and
// the report callback is called once when a run of failures starts (with the reason)
// and once when writing works again (with how many rows the run lost); a run still
// going when the writer is destroyed is reported then. Writing resumes by itself with
// the next rows.
class HistoryWriter {
public:
    // Report texts are Windows-1250 bytes.
    using Report = std::function<void(const std::string& text)>;

    HistoryWriter(HistoryStore& store, Report report);
    ~HistoryWriter();
    HistoryWriter(const HistoryWriter&) = delete;
    HistoryWriter& operator=(const HistoryWriter&) = delete;

    // Queues a row, with the events its position raised; the returned ticket is waited
    // for with WaitUntilWritten.
    std::uint64_t Submit(HistoryRecord row, std::vector<Event> events = {});
    // Queues events alone (those of the clock). A failed write of events is reported
    // like one of rows (once when a run of failures starts, once when it ends), its
    // events counted as lost.
    std::uint64_t SubmitEvents(std::vector<Event> events);
    // Returns once the write that held the ticket's row has ended: the row is durable,
    // or it is lost and the failure is reported. Never throws for a failed write. A
    // caller that finds no write running makes one itself (outside the lock).
    void WaitUntilWritten(std::uint64_t ticket);
    // Writes every row queued so far, as WaitUntilWritten of the last ticket does.
    void WriteQueued();

    std::uint64_t RowsWritten() const;
    std::uint64_t RowsLost() const;
    std::uint64_t EventsWritten() const;
    std::uint64_t EventsLost() const;
    // The writes that failed, and how long each write to the store took.
    std::uint64_t FailedWrites() const;
    const LatencyHistogram& WriteTimes() const { return writeTimes_; }
    // In a run of failures: the last write failed.
    bool Failing() const;

private:
    HistoryStore& store_;
    Report report_;
    mutable std::mutex mutex_;
    std::condition_variable done_;
    std::vector<HistoryRecord> pending_;
    std::vector<Event> pendingEvents_;
    std::uint64_t submitted_ = 0;  // the ticket of the last row submitted
    std::atomic<std::uint64_t> finished_{0};  // every ticket up to this one is written or lost (set under mutex_)
    bool writing_ = false;
    bool failing_ = false;  // in a run of failures
    std::uint64_t lostInRun_ = 0;
    std::uint64_t written_ = 0, lost_ = 0, failedWrites_ = 0;
    bool eventsFailing_ = false;
    std::uint64_t eventsWritten_ = 0, eventsLost_ = 0;
    LatencyHistogram writeTimes_;
};

}  // namespace serwer

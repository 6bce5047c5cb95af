#include "history/HistoryWriter.hpp"

#include <exception>
#include <utility>

#include "common/Win1250.hpp"

namespace serwer {

namespace {
std::string LostText(std::uint64_t rows) { return std::to_string(rows) + Cp1250(" pozycji nie trafiło do historii"); }
}  // namespace

HistoryWriter::HistoryWriter(HistoryStore& store, Report report) : store_(store), report_(std::move(report)) {}

HistoryWriter::~HistoryWriter() {
    // Rows nobody waited for (their handler failed at the table's save) are written now.
    WaitUntilWritten(submitted_);
    if (failing_ && report_) {
        try {
            report_(Cp1250("Historia pozycji: błąd zapisu trwa; ") + LostText(lostInRun_));
        } catch (...) {
        }
    }
}

std::uint64_t HistoryWriter::Submit(HistoryRecord row, std::vector<Event> events) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.push_back(std::move(row));
    for (Event& e : events) pendingEvents_.push_back(std::move(e));
    return ++submitted_;
}

std::uint64_t HistoryWriter::SubmitEvents(std::vector<Event> events) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Event& e : events) pendingEvents_.push_back(std::move(e));
    return ++submitted_;
}

void HistoryWriter::WaitUntilWritten(std::uint64_t ticket) {
    // Mostly the row is written already (by the write that follows each table save):
    // then the caller goes on without the lock the others woken with it also want.
    if (finished_.load() >= ticket) return;
    std::unique_lock<std::mutex> lock(mutex_);
    while (finished_.load() < ticket) {
        if (writing_) {
            done_.wait(lock);
            continue;
        }
        // This caller writes every row queued so far, its own among them.
        writing_ = true;
        std::vector<HistoryRecord> batch;
        batch.swap(pending_);
        std::vector<Event> events;
        events.swap(pendingEvents_);
        const std::uint64_t last = submitted_;
        lock.unlock();

        const auto attempt = [](auto write) {
            try {
                write();
                return std::string();
            } catch (const std::exception& e) {
                return std::string(*e.what() ? e.what() : "?");
            } catch (...) {
                return std::string("?");
            }
        };
        std::string failure, eventFailure;
        {
            ScopedLatency timing(writeTimes_);
            if (!batch.empty()) failure = attempt([&] { store_.Append(batch); });
            if (!events.empty()) eventFailure = attempt([&] { store_.AppendEvents(events); });
        }

        lock.lock();
        std::string report;
        if (!events.empty()) {
            if (eventFailure.empty()) {
                eventsWritten_ += events.size();
                if (eventsFailing_) report = Cp1250("Historia zdarzeń: zapis wznowiony");
                eventsFailing_ = false;
            } else {
                eventsLost_ += events.size();
                if (!eventsFailing_) report = Cp1250("Historia zdarzeń: błąd zapisu: ") + eventFailure;
                eventsFailing_ = true;
            }
        }
        if (!report.empty() && report_) {
            lock.unlock();
            try {
                report_(report);
            } catch (...) {
            }
            lock.lock();
            report.clear();
        }
        if (!batch.empty() && failure.empty()) {
            written_ += batch.size();
            if (failing_) report = Cp1250("Historia pozycji: zapis wznowiony; ") + LostText(lostInRun_);
            failing_ = false;
        } else if (!batch.empty()) {
            lost_ += batch.size();
            ++failedWrites_;
            if (!failing_) {
                report = Cp1250("Historia pozycji: błąd zapisu: ") + failure;
                lostInRun_ = 0;
            }
            failing_ = true;
            lostInRun_ += batch.size();
        }
        // The batch's callers go on only once its failure is logged, and the next write
        // waits for it too, so the reports come in the order of the writes.
        if (!report.empty() && report_) {
            lock.unlock();
            try {
                report_(report);
            } catch (...) {
                // A report that cannot be logged must not fail the positions.
            }
            lock.lock();
        }
        finished_ = last;
        writing_ = false;
        done_.notify_all();
    }
}

void HistoryWriter::WriteQueued() {
    std::uint64_t last;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        last = submitted_;
    }
    WaitUntilWritten(last);
}

std::uint64_t HistoryWriter::RowsWritten() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return written_;
}

std::uint64_t HistoryWriter::FailedWrites() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failedWrites_;
}

bool HistoryWriter::Failing() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failing_;
}

std::uint64_t HistoryWriter::EventsWritten() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return eventsWritten_;
}

std::uint64_t HistoryWriter::EventsLost() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return eventsLost_;
}

std::uint64_t HistoryWriter::RowsLost() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lost_;
}

}  // namespace serwer

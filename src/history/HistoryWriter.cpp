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

std::uint64_t HistoryWriter::Submit(HistoryRecord row) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.push_back(std::move(row));
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
        const std::uint64_t last = submitted_;
        lock.unlock();

        std::string failure;
        try {
            ScopedLatency timing(writeTimes_);
            store_.Append(batch);
        } catch (const std::exception& e) {
            failure = e.what();
            if (failure.empty()) failure = "?";
        } catch (...) {
            failure = "?";
        }

        lock.lock();
        std::string report;
        if (failure.empty()) {
            written_ += batch.size();
            if (failing_) report = Cp1250("Historia pozycji: zapis wznowiony; ") + LostText(lostInRun_);
            failing_ = false;
        } else {
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

std::uint64_t HistoryWriter::RowsLost() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lost_;
}

}  // namespace serwer

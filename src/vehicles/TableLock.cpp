#include "vehicles/TableLock.hpp"

#include <linux/futex.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <chrono>
#include <filesystem>
#include <thread>

#include "common/DateTime.hpp"
#include "common/DurableFile.hpp"
#include "common/ServerError.hpp"
#include "vehicles/VehicleFile.hpp"

namespace serwer {

namespace {

// How often the maker waiting out an interval looks at the changes waiting.
constexpr auto kEarlySaveLook = std::chrono::milliseconds(10);
// Sleeps while the word still holds the value (the kernel checks it and sleeps in one
// step, so a wake in between is not missed); woken by WakeAll of the word.
void WaitWhileEqual(std::atomic<std::uint32_t>& word, std::uint32_t value) {
    while (word.load() == value)
        ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, value, nullptr, nullptr, 0);
}
void WakeAll(std::atomic<std::uint32_t>& word) {
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}
}  // namespace

VehicleTable& TableLock::Acquire() {
    waitersAndHolders_.fetch_add(1);
    std::unique_lock<std::mutex> line(lineMutex_);
    if (!held_) {
        held_ = true;
        lockWaits_.Record(std::chrono::nanoseconds(0));
        return table_;
    }
    const auto start = std::chrono::steady_clock::now();
    Waiter me;
    if (last_)
        last_->next = &me;
    else
        first_ = &me;
    last_ = &me;
    me.turn.wait(line, [&] { return me.granted; });
    line.unlock();
    lockWaits_.Record(std::chrono::steady_clock::now() - start);
    return table_;
}

void TableLock::Release() {
    std::lock_guard<std::mutex> line(lineMutex_);
    waitersAndHolders_.fetch_sub(1);
    if (!first_) {
        held_ = false;
        return;
    }
    // Hand over to the first in line. It is notified while the line's mutex is held,
    // so it cannot leave (and take its Waiter off the stack) before the notify is done.
    Waiter* next = first_;
    first_ = next->next;
    if (!first_) last_ = nullptr;
    next->granted = true;
    next->turn.notify_one();
}

void TableLock::WaitUntilSaved(std::uint64_t change, const std::string& path) {
    // The waiters of a save are woken together when it ends. They check its outcome in
    // atomics, not under a shared mutex, so a thousand of them do not queue for one.
    for (std::uint64_t newest = newestWaited_.load(); newest < change;)
        if (newestWaited_.compare_exchange_weak(newest, change)) break;
    for (;;) {
        const std::uint32_t generation = saveGeneration_.load();
        if (savedUpTo_.load() >= change) return;
        if (failedUpTo_.load() >= change) throw ServerError("Cannot create file " + path);
        bool expected = false;
        if (saving_.compare_exchange_strong(expected, true)) break;
        WaitWhileEqual(saveGeneration_, generation);
    }

    // Only the maker of a save touches lastSaveStart_, and one save runs at a time.
    struct EndOfSave {
        TableLock& lock;
        ~EndOfSave() {
            lock.saving_.store(false);
            lock.saveGeneration_.fetch_add(1);
            WakeAll(lock.saveGeneration_);
        }
    } endOfSave{*this};
    // The rest of the interval, looked at every few milliseconds for the early-save count.
    const auto due = lastSaveStart_ + saveInterval_;
    for (auto now = std::chrono::steady_clock::now(); now < due; now = std::chrono::steady_clock::now()) {
        // Counted from the last save that ended, placed or failed: failing saves keep their interval.
        const std::uint64_t ended = std::max(savedUpTo_.load(), failedUpTo_.load());
        if (earlySaveChanges_ > 0 && newestWaited_.load() >= ended + earlySaveChanges_) break;
        std::this_thread::sleep_until(earlySaveChanges_ > 0 ? std::min(due, now + kEarlySaveLook) : due);
    }
    std::uint64_t covered = 0;
    const auto start = std::chrono::steady_clock::now();
    lastSaveStart_ = start;
    saveCount_.fetch_add(1);
    // Out of memory while formatting: this save did not happen, so it neither held nor
    // failed a change, and the exception goes to its maker.
    Bytes content;
    {
        TableLockGuard guard(*this);
        covered = table_.ChangeCount();
        content = formatter_.Format(table_);
    }
    const bool placed = WriteDurableFile(path, content, Placement::Replace).placed;
    saveTimes_.Record(std::chrono::steady_clock::now() - start);
    if (afterSave_) afterSave_();
    // A failed directory flush is no failure: the file is already in place.
    std::atomic<std::uint64_t>& outcome = placed ? savedUpTo_ : failedUpTo_;
    if (outcome.load() < covered) outcome.store(covered);
    if (!placed) throw ServerError("Cannot create file " + path);
}

std::string VehicleFilePath(const std::string& dataDirectory) { return dataDirectory + "/Aktualne.txt"; }

namespace {
void KeepCopyOfUnreadableFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return;  // nothing to keep
    const std::string copy = path + FormatFileStamp(DateTime::Now()) + ".bak";
    std::error_code ec;
    std::filesystem::copy_file(path, copy, std::filesystem::copy_options::skip_existing, ec);
}
}  // namespace

bool LoadVehicleTableAtStart(TableLock& lock, const std::string& dataDirectory) {
    int counter = 1;
    while (lock.IsBusy()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (++counter > 60) return false;
    }
    VehicleTable& table = lock.Acquire();
    struct Releaser {
        TableLock& l;
        ~Releaser() { l.Release(); }
    } releaser{lock};
    const std::string path = VehicleFilePath(dataDirectory);
    try {
        LoadVehicleFile(table, path);
    } catch (const ServerError&) {
        KeepCopyOfUnreadableFile(path);
        throw;
    }
    return true;
}

}  // namespace serwer

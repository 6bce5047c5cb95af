#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "common/LatencyHistogram.hpp"
#include "vehicles/VehicleFile.hpp"
#include "vehicles/VehicleTable.hpp"

namespace serwer {

// The lock around the vehicle table, and the saves of its file: one holder at a time,
// plus a counter of the threads that hold it or wait for it. It has no owner and is not
// re-entrant; Release may come from any thread. It is held only while the table
// changes (or is formatted for a save), never while a unit is waited for.
//
// Takers get the lock in the order they asked for it: a taker that finds it held
// waits in line, and Release hands it straight to the first in line. Positions of one
// vehicle that wait in line are therefore stored in the order they came, and the row
// ends with the newest. A free-for-all when the lock comes free would store them in
// any order.
class TableLock {
public:
    VehicleTable& Acquire();
    void Release();
    bool IsBusy() const { return waitersAndHolders_.load() > 0; }

    // For readers that only look (tests, the load at start): the table without locking.
    VehicleTable& TableUnlocked() { return table_; }

    // The saves of the vehicle file, shared by every change committed before a save
    // began (group commit). A writer changes the table under the lock, takes
    // Table().ChangeCount(), releases the lock, and then calls this, without the lock:
    // it returns once the file at path durably holds the table as of that change. When
    // no save is running, the caller makes one itself: it takes the lock just long
    // enough to format the table, then writes the file (temporary file, fsync, rename)
    // without the lock, so the writers that come meanwhile share the next save. Fails
    // with ServerError "Cannot create file <path>" when the save that held the change
    // failed (every writer whose change it held gets that error); the old file then
    // stays as it was.
    //
    // Saves begin at most once per save interval: a maker that comes sooner after the
    // start of the previous save first waits out the rest of the interval (without the
    // lock), and the table is formatted only then, so the save holds every change
    // committed until it began. A save that takes longer than the interval is followed
    // by the next at once. A first change after a quiet spell is saved at once. A save
    // also begins before its interval is over once the changes waiting for it reach the
    // early-save count, so that at a high rate no unit waits long for its save.
    void WaitUntilSaved(std::uint64_t change, const std::string& path);

    // The least time from the start of one save to the start of the next (zero, the
    // default: a save starts as soon as the previous one ended). Set before the first save.
    void SetSaveInterval(std::chrono::milliseconds interval) { saveInterval_ = interval; }
    // The changes waiting that start a save before its interval is over (0: none do).
    // Set before the first save.
    void SetEarlySaveChanges(std::uint64_t changes) { earlySaveChanges_ = changes; }
    // Called by the maker of every save once the save has ended (placed or failed),
    // before the writers it held are told: what the hook makes durable (the history rows
    // of those changes) is durable when they go on. Set before the first save; it must
    // not throw.
    void SetAfterSave(std::function<void()> hook) { afterSave_ = std::move(hook); }
    // The saves made so far (placed or failed).
    std::uint64_t SaveCount() const { return saveCount_.load(); }

    // How long takers waited for the lock (zero when it was free), and how long each
    // save took from its formatting to the file in place (for the metrics).
    const LatencyHistogram& LockWaits() const { return lockWaits_; }
    const LatencyHistogram& SaveTimes() const { return saveTimes_; }

private:
    // One per waiting taker, on its own stack; the line is a singly linked queue.
    struct Waiter {
        std::condition_variable turn;
        bool granted = false;
        Waiter* next = nullptr;
    };

    std::atomic<int> waitersAndHolders_{0};
    std::mutex lineMutex_;
    bool held_ = false;  // stays true while the lock is handed from one taker to the next
    Waiter* first_ = nullptr;
    Waiter* last_ = nullptr;
    VehicleTable table_;

    std::atomic<bool> saving_{false};               // a maker has the next save
    std::atomic<std::uint32_t> saveGeneration_{0};  // counts the saves ended; waited on
    std::atomic<std::uint64_t> savedUpTo_{0};       // every change up to this one is in the file
    std::atomic<std::uint64_t> failedUpTo_{0};      // the changes the last failed save held
    VehicleFileFormatter formatter_;  // used by a save's maker, under the lock
    std::chrono::milliseconds saveInterval_{0};
    std::uint64_t earlySaveChanges_ = 0;
    std::atomic<std::uint64_t> newestWaited_{0};  // the newest change a writer waits for
    std::chrono::steady_clock::time_point lastSaveStart_{};  // of the save made last; its maker's
    std::atomic<std::uint64_t> saveCount_{0};
    std::function<void()> afterSave_;

    LatencyHistogram lockWaits_;
    LatencyHistogram saveTimes_;
};

// Acquire (waiting in line), and Release when the guard goes out of scope.
class TableLockGuard {
public:
    explicit TableLockGuard(TableLock& lock) : lock_(lock), table_(&lock_.Acquire()) {}
    ~TableLockGuard() { lock_.Release(); }
    TableLockGuard(const TableLockGuard&) = delete;
    TableLockGuard& operator=(const TableLockGuard&) = delete;
    VehicleTable& Table() { return *table_; }

private:
    TableLock& lock_;
    VehicleTable* table_;
};

// The load at start: waits for the lock (every 100 ms, at most 60 pauses, then gives
// up quietly and returns false without loading), then loads data directory +
// "/Aktualne.txt" into the table. A load error is thrown to the caller after every
// loadable row is in the table; when the file exists but the load reports an error, a
// copy of the file as it was is kept first as "Aktualne.txt<yyyy_mm_dd_hh_mm_ss>.bak",
// so the next save cannot destroy rows that could not be read.
bool LoadVehicleTableAtStart(TableLock& lock, const std::string& dataDirectory);

// The path of the vehicle file in a data directory.
std::string VehicleFilePath(const std::string& dataDirectory);

}  // namespace serwer

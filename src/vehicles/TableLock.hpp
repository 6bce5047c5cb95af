#pragma once
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include "vehicles/VehicleTable.hpp"

namespace serwer {

// The lock around the vehicle table (and the process-wide memory image): one holder at
// a time, plus a counter of the threads that hold it or wait for it. It has no owner
// and is not re-entrant; Release may come from any thread.
//
// Takers get the lock in the order they asked for it: a taker that finds it held
// waits in line, and Release hands it straight to the first in line. Positions of one
// vehicle that wait behind a long section (a memory read holds the lock for half a
// minute) are therefore stored in the order they came, and the row ends with the
// newest. A free-for-all when the lock comes free would store them in any order.
class TableLock {
public:
    VehicleTable& Acquire();
    void Release();
    bool IsBusy() const { return waitersAndHolders_.load() > 0; }

    // For readers that only look (tests, the load at start): the table without locking.
    VehicleTable& TableUnlocked() { return table_; }

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

#pragma once
#include <atomic>
#include <semaphore>
#include <string>

#include "vehicles/VehicleTable.hpp"

// The lock around the vehicle table (and the process-wide memory image): a semaphore
// with one permit plus a counter of the threads that hold it or wait for it. It has no
// owner and is not re-entrant; Release may come from any thread.
//
// Every taker first waits until IsBusy is false, then Acquires, and Releases on every
// way out (TableLockGuard). Two takers that both see it free both go on to Acquire,
// and the second one waits there.
class TableLock {
public:
    VehicleTable& Acquire();
    void Release();
    bool IsBusy() const { return waitersAndHolders_.load() > 0; }

    // The pre-wait of the handlers and dialogs: blocks until IsBusy is false, without
    // keeping a processor busy (the waiters sleep until the last holder or waiter
    // leaves).
    void WaitUntilFree() const;

    // For readers that only look (tests, the load at start): the table without locking.
    VehicleTable& TableUnlocked() { return table_; }

private:
    std::atomic<int> waitersAndHolders_{0};
    std::binary_semaphore permit_{1};
    VehicleTable table_;
};

// Pre-wait, Acquire, and Release when the guard goes out of scope.
class TableLockGuard {
public:
    explicit TableLockGuard(TableLock& lock) : lock_(lock) {
        lock_.WaitUntilFree();
        table_ = &lock_.Acquire();
    }
    ~TableLockGuard() { lock_.Release(); }
    TableLockGuard(const TableLockGuard&) = delete;
    TableLockGuard& operator=(const TableLockGuard&) = delete;
    VehicleTable& Table() { return *table_; }

private:
    TableLock& lock_;
    VehicleTable* table_ = nullptr;
};

// The load at start: waits for the lock (every 100 ms, at most 60 pauses, then gives
// up quietly and returns false without loading), then loads data directory +
// "/Aktualne.txt" into the table. A load error is thrown to the caller after every
// loadable row is in the table; when the file exists but the load reports an error, a
// copy of the file as it was is kept first as "Aktualne.txt<yyyy_mm_dd_hh_mm_ss>.bak",
// so the next save cannot destroy rows that could not be read.
//
// Before loading, it removes the temporary files that a save or an archive write cut
// short by a crash leaves behind (see RemoveStaleTemporaryFiles).
bool LoadVehicleTableAtStart(TableLock& lock, const std::string& dataDirectory);

// The vehicle file and the archives are written under a temporary name beside their
// final one, "<final name>.tmp<process id>_<serial>", and renamed when complete; a
// process killed meanwhile leaves the temporary file behind. This removes such files
// of Aktualne.txt in the data directory and of .sve archives in the data directory
// and its subdirectories (one level: the per-owner archive directories). Nothing else
// is touched, and a file that cannot be removed is left as it is. Only for the start,
// before anything is written: one data directory belongs to one server.
// Returns the number of files removed.
int RemoveStaleTemporaryFiles(const std::string& dataDirectory);

// The path of the vehicle file in a data directory.
std::string VehicleFilePath(const std::string& dataDirectory);

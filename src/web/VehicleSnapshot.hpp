#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "vehicles/TableLock.hpp"
#include "vehicles/VehicleRow.hpp"

namespace serwer {

// The vehicle table as of one moment, shared by every reader of that moment.
struct VehicleRows {
    std::vector<VehicleRow> rows;
    std::uint64_t change = 0;  // the table's ChangeCount the rows hold
    // Parallel to rows: the change that last touched each (empty: all at `change`).
    std::vector<std::uint64_t> rowChanges;
    // The rows changed after a change from here on are all the difference to the copy
    // of that change; before it a vehicle went away (a cleared table, a renamed row),
    // which only the whole list tells.
    std::uint64_t completeSince = 0;

    // The rows changed after `since`, when those tell the whole difference.
    std::optional<std::vector<std::size_t>> ChangedSince(std::uint64_t since) const;
};

// Copies of the live table for readers that must never hold up the units: the rows are
// copied outside the TableLock, and under it only the rows changed since the last copy
// are taken (a scan of the change numbers), so the lock is held for microseconds even
// at 10,000 vehicles. Unchanged tables give the same copy again.
class VehicleSnapshot {
public:
    explicit VehicleSnapshot(TableLock& lock) : lock_(lock) {}

    std::shared_ptr<const VehicleRows> Rows();

private:
    TableLock& lock_;
    std::mutex mutex_;  // one copy at a time
    std::shared_ptr<const VehicleRows> last_ = std::make_shared<VehicleRows>();
};

}  // namespace serwer

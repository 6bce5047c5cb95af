#include "web/VehicleSnapshot.hpp"

namespace serwer {

std::optional<std::vector<std::size_t>> VehicleRows::ChangedSince(std::uint64_t since) const {
    if (since < completeSince || since > change) return std::nullopt;
    std::vector<std::size_t> changed;
    for (std::size_t i = 0; i < rows.size(); ++i)
        if ((i < rowChanges.size() ? rowChanges[i] : change) > since) changed.push_back(i);
    return changed;
}

std::shared_ptr<const VehicleRows> VehicleSnapshot::Rows() {
    std::lock_guard<std::mutex> one(mutex_);
    {
        TableLockGuard guard(lock_);
        if (guard.Table().ChangeCount() == last_->change) return last_;
    }
    auto next = std::make_shared<VehicleRows>(*last_);  // the copy, without the lock
    {
        TableLockGuard guard(lock_);
        const VehicleTable& table = guard.Table();
        const std::size_t size = table.Size();
        const std::size_t kept = std::min(size, next->rows.size());
        if (size < next->rows.size()) next->completeSince = table.ChangeCount();
        next->rows.resize(size);
        next->rowChanges.resize(size);
        // A row changed since the last copy has a newer change number; a cleared and
        // reloaded table has only newer ones.
        for (std::size_t i = 0; i < size; ++i) {
            if (i < kept && table.RowChange(i) <= last_->change) continue;
            const VehicleRow& row = table.Row(i);
            if (i < kept && row.NAZWA != next->rows[i].NAZWA) next->completeSince = table.ChangeCount();
            next->rows[i] = row;
            next->rowChanges[i] = table.RowChange(i);
        }
        next->change = table.ChangeCount();
    }
    last_ = next;
    return next;
}

}  // namespace serwer

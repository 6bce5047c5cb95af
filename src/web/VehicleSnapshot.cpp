#include "web/VehicleSnapshot.hpp"

namespace serwer {

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
        next->rows.resize(size);
        // A row changed since the last copy has a newer change number; a cleared and
        // reloaded table has only newer ones.
        for (std::size_t i = 0; i < size; ++i)
            if (i >= kept || table.RowChange(i) > last_->change) next->rows[i] = table.Row(i);
        next->change = table.ChangeCount();
    }
    last_ = next;
    return next;
}

}  // namespace serwer

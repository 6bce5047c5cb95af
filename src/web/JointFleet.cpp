#include "web/JointFleet.hpp"

#include <unordered_set>

#include "common/ServerError.hpp"
#include "link/DecodedPosition.hpp"
#include "server/FillRow.hpp"

namespace serwer {

std::shared_ptr<const VehicleRows> JointFleet::Join(std::shared_ptr<const VehicleRows> own,
                                                    std::optional<std::vector<HistoryRecord>> last) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool fresh = last.has_value();
    if (fresh) last_ = std::move(last);
    if (!last_) return own;
    if (!fresh && own == own_ && joined_) return joined_;

    std::unordered_set<std::string> ownNames;
    for (const VehicleRow& row : own->rows)
        if (row.NAZWA) ownNames.insert(*row.NAZWA);
    std::vector<VehicleRow> others;
    for (const HistoryRecord& position : *last_) {
        if (ownNames.count(position.registration)) continue;
        VehicleRow row;
        row.NAZWA = position.registration;
        row.LICZNIK_ODCZYTOW = std::nullopt;
        try {
            FillRow(row, DecodePosition(position.raw, decimalSeparator_), decimalSeparator_);
        } catch (const ServerError&) {
            // The columns filled before the field that could not be decoded stay.
        }
        row.CutToWidths();
        others.push_back(std::move(row));
    }
    if (others != others_ || !joined_) {
        ++generation_;
        othersChange_ = own->change + generation_;
        others_ = std::move(others);
    }
    own_ = own;
    auto joined = std::make_shared<VehicleRows>();
    joined->change = own->change + generation_;
    joined->completeSince = std::max(own->completeSince + generation_, othersChange_);
    joined->rows = own->rows;
    joined->rowChanges.reserve(own->rows.size() + others_.size());
    for (std::size_t i = 0; i < own->rows.size(); ++i)
        joined->rowChanges.push_back((i < own->rowChanges.size() ? own->rowChanges[i] : own->change) + generation_);
    joined->rows.insert(joined->rows.end(), others_.begin(), others_.end());
    joined->rowChanges.resize(joined->rows.size(), othersChange_);
    joined_ = joined;
    return joined_;
}

}  // namespace serwer

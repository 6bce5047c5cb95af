#include "vehicles/VehicleTable.hpp"

#include <unordered_set>
#include <utility>

#include "common/ServerError.hpp"

namespace serwer {

namespace {

const char* const kDuplicateKey = "Duplicate index value. Operation aborted.";

}  // namespace

std::optional<std::size_t> VehicleTable::Find(const std::string& name) const {
    const auto it = index_.find(name);
    if (it == index_.end()) return std::nullopt;
    return it->second;
}

void VehicleTable::Post(std::size_t index, VehicleRow row) {
    VehicleRow& target = rows_.at(index);
    row.CutToWidths();
    if (row.NAZWA) {
        const auto it = index_.find(*row.NAZWA);
        if (it != index_.end() && it->second != index) throw ServerError(kDuplicateKey);
    }
    if (target.NAZWA) index_.erase(*target.NAZWA);
    target = std::move(row);
    if (target.NAZWA) index_[*target.NAZWA] = index;
    rowChanges_[index] = ++changes_;
}

std::size_t VehicleTable::Append(VehicleRow row) {
    row.CutToWidths();
    if (row.NAZWA && index_.contains(*row.NAZWA)) throw ServerError(kDuplicateKey);
    const std::size_t index = rows_.size();
    rows_.push_back(std::move(row));
    rowChanges_.push_back(++changes_);
    if (rows_.back().NAZWA) index_[*rows_.back().NAZWA] = index;
    return index;
}

void VehicleTable::Clear() {
    rows_.clear();
    rowChanges_.clear();
    index_.clear();
    ++changes_;
}

bool VehicleTable::AppendLoaded(std::vector<VehicleRow> rows) {
    // The key is checked once for the whole batch, as a rebuild after the last line.
    // Of several rows with one NAZWA the first (already in the table or earliest in
    // the batch) stays, so one doubled line cannot hide the vehicle.
    bool unique = true;
    std::unordered_set<std::string> names;
    for (const auto& entry : index_) names.insert(entry.first);
    rows_.reserve(rows_.size() + rows.size());
    for (VehicleRow& row : rows) {
        row.CutToWidths();
        if (row.NAZWA && !names.insert(*row.NAZWA).second) {
            unique = false;
            continue;
        }
        rows_.push_back(std::move(row));
        rowChanges_.push_back(++changes_);
    }
    Reindex();
    return unique;
}

void VehicleTable::Reindex() {
    index_.clear();
    for (std::size_t i = 0; i < rows_.size(); ++i)
        if (rows_[i].NAZWA) index_.emplace(*rows_[i].NAZWA, i);
}

}  // namespace serwer

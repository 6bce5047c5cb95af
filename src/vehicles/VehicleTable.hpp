#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "vehicles/VehicleRow.hpp"

namespace serwer {

// The live vehicle table: rows in insertion order with a unique, case-sensitive key
// on NAZWA. Only a holder of the TableLock touches it.
//
// Rows are edited as copies and committed with Post or Append, so a run that fails
// before it commits leaves no half-edited row behind.
class VehicleTable {
public:
    std::size_t Size() const { return rows_.size(); }
    const std::vector<VehicleRow>& Rows() const { return rows_; }
    const VehicleRow& Row(std::size_t index) const { return rows_.at(index); }

    // The index of the row whose NAZWA equals name exactly.
    std::optional<std::size_t> Find(const std::string& name) const;

    // Commits an edited copy over row index. The text columns are cut to their widths.
    // Fails with ServerError "Duplicate index value. Operation aborted." when the new
    // NAZWA belongs to another row; the table is then unchanged.
    void Post(std::size_t index, VehicleRow row);
    // Commits a new row at the end and returns its index; the same failure as Post.
    std::size_t Append(VehicleRow row);

    void Clear();

    // Every change of the table gets the next number: ChangeCount is the number of the
    // last change, and RowChange(index) the number of the last change of that row. A
    // save of the table made under the lock holds every change up to ChangeCount.
    std::uint64_t ChangeCount() const { return changes_; }
    std::uint64_t RowChange(std::size_t index) const { return rowChanges_.at(index); }

    // Appends loaded rows in order. A NAZWA already present keeps its first row; the
    // later ones are dropped, and the return value is then false (the caller reports
    // "Duplicate index value. Operation aborted.").
    bool AppendLoaded(std::vector<VehicleRow> rows);

private:
    void Reindex();
    std::vector<VehicleRow> rows_;
    std::vector<std::uint64_t> rowChanges_;  // parallel to rows_
    std::uint64_t changes_ = 0;
    std::unordered_map<std::string, std::size_t> index_;  // NAZWA -> row (non-null keys only)
};

}  // namespace serwer

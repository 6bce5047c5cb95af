#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "history/HistoryRecord.hpp"
#include "web/VehicleSnapshot.hpp"

namespace serwer {

// The vehicle list of servers that share one database: this server's own table, and
// after it the other servers' vehicles, made from their last positions there (the
// columns a position fills, as their own tables have them). A vehicle in this server's
// table is shown as the table has it.
//
// Change numbers run on from the table's, so that a page asking for the changes since
// its copy gets them; when the other servers' vehicles changed, the whole list.
class JointFleet {
public:
    explicit JointFleet(char decimalSeparator) : decimalSeparator_(decimalSeparator) {}

    // last: every vehicle's last position, freshly read; nothing keeps the ones read
    // before. Gives own itself while nothing has been read.
    std::shared_ptr<const VehicleRows> Join(std::shared_ptr<const VehicleRows> own,
                                            std::optional<std::vector<HistoryRecord>> last);

private:
    char decimalSeparator_;
    std::mutex mutex_;
    std::optional<std::vector<HistoryRecord>> last_;  // as read last
    std::vector<VehicleRow> others_;                  // made from last_ for the table of ownChange_
    std::uint64_t generation_ = 0;   // how often the others' rows changed
    std::uint64_t othersChange_ = 0;  // the joint change number at which they last did
    std::shared_ptr<const VehicleRows> own_, joined_;
};

}  // namespace serwer

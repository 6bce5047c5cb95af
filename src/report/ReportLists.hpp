#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "common/DateTime.hpp"
#include "vehicles/VehicleRow.hpp"

namespace serwer {

// Which rows of the display copy the three lists of the summary report print. Each
// list holds indices into the rows it was chosen from, in the rows' (the grid's) order.
struct SummaryReportLists {
    std::vector<std::size_t> all;             // list 1: every row
    std::vector<std::size_t> readLastDay;     // list 2: ODCZYT after the start of yesterday
    std::vector<std::size_t> recentPosition;  // list 3: OPIS not older than three hours
};

// The start of yesterday: today's date minus one day, at 00:00. A read counts for list 2
// only when it is strictly later.
DateTime ReadListThreshold(DateTime now);

// Three hours before now as "yyyy.mm.dd-hh:mm", the form OPIS is stored in; an OPIS that
// is the same text or greater (compared as bytes) belongs to list 3.
std::string PositionListThreshold(DateTime now);

// A row without a read time, or without a position text, cannot be compared and is left
// out of list 2, or list 3.
SummaryReportLists SelectReportLists(const std::vector<VehicleRow>& rows, DateTime now);

}  // namespace serwer

#include "report/ReportLists.hpp"

namespace serwer {

DateTime ReadListThreshold(DateTime now) { return now.Date().PlusDays(-1); }

std::string PositionListThreshold(DateTime now) {
    // The same formatter that writes OPIS, so the text order is the time order.
    return FormatFixTime(now.PlusHours(-3));
}

SummaryReportLists SelectReportLists(const std::vector<VehicleRow>& rows, DateTime now) {
    SummaryReportLists lists;
    const DateTime readThreshold = ReadListThreshold(now);
    const std::string positionThreshold = PositionListThreshold(now);
    lists.all.reserve(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const VehicleRow& row = rows[i];
        lists.all.push_back(i);
        if (row.ODCZYT && *row.ODCZYT > readThreshold) lists.readLastDay.push_back(i);
        // std::string compares its chars as unsigned bytes.
        if (row.OPIS && !row.OPIS->empty() && *row.OPIS >= positionThreshold) lists.recentPosition.push_back(i);
    }
    return lists;
}

}  // namespace serwer

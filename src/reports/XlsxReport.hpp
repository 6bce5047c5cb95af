#pragma once
#include <string>

#include "reports/ReportTable.hpp"

namespace serwer {

// The report as an XLSX workbook (libxlsxwriter): one sheet named by the report's title,
// a bold header row of the column titles that stays in view, real numbers, dates and
// times (Polish time) and durations ("[h]:mm") in the cells, column widths, a filter on
// the header. The bytes of the file; fails with ServerError (the text says why).
std::string ReportXlsx(const ReportTable& table);

}  // namespace serwer

#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "events/Zones.hpp"
#include "history/HistoryStore.hpp"
#include "reports/ReportSettings.hpp"
#include "reports/ReportTable.hpp"
#include "reports/Step.hpp"

namespace serwer {

// Which report, of which vehicles, over which span.
struct ReportRequest {
    ReportKind kind = ReportKind::Trasy;
    std::vector<std::string> registrations;  // Windows-1250; empty: every vehicle
    std::int64_t fromUtc = 0, toUtc = 0;     // [from, to)
    bool perDay = false;                     // the summaries: a row per day too
    // The list names every vehicle wanted even when it is empty (of a viewer who sees
    // none): then the report has no rows.
    bool listIsWhole = false;
};

// What a report goes by besides the history.
struct ReportContext {
    ReportSettings settings;
    const ZoneSet* zones = nullptr;  // the places' names; none: coordinates only
    // A vehicle's tank in litres (Zbiornik); none: fuel in percentage points only.
    std::function<std::optional<double>(const std::string& registration)> tankLitres;
};

// The report from the stored positions and events. Fails with ServerError when the
// history cannot be read.
ReportTable MakeReport(HistoryStore& store, const ReportRequest& request, const ReportContext& context);

// The name of a place: the zones it is in that apply to the vehicle, else its
// coordinates ("52.22970, 21.01220"); empty when none is known. Windows-1250.
std::string PlaceName(const Place& place, const std::string& registration, const ZoneSet* zones);

// The Polish name of a column counting events of a type: "Przekroczenia prędkości", …
// (Windows-1250).
std::string EventCountTitle(EventType type);

}  // namespace serwer

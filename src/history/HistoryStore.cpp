#include "history/HistoryStore.hpp"

namespace serwer {

void HistoryStore::ScanTrack(const TrackQuery& query, TrackVisitor& visitor) {
    auto scan = [&](std::optional<std::string> registration) {
        for (const HistoryRecord& row : Query(HistoryQuery{std::move(registration), query.fromUtc, query.toUtc}))
            if (auto point = TrackPointOf(row)) visitor.Point(*point);
    };
    if (query.registrations.empty()) scan(std::nullopt);
    for (const std::string& registration : query.registrations) scan(registration);
}

}  // namespace serwer

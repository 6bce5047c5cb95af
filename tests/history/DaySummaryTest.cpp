#include <gtest/gtest.h>

#include <vector>

#include "history/DaySummary.hpp"
#include "support/HistoryBackends.hpp"

using namespace serwer;

namespace {

constexpr std::int64_t k0600Dec8Utc = 1796709600;  // 2026-12-08 06:00 UTC, 07:00 Polish time

HistoryRecord Row(const std::string& registration, std::optional<std::int64_t> fixUtc, double lat, double speed,
                  const std::string& gps = "OK") {
    HistoryRecord r;
    r.registration = registration;
    r.fixTimeUtc = fixUtc;
    r.receivedUtc = fixUtc.value_or(k0600Dec8Utc + 100) + 5;
    r.latitude = lat;
    r.longitude = 21.0;
    r.speedKmh = speed;
    r.gps = gps;
    return r;
}

// The rows summarized as the store gives them back, on each kind of store.
class DaySummaryRules : public OnEachHistoryBackend {};
INSTANTIATE_TEST_SUITE_P(Backends, DaySummaryRules, kHistoryBackends, HistoryBackendName);

TEST_P(DaySummaryRules, DistanceOverGpsFixesMovingFromFiveKmhAndPolishDays) {
    const std::vector<HistoryRecord> rows = {
        Row("WA1", k0600Dec8Utc, 52.0, 5.0),                  // moving 10 min
        Row("WA1", k0600Dec8Utc + 600, 52.1, 0.0),            // standing 10 min
        Row("WA1", k0600Dec8Utc + 1200, 60.0, 60.0, "BRAK"),  // no GPS: no distance; moving 20 min
        Row("WA1", k0600Dec8Utc + 2400, 52.3, 4.99),          // the day's last position
        Row("WA1", std::nullopt, 50.0, 90.0),                 // no fix time: skipped
        Row("WA1", 1796772600, 52.3, 30.0),                   // 23:30 UTC is 00:30 of 9 December
        Row("WA2", 1782945000, 52.0, 0.0),                    // 1 July 22:30 UTC is 00:30 of 2 July
        Row("WA1", k0600Dec8Utc + 1800, 99.9999833, 60.0),    // off the globe: no distance; moving 10 min
    };
    store().Append(rows);
    const std::vector<HistoryRecord> stored = store().Query({std::nullopt, 1782945000, 1796772600 + 1});
    ASSERT_EQ(stored.size(), rows.size());
    const std::vector<DaySummary> days = SummarizeDays(stored);
    EXPECT_NEAR(GreatCircleKm(0.0, 0.0, 0.0, 90.0), 10007.5572210, 1e-6);  // a quarter of the equator
    ASSERT_EQ(days.size(), 3u);
    EXPECT_EQ(days[0].registration, "WA1");
    EXPECT_EQ(days[0].day, DateTime::FromParts({2026, 12, 8}));
    EXPECT_EQ(days[0].positions, 5);
    EXPECT_NEAR(days[0].distanceKm, 33.3585241, 1e-6);  // 0.3 degree of a meridian
    EXPECT_EQ(days[0].first, rows[0]);
    EXPECT_EQ(days[0].last, rows[3]);
    EXPECT_DOUBLE_EQ(days[0].maxSpeedKmh, 60.0);
    EXPECT_EQ(days[0].movingSeconds, 1800);
    EXPECT_EQ(days[0].standingSeconds, 600);

    EXPECT_EQ(days[1].day, DateTime::FromParts({2026, 12, 9}));
    EXPECT_EQ(days[1].positions, 1);
    EXPECT_DOUBLE_EQ(days[1].distanceKm, 0.0);  // nothing is carried over midnight
    EXPECT_EQ(days[2].registration, "WA2");
    EXPECT_EQ(days[2].day, DateTime::FromParts({2026, 7, 2}));
}

}  // namespace

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/ServerError.hpp"
#include "history/HistoryWriter.hpp"
#include "history/SqliteHistoryStore.hpp"
#include "link/PositionRecord.hpp"
#include "support/HistoryBackends.hpp"
#include "support/TestDirectory.hpp"
#include "unitsim/PositionRecordBuilder.hpp"

using namespace serwer;

namespace {

constexpr std::int64_t kDec8 = 1796688000;  // 2026-12-08 00:00:00 UTC
constexpr std::int64_t kDay = 86400;

HistoryRecord Row(const std::string& registration, std::int64_t fixUtc, std::int64_t receivedUtc) {
    PositionOptions o = SamplePosition(registration);
    HistoryRecord r = MakeHistoryRecord(BuildPositionRecord(o), receivedUtc);
    r.fixTimeUtc = fixUtc;
    return r;
}

std::vector<std::string> Files(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST(HistoryRecordTest, DecodesTheSamplePositionIntoSignedDegreesAndUtc) {
    PositionOptions o = SamplePosition("WA12345");
    o.hemisphere = 3;  // west and south
    const HistoryRecord r = MakeHistoryRecord(BuildPositionRecord(o), 1796700000);
    EXPECT_EQ(r.registration, "WA12345");
    EXPECT_EQ(r.ownerCode, "001A2B3C4D5E6F70");
    EXPECT_EQ(r.fixTimeUtc, 1796737500);  // 2026-12-08 13:45 UTC, not the local time
    ASSERT_TRUE(r.latitude && r.longitude);
    EXPECT_LT(*r.latitude, -52.0);
    EXPECT_LT(*r.longitude, -20.0);
    EXPECT_DOUBLE_EQ(*r.speedKmh, 12.34);
    EXPECT_EQ(r.odometerKm, 123400);
    EXPECT_TRUE(r.engineOn);
    EXPECT_EQ(r.gps, "OK");
    EXPECT_EQ(r.raw.size(), 128u);
}

TEST(HistoryRecordTest, CoordinatesOffTheGlobeOrWithSixtyMinutesAreNoCoordinates) {
    PositionOptions o = SamplePosition("WA12345");
    o.latitude = {99, 59, 999};
    o.longitude = {999, 59, 999};
    HistoryRecord r = MakeHistoryRecord(BuildPositionRecord(o), 1796700000);
    EXPECT_EQ(r.latitude, std::nullopt);
    EXPECT_EQ(r.longitude, std::nullopt);
    o.latitude = {52, 60, 0};
    o.longitude = {180, 0, 0};
    const Bytes record = BuildPositionRecord(o);
    r = MakeHistoryRecord(record, 1796700000);
    EXPECT_EQ(DecodeLatitude(record, '.'), "53.0000000N");  // the table's text stays as it was
    EXPECT_EQ(r.latitude, std::nullopt);
    EXPECT_EQ(r.longitude, 180.0);  // the antimeridian is on the globe
}

class HistoryStoreTest : public OnEachHistoryBackend {};
INSTANTIATE_TEST_SUITE_P(Backends, HistoryStoreTest, kHistoryBackends, HistoryBackendName);

TEST_P(HistoryStoreTest, QueriesOneVehicleOrAllByFixTimeAcrossMonths) {
    // Received on 30 November and on 8 December: two months.
    store().Append({Row("WA2", kDec8 + 3600, kDec8 + 3600), Row("WA1", kDec8 + 7200, kDec8 + 7200)});
    store().Append({Row("WA1", kDec8 - 8 * kDay, kDec8 - 8 * kDay), Row("WA1", kDec8 + 60, kDec8 + 60)});
    if (OnSqlite()) {
        const auto files = Files(Directory() / "historia");
        EXPECT_EQ(std::count(files.begin(), files.end(), "pozycje-2026-11.db"), 1);
        EXPECT_EQ(std::count(files.begin(), files.end(), "pozycje-2026-12.db"), 1);
    }

    const auto one = store().Query({"WA1", kDec8, kDec8 + kDay});
    ASSERT_EQ(one.size(), 2u);
    EXPECT_EQ(one[0].fixTimeUtc, kDec8 + 60);
    EXPECT_EQ(one[1].fixTimeUtc, kDec8 + 7200);
    EXPECT_EQ(one[1], Row("WA1", kDec8 + 7200, kDec8 + 7200));  // every field comes back

    EXPECT_EQ(store().Query({std::nullopt, kDec8 - 30 * kDay, kDec8 + 3600}).size(), 2u);  // the end is excluded
    const auto all = store().Query({std::nullopt, kDec8 - 30 * kDay, kDec8 + 3601});
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].registration + all[1].registration + all[2].registration, "WA1WA1WA2");
    EXPECT_TRUE(store().Query({"WA3", kDec8, kDec8 + kDay}).empty());
}

TEST_P(HistoryStoreTest, EventsAreKeptInTheMonthTheyStartedAnEndReplacesItsStartAndALimitGivesTheEarliest) {
    auto event = [](std::uint64_t id, EventType type, std::int64_t start) {
        Event e;
        e.id = id, e.type = type, e.registration = "WA1", e.startUtc = start, e.interval = true;
        e.text = "t";
        return e;
    };
    Event open = event(3, EventType::PrzekroczeniePredkosci, kDec8 - kDay);  // 7 December
    store().AppendEvents(
        {event(1, EventType::Zaplon, kDec8 - 8 * kDay), open, event(2, EventType::Zaplon, kDec8 + 60)});
    open.endUtc = kDec8 + 600;  // ends in the next month: stays in the month of its start
    store().AppendEvents({open});

    EventQuery all{std::nullopt, std::nullopt, kDec8 - 30 * kDay, kDec8 + kDay};
    const auto events = store().QueryEvents(all);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].id, 1u);
    EXPECT_EQ(events[1], open);
    EXPECT_EQ(events[2].id, 2u);
    all.limit = 2;
    const auto first = store().QueryEvents(all);
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[1].id, 3u);
    EXPECT_EQ(store().QueryEvents({std::nullopt, EventType::Zaplon, kDec8 - 30 * kDay, kDec8 + kDay}).size(), 2u);

    store().RemoveEvents({"WA1", EventType::Zaplon, kDec8 - 30 * kDay, kDec8});
    const auto left = store().QueryEvents({std::nullopt, std::nullopt, 0, kDec8 + kDay});
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0], open);
    EXPECT_EQ(left[1].id, 2u);
}

// Ids are hashes over all 64 bits: of events that started together, the smaller id
// comes first, the top bit counted as any other.
TEST_P(HistoryStoreTest, EventsThatStartedTogetherComeByTheirIdAsAnUnsignedNumber) {
    const std::uint64_t high = 0x8000000000000001u, low = 2;
    Event a, b;
    a.id = high, b.id = low;
    a.type = b.type = EventType::WjazdDoStrefy;
    a.registration = b.registration = "WA1";
    a.startUtc = b.startUtc = kDec8;
    store().AppendEvents({a, b});
    const auto events = store().QueryEvents({std::nullopt, std::nullopt, kDec8, kDec8 + 1, 1});
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].id, low);
    const auto both = store().QueryEvents({std::nullopt, std::nullopt, kDec8, kDec8 + 1});
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(both[0].id, low);
    EXPECT_EQ(both[1], a);
}

TEST_P(HistoryStoreTest, ARowWithoutAFixTimeIsFoundByTheTimeItWasReceived) {
    HistoryRecord undated = Row("WA1", 0, kDec8 + 120);
    undated.fixTimeUtc = std::nullopt;
    store().Append({Row("WA1", kDec8 + 60, kDec8 + 60), undated, Row("WA1", kDec8 + 180, kDec8 + 180)});
    const auto rows = store().Query({"WA1", kDec8, kDec8 + kDay});
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].fixTimeUtc, kDec8 + 60);
    EXPECT_EQ(rows[1], undated);  // in the order of its receipt
    EXPECT_EQ(rows[2].fixTimeUtc, kDec8 + 180);
    EXPECT_EQ(store().Query({"WA1", kDec8 + 121, kDec8 + kDay}).size(), 1u);  // received before the span
}

TEST_P(HistoryStoreTest, PruneDropsOnlyWholeMonthsOlderThanTheDaysKept) {
    for (std::int64_t t : {kDec8 - 70 * kDay, kDec8 - 40 * kDay, kDec8 - 8 * kDay, kDec8})
        store().Append({Row("WA1", t, t)});  // September, October, November, December
    EXPECT_EQ(store().Prune(0, kDec8), 0);
    // 38 days before 8 December is 31 October: only September has ended before it.
    EXPECT_EQ(store().Prune(38, kDec8), 1);
    EXPECT_EQ(store().Query({"WA1", 0, kDec8 + kDay}).size(), 3u);
    EXPECT_EQ(store().Prune(7, kDec8), 2);  // October and November
    EXPECT_EQ(store().Query({"WA1", 0, kDec8 + kDay}).size(), 1u);
    if (OnSqlite()) {
        EXPECT_EQ(Files(Directory() / "historia").front(), "pozycje-2026-12.db");
    }
    store().Append({Row("WA1", kDec8 - 8 * kDay, kDec8 - 8 * kDay)});  // a dropped month is made again
    EXPECT_EQ(store().Query({"WA1", 0, kDec8 + kDay}).size(), 2u);
}

namespace {

// What a scan gave of each vehicle, as the visitor is to keep it.
struct PointRecorder : TrackVisitor {
    std::map<std::string, std::vector<TrackPoint>> points;
    int restarts = 0;
    void Point(const TrackPoint& p) override { points[p.registration].push_back(p); }
    void Restart(const std::string& registration) override {
        ++restarts;
        points.erase(registration);
    }
};

}  // namespace

// The store's own scan gives what the rows of its Query make: the same points of each
// vehicle in the same order, whether read whole, through the index or restarted.
TEST_P(HistoryStoreTest, AScanGivesThePointsOfTheQueryRowsInTheirOrder) {
    std::vector<HistoryRecord> rows;
    for (int i = 0; i < 6; ++i) {
        rows.push_back(Row("WA1", kDec8 + 600 * i, kDec8 + 600 * i + 5));
        rows.back().fuel = "Sonda-" + std::to_string(40 + i) + " %";
        rows.push_back(Row("WA2", kDec8 + 300 * i, kDec8 + 300 * i + 5));
    }
    rows[3].gps = "BRAK";
    rows[5].longitude = std::nullopt;  // a latitude alone is no place
    rows[7].driver = std::string("A\0B", 3);
    HistoryRecord undated = Row("WA1", 0, kDec8 + 700);
    undated.fixTimeUtc = std::nullopt;
    rows.push_back(undated);
    for (std::int64_t received : {kDec8 + 4000, kDec8 + 3000}) {  // one fix time, the later receipt written first
        rows.push_back(Row("WA4", kDec8 + 300, received));
        rows.back().driver = "D" + std::to_string(received - kDec8);
    }
    rows.push_back(Row("WA3", kDec8 - 8 * kDay, kDec8 - 8 * kDay));  // November
    rows.push_back(Row("WA3", kDec8 - 9 * kDay, kDec8 + 60));        // received in December
    store().Append(rows);

    for (const TrackQuery& query : {TrackQuery{{}, kDec8 - 20 * kDay, kDec8 + 10 * kDay},
                                    TrackQuery{{}, kDec8, kDec8 + kDay},
                                    TrackQuery{{"WA3", "WA4", "WA2"}, kDec8 - 20 * kDay, kDec8 + kDay}}) {
        PointRecorder own, base;
        store().ScanTrack(query, own);
        store().HistoryStore::ScanTrack(query, base);
        EXPECT_EQ(base.restarts, 0);
        EXPECT_EQ(own.points, base.points) << query.fromUtc << " " << query.registrations.size();
    }
    PointRecorder base;
    store().HistoryStore::ScanTrack({{}, kDec8 - 20 * kDay, kDec8 + 10 * kDay}, base);
    const std::vector<TrackPoint>& wa2 = base.points["WA2"];
    ASSERT_EQ(wa2.size(), 6u);
    EXPECT_EQ(wa2[1].timeUtc, kDec8 + 300);
    EXPECT_FALSE(wa2[1].fix);  // BRAK
    EXPECT_EQ(wa2[2].latitude, 0.0);
    EXPECT_FALSE(wa2[2].fix);
    EXPECT_EQ(wa2[3].driver, std::string("A\0B", 3));
    ASSERT_EQ(base.points["WA4"].size(), 2u);
    EXPECT_EQ(base.points["WA4"][0].driver + base.points["WA4"][1].driver, "D3000D4000");  // by receipt
    ASSERT_EQ(base.points["WA1"].size(), 6u);
    EXPECT_EQ(base.points["WA1"][2].fuelPercent, 42);
    ASSERT_EQ(base.points["WA3"].size(), 2u);
    EXPECT_EQ(base.points["WA3"][0].timeUtc, kDec8 - 9 * kDay);
}

TEST(SqliteHistoryStoreTest, ADamagedMonthFileIsMovedAsideAndANewOneStarted) {
    TestDirectory tmp;
    const std::filesystem::path dir = tmp.Path() / "historia";
    std::filesystem::create_directory(dir);
    std::ofstream(dir / "pozycje-2026-12.db") << std::string(8192, 'x');
    std::vector<std::string> notices;
    SqliteHistoryStore store(dir.string(), [&](const std::string& t) { notices.push_back(t); });
    store.Append({Row("WA1", kDec8, kDec8)});
    EXPECT_EQ(store.Query({"WA1", kDec8, kDec8 + 1}).size(), 1u);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_NE(notices[0].find("uszkodzony plik"), std::string::npos);
    const auto files = Files(dir);
    ASSERT_EQ(std::count_if(files.begin(), files.end(),
                            [](const std::string& f) { return f.starts_with("pozycje-2026-12.db.uszkodzony-"); }),
              1);
    EXPECT_EQ(ReadFile(dir / files.back()), std::string(8192, 'x'));
}

namespace {
// A store that fails while told to, and counts what it keeps.
class SwitchableStore : public HistoryStore {
public:
    bool failing = false;
    std::size_t kept = 0;
    void Append(const std::vector<HistoryRecord>& rows) override {
        if (failing) throw ServerError("disk full");
        kept += rows.size();
    }
    std::vector<HistoryRecord> Query(const HistoryQuery&) override { return {}; }
    int Prune(int, std::int64_t) override { return 0; }
    void AppendEvents(const std::vector<Event>&) override {}
    std::vector<Event> QueryEvents(const EventQuery&) override { return {}; }
    void RemoveEvents(const EventQuery&) override {}
};
}  // namespace

TEST(HistoryWriterTest, AFailureRunIsReportedOnceAtItsStartAndOnceWithItsCountAtItsEnd) {
    SwitchableStore store;
    std::vector<std::string> reports;
    {
        HistoryWriter writer(store, [&](const std::string& t) { reports.push_back(t); });
        writer.WaitUntilWritten(writer.Submit(Row("WA1", kDec8, kDec8)));
        store.failing = true;
        for (int i = 0; i < 3; ++i) writer.WaitUntilWritten(writer.Submit(Row("WA1", kDec8, kDec8)));
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_EQ(reports[0],
                  "Historia pozycji: b\xB3\xB9"
                  "d zapisu: disk full");
        store.failing = false;
        writer.WaitUntilWritten(writer.Submit(Row("WA1", kDec8, kDec8)));
        EXPECT_EQ(writer.RowsLost(), 3u);
        EXPECT_EQ(writer.RowsWritten(), 2u);
        store.failing = true;
        writer.Submit(Row("WA1", kDec8, kDec8));  // never waited for: written as the writer goes
    }
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports[1], "Historia pozycji: zapis wznowiony; 3 pozycji nie trafi\xB3o do historii");
    EXPECT_EQ(reports[3],
              "Historia pozycji: b\xB3\xB9"
              "d zapisu trwa; 1 pozycji nie trafi\xB3o do historii");
}

TEST(HistoryWriterTest, RowsSubmittedTogetherShareWritesAndAllArrive) {
    SwitchableStore store;
    HistoryWriter writer(store, {});
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) writer.WaitUntilWritten(writer.Submit(Row("WA1", kDec8, kDec8)));
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(store.kept, 1600u);
    EXPECT_EQ(writer.RowsWritten(), 1600u);
}

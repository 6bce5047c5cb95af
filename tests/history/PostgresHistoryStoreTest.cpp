#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <string>

#include "common/ServerError.hpp"
#include "common/Win1250.hpp"
#include "history/PostgresHistoryStore.hpp"
#include "support/TestPostgres.hpp"
#include "unitsim/PositionRecordBuilder.hpp"

using namespace serwer;

namespace {

constexpr std::int64_t kDec8 = 1796688000;  // 2026-12-08 00:00:00 UTC
constexpr std::int64_t kDay = 86400;

HistoryRecord Row(const std::string& registration, std::int64_t fixUtc, std::int64_t receivedUtc) {
    HistoryRecord r = MakeHistoryRecord(BuildPositionRecord(SamplePosition(registration)), receivedUtc);
    r.fixTimeUtc = fixUtc;
    return r;
}

Event MakeEvent(std::uint64_t id, EventType type, const std::string& registration, std::int64_t start) {
    Event e;
    e.id = id, e.type = type, e.registration = registration, e.startUtc = start, e.interval = true;
    e.latitude = 52.25, e.value = 71.5, e.text = "t";
    return e;
}

class PostgresHistoryStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        SKIP_WITHOUT_POSTGRES();
        db_ = std::make_unique<TestPostgres>("historia_test");
        schema_ = db_->Schema();
        storeUri_ = db_->Uri();
        store_ = std::make_unique<PostgresHistoryStore>(storeUri_);
    }
    void TearDown() override {
        store_.reset();
        db_.reset();
    }
    std::string Sql(const std::string& sql) { return db_->Sql(sql); }
    std::string Partitions() {
        return Sql("SELECT string_agg(c.relname, ',' ORDER BY c.relname) FROM pg_inherits i JOIN pg_class c ON c.oid ="
                   " i.inhrelid JOIN pg_namespace n ON n.oid = c.relnamespace WHERE c.relkind = 'r' AND n.nspname = '" +
                   schema_ + "'");
    }

    std::unique_ptr<TestPostgres> db_;
    std::string schema_, storeUri_;
    std::unique_ptr<PostgresHistoryStore> store_;
};

}  // namespace

TEST_F(PostgresHistoryStoreTest, RowsComeByRegistrationAndFixTimeOrReceiptWithinTheRange) {
    HistoryRecord undated = Row("WA1", 0, kDec8 + 120);
    undated.fixTimeUtc = std::nullopt;
    // Received on 30 November and on 8 December: two month partitions.
    store_->Append({Row("WA2", kDec8 + 3600, kDec8 + 3600), Row("WA1", kDec8 + 7200, kDec8 + 7200), undated});
    store_->Append({Row("WA1", kDec8 - 8 * kDay, kDec8 - 8 * kDay), Row("WA1", kDec8 + 60, kDec8 + 60)});
    EXPECT_EQ(Partitions(), "pozycje_2026_11,pozycje_2026_12");

    const auto one = store_->Query({"WA1", kDec8, kDec8 + kDay});
    ASSERT_EQ(one.size(), 3u);
    EXPECT_EQ(one[0].fixTimeUtc, kDec8 + 60);
    EXPECT_EQ(one[1], undated);                                // in the order of its receipt
    EXPECT_EQ(one[2], Row("WA1", kDec8 + 7200, kDec8 + 7200));  // every field comes back
    EXPECT_EQ(store_->Query({"WA1", kDec8 + 121, kDec8 + kDay}).size(), 1u);
    EXPECT_EQ(store_->Query({std::nullopt, kDec8 - 30 * kDay, kDec8 + 3600}).size(), 3u);  // the end is excluded
    const auto all = store_->Query({std::nullopt, kDec8 - 30 * kDay, kDec8 + 3601});
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[0].fixTimeUtc, kDec8 - 8 * kDay);
    EXPECT_EQ(all[2].registration + all[3].registration, "WA1WA2");
}

TEST_F(PostgresHistoryStoreTest, AnEventReplacesTheOneWithItsIdAndQueriesFilterByVehicleTypeAndLimit) {
    Event open = MakeEvent(3, EventType::PrzekroczeniePredkosci, "WA1", kDec8 - kDay);
    store_->AppendEvents({MakeEvent(1, EventType::Zaplon, "WA1", kDec8 - 8 * kDay), open,
                          MakeEvent(2, EventType::Zaplon, "WA2", kDec8 + 60)});
    open.endUtc = kDec8 + 600;  // ends in the next month: stays in the month of its start
    store_->AppendEvents({open});
    EXPECT_EQ(Partitions(), "zdarzenia_2026_11,zdarzenia_2026_12");

    EventQuery all{std::nullopt, std::nullopt, kDec8 - 30 * kDay, kDec8 + kDay};
    const auto events = store_->QueryEvents(all);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].id, 1u);
    EXPECT_EQ(events[1], open);
    EXPECT_EQ(events[2].id, 2u);
    all.limit = 2;
    const auto first = store_->QueryEvents(all);
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[1].id, 3u);
    const auto ignitions = store_->QueryEvents({"WA1", EventType::Zaplon, kDec8 - 30 * kDay, kDec8 + kDay});
    ASSERT_EQ(ignitions.size(), 1u);
    EXPECT_EQ(ignitions[0].id, 1u);

    store_->RemoveEvents({"WA1", std::nullopt, kDec8 - 30 * kDay, kDec8});
    const auto left = store_->QueryEvents({std::nullopt, std::nullopt, 0, kDec8 + kDay});
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].id, 2u);
}

TEST_F(PostgresHistoryStoreTest, PruneDropsWholeMonthsOlderThanTheDaysKeptCountingEachMonthOnce) {
    for (std::int64_t t : {kDec8 - 70 * kDay, kDec8 - 40 * kDay, kDec8 - 8 * kDay, kDec8})
        store_->Append({Row("WA1", t, t)});  // September, October, November, December
    store_->AppendEvents({MakeEvent(1, EventType::Zaplon, "WA1", kDec8 - 40 * kDay)});
    EXPECT_EQ(store_->Prune(0, kDec8), 0);
    // 38 days before 8 December is 31 October: only September has ended before it.
    EXPECT_EQ(store_->Prune(38, kDec8), 1);
    EXPECT_EQ(store_->Query({"WA1", 0, kDec8 + kDay}).size(), 3u);
    EXPECT_EQ(store_->Prune(7, kDec8), 2);  // October (positions and events) and November
    EXPECT_EQ(Partitions(), "pozycje_2026_12");
    EXPECT_TRUE(store_->QueryEvents({std::nullopt, std::nullopt, 0, kDec8 + kDay}).empty());
    store_->Append({Row("WA1", kDec8 - 8 * kDay, kDec8 - 8 * kDay)});  // a dropped month is made again
    EXPECT_EQ(store_->Query({"WA1", 0, kDec8 + kDay}).size(), 2u);
}

TEST_F(PostgresHistoryStoreTest, AFailedAppendKeepsNoneOfItsRowsNorItsNewMonths) {
    Sql("ALTER TABLE " + schema_ + ".pozycje ADD CONSTRAINT bez_zlych CHECK (gps <> 'ZLE')");
    HistoryRecord bad = Row("WA1", kDec8, kDec8);
    bad.gps = "ZLE";  // the database refuses it
    EXPECT_THROW(store_->Append({Row("WA1", kDec8 - 8 * kDay, kDec8 - 8 * kDay), bad}), ServerError);
    EXPECT_TRUE(store_->Query({std::nullopt, 0, kDec8 + kDay}).empty());
    EXPECT_EQ(Partitions(), "");
    store_->Append({Row("WA1", kDec8 - 8 * kDay, kDec8 - 8 * kDay)});
    EXPECT_EQ(store_->Query({std::nullopt, 0, kDec8 + kDay}).size(), 1u);
}

TEST_F(PostgresHistoryStoreTest, ALostConnectionIsResetOnceAndTheCallSucceeds) {
    store_->Append({Row("WA1", kDec8, kDec8)});
    Sql("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = '" + schema_ + "'");
    EXPECT_EQ(store_->Query({"WA1", kDec8, kDec8 + 1}).size(), 1u);
}

TEST_F(PostgresHistoryStoreTest, ASecondServerSharesTheTablesAndANewerSchemaIsRefused) {
    store_->Append({Row("WA1", kDec8, kDec8)});
    EXPECT_EQ(PostgresHistoryStore(storeUri_).Query({"WA1", kDec8, kDec8 + 1}).size(), 1u);
    Sql("UPDATE " + schema_ + ".wersja_schematu SET wersja = 2");
    try {
        PostgresHistoryStore newer(storeUri_);
        ADD_FAILURE() << "a newer schema was accepted";
    } catch (const ServerError& e) {
        EXPECT_NE(std::string(e.what()).find(Cp1250("w wersji 2, nowszej niż zna ten program")), std::string::npos);
    }
}

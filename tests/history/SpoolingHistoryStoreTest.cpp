#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/ServerError.hpp"
#include "common/Win1250.hpp"
#include "history/HistorySpool.hpp"
#include "history/SpoolCodec.hpp"
#include "history/SpoolingHistoryStore.hpp"
#include "support/TestDirectory.hpp"
#include "support/TestPostgres.hpp"
#include "unitsim/PositionRecordBuilder.hpp"

using namespace serwer;

namespace {

constexpr std::int64_t kDec8 = 1796688000;  // 2026-12-08 00:00:00 UTC

HistoryRecord Row(const std::string& registration, std::int64_t utc) {
    HistoryRecord r = MakeHistoryRecord(BuildPositionRecord(SamplePosition(registration)), utc);
    r.fixTimeUtc = utc;
    return r;
}

Event Ignition(std::uint64_t id, std::int64_t start) {
    Event e;
    e.id = id, e.type = EventType::Zaplon, e.registration = "WA1", e.startUtc = start, e.text = Cp1250("Zapłon");
    return e;
}

TEST(SpoolCodecTest, RowsAndEventsComeBackWholeAndDamagedBytesAreRefused) {
    HistoryRecord row = Row("WA1", kDec8);
    row.odometerKm = std::nullopt;
    row.driver = Cp1250("Łukasz");
    EXPECT_EQ(DecodeSpooledRow(EncodeSpooledRow(row)), row);
    Event e = Ignition(7, kDec8);
    e.endUtc = kDec8 + 60, e.interval = true, e.latitude = -0.5;
    EXPECT_EQ(DecodeSpooledEvent(EncodeSpooledEvent(e)), e);

    const std::string bytes = EncodeSpooledRow(row);
    EXPECT_FALSE(DecodeSpooledRow(bytes.substr(0, bytes.size() - 1)));
    EXPECT_FALSE(DecodeSpooledRow(bytes + "x"));
    EXPECT_FALSE(DecodeSpooledEvent(bytes));  // a row is not an event
    EXPECT_FALSE(DecodeSpooledRow(""));
}

// A store in a schema of its own; the database "refuses writes" while a check on the
// positions' table fails every row.
class SpoolingHistoryStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        SKIP_WITHOUT_POSTGRES();
        db_ = std::make_unique<TestPostgres>("bufor_test");
        uri_ = db_->Uri();
        store_ = Open();
    }
    void TearDown() override {
        store_.reset();
        db_.reset();
    }
    std::unique_ptr<SpoolingHistoryStore> Open() {
        return std::make_unique<SpoolingHistoryStore>(
            [this] {
                if (unreachable_) throw ServerError("nie można połączyć się z bazą");
                return std::make_unique<PostgresHistoryStore>(uri_);
            },
            dir_.Path().string() + "/historia-bufor.db", "host:4500", [this](const std::string& text) { reports_.push_back(text); });
    }
    void RefuseWrites(bool refuse) {
        db_->Sql(refuse ? "ALTER TABLE " + db_->Schema() + ".pozycje ADD CONSTRAINT wstrzymane CHECK (false) NOT VALID"
                        : "ALTER TABLE " + db_->Schema() + ".pozycje DROP CONSTRAINT wstrzymane");
    }
    std::vector<std::int64_t> TimesInDatabase() {
        std::vector<std::int64_t> times;
        for (const HistoryRecord& r : PostgresHistoryStore(uri_).Query({"WA1", 0, kDec8 + 86400}))
            times.push_back(*r.fixTimeUtc);
        return times;
    }

    TestDirectory dir_;
    std::unique_ptr<TestPostgres> db_;
    std::string uri_;
    bool unreachable_ = false;
    std::vector<std::string> reports_;
    std::unique_ptr<SpoolingHistoryStore> store_;
};

}  // namespace

TEST_F(SpoolingHistoryStoreTest, RowsRefusedByTheDatabaseWaitInTheSpoolAndArriveInOrderOnce) {
    store_->Append({Row("WA1", kDec8)});
    RefuseWrites(true);
    store_->Append({Row("WA1", kDec8 + 1), Row("WA1", kDec8 + 2)});  // returns: the rows are in the spool
    store_->AppendEvents({Ignition(1, kDec8 + 2)});
    RefuseWrites(false);
    store_->Append({Row("WA1", kDec8 + 3)});  // queues behind the spool, though the database takes it
    EXPECT_TRUE(store_->Spooling());
    EXPECT_EQ(store_->Waiting(), 4);
    ASSERT_EQ(reports_.size(), 1u);
    EXPECT_EQ(reports_[0].rfind(Cp1250("Historia w PostgreSQL: baza nie przyjmuje zapisów, pozycje i zdarzenia "
                                      "czekają w buforze ") + dir_.Path().string() +
                                   Cp1250("/historia-bufor.db: Historia w PostgreSQL: nie można zapisać pozycji: "),
                               0),
              0u)
        << reports_[0];

    EXPECT_TRUE(store_->Drain());
    EXPECT_FALSE(store_->Spooling());
    EXPECT_EQ(store_->Waiting(), 0);
    EXPECT_EQ(TimesInDatabase(), (std::vector<std::int64_t>{kDec8, kDec8 + 1, kDec8 + 2, kDec8 + 3}));
    EXPECT_EQ(store_->QueryEvents({std::nullopt, std::nullopt, 0, kDec8 + 86400}).size(), 1u);
    ASSERT_EQ(reports_.size(), 2u);
    EXPECT_EQ(reports_[1], Cp1250("Historia w PostgreSQL: zapis wznowiony; z bufora zapisano 3 pozycji i 1 zdarzeń"));
    // The last position is the newest, also after older rows came from the spool.
    const auto last = store_->LastPositions();
    ASSERT_TRUE(last && last->size() == 1u);
    EXPECT_EQ((*last)[0].fixTimeUtc, kDec8 + 3);
}

TEST_F(SpoolingHistoryStoreTest, ADatabaseOutOfReachAtTheStartAndEntriesItTookBeforeACrashAreWrittenOnce) {
    store_.reset();
    unreachable_ = true;
    store_ = Open();
    store_->Append({Row("WA1", kDec8), Row("WA1", kDec8 + 1)});
    store_->Append({Row("WA1", kDec8 + 2)});
    EXPECT_FALSE(store_->Drain());
    EXPECT_THROW(store_->Query({"WA1", 0, kDec8 + 86400}), ServerError);  // reads need the database
    store_.reset();

    // The database took the first two entries, but the server stopped before they left the spool.
    HistorySpool spool(dir_.Path().string() + "/historia-bufor.db");
    ASSERT_EQ(spool.Count(), 3);
    PostgresHistoryStore(uri_).AppendSpooled({Row("WA1", kDec8), Row("WA1", kDec8 + 1)}, {}, "host:4500/" + spool.Id(),
                                             spool.Front(2).back().number);
    unreachable_ = false;
    reports_.clear();
    store_ = Open();  // what was left is reported and written
    ASSERT_EQ(reports_.size(), 1u);
    EXPECT_EQ(reports_[0], Cp1250("Historia w PostgreSQL: w buforze ") + dir_.Path().string() +
                               Cp1250("/historia-bufor.db czeka 3 wpisów, zostaną zapisane w bazie"));
    EXPECT_TRUE(store_->Drain());
    EXPECT_EQ(TimesInDatabase(), (std::vector<std::int64_t>{kDec8, kDec8 + 1, kDec8 + 2}));
    EXPECT_EQ(reports_.back(), Cp1250("Historia w PostgreSQL: zapis wznowiony; z bufora zapisano 1 pozycji i 0 zdarzeń"));
}

#pragma once
// The suites that run on a history store run once per kind of store:
//   class MySuite : public OnEachHistoryBackend {};
//   TEST_P(MySuite, ...) { store().Append(...); }
//   INSTANTIATE_TEST_SUITE_P(Backends, MySuite, kHistoryBackends, HistoryBackendName);
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <utility>

#include "history/PostgresHistoryStore.hpp"
#include "history/SqliteHistoryStore.hpp"
#include "support/TestDirectory.hpp"
#include "support/TestPostgres.hpp"

enum class HistoryBackend { Sqlite, Postgres };

inline const auto kHistoryBackends = ::testing::Values(HistoryBackend::Sqlite, HistoryBackend::Postgres);

inline void PrintTo(HistoryBackend kind, std::ostream* out) {
    *out << (kind == HistoryBackend::Sqlite ? "SQLite" : "PostgreSQL");
}

inline std::string HistoryBackendName(const ::testing::TestParamInfo<HistoryBackend>& info) {
    return info.param == HistoryBackend::Sqlite ? "Sqlite" : "Postgres";
}

// store() is a fresh, empty store of the test's kind: month files in Directory()/historia
// (or the subdirectory given), or tables in a schema of the test's own (DatabaseUri()).
// The PostgreSQL runs skip without SERWER_TEST_POSTGRES.
class OnEachHistoryBackend : public ::testing::TestWithParam<HistoryBackend> {
protected:
    explicit OnEachHistoryBackend(std::string monthFiles = "historia") : monthFiles_(std::move(monthFiles)) {}

    void SetUp() override {
        if (!OnSqlite()) {
            SKIP_WITHOUT_POSTGRES();
            db_ = std::make_unique<TestPostgres>("historia");
            store_ = std::make_unique<serwer::PostgresHistoryStore>(db_->Uri());
        } else {
            store_ = std::make_unique<serwer::SqliteHistoryStore>((dir_.Path() / monthFiles_).string());
        }
    }

    serwer::HistoryStore& store() { return *store_; }
    bool OnSqlite() const { return GetParam() == HistoryBackend::Sqlite; }
    const std::filesystem::path& Directory() const { return dir_.Path(); }
    std::string DatabaseUri() const { return db_ ? db_->Uri() : ""; }

private:
    std::string monthFiles_;
    serwer::TestDirectory dir_;
    std::unique_ptr<TestPostgres> db_;
    std::unique_ptr<serwer::HistoryStore> store_;  // goes before the schema
};

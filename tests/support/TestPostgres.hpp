#pragma once
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <string>

// A schema of its own in the database SERWER_TEST_POSTGRES names (run-tests.sh starts one),
// dropped when the object goes. Uri() connects with that schema as the search path, so
// stores made on it see only their own tables.
class TestPostgres {
public:
    // The URI of the tests' database, or empty when none was started.
    static std::string BaseUri() {
        const char* uri = std::getenv("SERWER_TEST_POSTGRES");
        return uri ? uri : "";
    }
    static constexpr const char* kSkipReason =
        "SERWER_TEST_POSTGRES is unset: start a PostgreSQL server (tools/test-postgres.sh start DIR) and set it to "
        "the URI it prints";

    explicit TestPostgres(const std::string& prefix = "test") {
        const std::string base = BaseUri();
        admin_.reset(PQconnectdb(base.c_str()));
        if (PQstatus(admin_.get()) != CONNECTION_OK) {
            ADD_FAILURE() << PQerrorMessage(admin_.get());
            return;
        }
        Sql("SET client_min_messages = warning");
        schema_ = prefix + "_" + std::to_string(std::random_device()());
        Sql("CREATE SCHEMA " + schema_);
        uri_ = base + (base.find('?') == std::string::npos ? "?" : "&") + "options=-csearch_path%3D" + schema_ +
               "&application_name=" + schema_;
    }
    ~TestPostgres() {
        if (!schema_.empty()) Sql("DROP SCHEMA " + schema_ + " CASCADE");
    }
    TestPostgres(const TestPostgres&) = delete;
    TestPostgres& operator=(const TestPostgres&) = delete;

    const std::string& Uri() const { return uri_; }
    const std::string& Schema() const { return schema_; }
    // Runs a statement as the administrator; the first field of its first row, if any.
    std::string Sql(const std::string& sql) {
        std::unique_ptr<PGresult, decltype(&PQclear)> r(PQexec(admin_.get(), sql.c_str()), &PQclear);
        EXPECT_TRUE(PQresultStatus(r.get()) == PGRES_COMMAND_OK || PQresultStatus(r.get()) == PGRES_TUPLES_OK)
            << sql << ": " << PQerrorMessage(admin_.get());
        return PQntuples(r.get()) > 0 ? PQgetvalue(r.get(), 0, 0) : "";
    }

private:
    std::unique_ptr<PGconn, decltype(&PQfinish)> admin_{nullptr, &PQfinish};
    std::string schema_, uri_;
};

// In a test's SetUp: skips the test when no database was started.
#define SKIP_WITHOUT_POSTGRES() \
    if (TestPostgres::BaseUri().empty()) GTEST_SKIP() << TestPostgres::kSkipReason

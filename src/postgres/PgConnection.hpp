#pragma once
#include <libpq-fe.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/ServerError.hpp"

namespace serwer::pg {

struct ResultDeleter {
    void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

// One connection to a database, in the core's encoding (client_encoding WIN1250).
// Failures are ServerError texts (Windows-1250) that begin with the subject, e.g.
// "Historia w PostgreSQL: nie można zapisać pozycji: <the server's message>".
class Connection {
public:
    // Connects to the libpq URI ("postgresql://…"; a password may come from ~/.pgpass),
    // giving up after 10 s unless the URI sets connect_timeout.
    Connection(const std::string& uri, std::string subject);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    PGconn* Get() const { return conn_; }
    bool Ok() const { return PQstatus(conn_) == CONNECTION_OK; }
    const std::string& Subject() const { return subject_; }
    [[noreturn]] void Fail(const std::string& what) const;
    // A statement without parameters; fails unless it succeeded.
    Result Exec(const std::string& sql, const std::string& what);
    // Connects again; fails when that does not work.
    void Reset();

    // Set by Transaction::Commit: the current operation's outcome is unknown if it fails now.
    bool commitSent = false;

private:
    PGconn* conn_ = nullptr;
    std::string subject_;
};

// The parameters of one statement: bytea in binary, the rest as text. Each adder
// returns the parameter's place ("$n") for the statement's text.
class Params {
public:
    std::string Bytes(const std::string& data);
    std::string Text(std::string_view text);
    std::string Int(std::int64_t value);
    std::string Int(const std::optional<std::int64_t>& value);
    std::string Bool(bool value);
    std::string Real(const std::optional<double>& value);
    // Runs the statement; results in binary. Fails unless it succeeded.
    Result Exec(Connection& c, const std::string& sql, const std::string& what) const;

private:
    std::string Null(Oid type);
    std::string Add(std::string value, Oid type, int format);

    std::vector<std::string> values_;
    std::vector<bool> nulls_;
    std::vector<Oid> types_;
    std::vector<int> formats_;
};

// The fields of a binary result.
std::int64_t Int8(const PGresult* r, int row, int column);
std::optional<std::int64_t> OptInt8(const PGresult* r, int row, int column);
std::optional<double> Float8(const PGresult* r, int row, int column);
bool Boolean(const PGresult* r, int row, int column);
std::string Raw(const PGresult* r, int row, int column);

// One transaction: rolled back unless committed.
class Transaction {
public:
    explicit Transaction(Connection& c);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void Commit();

private:
    Connection& c_;
    bool done_ = false;
};

// A connection used by one operation at a time. An operation that finds the connection
// lost has it reset once and runs again; one whose commit was sent is not repeated,
// since its outcome is unknown.
class Session {
public:
    Session(const std::string& uri, std::string subject) : connection_(uri, std::move(subject)) {}

    // Told when an operation failed or the connection was reset (to forget what the
    // store believed of the database).
    std::function<void()> onFailure;

    template <typename Operation>
    auto Run(Operation&& operation) {
        std::lock_guard<std::mutex> lock(mutex_);
        Connection& c = connection_;
        if (!c.Ok()) Reset();
        c.commitSent = false;
        try {
            return operation(c);
        } catch (const ServerError&) {
            if (onFailure) onFailure();
            if (c.Ok() || c.commitSent) throw;
        }
        Reset();
        c.commitSent = false;
        return operation(c);
    }

private:
    void Reset() {
        if (onFailure) onFailure();
        connection_.Reset();
    }
    std::mutex mutex_;
    Connection connection_;
};

// Creates or upgrades one part's tables (the schema's version table wersja_schematu has
// a row per part). upgrades[i] takes the part from version i to i+1, so the part's
// current version is upgrades.size(). Fails when the database holds a newer version
// than this program knows. Runs under an advisory lock, so that servers sharing the
// database do not upgrade at once.
void PrepareSchema(Connection& c, const std::string& part, const std::vector<std::vector<std::string>>& upgrades);

// The advisory lock (for the transaction) under which tables and partitions are made.
void LockSchema(Connection& c);

}  // namespace serwer::pg

#include "postgres/PgConnection.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "common/ServerError.hpp"
#include "common/Win1250.hpp"

namespace serwer::pg {

namespace {

// The type OIDs of the parameters (pg_type.h).
constexpr Oid kBoolOid = 16, kByteaOid = 17, kInt8Oid = 20, kTextOid = 25, kFloat8Oid = 701;

std::string Trimmed(const char* message) {
    std::string text = message ? message : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

void Quiet(void*, const char*) {}  // "already exists, skipping" and the like

std::uint64_t BigEndian(const PGresult* r, int row, int column) {
    const auto* p = reinterpret_cast<const unsigned char*>(PQgetvalue(r, row, column));
    std::uint64_t value = 0;
    for (int i = 0; i < PQgetlength(r, row, column); ++i) value = value << 8 | p[i];
    return value;
}

}  // namespace

Connection::Connection(const std::string& uri, std::string subject) : subject_(std::move(subject)) {
    // The server's messages come in the core's encoding (the URI may name another). A
    // database out of reach is given up on in 10 s, and a connection that stops taking
    // data in 30 s, unless the URI says otherwise: the writes must not hang.
    const char* keys[] = {"client_encoding", "connect_timeout", "tcp_user_timeout", "keepalives_idle",
                          "keepalives_interval", "keepalives_count", "dbname", nullptr};
    const char* values[] = {"WIN1250", "10", "30000", "30", "10", "3", uri.c_str(), nullptr};
    conn_ = PQconnectdbParams(keys, values, 1);
    if (!conn_) throw ServerError(subject_ + Cp1250(": brak pamięci na połączenie"));
    if (!Ok()) {
        const std::string message = Trimmed(PQerrorMessage(conn_));
        PQfinish(conn_);
        throw ServerError(subject_ + Cp1250(": nie można połączyć się z bazą: ") + message);
    }
    PQsetNoticeProcessor(conn_, Quiet, nullptr);
}

Connection::~Connection() { PQfinish(conn_); }

void Connection::Fail(const std::string& what) const {
    throw ServerError(subject_ + ": " + what + ": " + Trimmed(PQerrorMessage(conn_)));
}

Result Connection::Exec(const std::string& sql, const std::string& what) { return Params().Exec(*this, sql, what); }

void Connection::Reset() {
    PQreset(conn_);
    if (!Ok()) Fail(Cp1250("utracono połączenie z bazą"));
}

std::string Params::Bytes(const std::string& data) { return Add(data, kByteaOid, 1); }
std::string Params::Text(std::string_view text) { return Add(std::string(text), kTextOid, 0); }
std::string Params::Int(std::int64_t value) { return Add(std::to_string(value), kInt8Oid, 0); }
std::string Params::Int(const std::optional<std::int64_t>& value) { return value ? Int(*value) : Null(kInt8Oid); }
std::string Params::Bool(bool value) { return Add(value ? "t" : "f", kBoolOid, 0); }
std::string Params::Real(const std::optional<double>& value) {
    if (!value) return Null(kFloat8Oid);
    if (std::isnan(*value)) return Add("NaN", kFloat8Oid, 0);
    if (std::isinf(*value)) return Add(*value > 0 ? "Infinity" : "-Infinity", kFloat8Oid, 0);
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", *value);
    return Add(text, kFloat8Oid, 0);
}

Result Params::Exec(Connection& c, const std::string& sql, const std::string& what) const {
    std::vector<const char*> values(values_.size());
    std::vector<int> lengths(values_.size());
    for (std::size_t i = 0; i < values_.size(); ++i) {
        values[i] = nulls_[i] ? nullptr : values_[i].data();
        lengths[i] = static_cast<int>(values_[i].size());
    }
    Result result(PQexecParams(c.Get(), sql.c_str(), static_cast<int>(values_.size()), types_.data(), values.data(),
                               lengths.data(), formats_.data(), 1));
    const ExecStatusType status = PQresultStatus(result.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) c.Fail(what);
    return result;
}

std::string Params::Null(Oid type) {
    std::string name = Add({}, type, 0);
    nulls_.back() = true;
    return name;
}

std::string Params::Add(std::string value, Oid type, int format) {
    values_.push_back(std::move(value));
    nulls_.push_back(false);
    types_.push_back(type);
    formats_.push_back(format);
    return "$" + std::to_string(values_.size());
}

std::int64_t Int8(const PGresult* r, int row, int column) {
    return static_cast<std::int64_t>(BigEndian(r, row, column));
}
std::optional<std::int64_t> OptInt8(const PGresult* r, int row, int column) {
    if (PQgetisnull(r, row, column)) return std::nullopt;
    return Int8(r, row, column);
}
std::optional<double> Float8(const PGresult* r, int row, int column) {
    if (PQgetisnull(r, row, column)) return std::nullopt;
    const std::uint64_t bits = BigEndian(r, row, column);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}
bool Boolean(const PGresult* r, int row, int column) { return PQgetvalue(r, row, column)[0] != 0; }
std::string Raw(const PGresult* r, int row, int column) {
    return std::string(PQgetvalue(r, row, column), static_cast<std::size_t>(PQgetlength(r, row, column)));
}

Transaction::Transaction(Connection& c) : c_(c) { c_.Exec("BEGIN", Cp1250("nie można rozpocząć transakcji")); }

Transaction::~Transaction() {
    if (!done_) Result(PQexec(c_.Get(), "ROLLBACK"));
}

void Transaction::Commit() {
    c_.commitSent = true;
    c_.Exec("COMMIT", Cp1250("nie można zatwierdzić transakcji"));
    done_ = true;
}

}  // namespace serwer::pg

#include "history/PostgresHistoryStore.hpp"

#include <libpq-fe.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>
#include <unordered_map>
#include <utility>

#include "common/DateTime.hpp"
#include "common/ServerError.hpp"
#include "common/Win1250.hpp"

namespace serwer {

namespace {

// Taken (for the transaction) while the tables or a month's partitions are created, so
// that servers sharing the database do not create the same one at once.
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(7306010815373103105)";

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS pozycje("
    " nr bigserial, pojazd bytea NOT NULL, licencja text NOT NULL, czas_fix bigint, odebrano bigint NOT NULL,"
    " szerokosc double precision, dlugosc double precision, predkosc double precision, paliwo bytea NOT NULL,"
    " silnik boolean NOT NULL, gps text NOT NULL, kierowca bytea NOT NULL, we1 boolean NOT NULL,"
    " we2 boolean NOT NULL, we3 boolean NOT NULL, przebieg bigint, nowa_forma boolean NOT NULL,"
    " rekord bytea NOT NULL) PARTITION BY RANGE (odebrano);"
    "CREATE INDEX IF NOT EXISTS pozycje_pojazd_czas ON pozycje(pojazd, czas_fix);"
    "CREATE TABLE IF NOT EXISTS zdarzenia("
    " id bigint NOT NULL, typ text NOT NULL, pojazd bytea NOT NULL, od bigint NOT NULL, \"do\" bigint,"
    " przedzial boolean NOT NULL, szerokosc double precision, dlugosc double precision, strefa bytea NOT NULL,"
    " wartosc double precision, ograniczenie double precision, dystans double precision, litry double precision,"
    " szczegol bytea NOT NULL, opis bytea NOT NULL, PRIMARY KEY (id, od)) PARTITION BY RANGE (od);"
    "CREATE INDEX IF NOT EXISTS zdarzenia_od ON zdarzenia(od);";

constexpr const char* kColumns =
    "pojazd, licencja, czas_fix, odebrano, szerokosc, dlugosc, predkosc, paliwo, silnik, gps, kierowca,"
    " we1, we2, we3, przebieg, nowa_forma, rekord";

constexpr const char* kEventColumns =
    "id, typ, pojazd, od, \"do\", przedzial, szerokosc, dlugosc, strefa, wartosc, ograniczenie, dystans, litry,"
    " szczegol, opis";

// Rows per INSERT: a statement takes at most 65535 parameters.
constexpr std::size_t kRowsPerInsert = 1000;

// The type OIDs of the parameters (pg_type.h).
constexpr Oid kBoolOid = 16, kByteaOid = 17, kInt8Oid = 20, kTextOid = 25, kFloat8Oid = 701;

std::string Trimmed(const char* message) {
    std::string text = message ? message : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

[[noreturn]] void Fail(PGconn* conn, const std::string& what) {
    throw ServerError(Cp1250("Historia w PostgreSQL: ") + what + ": " + Trimmed(PQerrorMessage(conn)));
}

struct ResultDeleter {
    void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

struct ConnectionDeleter {
    void operator()(PGconn* conn) const { PQfinish(conn); }
};

// The parameters of one statement: bytea in binary, the rest as text.
class Params {
public:
    std::string Bytes(const std::string& data) { return Add(data, kByteaOid, 1); }
    std::string Text(std::string_view text) { return Add(std::string(text), kTextOid, 0); }
    std::string Int(std::int64_t value) { return Add(std::to_string(value), kInt8Oid, 0); }
    std::string Int(const std::optional<std::int64_t>& value) { return value ? Int(*value) : Null(kInt8Oid); }
    std::string Bool(bool value) { return Add(value ? "t" : "f", kBoolOid, 0); }
    std::string Real(const std::optional<double>& value) {
        if (!value) return Null(kFloat8Oid);
        if (std::isnan(*value)) return Add("NaN", kFloat8Oid, 0);
        if (std::isinf(*value)) return Add(*value > 0 ? "Infinity" : "-Infinity", kFloat8Oid, 0);
        char text[32];
        std::snprintf(text, sizeof text, "%.17g", *value);
        return Add(text, kFloat8Oid, 0);
    }

    // Runs the statement; results in binary. Fails unless it succeeded.
    Result Exec(PGconn* conn, const std::string& sql, const std::string& what) const {
        std::vector<const char*> values(values_.size());
        std::vector<int> lengths(values_.size());
        for (std::size_t i = 0; i < values_.size(); ++i) {
            values[i] = nulls_[i] ? nullptr : values_[i].data();
            lengths[i] = static_cast<int>(values_[i].size());
        }
        Result result(PQexecParams(conn, sql.c_str(), static_cast<int>(values_.size()), types_.data(), values.data(),
                                   lengths.data(), formats_.data(), 1));
        const ExecStatusType status = PQresultStatus(result.get());
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) Fail(conn, what);
        return result;
    }

private:
    std::string Null(Oid type) {
        std::string name = Add({}, type, 0);
        nulls_.back() = true;
        return name;
    }
    std::string Add(std::string value, Oid type, int format) {
        values_.push_back(std::move(value));
        nulls_.push_back(false);
        types_.push_back(type);
        formats_.push_back(format);
        return "$" + std::to_string(values_.size());
    }

    std::vector<std::string> values_;
    std::vector<bool> nulls_;
    std::vector<Oid> types_;
    std::vector<int> formats_;
};

// A statement without parameters.
Result Exec(PGconn* conn, const std::string& sql, const std::string& what) { return Params().Exec(conn, sql, what); }

// The binary result fields.
std::uint64_t BigEndian(const PGresult* r, int row, int column) {
    const auto* p = reinterpret_cast<const unsigned char*>(PQgetvalue(r, row, column));
    std::uint64_t value = 0;
    for (int i = 0; i < PQgetlength(r, row, column); ++i) value = value << 8 | p[i];
    return value;
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

using Month = std::pair<int, int>;  // year, month

Month MonthOf(std::int64_t utc) {
    const DateTime::Parts p = DateTime::FromMs(utc * DateTime::kMsPerSecond).Split();
    return {p.year, p.month};
}
Month AddMonths(Month m, int n) {
    const int index = m.first * 12 + (m.second - 1) + n;
    return {index / 12, index % 12 + 1};
}
std::int64_t MonthStartUtc(Month m) {
    return DateTime::FromParts({m.first, m.second, 1, 0, 0, 0, 0}).Ms() / DateTime::kMsPerSecond;
}
std::string PartitionName(const char* table, Month m) {
    char text[64];
    std::snprintf(text, sizeof text, "%s_%04d_%02d", table, m.first, m.second);
    return text;
}
// The month of a partition's name, or nothing for a table this store did not make.
std::optional<Month> MonthOfPartition(const std::string& name) {
    const auto underscore = name.size() >= 8 ? name.size() - 8 : 0;
    int year = 0, month = 0;
    char tail = 0;
    if (underscore == 0 || std::sscanf(name.c_str() + underscore, "_%4d_%2d%c", &year, &month, &tail) != 2 ||
        month < 1 || month > 12)
        return std::nullopt;
    return Month{year, month};
}

HistoryRecord ReadRow(const PGresult* r, int row) {
    HistoryRecord h;
    h.registration = Raw(r, row, 0);
    h.ownerCode = Raw(r, row, 1);
    h.fixTimeUtc = OptInt8(r, row, 2);
    h.receivedUtc = Int8(r, row, 3);
    h.latitude = CoordinateWithin(Float8(r, row, 4), kMaxLatitude);
    h.longitude = CoordinateWithin(Float8(r, row, 5), kMaxLongitude);
    h.speedKmh = Float8(r, row, 6);
    h.fuel = Raw(r, row, 7);
    h.engineOn = Boolean(r, row, 8);
    h.gps = Raw(r, row, 9);
    h.driver = Raw(r, row, 10);
    h.input1 = Boolean(r, row, 11);
    h.input2 = Boolean(r, row, 12);
    h.input3 = Boolean(r, row, 13);
    h.odometerKm = OptInt8(r, row, 14);
    h.newForm = Boolean(r, row, 15);
    h.raw = Raw(r, row, 16);
    return h;
}

std::string RowValues(Params& p, const HistoryRecord& r) {
    return "(" + p.Bytes(r.registration) + "," + p.Text(r.ownerCode) + "," + p.Int(r.fixTimeUtc) + "," +
           p.Int(r.receivedUtc) + "," + p.Real(r.latitude) + "," + p.Real(r.longitude) + "," + p.Real(r.speedKmh) +
           "," + p.Bytes(r.fuel) + "," + p.Bool(r.engineOn) + "," + p.Text(r.gps) + "," + p.Bytes(r.driver) + "," +
           p.Bool(r.input1) + "," + p.Bool(r.input2) + "," + p.Bool(r.input3) + "," + p.Int(r.odometerKm) + "," +
           p.Bool(r.newForm) + "," + p.Bytes(r.raw) + ")";
}

std::string EventValues(Params& p, const Event& e) {
    return "(" + p.Int(static_cast<std::int64_t>(e.id)) + "," + p.Text(EventTypeName(e.type)) + "," +
           p.Bytes(e.registration) + "," + p.Int(e.startUtc) + "," + p.Int(e.endUtc) + "," + p.Bool(e.interval) +
           "," + p.Real(e.latitude) + "," + p.Real(e.longitude) + "," + p.Bytes(e.zone) + "," + p.Real(e.value) +
           "," + p.Real(e.limit) + "," + p.Real(e.distanceKm) + "," + p.Real(e.litres) + "," + p.Bytes(e.detail) +
           "," + p.Bytes(e.text) + ")";
}

std::optional<Event> ReadEvent(const PGresult* r, int row) {
    const auto type = EventTypeFromName(Raw(r, row, 1));
    if (!type) return std::nullopt;
    Event e;
    e.id = static_cast<std::uint64_t>(Int8(r, row, 0));
    e.type = *type;
    e.registration = Raw(r, row, 2);
    e.startUtc = Int8(r, row, 3);
    e.endUtc = OptInt8(r, row, 4);
    e.interval = Boolean(r, row, 5);
    e.latitude = Float8(r, row, 6);
    e.longitude = Float8(r, row, 7);
    e.zone = Raw(r, row, 8);
    e.value = Float8(r, row, 9);
    e.limit = Float8(r, row, 10);
    e.distanceKm = Float8(r, row, 11);
    e.litres = Float8(r, row, 12);
    e.detail = Raw(r, row, 13);
    e.text = Raw(r, row, 14);
    return e;
}

// The events' filter on parameters added to p.
std::string EventFilter(Params& p, const EventQuery& query) {
    std::string where = " WHERE od >= " + p.Int(query.fromUtc) + " AND od < " + p.Int(query.toUtc);
    if (query.registration) where += " AND pojazd = " + p.Bytes(*query.registration);
    if (query.type) where += " AND typ = " + p.Text(EventTypeName(*query.type));
    return where;
}

}  // namespace

struct PostgresHistoryStore::Connection {
    std::unique_ptr<PGconn, ConnectionDeleter> conn;
    std::set<std::string> partitions;  // known to exist (made or seen by this connection)
    bool commitSent = false;           // the current operation's outcome is unknown if it fails now
    PGconn* Get() const { return conn.get(); }
};

namespace {

// One transaction: rolled back unless committed.
class Transaction {
public:
    explicit Transaction(PostgresHistoryStore::Connection& c) : c_(c) {
        Exec(c_.Get(), "BEGIN", Cp1250("nie można rozpocząć transakcji"));
    }
    ~Transaction() {
        if (!done_) Result(PQexec(c_.Get(), "ROLLBACK"));
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    // Creates the partitions of the months (under the lock) unless known; they become
    // known once the transaction is committed.
    void EnsurePartitions(const char* table, const std::set<Month>& months) {
        for (const Month& m : months) {
            const std::string name = PartitionName(table, m);
            if (c_.partitions.count(name)) continue;
            if (!locked_) Exec(c_.Get(), kSchemaLock, Cp1250("nie można zablokować schematu"));
            locked_ = true;
            Exec(c_.Get(),
                 "CREATE TABLE IF NOT EXISTS " + name + " PARTITION OF " + table + " FOR VALUES FROM (" +
                     std::to_string(MonthStartUtc(m)) + ") TO (" + std::to_string(MonthStartUtc(AddMonths(m, 1))) +
                     ")",
                 Cp1250("nie można utworzyć partycji ") + name);
            created_.push_back(name);
        }
    }
    void Commit() {
        c_.commitSent = true;
        Exec(c_.Get(), "COMMIT", Cp1250("nie można zatwierdzić transakcji"));
        done_ = true;
        c_.partitions.insert(created_.begin(), created_.end());
    }

private:
    PostgresHistoryStore::Connection& c_;
    bool done_ = false;
    bool locked_ = false;
    std::vector<std::string> created_;
};

// Creates the tables in an empty database, or checks the version of those found.
void PrepareSchema(PGconn* conn) {
    Exec(conn, "BEGIN", Cp1250("nie można rozpocząć transakcji"));
    try {
        Exec(conn, kSchemaLock, Cp1250("nie można zablokować schematu"));
        Exec(conn, "CREATE TABLE IF NOT EXISTS wersja_schematu(wersja integer NOT NULL)",
             Cp1250("nie można utworzyć tabeli wersji schematu"));
        const Result version = Exec(conn, "SELECT max(wersja)::bigint FROM wersja_schematu",
                                    Cp1250("nie można odczytać wersji schematu"));
        const auto found = OptInt8(version.get(), 0, 0);
        if (found && *found > PostgresHistoryStore::kSchemaVersion)
            throw ServerError(Cp1250("Historia w PostgreSQL: baza ma schemat w wersji ") + std::to_string(*found) +
                              Cp1250(", nowszej niż zna ten program (") +
                              std::to_string(PostgresHistoryStore::kSchemaVersion) + ")");
        if (!found) {
            const std::string schema = kSchema;
            for (std::size_t begin = 0, end; (end = schema.find(';', begin)) != std::string::npos; begin = end + 1)
                Exec(conn, schema.substr(begin, end - begin), Cp1250("nie można utworzyć tabel historii"));
            Exec(conn, "INSERT INTO wersja_schematu(wersja) VALUES (" +
                           std::to_string(PostgresHistoryStore::kSchemaVersion) + ")",
                 Cp1250("nie można zapisać wersji schematu"));
        }
        Exec(conn, "COMMIT", Cp1250("nie można zatwierdzić schematu"));
    } catch (...) {
        Result(PQexec(conn, "ROLLBACK"));
        throw;
    }
}

void Quiet(void*, const char*) {}

}  // namespace

PostgresHistoryStore::PostgresHistoryStore(const std::string& uri) : connection_(std::make_unique<Connection>()) {
    // The server's messages come in the core's encoding; the URI may name another.
    const char* keys[] = {"client_encoding", "dbname", nullptr};
    const char* values[] = {"WIN1250", uri.c_str(), nullptr};
    connection_->conn.reset(PQconnectdbParams(keys, values, 1));
    PGconn* conn = connection_->Get();
    if (!conn) throw ServerError(Cp1250("Historia w PostgreSQL: brak pamięci na połączenie"));
    if (PQstatus(conn) != CONNECTION_OK) Fail(conn, Cp1250("nie można połączyć się z bazą"));
    PQsetNoticeProcessor(conn, Quiet, nullptr);  // "already exists, skipping" and the like
    PrepareSchema(conn);
}

PostgresHistoryStore::~PostgresHistoryStore() = default;

template <typename Operation>
auto PostgresHistoryStore::Run(Operation&& operation) {
    std::lock_guard<std::mutex> lock(mutex_);
    Connection& c = *connection_;
    const auto reset = [&] {
        c.partitions.clear();
        PQreset(c.Get());
        if (PQstatus(c.Get()) != CONNECTION_OK) Fail(c.Get(), Cp1250("utracono połączenie z bazą"));
    };
    if (PQstatus(c.Get()) != CONNECTION_OK) reset();
    c.commitSent = false;
    try {
        return operation(c);
    } catch (const ServerError&) {
        // Another server may have dropped a month this one knew.
        c.partitions.clear();
        if (PQstatus(c.Get()) == CONNECTION_OK || c.commitSent) throw;
    }
    reset();
    c.commitSent = false;
    return operation(c);
}

void PostgresHistoryStore::Append(const std::vector<HistoryRecord>& rows) {
    if (rows.empty()) return;
    Run([&](Connection& c) {
        Transaction transaction(c);
        std::set<Month> months;
        for (const HistoryRecord& r : rows) months.insert(MonthOf(r.receivedUtc));
        transaction.EnsurePartitions("pozycje", months);
        for (std::size_t begin = 0; begin < rows.size(); begin += kRowsPerInsert) {
            Params p;
            std::string sql = std::string("INSERT INTO pozycje(") + kColumns + ") VALUES ";
            for (std::size_t i = begin; i < rows.size() && i < begin + kRowsPerInsert; ++i)
                sql += (i > begin ? "," : "") + RowValues(p, rows[i]);
            p.Exec(c.Get(), sql, Cp1250("nie można zapisać pozycji"));
        }
        transaction.Commit();
    });
}

std::vector<HistoryRecord> PostgresHistoryStore::Query(const HistoryQuery& query) {
    std::vector<HistoryRecord> rows;
    if (query.toUtc <= query.fromUtc) return rows;
    // The months read are those of the month files: from the one before the range to the
    // one after it.
    const std::int64_t low = MonthStartUtc(AddMonths(MonthOf(query.fromUtc), -1));
    const std::int64_t high = MonthStartUtc(AddMonths(MonthOf(query.toUtc - 1), 2));
    return Run([&](Connection& c) {
        Params p;
        const std::string from = p.Int(query.fromUtc), to = p.Int(query.toUtc);
        std::string sql = std::string("SELECT ") + kColumns + " FROM pozycje WHERE odebrano >= " + p.Int(low) +
                          " AND odebrano < " + p.Int(high) + " AND (czas_fix >= " + from + " AND czas_fix < " + to +
                          " OR czas_fix IS NULL AND odebrano >= " + from + " AND odebrano < " + to + ")";
        if (query.registration) sql += " AND pojazd = " + p.Bytes(*query.registration);
        sql += " ORDER BY pojazd, coalesce(czas_fix, odebrano), odebrano, nr";
        const Result result = p.Exec(c.Get(), sql, Cp1250("nie można odczytać pozycji"));
        std::vector<HistoryRecord> found;
        found.reserve(static_cast<std::size_t>(PQntuples(result.get())));
        for (int row = 0; row < PQntuples(result.get()); ++row) found.push_back(ReadRow(result.get(), row));
        return found;
    });
}

void PostgresHistoryStore::AppendEvents(const std::vector<Event>& events) {
    if (events.empty()) return;
    // Of events with one id the last replaces the others, as the later call would.
    std::unordered_map<std::uint64_t, std::size_t> last;
    for (std::size_t i = 0; i < events.size(); ++i) last[events[i].id] = i;
    std::vector<const Event*> kept;
    std::string ids = "{";
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (last[events[i].id] != i) continue;
        ids += (kept.empty() ? "" : ",") + std::to_string(static_cast<std::int64_t>(events[i].id));
        kept.push_back(&events[i]);
    }
    ids += "}";
    Run([&](Connection& c) {
        Transaction transaction(c);
        std::set<Month> months;
        for (const Event* e : kept) months.insert(MonthOf(e->startUtc));
        transaction.EnsurePartitions("zdarzenia", months);
        Params remove;
        remove.Exec(c.Get(), "DELETE FROM zdarzenia WHERE id = ANY(" + remove.Text(ids) + "::bigint[])",
                    Cp1250("nie można zastąpić zdarzeń"));
        for (std::size_t begin = 0; begin < kept.size(); begin += kRowsPerInsert) {
            Params p;
            std::string sql = std::string("INSERT INTO zdarzenia(") + kEventColumns + ") VALUES ";
            for (std::size_t i = begin; i < kept.size() && i < begin + kRowsPerInsert; ++i)
                sql += (i > begin ? "," : "") + EventValues(p, *kept[i]);
            p.Exec(c.Get(), sql, Cp1250("nie można zapisać zdarzeń"));
        }
        transaction.Commit();
    });
}

std::vector<Event> PostgresHistoryStore::QueryEvents(const EventQuery& query) {
    if (query.toUtc <= query.fromUtc) return {};
    return Run([&](Connection& c) {
        Params p;
        std::string sql = std::string("SELECT ") + kEventColumns + " FROM zdarzenia" + EventFilter(p, query) +
                          " ORDER BY od, id";
        if (query.limit > 0) sql += " LIMIT " + std::to_string(query.limit);
        const Result result = p.Exec(c.Get(), sql, Cp1250("nie można odczytać zdarzeń"));
        std::vector<Event> events;
        for (int row = 0; row < PQntuples(result.get()); ++row)
            if (auto e = ReadEvent(result.get(), row)) events.push_back(std::move(*e));
        return events;
    });
}

void PostgresHistoryStore::RemoveEvents(const EventQuery& query) {
    if (query.toUtc <= query.fromUtc) return;
    Run([&](Connection& c) {
        Params p;
        p.Exec(c.Get(), "DELETE FROM zdarzenia" + EventFilter(p, query), Cp1250("nie można usunąć zdarzeń"));
    });
}

int PostgresHistoryStore::Prune(int keepDays, std::int64_t nowUtc) {
    if (keepDays <= 0) return 0;
    const std::int64_t cutoff = nowUtc - std::int64_t{keepDays} * 86400;
    return Run([&](Connection& c) {
        Transaction transaction(c);
        Exec(c.Get(), kSchemaLock, Cp1250("nie można zablokować schematu"));
        const Result partitions = Exec(c.Get(),
                                       "SELECT c.relname::text FROM pg_inherits i JOIN pg_class c ON c.oid = i.inhrelid"
                                       " WHERE i.inhparent IN ('pozycje'::regclass, 'zdarzenia'::regclass)",
                                       Cp1250("nie można odczytać partycji"));
        std::set<Month> dropped;
        for (int row = 0; row < PQntuples(partitions.get()); ++row) {
            const std::string name = Raw(partitions.get(), row, 0);
            const auto month = MonthOfPartition(name);
            if (!month || MonthStartUtc(AddMonths(*month, 1)) > cutoff) continue;
            Exec(c.Get(), "DROP TABLE " + name, Cp1250("nie można usunąć partycji ") + name);
            c.partitions.erase(name);
            dropped.insert(*month);
        }
        transaction.Commit();
        return static_cast<int>(dropped.size());
    });
}

}  // namespace serwer

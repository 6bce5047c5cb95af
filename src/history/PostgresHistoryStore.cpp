#include "history/PostgresHistoryStore.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>
#include <tuple>
#include <unordered_map>
#include <utility>

#include "common/DateTime.hpp"
#include "common/ServerError.hpp"
#include "common/Win1250.hpp"
#include "postgres/PgConnection.hpp"

namespace serwer {

namespace {

using namespace pg;

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
    "CREATE INDEX IF NOT EXISTS zdarzenia_od ON zdarzenia(od);"
    "CREATE TABLE IF NOT EXISTS ostatnie_pozycje("
    " pojazd bytea PRIMARY KEY, licencja text NOT NULL, czas_fix bigint, odebrano bigint NOT NULL,"
    " szerokosc double precision, dlugosc double precision, predkosc double precision, paliwo bytea NOT NULL,"
    " silnik boolean NOT NULL, gps text NOT NULL, kierowca bytea NOT NULL, we1 boolean NOT NULL,"
    " we2 boolean NOT NULL, we3 boolean NOT NULL, przebieg bigint, nowa_forma boolean NOT NULL,"
    " rekord bytea NOT NULL);"
    "CREATE TABLE IF NOT EXISTS bufor_zapisany(serwer text PRIMARY KEY, nr bigint NOT NULL);";

constexpr const char* kColumns =
    "pojazd, licencja, czas_fix, odebrano, szerokosc, dlugosc, predkosc, paliwo, silnik, gps, kierowca,"
    " we1, we2, we3, przebieg, nowa_forma, rekord";

constexpr const char* kEventColumns =
    "id, typ, pojazd, od, \"do\", przedzial, szerokosc, dlugosc, strefa, wartosc, ograniczenie, dystans, litry,"
    " szczegol, opis";

// Rows per INSERT: a statement takes at most 65535 parameters.
constexpr std::size_t kRowsPerInsert = 1000;

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

// Creates the partitions of the months (under the schema's lock, in the transaction
// running) unless known; those made are added to created.
void EnsurePartitions(Connection& c, const char* table, const std::set<Month>& months,
                      const std::set<std::string>& known, std::vector<std::string>& created) {
    bool locked = false;
    for (const Month& m : months) {
        const std::string name = PartitionName(table, m);
        if (known.count(name)) continue;
        if (!locked) LockSchema(c);
        locked = true;
        c.Exec("CREATE TABLE IF NOT EXISTS " + name + " PARTITION OF " + table + " FOR VALUES FROM (" +
                   std::to_string(MonthStartUtc(m)) + ") TO (" + std::to_string(MonthStartUtc(AddMonths(m, 1))) + ")",
               Cp1250("nie można utworzyć partycji ") + name);
        created.push_back(name);
    }
}

// The vehicles' last positions of the rows: each vehicle's last row received, replacing
// the one kept only when it is not newer (rows a spool writes late do not go back).
void UpdateLastPositions(Connection& c, const std::vector<HistoryRecord>& rows) {
    std::unordered_map<std::string, std::size_t> last;
    for (std::size_t i = 0; i < rows.size(); ++i) last[rows[i].registration] = i;
    std::vector<std::size_t> kept;
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (last[rows[i].registration] == i) kept.push_back(i);
    std::string update;
    for (const char* column : {"licencja", "czas_fix", "odebrano", "szerokosc", "dlugosc", "predkosc", "paliwo",
                               "silnik", "gps", "kierowca", "we1", "we2", "we3", "przebieg", "nowa_forma", "rekord"})
        update += std::string(update.empty() ? "" : ", ") + column + " = EXCLUDED." + column;
    for (std::size_t begin = 0; begin < kept.size(); begin += kRowsPerInsert) {
        Params p;
        std::string sql = std::string("INSERT INTO ostatnie_pozycje(") + kColumns + ") VALUES ";
        for (std::size_t i = begin; i < kept.size() && i < begin + kRowsPerInsert; ++i)
            sql += (i > begin ? "," : "") + RowValues(p, rows[kept[i]]);
        sql += " ON CONFLICT (pojazd) DO UPDATE SET " + update +
               " WHERE ostatnie_pozycje.odebrano <= EXCLUDED.odebrano";
        p.Exec(c, sql, Cp1250("nie można zapisać ostatnich pozycji"));
    }
}

// The rows and the vehicles' last positions, in the transaction running.
void WriteRows(Connection& c, const std::vector<HistoryRecord>& rows, const std::set<std::string>& known,
               std::vector<std::string>& created) {
    if (rows.empty()) return;
    std::set<Month> months;
    for (const HistoryRecord& r : rows) months.insert(MonthOf(r.receivedUtc));
    EnsurePartitions(c, "pozycje", months, known, created);
    for (std::size_t begin = 0; begin < rows.size(); begin += kRowsPerInsert) {
        Params p;
        std::string sql = std::string("INSERT INTO pozycje(") + kColumns + ") VALUES ";
        for (std::size_t i = begin; i < rows.size() && i < begin + kRowsPerInsert; ++i)
            sql += (i > begin ? "," : "") + RowValues(p, rows[i]);
        p.Exec(c, sql, Cp1250("nie można zapisać pozycji"));
    }
    UpdateLastPositions(c, rows);
}

// The events, each replacing the one kept with its id, in the transaction running.
void WriteEvents(Connection& c, const std::vector<Event>& events, const std::set<std::string>& known,
                 std::vector<std::string>& created) {
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
    std::set<Month> months;
    for (const Event* e : kept) months.insert(MonthOf(e->startUtc));
    EnsurePartitions(c, "zdarzenia", months, known, created);
    Params remove;
    remove.Exec(c, "DELETE FROM zdarzenia WHERE id = ANY(" + remove.Text(ids) + "::bigint[])",
                Cp1250("nie można zastąpić zdarzeń"));
    for (std::size_t begin = 0; begin < kept.size(); begin += kRowsPerInsert) {
        Params p;
        std::string sql = std::string("INSERT INTO zdarzenia(") + kEventColumns + ") VALUES ";
        for (std::size_t i = begin; i < kept.size() && i < begin + kRowsPerInsert; ++i)
            sql += (i > begin ? "," : "") + EventValues(p, *kept[i]);
        p.Exec(c, sql, Cp1250("nie można zapisać zdarzeń"));
    }
}

std::vector<std::vector<std::string>> Upgrades() {
    std::vector<std::string> first;
    const std::string schema = kSchema;
    for (std::size_t begin = 0, end; (end = schema.find(';', begin)) != std::string::npos; begin = end + 1)
        first.push_back(schema.substr(begin, end - begin));
    return {first};
}

}  // namespace

struct PostgresHistoryStore::State {
    explicit State(const std::string& uri) : session(uri, Cp1250("Historia w PostgreSQL")) {}
    Session session;
    std::set<std::string> partitions;  // known to exist (made or seen through this connection)
};

PostgresHistoryStore::PostgresHistoryStore(const std::string& uri) : state_(std::make_unique<State>(uri)) {
    // Another server may have dropped a month this one knew.
    state_->session.onFailure = [state = state_.get()] { state->partitions.clear(); };
    state_->session.Run([](Connection& c) { PrepareSchema(c, "historia", Upgrades()); });
}

PostgresHistoryStore::~PostgresHistoryStore() = default;

void PostgresHistoryStore::Append(const std::vector<HistoryRecord>& rows) {
    if (rows.empty()) return;
    state_->session.Run([&](Connection& c) {
        Transaction transaction(c);
        std::vector<std::string> created;
        WriteRows(c, rows, state_->partitions, created);
        transaction.Commit();
        state_->partitions.insert(created.begin(), created.end());
    });
}

void PostgresHistoryStore::AppendSpooled(const std::vector<HistoryRecord>& rows, const std::vector<Event>& events,
                                         const std::string& server, std::int64_t upTo) {
    state_->session.Run([&](Connection& c) {
        Transaction transaction(c);
        std::vector<std::string> created;
        WriteRows(c, rows, state_->partitions, created);
        WriteEvents(c, events, state_->partitions, created);
        Params p;
        p.Exec(c,
               "INSERT INTO bufor_zapisany(serwer, nr) VALUES (" + p.Text(server) + ", " + p.Int(upTo) +
                   ") ON CONFLICT (serwer) DO UPDATE SET nr = EXCLUDED.nr",
               Cp1250("nie można zapisać stanu bufora"));
        transaction.Commit();
        state_->partitions.insert(created.begin(), created.end());
    });
}

std::int64_t PostgresHistoryStore::SpooledUpTo(const std::string& server) {
    return state_->session.Run([&](Connection& c) {
        Params p;
        const Result result = p.Exec(c, "SELECT nr FROM bufor_zapisany WHERE serwer = " + p.Text(server),
                                     Cp1250("nie można odczytać stanu bufora"));
        return PQntuples(result.get()) ? Int8(result.get(), 0, 0) : std::int64_t{0};
    });
}

std::optional<std::vector<HistoryRecord>> PostgresHistoryStore::LastPositions() {
    return state_->session.Run([&](Connection& c) {
        const Result result = c.Exec(std::string("SELECT ") + kColumns + " FROM ostatnie_pozycje ORDER BY pojazd",
                                     Cp1250("nie można odczytać ostatnich pozycji"));
        std::vector<HistoryRecord> found;
        found.reserve(static_cast<std::size_t>(PQntuples(result.get())));
        for (int row = 0; row < PQntuples(result.get()); ++row) found.push_back(ReadRow(result.get(), row));
        return std::optional<std::vector<HistoryRecord>>(std::move(found));
    });
}

std::vector<HistoryRecord> PostgresHistoryStore::Query(const HistoryQuery& query) {
    std::vector<HistoryRecord> rows;
    if (query.toUtc <= query.fromUtc) return rows;
    // The months read are those of the month files: from the one before the range to the
    // one after it.
    const std::int64_t low = MonthStartUtc(AddMonths(MonthOf(query.fromUtc), -1));
    const std::int64_t high = MonthStartUtc(AddMonths(MonthOf(query.toUtc - 1), 2));
    return state_->session.Run([&](Connection& c) {
        Params p;
        const std::string from = p.Int(query.fromUtc), to = p.Int(query.toUtc);
        std::string sql = std::string("SELECT ") + kColumns + " FROM pozycje WHERE odebrano >= " + p.Int(low) +
                          " AND odebrano < " + p.Int(high) + " AND (czas_fix >= " + from + " AND czas_fix < " + to +
                          " OR czas_fix IS NULL AND odebrano >= " + from + " AND odebrano < " + to + ")";
        if (query.registration) sql += " AND pojazd = " + p.Bytes(*query.registration);
        sql += " ORDER BY pojazd, coalesce(czas_fix, odebrano), odebrano, nr";
        const Result result = p.Exec(c, sql, Cp1250("nie można odczytać pozycji"));
        std::vector<HistoryRecord> found;
        found.reserve(static_cast<std::size_t>(PQntuples(result.get())));
        for (int row = 0; row < PQntuples(result.get()); ++row) found.push_back(ReadRow(result.get(), row));
        return found;
    });
}

namespace {

// The columns a track point is made of, and those that order a vehicle's rows.
constexpr const char* kTrackColumns =
    "pojazd, czas_fix, odebrano, nr, szerokosc, dlugosc, predkosc, paliwo, silnik, gps, kierowca";
constexpr int kRowsPerFetch = 10000;

// A bytea field copied into `to`, whose buffer is kept from row to row.
void AssignRaw(const PGresult* r, int row, int column, std::string& to) {
    to.assign(PQgetvalue(r, row, column), static_cast<std::size_t>(PQgetlength(r, row, column)));
}

// The point of a row of kTrackColumns, as TrackPointOf makes it of the whole row.
void ReadTrackPoint(const PGresult* r, int row, TrackPoint& p, std::string& scratch) {
    AssignRaw(r, row, 0, p.registration);
    p.timeUtc = Int8(r, row, 1);
    const auto latitude = CoordinateWithin(Float8(r, row, 4), kMaxLatitude);
    const auto longitude = CoordinateWithin(Float8(r, row, 5), kMaxLongitude);
    const bool coordinates = latitude && longitude;
    p.latitude = coordinates ? *latitude : 0;
    p.longitude = coordinates ? *longitude : 0;
    p.speedKmh = Float8(r, row, 6);
    AssignRaw(r, row, 7, scratch);
    p.fuelPercent = FuelPercentOfText(scratch);
    p.engineOn = Boolean(r, row, 8);
    AssignRaw(r, row, 9, scratch);
    p.fix = coordinates && scratch == "OK";
    AssignRaw(r, row, 10, p.driver);
}

// The rows of the select (its parameters in p) through a cursor of the transaction
// running, to each(result, row) a fetch at a time: the memory held is one fetch's.
template <typename Each>
void ForEachRow(Connection& c, const Params& p, const std::string& select, Each&& each) {
    p.Exec(c, "DECLARE punkty NO SCROLL CURSOR FOR " + select, Cp1250("nie można odczytać pozycji"));
    const std::string fetch = "FETCH FORWARD " + std::to_string(kRowsPerFetch) + " FROM punkty";
    for (;;) {
        const Result chunk = Params().Exec(c, fetch, Cp1250("nie można odczytać pozycji"));
        const int rows = PQntuples(chunk.get());
        for (int row = 0; row < rows; ++row) each(chunk.get(), row);
        if (rows < kRowsPerFetch) break;
    }
    c.Exec("CLOSE punkty", Cp1250("nie można zamknąć kursora pozycji"));
}

}  // namespace

void PostgresHistoryStore::ScanTrack(const TrackQuery& query, TrackVisitor& visitor) {
    if (query.toUtc <= query.fromUtc) return;
    // The partitions of Query: from the month before the range to the one after it.
    const std::int64_t low = MonthStartUtc(AddMonths(MonthOf(query.fromUtc), -1));
    const std::int64_t high = MonthStartUtc(AddMonths(MonthOf(query.toUtc - 1), 2));
    const auto select = [&](Params& p) {
        return std::string("SELECT ") + kTrackColumns + " FROM pozycje WHERE odebrano >= " + p.Int(low) +
               " AND odebrano < " + p.Int(high) + " AND czas_fix >= " + p.Int(query.fromUtc) +
               " AND czas_fix < " + p.Int(query.toUtc);
    };
    // Each vehicle's order, as Query gives its rows.
    const std::string byVehicle = " ORDER BY czas_fix, odebrano, nr";
    std::set<std::string> given;  // the vehicles begun by an attempt that lost the connection

    state_->session.Run([&](Connection& c) {
        for (const std::string& registration : given) visitor.Restart(registration);
        given.clear();
        Transaction transaction(c);  // the cursor's; ended by rolling back, nothing was written
        // Every row is fetched: the plan is for all of them, not for the first.
        c.Exec("SET LOCAL cursor_tuple_fraction = 1", Cp1250("nie można odczytać pozycji"));
        TrackPoint point;
        std::string scratch;
        const auto vehicle = [&](const std::string& registration) {
            Params p;
            const std::string sql = select(p) + " AND pojazd = " + p.Bytes(registration) + byVehicle;
            ForEachRow(c, p, sql, [&](const PGresult* r, int row) {
                ReadTrackPoint(r, row, point, scratch);
                visitor.Point(point);
            });
        };
        if (!query.registrations.empty()) {
            for (const std::string& registration : query.registrations) {
                given.insert(registration);
                vehicle(registration);
            }
            return;
        }

        // Every vehicle: the rows in the order they lie in the partitions (from their
        // first page, not where another scan is; not through the index, whose order
        // costs a page read per row), without sorting. A vehicle whose rows lie out of
        // its order is restarted and read again through the index.
        struct Seen {
            std::int64_t time = 0, received = 0, nr = 0;
            bool restarted = false;
        };
        std::unordered_map<std::string, Seen> seen;
        std::vector<std::string> restarted;
        c.Exec("SET LOCAL synchronize_seqscans = off", Cp1250("nie można odczytać pozycji"));
        c.Exec("SET LOCAL enable_indexscan = off", Cp1250("nie można odczytać pozycji"));
        Params p;
        ForEachRow(c, p, select(p), [&](const PGresult* r, int row) {
            ReadTrackPoint(r, row, point, scratch);
            const Seen now{point.timeUtc, Int8(r, row, 2), Int8(r, row, 3), false};
            auto [it, fresh] = seen.try_emplace(point.registration, now);
            if (fresh) given.insert(point.registration);
            Seen& last = it->second;
            if (last.restarted) return;
            if (!fresh && std::tie(now.time, now.received, now.nr) < std::tie(last.time, last.received, last.nr)) {
                last.restarted = true;
                restarted.push_back(point.registration);
                visitor.Restart(point.registration);
                return;
            }
            last = now;
            visitor.Point(point);
        });
        c.Exec("SET LOCAL enable_indexscan = on", Cp1250("nie można odczytać pozycji"));
        for (const std::string& registration : restarted) vehicle(registration);
    });
}

void PostgresHistoryStore::AppendEvents(const std::vector<Event>& events) {
    if (events.empty()) return;
    state_->session.Run([&](Connection& c) {
        Transaction transaction(c);
        std::vector<std::string> created;
        WriteEvents(c, events, state_->partitions, created);
        transaction.Commit();
        state_->partitions.insert(created.begin(), created.end());
    });
}

std::vector<Event> PostgresHistoryStore::QueryEvents(const EventQuery& query) {
    if (query.toUtc <= query.fromUtc) return {};
    return state_->session.Run([&](Connection& c) {
        Params p;
        std::string sql = std::string("SELECT ") + kEventColumns + " FROM zdarzenia" + EventFilter(p, query) +
                          " ORDER BY od, id < 0, id";  // the id as an unsigned number
        if (query.limit > 0) sql += " LIMIT " + std::to_string(query.limit);
        const Result result = p.Exec(c, sql, Cp1250("nie można odczytać zdarzeń"));
        std::vector<Event> events;
        for (int row = 0; row < PQntuples(result.get()); ++row)
            if (auto e = ReadEvent(result.get(), row)) events.push_back(std::move(*e));
        return events;
    });
}

void PostgresHistoryStore::RemoveEvents(const EventQuery& query) {
    if (query.toUtc <= query.fromUtc) return;
    state_->session.Run([&](Connection& c) {
        Params p;
        p.Exec(c, "DELETE FROM zdarzenia" + EventFilter(p, query), Cp1250("nie można usunąć zdarzeń"));
    });
}

int PostgresHistoryStore::Prune(int keepDays, std::int64_t nowUtc) {
    if (keepDays <= 0) return 0;
    const std::int64_t cutoff = nowUtc - std::int64_t{keepDays} * 86400;
    return state_->session.Run([&](Connection& c) {
        Transaction transaction(c);
        LockSchema(c);
        const Result partitions = c.Exec("SELECT c.relname::text FROM pg_inherits i JOIN pg_class c ON c.oid = i.inhrelid"
                                         " WHERE i.inhparent IN ('pozycje'::regclass, 'zdarzenia'::regclass)",
                                         Cp1250("nie można odczytać partycji"));
        std::set<Month> dropped;
        std::vector<std::string> names;
        for (int row = 0; row < PQntuples(partitions.get()); ++row) {
            const std::string name = Raw(partitions.get(), row, 0);
            const auto month = MonthOfPartition(name);
            if (!month || MonthStartUtc(AddMonths(*month, 1)) > cutoff) continue;
            c.Exec("DROP TABLE " + name, Cp1250("nie można usunąć partycji ") + name);
            names.push_back(name);
            dropped.insert(*month);
        }
        transaction.Commit();
        for (const std::string& name : names) state_->partitions.erase(name);
        return static_cast<int>(dropped.size());
    });
}

}  // namespace serwer

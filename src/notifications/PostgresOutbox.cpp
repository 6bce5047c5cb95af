#include "notifications/PostgresOutbox.hpp"

#include "common/ServerError.hpp"
#include "common/Win1250.hpp"
#include "postgres/PgConnection.hpp"

namespace serwer {

namespace {

using namespace pg;

// The tables of the SQLite file, each row with the name of the server it belongs to.
const std::vector<std::vector<std::string>>& Upgrades() {
    static const std::vector<std::vector<std::string>> upgrades{{
        "CREATE TABLE IF NOT EXISTS powiadomienia_wiadomosci(id bigserial PRIMARY KEY, serwer bytea NOT NULL,"
        " zdarzenie bigint NOT NULL, regula bytea NOT NULL, kanal text NOT NULL, adres bytea NOT NULL,"
        " naglowki bytea NOT NULL, tresc bytea NOT NULL, utworzono bigint NOT NULL, niepowodzenia integer NOT NULL,"
        " nastepna bigint NOT NULL)",
        "CREATE INDEX IF NOT EXISTS powiadomienia_wiadomosci_nastepna ON powiadomienia_wiadomosci(serwer, nastepna)",
        "CREATE TABLE IF NOT EXISTS powiadomienia_przyjete(serwer bytea NOT NULL, zdarzenie bigint NOT NULL,"
        " regula bytea NOT NULL, od bigint NOT NULL, PRIMARY KEY (serwer, zdarzenie, regula))",
        "CREATE INDEX IF NOT EXISTS powiadomienia_przyjete_od ON powiadomienia_przyjete(serwer, od)",
        "CREATE TABLE IF NOT EXISTS powiadomienia_dlawiki(serwer bytea NOT NULL, regula bytea NOT NULL,"
        " pojazd bytea NOT NULL, typ text NOT NULL, wyslano bigint NOT NULL, wstrzymane integer NOT NULL,"
        " PRIMARY KEY (serwer, regula, pojazd, typ))",
    }};
    return upgrades;
}

}  // namespace

struct PostgresOutbox::State {
    explicit State(const std::string& uri) : session(uri, Cp1250("Kolejka powiadomień w PostgreSQL")) {}
    Session session;
};

PostgresOutbox::PostgresOutbox(const std::string& uri, const std::string& serverName)
    : state_(std::make_unique<State>(uri)), server_(serverName) {
    state_->session.Run([](Connection& c) { PrepareSchema(c, "powiadomienia", Upgrades()); });
}

PostgresOutbox::~PostgresOutbox() = default;

bool PostgresOutbox::Taken(std::uint64_t eventId, const std::string& rule) {
    return state_->session.Run([&](Connection& c) {
        Params p;
        const Result r = p.Exec(c,
                                "SELECT 1 FROM powiadomienia_przyjete WHERE serwer = " + p.Bytes(server_) +
                                    " AND zdarzenie = " + p.Int(static_cast<std::int64_t>(eventId)) +
                                    " AND regula = " + p.Bytes(rule),
                                Cp1250("nie można odczytać przyjętych zdarzeń"));
        return PQntuples(r.get()) > 0;
    });
}

ThrottleState PostgresOutbox::Throttle(const ThrottleKey& key) {
    return state_->session.Run([&](Connection& c) {
        Params p;
        const Result r =
            p.Exec(c,
                   "SELECT wyslano, wstrzymane::bigint FROM powiadomienia_dlawiki WHERE serwer = " + p.Bytes(server_) +
                       " AND regula = " + p.Bytes(key.rule) + " AND pojazd = " + p.Bytes(key.vehicle) +
                       " AND typ = " + p.Text(EventTypeName(key.type)),
                   Cp1250("nie można odczytać stanu dławika"));
        if (PQntuples(r.get()) == 0) return ThrottleState{};
        return ThrottleState{true, Int8(r.get(), 0, 0), static_cast<int>(Int8(r.get(), 0, 1))};
    });
}

void PostgresOutbox::Take(std::uint64_t eventId, const ThrottleKey& key, const ThrottleState& state,
                          const std::vector<OutboxMessage>& messages, std::int64_t eventStartUtc) {
    state_->session.Run([&](Connection& c) {
        Transaction transaction(c);
        Params taken;
        taken.Exec(c,
                   "INSERT INTO powiadomienia_przyjete(serwer, zdarzenie, regula, od) VALUES (" + taken.Bytes(server_) +
                       ", " + taken.Int(static_cast<std::int64_t>(eventId)) + ", " + taken.Bytes(key.rule) + ", " +
                       taken.Int(eventStartUtc) + ") ON CONFLICT DO NOTHING",
                   Cp1250("nie można zapisać przyjętego zdarzenia"));
        Params throttle;
        throttle.Exec(c,
                      "INSERT INTO powiadomienia_dlawiki(serwer, regula, pojazd, typ, wyslano, wstrzymane) VALUES (" +
                          throttle.Bytes(server_) + ", " + throttle.Bytes(key.rule) + ", " +
                          throttle.Bytes(key.vehicle) + ", " + throttle.Text(EventTypeName(key.type)) + ", " +
                          throttle.Int(state.lastSentUtc) + ", " + throttle.Int(state.heldBack) +
                          ") ON CONFLICT (serwer, regula, pojazd, typ) DO UPDATE SET wyslano = EXCLUDED.wyslano,"
                          " wstrzymane = EXCLUDED.wstrzymane",
                      Cp1250("nie można zapisać stanu dławika"));
        if (!messages.empty()) {
            Params p;
            std::string sql =
                "INSERT INTO powiadomienia_wiadomosci(serwer, zdarzenie, regula, kanal, adres, naglowki, tresc,"
                " utworzono, niepowodzenia, nastepna) VALUES ";
            const std::string server = p.Bytes(server_);
            for (std::size_t i = 0; i < messages.size(); ++i) {
                const OutboxMessage& m = messages[i];
                sql += (i ? ", (" : "(") + server + ", " + p.Int(static_cast<std::int64_t>(m.eventId)) + ", " +
                       p.Bytes(m.rule) + ", " + p.Text(m.channel) + ", " + p.Bytes(m.address) + ", " +
                       p.Bytes(m.headers) + ", " + p.Bytes(m.body) + ", " + p.Int(m.createdUtc) + ", 0, " +
                       p.Int(m.nextUtc) + ")";
            }
            p.Exec(c, sql, Cp1250("nie można zapisać powiadomień"));
        }
        transaction.Commit();
    });
}

std::vector<OutboxMessage> PostgresOutbox::Due(std::int64_t nowUtc, std::size_t limit) {
    return state_->session.Run([&](Connection& c) {
        Params p;
        const Result r =
            p.Exec(c,
                   "SELECT id, zdarzenie, regula, kanal, adres, naglowki, tresc, utworzono, niepowodzenia::bigint,"
                   " nastepna FROM powiadomienia_wiadomosci WHERE serwer = " +
                       p.Bytes(server_) + " AND nastepna <= " + p.Int(nowUtc) + " ORDER BY nastepna, id LIMIT " +
                       p.Int(static_cast<std::int64_t>(limit)),
                   Cp1250("nie można odczytać powiadomień"));
        std::vector<OutboxMessage> due;
        for (int row = 0; row < PQntuples(r.get()); ++row)
            due.push_back({Int8(r.get(), row, 0), static_cast<std::uint64_t>(Int8(r.get(), row, 1)),
                           Raw(r.get(), row, 2), Raw(r.get(), row, 3), Raw(r.get(), row, 4), Raw(r.get(), row, 5),
                           Raw(r.get(), row, 6), Int8(r.get(), row, 7), static_cast<int>(Int8(r.get(), row, 8)),
                           Int8(r.get(), row, 9)});
        return due;
    });
}

std::optional<std::int64_t> PostgresOutbox::Number(const std::string& value, const char* table,
                                                   const std::string& what) {
    return state_->session.Run([&](Connection& c) {
        Params p;
        const Result r = p.Exec(c, "SELECT " + value + " FROM " + table + " WHERE serwer = " + p.Bytes(server_), what);
        return PQntuples(r.get()) ? OptInt8(r.get(), 0, 0) : std::nullopt;
    });
}

std::optional<std::int64_t> PostgresOutbox::NextDueUtc() {
    return Number("MIN(nastepna)", "powiadomienia_wiadomosci", Cp1250("nie można odczytać powiadomień"));
}

void PostgresOutbox::Remove(std::int64_t id) {
    state_->session.Run([&](Connection& c) {
        Params p;
        p.Exec(c, "DELETE FROM powiadomienia_wiadomosci WHERE id = " + p.Int(id) + " AND serwer = " + p.Bytes(server_),
               Cp1250("nie można usunąć powiadomienia"));
    });
}

void PostgresOutbox::Retry(std::int64_t id, int failures, std::int64_t nextUtc) {
    state_->session.Run([&](Connection& c) {
        Params p;
        p.Exec(c,
               "UPDATE powiadomienia_wiadomosci SET niepowodzenia = " + p.Int(failures) +
                   ", nastepna = " + p.Int(nextUtc) + " WHERE id = " + p.Int(id) + " AND serwer = " + p.Bytes(server_),
               Cp1250("nie można zapisać próby powiadomienia"));
    });
}

std::size_t PostgresOutbox::Size() {
    const auto count = Number("COUNT(*)", "powiadomienia_wiadomosci", Cp1250("nie można odczytać powiadomień"));
    return static_cast<std::size_t>(count.value_or(0));
}

std::optional<std::int64_t> PostgresOutbox::OldestCreatedUtc() {
    return Number("MIN(utworzono)", "powiadomienia_wiadomosci", Cp1250("nie można odczytać powiadomień"));
}

std::optional<std::int64_t> PostgresOutbox::TakenUpTo() {
    return Number("MAX(od)", "powiadomienia_przyjete", Cp1250("nie można odczytać przyjętych zdarzeń"));
}

void PostgresOutbox::ForgetTakenBefore(std::int64_t utc) {
    state_->session.Run([&](Connection& c) {
        Params p;
        p.Exec(c, "DELETE FROM powiadomienia_przyjete WHERE serwer = " + p.Bytes(server_) + " AND od < " + p.Int(utc),
               Cp1250("nie można usunąć przyjętych zdarzeń"));
    });
}

}  // namespace serwer

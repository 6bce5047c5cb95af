#include "accounts/PostgresAccountStore.hpp"

#include <cstdlib>

#include "accounts/Secrets.hpp"
#include "common/ServerError.hpp"
#include "common/Win1250.hpp"
#include "postgres/PgConnection.hpp"

namespace serwer {

namespace {

using namespace pg;

// The tables of the accounts. A token goes with its account (ON DELETE CASCADE).
std::vector<std::vector<std::string>> Upgrades() {
    return {{
        "CREATE TABLE IF NOT EXISTS konta(nazwa bytea PRIMARY KEY, rola text NOT NULL, licencje bytea NOT NULL,"
        " pojazdy bytea NOT NULL, haslo text NOT NULL)",
        "CREATE TABLE IF NOT EXISTS tokeny(skrot text PRIMARY KEY,"
        " nazwa bytea NOT NULL REFERENCES konta(nazwa) ON DELETE CASCADE)",
        "CREATE INDEX IF NOT EXISTS tokeny_nazwa ON tokeny(nazwa)",
        "CREATE TABLE IF NOT EXISTS udostepnienia(skrot text PRIMARY KEY, pojazd bytea NOT NULL, wygasa bigint NOT "
        "NULL)",
        "CREATE INDEX IF NOT EXISTS udostepnienia_pojazd ON udostepnienia(pojazd)",
    }};
}

// A change in a transaction of its own, so that one whose commit was sent is not made
// again after a lost connection; how many rows it changed.
int Change(Connection& c, const Params& p, const std::string& sql, const std::string& what) {
    Transaction transaction(c);
    const Result result = p.Exec(c, sql, what);
    transaction.Commit();
    return std::atoi(PQcmdTuples(result.get()));
}

}  // namespace

struct PostgresAccountStore::State {
    explicit State(const std::string& uri) : session(uri, Cp1250("Konta w PostgreSQL")) {}
    Session session;

    // An account of the row's first four columns: nazwa, rola, licencje, pojazdy.
    static Account AccountOf(const PGresult* r, int row) {
        Account account;
        account.name = Raw(r, row, 0);
        account.role = RoleFromName(Raw(r, row, 1)).value_or(Role::Dispatcher);
        account.licences = SplitList(Raw(r, row, 2));
        account.vehicles = SplitList(Raw(r, row, 3));
        return account;
    }

    static std::vector<Share> SharesOf(const PGresult* r) {
        std::vector<Share> shares;
        for (int row = 0; row < PQntuples(r); ++row) shares.push_back({Raw(r, row, 0), Int8(r, row, 1)});
        return shares;
    }
};

PostgresAccountStore::PostgresAccountStore(const std::string& uri) : state_(std::make_unique<State>(uri)) {
    state_->session.Run([](Connection& c) { PrepareSchema(c, "konta", Upgrades()); });
}

PostgresAccountStore::~PostgresAccountStore() = default;

bool PostgresAccountStore::Add(const Account& account, const std::string& passwordHash) {
    const std::string licences = JoinList(account.licences), vehicles = JoinList(account.vehicles);
    return state_->session.Run([&](Connection& c) {
        Params p;
        const std::string sql = "INSERT INTO konta(nazwa, rola, licencje, pojazdy, haslo) VALUES (" +
                                p.Bytes(account.name) + ", " + p.Text(RoleName(account.role)) + ", " +
                                p.Bytes(licences) + ", " + p.Bytes(vehicles) + ", " + p.Text(passwordHash) +
                                ") ON CONFLICT (nazwa) DO NOTHING";
        return Change(c, p, sql, Cp1250("nie można dodać konta")) > 0;
    });
}

bool PostgresAccountStore::SetPassword(const std::string& name, const std::string& passwordHash) {
    return state_->session.Run([&](Connection& c) {
        Params p;
        const std::string sql = "UPDATE konta SET haslo = " + p.Text(passwordHash) + " WHERE nazwa = " + p.Bytes(name);
        return Change(c, p, sql, Cp1250("nie można zmienić hasła konta")) > 0;
    });
}

bool PostgresAccountStore::Remove(const std::string& name) {
    return state_->session.Run([&](Connection& c) {
        Params p;
        const std::string sql = "DELETE FROM konta WHERE nazwa = " + p.Bytes(name);
        return Change(c, p, sql, Cp1250("nie można usunąć konta")) > 0;
    });
}

std::vector<Account> PostgresAccountStore::List() const {
    return state_->session.Run([&](Connection& c) {
        const Result r = c.Exec("SELECT nazwa, rola, licencje, pojazdy FROM konta ORDER BY nazwa",
                                Cp1250("nie można odczytać kont"));
        std::vector<Account> accounts;
        for (int row = 0; row < PQntuples(r.get()); ++row) accounts.push_back(State::AccountOf(r.get(), row));
        return accounts;
    });
}

std::size_t PostgresAccountStore::Count() const {
    return state_->session.Run([&](Connection& c) {
        const Result r = c.Exec("SELECT count(*) FROM konta", Cp1250("nie można policzyć kont"));
        return static_cast<std::size_t>(Int8(r.get(), 0, 0));
    });
}

std::optional<StoredAccount> PostgresAccountStore::Find(const std::string& name) const {
    return state_->session.Run([&](Connection& c) -> std::optional<StoredAccount> {
        Params p;
        const Result r =
            p.Exec(c, "SELECT nazwa, rola, licencje, pojazdy, haslo FROM konta WHERE nazwa = " + p.Bytes(name),
                   Cp1250("nie można odczytać konta"));
        if (PQntuples(r.get()) == 0) return std::nullopt;
        return StoredAccount{State::AccountOf(r.get(), 0), Raw(r.get(), 0, 4)};
    });
}

std::optional<std::string> PostgresAccountStore::AddToken(const std::string& name) {
    std::string token = RandomToken();
    const std::string digest = TokenDigest(token);
    const bool added = state_->session.Run([&](Connection& c) {
        Params p;
        // The account's row is locked against its removal until the token is in.
        const std::string sql = "INSERT INTO tokeny(skrot, nazwa) SELECT " + p.Text(digest) +
                                ", nazwa FROM konta WHERE nazwa = " + p.Bytes(name) + " FOR KEY SHARE";
        return Change(c, p, sql, Cp1250("nie można dodać tokenu")) > 0;
    });
    if (!added) return std::nullopt;
    return token;
}

std::optional<Account> PostgresAccountStore::FindByToken(std::string_view token) const {
    const std::string digest = TokenDigest(token);
    return state_->session.Run([&](Connection& c) -> std::optional<Account> {
        Params p;
        const Result r = p.Exec(c,
                                "SELECT k.nazwa, k.rola, k.licencje, k.pojazdy FROM tokeny t JOIN konta k ON k.nazwa ="
                                " t.nazwa WHERE t.skrot = " +
                                    p.Text(digest),
                                Cp1250("nie można odczytać tokenu"));
        if (PQntuples(r.get()) == 0) return std::nullopt;
        return State::AccountOf(r.get(), 0);
    });
}

std::string PostgresAccountStore::AddShare(const std::string& registration, std::int64_t expiresUtc) {
    std::string token = RandomToken();
    const std::string digest = TokenDigest(token);
    state_->session.Run([&](Connection& c) {
        Params p;
        const std::string sql = "INSERT INTO udostepnienia(skrot, pojazd, wygasa) VALUES (" + p.Text(digest) + ", " +
                                p.Bytes(registration) + ", " + p.Int(expiresUtc) + ")";
        Change(c, p, sql, Cp1250("nie można dodać udostępnienia"));
    });
    return token;
}

std::optional<Share> PostgresAccountStore::FindShare(std::string_view token, std::int64_t nowUtc) const {
    const std::string digest = TokenDigest(token);
    return state_->session.Run([&](Connection& c) -> std::optional<Share> {
        Params p;
        const std::string sql = "SELECT pojazd, wygasa FROM udostepnienia WHERE skrot = " + p.Text(digest) +
                                " AND wygasa > " + p.Int(nowUtc);
        const std::vector<Share> shares =
            State::SharesOf(p.Exec(c, sql, Cp1250("nie można odczytać udostępnienia")).get());
        if (shares.empty()) return std::nullopt;
        return shares.front();
    });
}

int PostgresAccountStore::WithdrawShares(std::string_view tokenOrRegistration) {
    const Withdrawal withdrawal = WithdrawalOf(tokenOrRegistration);
    if (withdrawal.digest.empty() && withdrawal.registration.empty()) return 0;
    return state_->session.Run([&](Connection& c) {
        Params p;
        const std::string sql = "DELETE FROM udostepnienia WHERE " +
                                (withdrawal.digest.empty() ? "pojazd = " + p.Bytes(withdrawal.registration)
                                                           : "skrot = " + p.Text(withdrawal.digest));
        return Change(c, p, sql, Cp1250("nie można cofnąć udostępnień"));
    });
}

std::vector<Share> PostgresAccountStore::ListShares(std::int64_t nowUtc) const {
    return state_->session.Run([&](Connection& c) {
        Params p;
        const std::string sql =
            "SELECT pojazd, wygasa FROM udostepnienia WHERE wygasa > " + p.Int(nowUtc) + " ORDER BY wygasa, pojazd";
        return State::SharesOf(p.Exec(c, sql, Cp1250("nie można odczytać udostępnień")).get());
    });
}

}  // namespace serwer

#include "accounts/SqliteAccountStore.hpp"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "accounts/Secrets.hpp"
#include "common/ServerError.hpp"
#include "common/Win1250.hpp"

namespace serwer {

namespace {

constexpr int kSchemaVersion = 1;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS wersja(numer INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS konta("
    " nazwa TEXT PRIMARY KEY, rola TEXT NOT NULL, licencje TEXT NOT NULL, pojazdy TEXT NOT NULL, haslo TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS tokeny(skrot TEXT PRIMARY KEY, nazwa TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS tokeny_nazwa ON tokeny(nazwa);"
    "CREATE TABLE IF NOT EXISTS udostepnienia(skrot TEXT PRIMARY KEY, pojazd TEXT NOT NULL, wygasa INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS udostepnienia_pojazd ON udostepnienia(pojazd);";

}  // namespace

struct SqliteAccountStore::Impl {
    std::string path;
    sqlite3* db = nullptr;
    mutable std::mutex mutex;

    ~Impl() { sqlite3_close_v2(db); }

    [[noreturn]] void Fail(const char* what) const {
        throw ServerError(Cp1250(what) + path + ": " + (db ? sqlite3_errmsg(db) : Cp1250("brak pamięci")));
    }

    // A prepared statement that finalizes itself; its failures name the file.
    class Statement {
    public:
        Statement(const Impl& store, const char* sql) : store_(store) {
            if (sqlite3_prepare_v2(store.db, sql, -1, &stmt_, nullptr) != SQLITE_OK)
                store.Fail("Błąd pliku kont ");
        }
        ~Statement() { sqlite3_finalize(stmt_); }
        Statement(const Statement&) = delete;
        Statement& operator=(const Statement&) = delete;

        Statement& Text(int index, std::string_view text) {
            sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
            return *this;
        }
        Statement& Integer(int index, std::int64_t value) {
            sqlite3_bind_int64(stmt_, index, value);
            return *this;
        }
        // True while there is a row.
        bool Step() {
            const int code = sqlite3_step(stmt_);
            if (code == SQLITE_ROW) return true;
            if (code != SQLITE_DONE) store_.Fail("Błąd pliku kont ");
            return false;
        }
        // Runs a change; how many rows it changed.
        int Run() {
            while (Step()) {
            }
            return sqlite3_changes(store_.db);
        }
        std::string Column(int index) const {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, index));
            return text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, index))) : "";
        }
        std::int64_t ColumnInteger(int index) const { return sqlite3_column_int64(stmt_, index); }

    private:
        const Impl& store_;
        sqlite3_stmt* stmt_ = nullptr;
    };

    // A write transaction rolled back unless committed.
    class Transaction {
    public:
        explicit Transaction(const Impl& store) : store_(store) { store.Exec("BEGIN IMMEDIATE"); }
        ~Transaction() {
            if (!committed_) sqlite3_exec(store_.db, "ROLLBACK", nullptr, nullptr, nullptr);
        }
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;
        void Commit() {
            store_.Exec("COMMIT");
            committed_ = true;
        }

    private:
        const Impl& store_;
        bool committed_ = false;
    };

    void Exec(const char* sql) const {
        if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) Fail("Błąd pliku kont ");
    }

    static Account AccountOf(const Statement& row) {
        Account account;
        account.name = row.Column(0);
        account.role = RoleFromName(row.Column(1)).value_or(Role::Dispatcher);
        account.licences = SplitList(row.Column(2));
        account.vehicles = SplitList(row.Column(3));
        return account;
    }
};

SqliteAccountStore::SqliteAccountStore(const std::string& path) : impl_(std::make_unique<Impl>()) {
    impl_->path = path;
    // The file is made readable by its owner only before SQLite first writes to it; the
    // journal files SQLite makes beside it take the same permissions.
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throw ServerError(Cp1250("Nie można otworzyć pliku kont ") + path + ": " + std::strerror(errno));
    ::close(fd);

    if (sqlite3_open_v2(path.c_str(), &impl_->db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
        impl_->Fail("Nie można otworzyć pliku kont ");
    // The konta command and the running server use the file at the same time.
    sqlite3_busy_timeout(impl_->db, 5000);
    if (sqlite3_exec(impl_->db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr) != SQLITE_OK)
        impl_->Fail("Nie można otworzyć pliku kont ");

    Impl::Transaction transaction(*impl_);
    if (sqlite3_exec(impl_->db, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK)
        impl_->Fail("Nie można otworzyć pliku kont ");
    Impl::Statement version(*impl_, "SELECT max(numer) FROM wersja");
    version.Step();
    const std::int64_t found = version.ColumnInteger(0);
    if (found > kSchemaVersion)
        throw ServerError(Cp1250("Plik kont ") + path + Cp1250(" ma nowszy format (wersja ") +
                          std::to_string(found) + Cp1250("), niż zna ten program"));
    if (found == 0) Impl::Statement(*impl_, "INSERT INTO wersja(numer) VALUES(?)").Integer(1, kSchemaVersion).Run();
    transaction.Commit();
}

SqliteAccountStore::~SqliteAccountStore() = default;

bool SqliteAccountStore::Add(const Account& account, const std::string& passwordHash) {
    const std::string licences = JoinList(account.licences), vehicles = JoinList(account.vehicles);
    std::lock_guard lock(impl_->mutex);
    Impl::Statement insert(*impl_,
                           "INSERT OR IGNORE INTO konta(nazwa, rola, licencje, pojazdy, haslo) VALUES(?, ?, ?, ?, ?)");
    insert.Text(1, account.name).Text(2, RoleName(account.role)).Text(3, licences).Text(4, vehicles);
    return insert.Text(5, passwordHash).Run() > 0;
}

bool SqliteAccountStore::SetPassword(const std::string& name, const std::string& passwordHash) {
    std::lock_guard lock(impl_->mutex);
    return Impl::Statement(*impl_, "UPDATE konta SET haslo = ? WHERE nazwa = ?").Text(1, passwordHash).Text(2, name).Run() >
           0;
}

bool SqliteAccountStore::Remove(const std::string& name) {
    std::lock_guard lock(impl_->mutex);
    Impl::Transaction transaction(*impl_);
    Impl::Statement(*impl_, "DELETE FROM tokeny WHERE nazwa = ?").Text(1, name).Run();
    const bool removed = Impl::Statement(*impl_, "DELETE FROM konta WHERE nazwa = ?").Text(1, name).Run() > 0;
    transaction.Commit();
    return removed;
}

std::vector<Account> SqliteAccountStore::List() const {
    std::lock_guard lock(impl_->mutex);
    Impl::Statement select(*impl_, "SELECT nazwa, rola, licencje, pojazdy FROM konta ORDER BY nazwa");
    std::vector<Account> accounts;
    while (select.Step()) accounts.push_back(Impl::AccountOf(select));
    return accounts;
}

std::size_t SqliteAccountStore::Count() const {
    std::lock_guard lock(impl_->mutex);
    Impl::Statement count(*impl_, "SELECT count(*) FROM konta");
    count.Step();
    return static_cast<std::size_t>(count.ColumnInteger(0));
}

std::optional<StoredAccount> SqliteAccountStore::Find(const std::string& name) const {
    std::lock_guard lock(impl_->mutex);
    Impl::Statement select(*impl_, "SELECT nazwa, rola, licencje, pojazdy, haslo FROM konta WHERE nazwa = ?");
    if (!select.Text(1, name).Step()) return std::nullopt;
    return StoredAccount{Impl::AccountOf(select), select.Column(4)};
}

std::optional<std::string> SqliteAccountStore::AddToken(const std::string& name) {
    std::string token = RandomToken();
    std::lock_guard lock(impl_->mutex);
    Impl::Statement insert(*impl_, "INSERT INTO tokeny(skrot, nazwa) SELECT ?, nazwa FROM konta WHERE nazwa = ?");
    if (insert.Text(1, TokenDigest(token)).Text(2, name).Run() == 0) return std::nullopt;
    return token;
}

std::optional<Account> SqliteAccountStore::FindByToken(std::string_view token) const {
    const std::string digest = TokenDigest(token);
    std::lock_guard lock(impl_->mutex);
    Impl::Statement select(*impl_,
                           "SELECT k.nazwa, k.rola, k.licencje, k.pojazdy FROM tokeny t JOIN konta k ON k.nazwa = t.nazwa"
                           " WHERE t.skrot = ?");
    if (!select.Text(1, digest).Step()) return std::nullopt;
    return Impl::AccountOf(select);
}

std::string SqliteAccountStore::AddShare(const std::string& registration, std::int64_t expiresUtc) {
    std::string token = RandomToken();
    std::lock_guard lock(impl_->mutex);
    Impl::Statement(*impl_, "INSERT INTO udostepnienia(skrot, pojazd, wygasa) VALUES(?, ?, ?)")
        .Text(1, TokenDigest(token))
        .Text(2, registration)
        .Integer(3, expiresUtc)
        .Run();
    return token;
}

std::optional<Share> SqliteAccountStore::FindShare(std::string_view token, std::int64_t nowUtc) const {
    const std::string digest = TokenDigest(token);
    std::lock_guard lock(impl_->mutex);
    Impl::Statement select(*impl_, "SELECT pojazd, wygasa FROM udostepnienia WHERE skrot = ? AND wygasa > ?");
    if (!select.Text(1, digest).Integer(2, nowUtc).Step()) return std::nullopt;
    return Share{select.Column(0), select.ColumnInteger(1)};
}

int SqliteAccountStore::WithdrawShares(std::string_view tokenOrRegistration) {
    const Withdrawal withdrawal = WithdrawalOf(tokenOrRegistration);
    std::lock_guard lock(impl_->mutex);
    if (!withdrawal.digest.empty())
        return Impl::Statement(*impl_, "DELETE FROM udostepnienia WHERE skrot = ?").Text(1, withdrawal.digest).Run();
    if (withdrawal.registration.empty()) return 0;
    return Impl::Statement(*impl_, "DELETE FROM udostepnienia WHERE pojazd = ?").Text(1, withdrawal.registration).Run();
}

std::vector<Share> SqliteAccountStore::ListShares(std::int64_t nowUtc) const {
    std::lock_guard lock(impl_->mutex);
    Impl::Statement select(*impl_, "SELECT pojazd, wygasa FROM udostepnienia WHERE wygasa > ? ORDER BY wygasa, pojazd");
    select.Integer(1, nowUtc);
    std::vector<Share> shares;
    while (select.Step()) shares.push_back({select.Column(0), select.ColumnInteger(1)});
    return shares;
}

}  // namespace serwer

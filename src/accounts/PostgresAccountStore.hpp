#pragma once
#include <memory>
#include <string>

#include "accounts/AccountStore.hpp"

namespace serwer {

// The accounts in the PostgreSQL database that servers share ([Historia] Baza), so that
// a change made through any of them counts for all: the tables konta, tokeny and
// udostepnienia (schema part "konta" of wersja_schematu). Names and registrations are
// kept as their Windows-1250 bytes (bytea), tokens only as their digests. The database
// keeps names unique: of two servers adding one name at once, one succeeds. One
// connection, used by one call at a time; a lost connection is reset once.
class PostgresAccountStore : public AccountStore {
public:
    // Connects and creates or upgrades the tables.
    explicit PostgresAccountStore(const std::string& uri);
    ~PostgresAccountStore() override;

    bool Add(const Account& account, const std::string& passwordHash) override;
    bool SetPassword(const std::string& name, const std::string& passwordHash) override;
    bool Remove(const std::string& name) override;
    std::vector<Account> List() const override;
    std::size_t Count() const override;
    std::optional<StoredAccount> Find(const std::string& name) const override;
    std::optional<std::string> AddToken(const std::string& name) override;
    std::optional<Account> FindByToken(std::string_view token) const override;
    std::string AddShare(const std::string& registration, std::int64_t expiresUtc) override;
    std::optional<Share> FindShare(std::string_view token, std::int64_t nowUtc) const override;
    int WithdrawShares(std::string_view tokenOrRegistration) override;
    std::vector<Share> ListShares(std::int64_t nowUtc) const override;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace serwer

#pragma once
#include <memory>
#include <string>

#include "accounts/AccountStore.hpp"

namespace serwer {

// The accounts in konta.db (SQLite), which the konta command and the running server
// use at the same time.
class SqliteAccountStore : public AccountStore {
public:
    // Opens the file, creating it and its tables when missing (the file readable by its
    // owner only).
    explicit SqliteAccountStore(const std::string& path);
    ~SqliteAccountStore() override;

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
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace serwer

#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/Account.hpp"

namespace serwer {

struct StoredAccount {
    Account account;
    std::string passwordHash;  // HashPassword's text
};

// A link that shows one vehicle to whoever has it.
struct Share {
    std::string registration;   // Windows-1250
    std::int64_t expiresUtc = 0;  // seconds
};

// The accounts, their API tokens and the share links, in konta.db (SQLite). Tokens are
// kept only as TokenDigest. Safe to use from many threads; every change is committed
// when the call returns. Failures throw ServerError (Windows-1250).
class AccountStore {
public:
    // Opens the file, creating it and its tables when missing (the file readable by its
    // owner only).
    explicit AccountStore(const std::string& path);
    ~AccountStore();
    AccountStore(const AccountStore&) = delete;
    AccountStore& operator=(const AccountStore&) = delete;

    // False when an account of that name exists.
    bool Add(const Account& account, const std::string& passwordHash);
    // False when there is no such account.
    bool SetPassword(const std::string& name, const std::string& passwordHash);
    // Removes the account with its tokens; false when there is none.
    bool Remove(const std::string& name);
    std::vector<Account> List() const;  // by name
    std::size_t Count() const;
    std::optional<StoredAccount> Find(const std::string& name) const;

    // A new API token of the account (the account's earlier tokens stay valid); none
    // when there is no such account.
    std::optional<std::string> AddToken(const std::string& name);
    // The account whose token it is.
    std::optional<Account> FindByToken(std::string_view token) const;

    // A new share link's token for the vehicle, valid until expiresUtc.
    std::string AddShare(const std::string& registration, std::int64_t expiresUtc);
    // The share of the token while it has not expired at nowUtc.
    std::optional<Share> FindShare(std::string_view token, std::int64_t nowUtc) const;
    // Withdraws the share of a token, or every share of a registration; how many.
    int WithdrawShares(std::string_view tokenOrRegistration);
    // The shares not yet expired at nowUtc, by expiry.
    std::vector<Share> ListShares(std::int64_t nowUtc) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace serwer

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
    std::string registration;     // Windows-1250
    std::int64_t expiresUtc = 0;  // seconds
};

// The accounts, their API tokens and the share links: in konta.db (SqliteAccountStore)
// or in the PostgreSQL database the servers share (PostgresAccountStore). Tokens are
// kept only as TokenDigest. Safe to use from many threads; every change is committed
// when the call returns. Failures throw ServerError (Windows-1250).
class AccountStore {
public:
    AccountStore() = default;
    virtual ~AccountStore() = default;
    AccountStore(const AccountStore&) = delete;
    AccountStore& operator=(const AccountStore&) = delete;

    // False when an account of that name exists.
    virtual bool Add(const Account& account, const std::string& passwordHash) = 0;
    // False when there is no such account.
    virtual bool SetPassword(const std::string& name, const std::string& passwordHash) = 0;
    // Removes the account with its tokens; false when there is none.
    virtual bool Remove(const std::string& name) = 0;
    virtual std::vector<Account> List() const = 0;  // by name (its bytes)
    virtual std::size_t Count() const = 0;
    virtual std::optional<StoredAccount> Find(const std::string& name) const = 0;

    // A new API token of the account (the account's earlier tokens stay valid); none
    // when there is no such account.
    virtual std::optional<std::string> AddToken(const std::string& name) = 0;
    // The account whose token it is.
    virtual std::optional<Account> FindByToken(std::string_view token) const = 0;

    // A new share link's token for the vehicle, valid until expiresUtc.
    virtual std::string AddShare(const std::string& registration, std::int64_t expiresUtc) = 0;
    // The share of the token while it has not expired at nowUtc.
    virtual std::optional<Share> FindShare(std::string_view token, std::int64_t nowUtc) const = 0;
    // Withdraws the share of a token, or every share of a registration; how many.
    virtual int WithdrawShares(std::string_view tokenOrRegistration) = 0;
    // The shares not yet expired at nowUtc, by expiry.
    virtual std::vector<Share> ListShares(std::int64_t nowUtc) const = 0;

protected:
    // An account's owner codes or registrations as stored: joined with commas (a comma in
    // one of them fails), and split again.
    static std::string JoinList(const std::vector<std::string>& items);
    static std::vector<std::string> SplitList(const std::string& text);

    // What WithdrawShares is to withdraw: the share of a token's digest (a token alone, or
    // a whole link ending in one), or the shares of a registration; neither: nothing.
    struct Withdrawal {
        std::string digest;
        std::string registration;
    };
    static Withdrawal WithdrawalOf(std::string_view tokenOrRegistration);
};

// The accounts in the file sqlitePath (SqliteAccountStore) when databaseUri is empty,
// otherwise in the PostgreSQL database it names.
std::unique_ptr<AccountStore> OpenAccountStore(const std::string& sqlitePath, const std::string& databaseUri);

}  // namespace serwer

#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "accounts/Account.hpp"
#include "accounts/AccountStore.hpp"

namespace serwer {

enum class LoginOutcome {
    Accepted,
    Refused,  // no such account, or a wrong password: the caller is not told which
    Locked,   // too many failures: not tried (LoginGuard)
};

struct LoginResult {
    LoginOutcome outcome = LoginOutcome::Refused;
    std::int64_t retryAfterS = 0;  // when locked: whole seconds, at least 1
    std::optional<Viewer> viewer;  // when accepted
    std::string session;           // when accepted and a session was asked for: its token
};

// The web service's side of the accounts: logins through LoginGuard, sessions, API
// tokens and share links over an AccountStore, and every login's outcome in the access
// log dostep.txt (WriteLog: "account; address; outcome", the name as typed, made safe).
// Each request reads the store, so accounts changed by the konta command count at once.
// Safe to call from many threads.
class AccountService {
public:
    // A session ends after this long without use.
    static constexpr std::int64_t kSessionIdleMs = 8LL * 3600 * 1000;

    explicit AccountService(std::unique_ptr<AccountStore> store, std::string accessLogFile = "dostep.txt");
    ~AccountService();

    // Whether the store holds any account (read at most once a second).
    bool HasAccounts(std::int64_t nowMs) const;

    // A login with a name and password (UTF-8 as typed; the store's names are Windows-1250)
    // from a client address; startSession: a session is made for it (the login page),
    // otherwise it is one request's (HTTP Basic). Logged to dostep.txt, except Basic
    // logins that succeed (every request of a script would be logged).
    LoginResult Login(std::string_view name, std::string_view password, const std::string& address,
                      std::int64_t nowMs, bool startSession);
    // The viewer of a session token, which is kept alive by the call; none when the
    // session ended or its account is gone.
    std::optional<Viewer> FromSession(std::string_view token, std::int64_t nowMs);
    void Logout(std::string_view token, const std::string& address);
    // The viewer of an API token.
    std::optional<Viewer> FromToken(std::string_view token) const;
    // The vehicle a share link shows, while it is valid.
    std::optional<Share> FromShare(std::string_view token, std::int64_t nowUtcS) const;

    AccountStore& Store();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace serwer

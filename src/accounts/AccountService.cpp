#include "accounts/AccountService.hpp"

#include <sodium.h>

#include <algorithm>
#include <mutex>
#include <semaphore>
#include <unordered_map>
#include <utility>

#include "accounts/LoginGuard.hpp"
#include "accounts/Secrets.hpp"
#include "common/Win1250.hpp"
#include "logs/EventLog.hpp"

namespace serwer {

namespace {

constexpr std::size_t kMaxSessions = 100000;
constexpr std::size_t kMaxBasicEntries = 10000;
constexpr std::int64_t kBasicCacheMs = 5 * 60 * 1000;
constexpr std::int64_t kCountCacheMs = 1000;
constexpr std::size_t kLoggedNameBytes = 64;
// The most of a typed name the brute-force records keep.
constexpr std::size_t kGuardKeyBytes = 256;

// A text for the access log: cut to its limit, with control bytes and the separator ';'
// made '?', so that no name typed into the login form can forge or break a line.
std::string Safe(std::string text) {
    if (text.size() > kLoggedNameBytes) text.resize(kLoggedNameBytes);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == ';') c = '?';
    return text;
}

struct Session {
    std::string account;  // Windows-1250
    std::int64_t lastUseMs = 0;
};

// A Basic login verified lately: the account and the hash it was verified against.
struct VerifiedBasic {
    std::string account;
    std::string passwordHash;
    std::int64_t untilMs = 0;
};

}  // namespace

struct AccountService::Impl {
    std::unique_ptr<AccountStore> store;
    std::string accessLogFile;

    std::mutex guardMutex;
    LoginGuard guard;

    // Each verification takes 64 MiB: two at a time at most.
    std::counting_semaphore<2> verifications{2};
    std::once_flag dummyMade;
    std::string dummyHash;  // verified against for a name with no account

    std::mutex sessionMutex;
    std::unordered_map<std::string, Session> sessions;  // by TokenDigest

    std::mutex basicMutex;
    unsigned char basicKey[crypto_generichash_KEYBYTES];
    std::unordered_map<std::string, VerifiedBasic> basics;  // by BasicKey

    mutable std::mutex countMutex;
    mutable bool countKnown = false;
    mutable bool hasAccounts = false;
    mutable std::int64_t countedMs = 0;

    // Refused attempts are logged once a minute for each name and address, with how many
    // went unlogged since: someone hammering a lock cannot fill the disk with lines.
    std::mutex refusalMutex;
    struct Refusals {
        std::int64_t loggedMs = 0;
        std::int64_t unlogged = 0;
    };
    std::unordered_map<std::string, Refusals> refusals;  // by name '\0' address
    static constexpr std::int64_t kRefusalLogEveryMs = 60 * 1000;
    static constexpr std::size_t kMaxRefusalRecords = 100000;

    void LogRefusal(std::string_view typedName, const std::string& address, std::int64_t nowMs) {
        std::int64_t unlogged = 0;
        {
            std::lock_guard lock(refusalMutex);
            if (refusals.size() >= kMaxRefusalRecords)
                std::erase_if(refusals, [&](const auto& r) { return nowMs - r.second.loggedMs >= kRefusalLogEveryMs; });
            Refusals& r = refusals[std::string(typedName.substr(0, kGuardKeyBytes)) + '\0' + address];
            if (r.loggedMs != 0 && nowMs - r.loggedMs < kRefusalLogEveryMs) {
                ++r.unlogged;
                return;
            }
            unlogged = std::exchange(r.unlogged, 0);
            r.loggedMs = nowMs;
        }
        if (unlogged == 0)
            Log(typedName, address, "zablokowane");
        else
            Log(typedName, address,
                ("zablokowane (i " + std::to_string(unlogged) + " odrzuconych prób od poprzedniego wpisu)").c_str());
    }

    void Log(std::string_view typedName, const std::string& address, const char* outcomeUtf8) {
        const auto cp1250 = Cp1250Exact(typedName);
        const std::string name = cp1250 ? *cp1250 : Cp1250(typedName);
        try {
            WriteLog(Safe(name) + "; " + Safe(address) + "; " + Cp1250(outcomeUtf8), accessLogFile);
        } catch (const std::exception&) {
            // A full disk must not refuse the login: the outcome stands without its line.
        }
    }

    bool Verify(const std::optional<StoredAccount>& stored, std::string_view password) {
        std::call_once(dummyMade, [this] { dummyHash = HashPassword(RandomToken()); });
        struct Slot {
            std::counting_semaphore<2>& s;
            explicit Slot(std::counting_semaphore<2>& semaphore) : s(semaphore) { s.acquire(); }
            ~Slot() { s.release(); }
        } slot(verifications);
        // A name with no account costs the same verification, so the time does not tell.
        const bool right = VerifyPassword(stored ? stored->passwordHash : dummyHash, password);
        return right && stored;
    }

    // The keyed hash of a name and password: the memory holds nothing that would give
    // the password.
    std::string BasicKey(std::string_view name, std::string_view password) const {
        crypto_generichash_state state;
        crypto_generichash_init(&state, basicKey, sizeof basicKey, 32);
        crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(name.data()), name.size());
        const unsigned char zero = 0;
        crypto_generichash_update(&state, &zero, 1);
        crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(password.data()), password.size());
        std::string digest(32, '\0');
        crypto_generichash_final(&state, reinterpret_cast<unsigned char*>(digest.data()), digest.size());
        return digest;
    }

    void AddSession(const std::string& digest, const std::string& account, std::int64_t nowMs) {
        std::lock_guard lock(sessionMutex);
        if (sessions.size() >= kMaxSessions) {
            std::erase_if(sessions, [nowMs](const auto& s) { return nowMs - s.second.lastUseMs > kSessionIdleMs; });
            if (sessions.size() >= kMaxSessions)
                sessions.erase(std::min_element(sessions.begin(), sessions.end(), [](const auto& a, const auto& b) {
                    return a.second.lastUseMs < b.second.lastUseMs;
                }));
        }
        sessions[digest] = {account, nowMs};
    }

    void AddBasic(const std::string& key, const StoredAccount& stored, std::int64_t nowMs) {
        std::lock_guard lock(basicMutex);
        if (basics.size() >= kMaxBasicEntries) {
            std::erase_if(basics, [nowMs](const auto& b) { return nowMs >= b.second.untilMs; });
            if (basics.size() >= kMaxBasicEntries) basics.clear();
        }
        basics[key] = {stored.account.name, stored.passwordHash, nowMs + kBasicCacheMs};
    }

    // The account of a Basic login verified lately with the same password hash still.
    std::optional<StoredAccount> VerifiedLately(const std::string& key, std::int64_t nowMs) {
        VerifiedBasic entry;
        {
            std::lock_guard lock(basicMutex);
            const auto it = basics.find(key);
            if (it == basics.end()) return std::nullopt;
            if (nowMs >= it->second.untilMs) {
                basics.erase(it);
                return std::nullopt;
            }
            entry = it->second;
        }
        auto stored = store->Find(entry.account);
        if (stored && stored->passwordHash == entry.passwordHash) return stored;
        std::lock_guard lock(basicMutex);
        basics.erase(key);
        return std::nullopt;
    }
};

AccountService::AccountService(std::unique_ptr<AccountStore> store, std::string accessLogFile)
    : impl_(std::make_unique<Impl>()) {
    impl_->store = std::move(store);
    impl_->accessLogFile = std::move(accessLogFile);
    RandomToken();  // libsodium made ready before its generator is used directly
    randombytes_buf(impl_->basicKey, sizeof impl_->basicKey);
}

AccountService::~AccountService() { sodium_memzero(impl_->basicKey, sizeof impl_->basicKey); }

bool AccountService::HasAccounts(std::int64_t nowMs) const {
    std::lock_guard lock(impl_->countMutex);
    if (!impl_->countKnown || nowMs - impl_->countedMs >= kCountCacheMs || nowMs < impl_->countedMs) {
        impl_->hasAccounts = impl_->store->Count() > 0;
        impl_->countKnown = true;
        impl_->countedMs = nowMs;
    }
    return impl_->hasAccounts;
}

LoginResult AccountService::Login(std::string_view name, std::string_view password, const std::string& address,
                                  std::int64_t nowMs, bool startSession) {
    const std::optional<std::string> account = Cp1250Exact(name);
    // The lock's key: the name as typed, cut short, so that long made-up names cannot
    // make the guard's records large.
    const std::string key = account.value_or(std::string(name)).substr(0, kGuardKeyBytes);
    LoginResult result;
    {
        std::lock_guard lock(impl_->guardMutex);
        const std::int64_t lockedMs = impl_->guard.LockedForMs(key, address, nowMs);
        if (lockedMs > 0) {
            result.outcome = LoginOutcome::Locked;
            result.retryAfterS = std::max<std::int64_t>(1, (lockedMs + 999) / 1000);
        }
    }
    if (result.outcome == LoginOutcome::Locked) {
        impl_->LogRefusal(name, address, nowMs);
        return result;
    }

    std::optional<StoredAccount> stored;
    bool right = false;
    const std::string basicKey = startSession ? "" : impl_->BasicKey(name, password);
    if (account && !startSession) {
        stored = impl_->VerifiedLately(basicKey, nowMs);
        right = stored.has_value();
    }
    if (account && !right) {
        stored = impl_->store->Find(*account);
        right = impl_->Verify(stored, password);
    }
    if (!right) {
        {
            std::lock_guard lock(impl_->guardMutex);
            impl_->guard.Failed(key, address, nowMs);
        }
        impl_->Log(name, address, stored ? "błędne hasło" : "nieznane konto");
        return result;
    }

    {
        std::lock_guard lock(impl_->guardMutex);
        impl_->guard.Succeeded(key);
    }
    result.outcome = LoginOutcome::Accepted;
    result.viewer = Viewer{stored->account, false};
    if (startSession) {
        result.session = RandomToken();
        impl_->AddSession(TokenDigest(result.session), stored->account.name, nowMs);
        impl_->Log(name, address, "zalogowano");
    } else {
        impl_->AddBasic(basicKey, *stored, nowMs);
    }
    return result;
}

std::optional<Viewer> AccountService::FromSession(std::string_view token, std::int64_t nowMs) {
    const std::string digest = TokenDigest(token);
    std::string name;
    {
        std::lock_guard lock(impl_->sessionMutex);
        const auto it = impl_->sessions.find(digest);
        if (it == impl_->sessions.end()) return std::nullopt;
        if (nowMs - it->second.lastUseMs > kSessionIdleMs) {
            impl_->sessions.erase(it);
            return std::nullopt;
        }
        name = it->second.account;
    }
    const std::optional<StoredAccount> stored = impl_->store->Find(name);
    std::lock_guard lock(impl_->sessionMutex);
    const auto it = impl_->sessions.find(digest);
    if (it == impl_->sessions.end()) return std::nullopt;  // logged out meanwhile
    if (!stored) {
        impl_->sessions.erase(it);
        return std::nullopt;
    }
    it->second.lastUseMs = std::max(it->second.lastUseMs, nowMs);
    return Viewer{stored->account, false};
}

void AccountService::Logout(std::string_view token, const std::string& address) {
    std::string name;
    {
        std::lock_guard lock(impl_->sessionMutex);
        const auto it = impl_->sessions.find(TokenDigest(token));
        if (it == impl_->sessions.end()) return;
        name = std::move(it->second.account);
        impl_->sessions.erase(it);
    }
    // The stored name is Windows-1250 already.
    impl_->Log(Cp1250ToUtf8(name), address, "wylogowano");
}

std::optional<Viewer> AccountService::FromToken(std::string_view token) const {
    auto account = impl_->store->FindByToken(token);
    if (!account) return std::nullopt;
    return Viewer{std::move(*account), true};
}

std::optional<Share> AccountService::FromShare(std::string_view token, std::int64_t nowUtcS) const {
    return impl_->store->FindShare(token, nowUtcS);
}

AccountStore& AccountService::Store() { return *impl_->store; }

}  // namespace serwer

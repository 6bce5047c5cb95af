#include <gtest/gtest.h>
#include <sys/stat.h>

#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "accounts/AccountService.hpp"
#include "accounts/LoginGuard.hpp"
#include "accounts/PostgresAccountStore.hpp"
#include "accounts/Secrets.hpp"
#include "common/Win1250.hpp"
#include "support/TestDirectory.hpp"
#include "support/TestPostgres.hpp"

using namespace serwer;

namespace {

constexpr std::int64_t kMinuteMs = 60 * 1000;

Account Dispatcher(const std::string& name) { return {name, Role::Dispatcher, {"AB1", "CD2"}, {"WA1", Cp1250("ŁÓ2")}}; }

TEST(AccountRules, RolesByNameAndWhatADispatcherSees) {
    EXPECT_EQ(RoleFromName(RoleName(Role::Administrator)), Role::Administrator);
    EXPECT_EQ(RoleFromName(RoleName(Role::Dispatcher)), Role::Dispatcher);
    EXPECT_EQ(RoleFromName("Administrator"), std::nullopt);
    const Viewer dispatcher{Dispatcher("d")};
    EXPECT_TRUE(dispatcher.Sees("XX1", "AB1"));  // its owner code
    EXPECT_TRUE(dispatcher.Sees("WA1", "ZZ9"));  // named for it
    EXPECT_FALSE(dispatcher.Sees("XX1", "AB"));
    EXPECT_FALSE(dispatcher.Sees("XX1", ""));
    Viewer empty{Dispatcher("e")};
    empty.account.licences = {""};
    EXPECT_FALSE(empty.Sees("XX1", ""));  // an empty code matches nothing
    const Viewer admin{Account{"a", Role::Administrator, {}, {}}};
    EXPECT_TRUE(admin.Sees("XX1", ""));
}

TEST(Secrets, PasswordHashIsArgon2idAndVerifiesOnlyItsPassword) {
    const std::string hash = HashPassword("zażółć");
    EXPECT_EQ(hash.rfind("$argon2id$", 0), 0u) << hash;
    EXPECT_TRUE(VerifyPassword(hash, "zażółć"));
    EXPECT_FALSE(VerifyPassword(hash, "zażółc"));
    EXPECT_FALSE(VerifyPassword("plain", "plain"));
    EXPECT_NE(HashPassword("zażółć"), hash);  // salted
}

TEST(Secrets, TokensAreRandomHexKeptAsBlake2bDigestsAndComparedWhole) {
    const std::string token = RandomToken();
    EXPECT_EQ(token.size(), 64u);
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(RandomToken(), token);
    EXPECT_EQ(TokenDigest(""), "0e5751c026e543b2e8ab2eb06099daa1d1e5df47778f7787faab45cdf12fe3a8");
    EXPECT_TRUE(SecretsEqual("abc", "abc"));
    EXPECT_FALSE(SecretsEqual("abc", "abd"));
    EXPECT_FALSE(SecretsEqual("abc", "abcd"));
    EXPECT_TRUE(SecretsEqual("", ""));
}

enum class Backend { Sqlite, Postgres };

std::string BackendName(const ::testing::TestParamInfo<Backend>& info) {
    return info.param == Backend::Sqlite ? "Sqlite" : "Postgres";
}

// The stores of a test: konta.db in a directory of its own, or a schema of its own in the
// tests' PostgreSQL (those cases skip without one). The directory is the working one.
class AccountStores : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        if (GetParam() == Backend::Postgres) {
            SKIP_WITHOUT_POSTGRES();
            db_ = std::make_unique<TestPostgres>("konta_test");
        }
    }
    std::string Path() const { return (dir_.Path() / "konta.db").string(); }
    std::unique_ptr<AccountStore> Open() const { return OpenAccountStore(Path(), db_ ? db_->Uri() : ""); }
    // Everything the store keeps, as its bytes or rows.
    std::string Kept() {
        if (!db_) return ReadFile(Path());
        const std::string in = db_->Schema() + ".";
        return db_->Sql("SELECT string_agg(r, ';') FROM (SELECT k::text r FROM " + in + "konta k UNION ALL SELECT" +
                        " t::text FROM " + in + "tokeny t UNION ALL SELECT u::text FROM " + in + "udostepnienia u) rows");
    }

    TestDirectory dir_{TestDirectory::Enter::Yes};
    std::unique_ptr<TestPostgres> db_;
};

INSTANTIATE_TEST_SUITE_P(Backends, AccountStores, ::testing::Values(Backend::Sqlite, Backend::Postgres), BackendName);

TEST_P(AccountStores, AccountsRoundTripAndRemoveTakesTheirTokens) {
    const auto opened = Open();
    AccountStore& store = *opened;
    ASSERT_TRUE(store.Add(Dispatcher(Cp1250("Łukasz")), "hash1"));
    ASSERT_TRUE(store.Add({"adam", Role::Administrator, {}, {}}, "hash2"));
    EXPECT_FALSE(store.Add({"adam", Role::Dispatcher, {}, {}}, "other"));
    EXPECT_EQ(store.Count(), 2u);
    const auto found = store.Find(Cp1250("Łukasz"));
    ASSERT_TRUE(found);
    EXPECT_EQ(found->account.licences, (std::vector<std::string>{"AB1", "CD2"}));
    EXPECT_EQ(found->account.vehicles, (std::vector<std::string>{"WA1", Cp1250("ŁÓ2")}));
    EXPECT_EQ(found->passwordHash, "hash1");
    EXPECT_EQ(store.Find(std::string("adam\0x", 6)), std::nullopt);  // the whole name, past a zero byte
    const std::vector<Account> all = store.List();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].name, "adam");
    EXPECT_EQ(all[0].role, Role::Administrator);
    EXPECT_TRUE(all[0].licences.empty());
    EXPECT_TRUE(store.SetPassword("adam", "hash3"));
    EXPECT_FALSE(store.SetPassword("nikt", "hash3"));
    EXPECT_EQ(store.Find("adam")->passwordHash, "hash3");

    const auto token = store.AddToken("adam");
    const auto second = store.AddToken("adam");
    ASSERT_TRUE(token && second);
    EXPECT_EQ(store.FindByToken(*token)->name, "adam");
    EXPECT_EQ(store.FindByToken(*second)->name, "adam");
    EXPECT_EQ(store.AddToken("nikt"), std::nullopt);
    EXPECT_TRUE(store.Remove("adam"));
    EXPECT_FALSE(store.Remove("adam"));
    EXPECT_EQ(store.FindByToken(*token), std::nullopt);
    ASSERT_TRUE(store.Add({"adam", Role::Administrator, {}, {}}, "hash4"));
    EXPECT_EQ(store.FindByToken(*token), std::nullopt);  // a new account of that name gets none of them
}

TEST_P(AccountStores, KeepsOnlyDigestsOfTokensAndTheFileIsOwnersOnly) {
    std::string token, share;
    {
        const auto store = Open();
        store->Add(Dispatcher("d"), "hash");
        token = *store->AddToken("d");
        share = store->AddShare("WA1", 2000000000);
    }
    if (GetParam() == Backend::Sqlite) {
        struct stat st {};
        ASSERT_EQ(::stat(Path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
    const std::string kept = Kept();
    EXPECT_EQ(kept.find(token), std::string::npos);
    EXPECT_EQ(kept.find(share), std::string::npos);
    EXPECT_NE(kept.find(TokenDigest(token)), std::string::npos);
    EXPECT_NE(kept.find(TokenDigest(share)), std::string::npos);
    EXPECT_EQ(Open()->FindByToken(token)->name, "d");  // reopened
}

TEST_P(AccountStores, SharesExpireAndAreWithdrawnByTokenLinkOrRegistration) {
    const auto opened = Open();
    AccountStore& store = *opened;
    const std::string first = store.AddShare("WA1", 1000), second = store.AddShare("WA1", 2000);
    const std::string other = store.AddShare("KR2", 3000);
    EXPECT_EQ(store.FindShare(first, 999)->registration, "WA1");
    EXPECT_EQ(store.FindShare(first, 999)->expiresUtc, 1000);
    EXPECT_EQ(store.FindShare(first, 1000), std::nullopt);
    ASSERT_EQ(store.ListShares(1000).size(), 2u);
    EXPECT_EQ(store.ListShares(1000)[0].expiresUtc, 2000);

    EXPECT_EQ(store.WithdrawShares("https://mapa.example.pl:8443/udostepnione/" + other), 1);
    EXPECT_EQ(store.FindShare(other, 0), std::nullopt);
    EXPECT_EQ(store.WithdrawShares("https://mapa.example.pl/udostepnione/WA1"), 0);  // a link's end is a token only
    EXPECT_EQ(store.WithdrawShares("WA1"), 2);
    EXPECT_EQ(store.FindShare(second, 0), std::nullopt);
    const std::string third = store.AddShare("WA1", 1000);
    EXPECT_EQ(store.WithdrawShares(third), 1);
    EXPECT_EQ(store.WithdrawShares(third), 0);
}

class SharedAccountDatabase : public ::testing::Test {
protected:
    void SetUp() override { SKIP_WITHOUT_POSTGRES(); }
};

TEST_F(SharedAccountDatabase, ServersSeeEachOthersAccountsAndOnlyOneAddsAName) {
    TestPostgres db("konta_test");
    PostgresAccountStore one(db.Uri()), other(db.Uri());
    EXPECT_EQ(db.Sql("SELECT wersja FROM " + db.Schema() + ".wersja_schematu WHERE czesc = 'konta'"), "1");
    ASSERT_TRUE(one.Add(Dispatcher(Cp1250("Łukasz")), "hash"));
    EXPECT_FALSE(other.Add({Cp1250("Łukasz"), Role::Administrator, {}, {}}, "other"));
    EXPECT_EQ(other.Find(Cp1250("Łukasz"))->account.vehicles, (std::vector<std::string>{"WA1", Cp1250("ŁÓ2")}));
    const std::string token = *other.AddToken(Cp1250("Łukasz"));
    EXPECT_EQ(one.FindByToken(token)->name, Cp1250("Łukasz"));
    EXPECT_TRUE(one.Remove(Cp1250("Łukasz")));
    EXPECT_EQ(other.FindByToken(token), std::nullopt);
    EXPECT_EQ(db.Sql("SELECT count(*) FROM " + db.Schema() + ".tokeny"), "0");

    // Both adding the same names at once: each name is added once.
    int added = 0;
    std::thread racing([&] {
        for (int i = 0; i < 50; ++i) added += other.Add({"k" + std::to_string(i), Role::Dispatcher, {}, {}}, "b");
    });
    int addedHere = 0;
    for (int i = 0; i < 50; ++i) addedHere += one.Add({"k" + std::to_string(i), Role::Dispatcher, {}, {}}, "a");
    racing.join();
    EXPECT_EQ(added + addedHere, 50);
    EXPECT_EQ(one.Count(), 50u);
}

TEST(LoginGuardRules, FiveFailuresOfAnAccountLockItForAMinute) {
    LoginGuard guard;
    for (int i = 0; i < 4; ++i) guard.Failed("ala", "10.0.0." + std::to_string(i), 1000 * i);
    EXPECT_EQ(guard.LockedForMs("ala", "10.0.0.9", 4000), 0);
    guard.Failed("ala", "10.0.0.4", 4000);
    EXPECT_EQ(guard.LockedForMs("ala", "10.0.0.9", 4000), kMinuteMs);  // from any address
    EXPECT_EQ(guard.LockedForMs("ola", "10.0.0.4", 4000), 0);
    EXPECT_EQ(guard.LockedForMs("ala", "10.0.0.9", 4000 + kMinuteMs), 0);
    // Failures older than the window do not count.
    LoginGuard slow;
    for (int i = 0; i < 10; ++i) slow.Failed("ala", "a", i * 4 * kMinuteMs);
    EXPECT_EQ(slow.LockedForMs("ala", "a", 40 * kMinuteMs), 0);
}

TEST(LoginGuardRules, TwentyFailuresFromAnAddressAcrossAccountsLockTheAddress) {
    LoginGuard guard;
    for (int i = 0; i < 19; ++i) guard.Failed("konto" + std::to_string(i), "10.0.0.1", i);
    EXPECT_EQ(guard.LockedForMs("nowe", "10.0.0.1", 19), 0);
    guard.Failed("konto19", "10.0.0.1", 19);
    EXPECT_EQ(guard.LockedForMs("nowe", "10.0.0.1", 19), kMinuteMs);
    EXPECT_EQ(guard.LockedForMs("nowe", "10.0.0.2", 19), 0);
}

TEST(LoginGuardRules, EachLockAfterALockDoublesUpToAnHourUntilAQuietQuarterHour) {
    LoginGuard guard;
    std::int64_t now = 0;
    for (int i = 0; i < 5; ++i) guard.Failed("ala", "a", now);
    std::vector<std::int64_t> locks;
    for (int i = 0; i < 8; ++i) {
        locks.push_back(guard.LockedForMs("ala", "a", now) / kMinuteMs);
        now += guard.LockedForMs("ala", "a", now);
        guard.Failed("ala", "a", now);  // one failure once the lock ends locks again
    }
    EXPECT_EQ(locks, (std::vector<std::int64_t>{1, 2, 4, 8, 16, 32, 60, 60}));
    now += guard.LockedForMs("ala", "a", now) + LoginGuard::kWindowMs;
    guard.Failed("ala", "a", now);
    EXPECT_EQ(guard.LockedForMs("ala", "a", now), 0);  // the count starts over
}

TEST(LoginGuardRules, SuccessClearsTheAccountButNotTheAddress) {
    LoginGuard guard;
    for (int i = 0; i < 4; ++i) guard.Failed("ala", "a", 0);
    for (int i = 0; i < 16; ++i) guard.Failed("ola" + std::to_string(i), "a", 0);
    guard.Succeeded("ala");
    guard.Failed("ala", "b", 0);
    EXPECT_EQ(guard.LockedForMs("ala", "b", 0), 0);  // one failure since the success
    EXPECT_EQ(guard.LockedForMs("x", "a", 0), kMinuteMs);  // the address's 20th failure
}

TEST(LoginGuardRules, AttackerRetryingAsSoonAsAllowedForAnHourGetsAtMost30Guesses) {
    LoginGuard guard;
    int guesses = 0;
    for (std::int64_t now = 0; now < 60 * kMinuteMs;) {
        if (const std::int64_t wait = guard.LockedForMs("ala", "10.0.0.1", now)) {
            now += wait;
            continue;
        }
        guard.Failed("ala", "10.0.0.1", now);
        ++guesses;
        now += 1;
    }
    std::cout << "guesses in an hour: " << guesses << "\n";
    EXPECT_EQ(guesses, 10);  // 5, then one after each lock of 1, 2, 4, 8 and 16 minutes
    EXPECT_LE(guesses, 30);
}

// The access log's messages, without their time stamps.
std::vector<std::string> LogMessages(const std::string& log) {
    std::vector<std::string> messages;
    for (std::size_t at = 0; (at = log.find('\n', at)) != std::string::npos;) {
        const std::size_t end = log.find("\r\n", at);
        messages.push_back(log.substr(at + 1, end - at - 1));
        at = end + 2;
    }
    return messages;
}

// The logins over each store; the access log dostep.txt in the working directory.
class AccountLogins : public AccountStores {
protected:
    void SetUp() override {
        AccountStores::SetUp();
        if (IsSkipped()) return;
        service_ = std::make_unique<AccountService>(Open());
        service_->Store().Add(Dispatcher(Cp1250("Łukasz")), HashPassword("tajne"));
    }
    std::unique_ptr<AccountService> service_;
};

INSTANTIATE_TEST_SUITE_P(Backends, AccountLogins, ::testing::Values(Backend::Sqlite, Backend::Postgres), BackendName);

TEST_P(AccountLogins, SessionServesUntilEightHoursIdleOrItsAccountIsRemoved) {
    const LoginResult login = service_->Login("Łukasz", "tajne", "10.0.0.1", 0, true);
    ASSERT_EQ(login.outcome, LoginOutcome::Accepted);
    EXPECT_EQ(login.viewer->account.name, Cp1250("Łukasz"));
    EXPECT_FALSE(login.viewer->byToken);
    const std::int64_t idle = AccountService::kSessionIdleMs;
    EXPECT_TRUE(service_->FromSession(login.session, idle));  // kept alive by the use
    EXPECT_TRUE(service_->FromSession(login.session, 2 * idle));
    EXPECT_FALSE(service_->FromSession(login.session, 3 * idle + 1));
    EXPECT_FALSE(service_->FromSession(login.session, 2 * idle));  // ended for good

    const LoginResult again = service_->Login("Łukasz", "tajne", "10.0.0.1", 0, true);
    service_->Store().Remove(Cp1250("Łukasz"));
    EXPECT_FALSE(service_->FromSession(again.session, 1));
    EXPECT_FALSE(service_->FromSession("", 1));
}

TEST_P(AccountLogins, RightPasswordAfterFiveWrongOnesIsLockedForAMinute) {
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(service_->Login("Łukasz", "zle", "10.0.0.1", 1000, true).outcome, LoginOutcome::Refused);
    const LoginResult locked = service_->Login("Łukasz", "tajne", "10.0.0.2", 1500, true);
    EXPECT_EQ(locked.outcome, LoginOutcome::Locked);
    EXPECT_EQ(locked.retryAfterS, 60);  // 59.5 s rounded up
    EXPECT_TRUE(locked.session.empty());
    EXPECT_EQ(service_->Login("Łukasz", "tajne", "10.0.0.2", 1000 + kMinuteMs, true).outcome, LoginOutcome::Accepted);
}

TEST_P(AccountLogins, AccessLogTellsEachOutcomeWithTheNameMadeSafe) {
    const LoginResult login = service_->Login("Łukasz", "tajne", "10.0.0.1", 0, true);
    service_->Login("Łukasz", "zle", "10.0.0.1", 0, true);
    service_->Login("nikt;\r\n" + std::string(70, 'x'), "zle", "10.0.0.1", 0, true);
    service_->Login("Łukasz", "tajne", "10.0.0.3", 0, false);  // Basic and right: not logged
    service_->Login("Łukasz", "zle", "10.0.0.3", 0, false);
    service_->Logout(login.session, "10.0.0.1");
    service_->Logout(login.session, "10.0.0.1");  // already out: nothing
    const std::vector<std::string> expected = {
        Cp1250("Łukasz; 10.0.0.1; zalogowano"), Cp1250("Łukasz; 10.0.0.1; błędne hasło"),
        "nikt???" + std::string(57, 'x') + "; 10.0.0.1; nieznane konto", Cp1250("Łukasz; 10.0.0.3; błędne hasło"),
        Cp1250("Łukasz; 10.0.0.1; wylogowano")};
    EXPECT_EQ(LogMessages(ReadFile("dostep.txt")), expected);
}

TEST_P(AccountLogins, RefusalsWhileLockedAreLoggedOnceAMinuteWithHowManyWentUnlogged) {
    // Five failures lock for a minute; one more after it, for two (to 181.5 s).
    for (int i = 0; i < 5; ++i) service_->Login("Łukasz", "zle", "10.0.0.1", 1000, true);
    service_->Login("Łukasz", "zle", "10.0.0.1", 61500, true);
    for (const std::int64_t ms : {62000, 63000, 64000, 122500}) service_->Login("Łukasz", "tajne", "10.0.0.1", ms, true);
    std::vector<std::string> messages = LogMessages(ReadFile("dostep.txt"));
    ASSERT_EQ(messages.size(), 8u);
    EXPECT_EQ(messages[6], Cp1250("Łukasz; 10.0.0.1; zablokowane"));
    EXPECT_EQ(messages[7], Cp1250("Łukasz; 10.0.0.1; zablokowane (i 2 odrzuconych prób od poprzedniego wpisu)"));
}

TEST_P(AccountLogins, LongMadeUpNamesShareTheLockOfTheirFirst256Bytes) {
    const std::string stem(256, 'x');
    for (int i = 0; i < 5; ++i) service_->Login(stem + std::to_string(i) + std::string(30000, 'y'), "zle", "10.0.0.9", 0, true);
    EXPECT_EQ(service_->Login(stem + "z", "zle", "10.0.0.9", 0, true).outcome, LoginOutcome::Locked);
}

TEST_P(AccountLogins, BasicLoginRemembersItsPasswordOnlyWhileTheHashStays) {
    const LoginResult basic = service_->Login("Łukasz", "tajne", "10.0.0.1", 0, false);
    EXPECT_EQ(basic.outcome, LoginOutcome::Accepted);
    EXPECT_TRUE(basic.session.empty());
    EXPECT_EQ(service_->Login("Łukasz", "tajne", "10.0.0.1", 1000, false).outcome, LoginOutcome::Accepted);
    service_->Store().SetPassword(Cp1250("Łukasz"), HashPassword("nowe"));
    EXPECT_EQ(service_->Login("Łukasz", "tajne", "10.0.0.1", 2000, false).outcome, LoginOutcome::Refused);
    EXPECT_EQ(service_->Login("Łukasz", "nowe", "10.0.0.1", 3000, false).outcome, LoginOutcome::Accepted);
    EXPECT_EQ(service_->Login("Łukasz\xff", "nowe", "10.0.0.1", 3000, false).outcome, LoginOutcome::Refused);
}

TEST_P(AccountLogins, TokensSharesAndTheCountOfAccountsReadAtMostOnceASecond) {
    const auto token = service_->Store().AddToken(Cp1250("Łukasz"));
    EXPECT_TRUE(service_->FromToken(*token)->byToken);
    EXPECT_FALSE(service_->FromToken(((*token)[0] == '0' ? "1" : "0") + token->substr(1)));
    EXPECT_EQ(service_->FromShare(service_->Store().AddShare("WA1", 100), 99)->registration, "WA1");
    EXPECT_TRUE(service_->HasAccounts(0));
    service_->Store().Remove(Cp1250("Łukasz"));
    EXPECT_TRUE(service_->HasAccounts(999));
    EXPECT_FALSE(service_->HasAccounts(1000));
}

}  // namespace

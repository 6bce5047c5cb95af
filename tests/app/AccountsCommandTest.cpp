#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "accounts/PostgresAccountStore.hpp"
#include "accounts/SqliteAccountStore.hpp"
#include "accounts/Secrets.hpp"
#include "app/AccountsCommand.hpp"
#include "common/Win1250.hpp"
#include "support/ProgramRun.hpp"
#include "support/TestDirectory.hpp"
#include "support/TestPostgres.hpp"

using namespace serwer;

namespace {

using Args = std::vector<std::string>;

TEST(AccountsCommandLine, SubcommandsTheirOptionsAndWindows1250Names) {
    const AccountsCommand add = ParseAccountsCommand(
        {"--ini", "a.ini", "dodaj", "Łukasz", "--rola", "dyspozytor", "--licencje", "AB1, CD2,", "--pojazdy", "ŁÓ1"});
    EXPECT_EQ(add.action, AccountsCommand::Action::Add);
    EXPECT_EQ(add.subject, Cp1250("Łukasz"));
    EXPECT_EQ(add.role, Role::Dispatcher);
    EXPECT_EQ(add.licences, (Args{"AB1", "CD2"}));
    EXPECT_EQ(add.vehicles, (Args{Cp1250("ŁÓ1")}));
    EXPECT_EQ(add.iniPath, "a.ini");
    const AccountsCommand share = ParseAccountsCommand({"udostepnij", "WA1", "--na", "7d", "--adres", "https://m.pl"});
    EXPECT_EQ(share.shareSeconds, 7 * 24 * 3600);
    EXPECT_EQ(share.baseUrl, "https://m.pl");
    EXPECT_EQ(ParseAccountsCommand({"udostepnij", "WA1"}).shareSeconds, 24 * 3600);
    EXPECT_EQ(ParseAccountsCommand({"lista", "--help"}).action, AccountsCommand::Action::Help);
    EXPECT_EQ(ParseShareDuration("30min"), 1800);
    EXPECT_EQ(ParseShareDuration("30d"), kLongestShareSeconds);
    for (const char* bad : {"31d", "0h", "h", "24", "24 h", "-1h"}) EXPECT_EQ(ParseShareDuration(bad), std::nullopt) << bad;

    const std::vector<Args> wrong = {{},
                                     {"dodaj", "ala"},                          // no role
                                     {"dodaj", "ala", "--rola", "kierowca"},
                                     {"dodaj", "ф", "--rola", "dyspozytor"},  // not in Windows-1250
                                     {"lista", "ala"},
                                     {"usun"},
                                     {"usun", "ala", "--na", "2h"},  // an option of another subcommand
                                     {"udostepnij", "WA1", "--na", "31d"},
                                     {"udostepnij", "WA1", "--adres", "mapa.pl"},
                                     {"token", "ala", "--ini"},
                                     {"kasuj", "ala"}};
    for (const Args& args : wrong) EXPECT_THROW(ParseAccountsCommand(args), UsageError) << args.size();
}

TEST(AccountsCommandLine, ShareLinkLeadsToTheWebServiceOrTheGivenAddress) {
    WebSettings www;
    www.port = "8443";
    www.address = "0.0.0.0";
    www.certificate = "cert.pem";
    EXPECT_EQ(ShareLink(www, "serwer", std::nullopt, "T"), "https://serwer:8443/udostepnione/T");
    www.address = "::1";
    www.certificate.clear();
    EXPECT_EQ(ShareLink(www, "serwer", std::nullopt, "T"), "http://[::1]:8443/udostepnione/T");
    EXPECT_EQ(ShareLink(www, "serwer", "https://mapa.pl/flota//", "T"), "https://mapa.pl/flota/udostepnione/T");
    www.port = "0";  // any free port: not known beforehand
    EXPECT_EQ(ShareLink(www, "serwer", std::nullopt, "T"), std::nullopt);
    EXPECT_EQ(ShareExpiryText(1796958000), "ważny do 2026-12-11 04:00");
}

// The built konta against a data directory found through serwer.ini.
class AccountsProgram : public ::testing::Test {
protected:
    AccountsProgram() {
        std::ofstream(dir_.Path() / "serwer.ini") << "[Ustawienia]\nKatalog=dane\n[Www]\nPort=8123\nAdres=127.0.0.1\n";
    }

    // Runs konta with the arguments and the input; its outputs land in out_ and err_.
    int Run(const std::string& arguments, const std::string& input = "") {
        const ProgramRun run =
            RunProgramIn(dir_.Path(), "'" SERWER_BIN_DIR "/konta' --ini serwer.ini " + arguments, input);
        out_ = run.out;
        err_ = run.err;
        return run.code;
    }

    TestDirectory dir_;
    std::string out_, err_;
};

TEST_F(AccountsProgram, AddsListsMakesTokensSharesAndWithdrawsThem) {
    ASSERT_EQ(Run("dodaj Łukasz --rola dyspozytor --licencje AB1,CD2 --pojazdy WA1", "tajne\r\n"), 0) << err_;
    EXPECT_EQ(Run("dodaj Łukasz --rola administrator", "inne\n"), 1);
    EXPECT_EQ(err_, "konta: konto Łukasz już istnieje\n");
    EXPECT_EQ(Run("dodaj ala --rola administrator", "\n"), 1);  // an empty password
    ASSERT_EQ(Run("lista"), 0);
    EXPECT_EQ(out_, "Łukasz\tdyspozytor\tAB1,CD2\tWA1\n");

    ASSERT_EQ(Run("token Łukasz"), 0) << err_;
    const std::string token = out_.substr(0, out_.size() - 1);
    EXPECT_NE(err_.find("tylko ten jeden raz"), std::string::npos) << err_;
    ASSERT_EQ(Run("udostepnij WA1 --na 2h"), 0) << err_;
    std::smatch link;
    ASSERT_TRUE(std::regex_match(out_, link, std::regex("(http://127\\.0\\.0\\.1:8123/udostepnione/[0-9a-f]{64})\n"
                                                        "Pojazd WA1, ważny do \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d\\.\n")))
        << out_;
    const std::string shared = link[1];
    {
        SqliteAccountStore store((dir_.Path() / "dane" / "konta.db").string());
        const auto stored = store.Find(Cp1250("Łukasz"));
        ASSERT_TRUE(stored);
        EXPECT_TRUE(VerifyPassword(stored->passwordHash, "tajne"));  // the line end is not the password's
        EXPECT_EQ(store.FindByToken(token)->name, Cp1250("Łukasz"));
        EXPECT_EQ(store.FindShare(shared.substr(shared.rfind('/') + 1), 0)->registration, "WA1");
    }
    ASSERT_EQ(Run("cofnij " + shared), 0);
    EXPECT_EQ(out_, "Cofnięto udostępnień: 1\n");
    EXPECT_EQ(Run("usun Łukasz"), 0);
    EXPECT_EQ(Run("usun Łukasz"), 1);
    EXPECT_EQ(err_, "konta: nie ma konta Łukasz\n");
    EXPECT_EQ(Run("lista --rola dyspozytor"), 2);
}

TEST_F(AccountsProgram, WithADatabaseNamedTheAccountsAreKeptThereNotInKontaDb) {
    if (TestPostgres::BaseUri().empty()) GTEST_SKIP() << TestPostgres::kSkipReason;
    TestPostgres db("konta_cmd");
    std::ofstream(dir_.Path() / "serwer.ini", std::ios::app) << "[Historia]\nBaza=" << db.Uri() << "\n";
    ASSERT_EQ(Run("dodaj ala --rola administrator", "tajne\n"), 0) << err_;
    const auto token = PostgresAccountStore(db.Uri()).AddToken("ala");  // as another server would
    ASSERT_TRUE(token);
    ASSERT_EQ(Run("lista"), 0) << err_;
    EXPECT_EQ(out_, "ala\tadministrator\t\t\n");
    EXPECT_FALSE(std::filesystem::exists(dir_.Path() / "dane"));
    ASSERT_EQ(Run("usun ala"), 0) << err_;
    EXPECT_EQ(db.Sql("SELECT count(*) FROM " + db.Schema() + ".konta"), "0");
    EXPECT_EQ(db.Sql("SELECT count(*) FROM " + db.Schema() + ".tokeny"), "0");
}

}  // namespace

#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/Account.hpp"
#include "app/HistoryCommand.hpp"  // UsageError, DataDirectoryOf
#include "web/WebSettings.hpp"

namespace serwer {

// konta: the accounts of the web service, their API tokens and the share links, in the
// data directory's konta.db.

struct AccountsCommand {
    enum class Action {
        Help,      // --help
        Add,       // dodaj NAZWA --rola R [--licencje ...] [--pojazdy ...]
        Password,  // haslo NAZWA
        Remove,    // usun NAZWA
        List,      // lista
        Token,     // token NAZWA
        Share,     // udostepnij REJ [--na CZAS] [--adres URL]
        Withdraw,  // cofnij TOKEN|LINK|REJ
    };
    Action action = Action::Help;
    std::string subject;  // Windows-1250: the account's name, the registration, or what cofnij takes
    Role role = Role::Dispatcher;
    std::vector<std::string> licences, vehicles;  // Windows-1250
    std::int64_t shareSeconds = 24 * 3600;        // --na
    std::optional<std::string> baseUrl;           // --adres: scheme, host and port of the links
    std::optional<std::string> iniPath;           // none: serwer.ini beside the executable
};

// The longest a share link is valid.
constexpr std::int64_t kLongestShareSeconds = 30LL * 24 * 3600;

// The arguments after the program's name (UTF-8). --help anywhere gives help alone.
// Fails with UsageError.
AccountsCommand ParseAccountsCommand(const std::vector<std::string>& args);

// "24h", "7d", "30min": seconds; nothing for anything else, for nothing and for more
// than kLongestShareSeconds.
std::optional<std::int64_t> ParseShareDuration(std::string_view text);

// The link that shows a share: baseUrl when given (its trailing slashes dropped), else
// http or https (with a certificate) to [Www] Adres, or to hostName when the service
// listens on every address, and [Www] Port; then "/udostepnione/" and the token. None
// when neither baseUrl nor a fixed port says where the service is.
std::optional<std::string> ShareLink(const WebSettings& www, const std::string& hostName,
                                     const std::optional<std::string>& baseUrl, const std::string& token);

// "ważny do 2026-12-11 04:00": the end of a share in Polish time (UTF-8).
std::string ShareExpiryText(std::int64_t expiresUtc);

// One line per account: name, role, owner codes and registrations, tab-separated, the
// lists comma-separated (UTF-8).
std::string FormatAccountList(const std::vector<Account>& accounts);

// What --help prints (UTF-8).
std::string AccountsUsage();

}  // namespace serwer

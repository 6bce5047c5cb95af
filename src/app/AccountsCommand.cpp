#include "app/AccountsCommand.hpp"

#include <algorithm>
#include <cstdio>
#include <map>

#include "common/PolishTime.hpp"
#include "common/Win1250.hpp"

namespace serwer {

namespace {

[[noreturn]] void Fail(const std::string& utf8) { throw UsageError(Cp1250(utf8)); }

struct Subcommand {
    AccountsCommand::Action action;
    bool takesSubject;
    std::vector<std::string> options;  // those it takes besides --ini
};

const std::map<std::string, Subcommand>& Subcommands() {
    using A = AccountsCommand::Action;
    static const std::map<std::string, Subcommand> subcommands = {
        {"dodaj", {A::Add, true, {"--rola", "--licencje", "--pojazdy"}}},
        {"haslo", {A::Password, true, {}}},
        {"usun", {A::Remove, true, {}}},
        {"lista", {A::List, false, {}}},
        {"token", {A::Token, true, {}}},
        {"udostepnij", {A::Share, true, {"--na", "--adres"}}},
        {"cofnij", {A::Withdraw, true, {}}},
    };
    return subcommands;
}

std::string Windows1250(const std::string& utf8, const std::string& what) {
    const auto text = Cp1250Exact(utf8);
    if (!text) Fail(what + " zawiera znaki spoza strony kodowej Windows-1250");
    for (char c : *text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) Fail(what + " zawiera znak sterujący");
    return *text;
}

std::string Trimmed(const std::string& text) {
    const auto begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return "";
    return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

std::vector<std::string> List(const std::string& utf8, const std::string& option) {
    std::vector<std::string> items;
    std::size_t begin = 0;
    for (std::size_t end = 0; end != std::string::npos; begin = end + 1) {
        end = utf8.find(',', begin);
        const std::string item = Trimmed(utf8.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
        if (!item.empty()) items.push_back(Windows1250(item, "wartość " + option));
    }
    return items;
}

bool IsAnyAddress(const std::string& address) {
    return address.empty() || address == "0.0.0.0" || address == "::" || address == "[::]" || address == "*";
}

}  // namespace

std::optional<std::int64_t> ParseShareDuration(std::string_view text) {
    std::size_t digits = 0;
    std::int64_t number = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9' && digits < 9)
        number = number * 10 + (text[digits++] - '0');
    const std::string_view unit = text.substr(digits);
    std::int64_t seconds;
    if (unit == "min")
        seconds = number * 60;
    else if (unit == "h")
        seconds = number * 3600;
    else if (unit == "d")
        seconds = number * 24 * 3600;
    else
        return std::nullopt;
    if (digits == 0 || seconds <= 0 || seconds > kLongestShareSeconds) return std::nullopt;
    return seconds;
}

AccountsCommand ParseAccountsCommand(const std::vector<std::string>& args) {
    AccountsCommand command;
    for (const std::string& arg : args)
        if (arg == "--help" || arg == "-h") return command;

    std::map<std::string, std::string> values;
    std::vector<std::string> words;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            words.push_back(arg);
            continue;
        }
        if (i + 1 >= args.size()) Fail("brak wartości opcji " + arg);
        if (!values.emplace(arg, args[++i]).second) Fail("opcja " + arg + " podana dwa razy");
    }
    if (words.empty()) Fail("brak polecenia (dodaj, haslo, usun, lista, token, udostepnij albo cofnij)");
    const auto found = Subcommands().find(words.front());
    if (found == Subcommands().end()) Fail("nieznane polecenie: " + words.front());
    const Subcommand& sub = found->second;
    command.action = sub.action;
    for (const auto& [option, value] : values)
        if (option != "--ini" && std::find(sub.options.begin(), sub.options.end(), option) == sub.options.end())
            Fail("opcja " + option + " nie pasuje do polecenia " + words.front());
    const std::size_t expected = sub.takesSubject ? 2 : 1;
    if (words.size() < expected) Fail("polecenie " + words.front() + " wymaga argumentu");
    if (words.size() > expected) Fail("zbędny argument: " + words[expected]);

    const auto value = [&](const std::string& option) -> std::optional<std::string> {
        const auto it = values.find(option);
        if (it == values.end()) return std::nullopt;
        return it->second;
    };
    command.iniPath = value("--ini");
    if (sub.takesSubject) {
        const bool account = command.action != AccountsCommand::Action::Share &&
                             command.action != AccountsCommand::Action::Withdraw;
        const std::string subject = account ? words[1] : Trimmed(words[1]);
        if (subject.empty()) Fail(account ? "pusta nazwa konta" : "pusta rejestracja, token albo link");
        command.subject = Windows1250(subject, account ? "nazwa konta" : "rejestracja");
    }
    if (command.action == AccountsCommand::Action::Add) {
        const auto role = value("--rola");
        if (!role) Fail("polecenie dodaj wymaga --rola administrator albo --rola dyspozytor");
        const auto parsed = RoleFromName(*role);
        if (!parsed) Fail("nieznana rola: " + *role + " (administrator albo dyspozytor)");
        command.role = *parsed;
        if (const auto licences = value("--licencje")) command.licences = List(*licences, "--licencje");
        if (const auto vehicles = value("--pojazdy")) command.vehicles = List(*vehicles, "--pojazdy");
    }
    if (const auto duration = value("--na")) {
        const auto seconds = ParseShareDuration(*duration);
        if (!seconds) Fail("zły czas w --na: " + *duration + " (np. 24h, 7d albo 30min; najwyżej 30 dni)");
        command.shareSeconds = *seconds;
    }
    if (const auto base = value("--adres")) {
        if (base->rfind("http://", 0) != 0 && base->rfind("https://", 0) != 0)
            Fail("--adres musi zaczynać się od http:// albo https://: " + *base);
        command.baseUrl = *base;
    }
    return command;
}

std::optional<std::string> ShareLink(const WebSettings& www, const std::string& hostName,
                                     const std::optional<std::string>& baseUrl, const std::string& token) {
    std::string base;
    if (baseUrl) {
        base = *baseUrl;
        while (!base.empty() && base.back() == '/') base.pop_back();
    } else {
        if (!www.Enabled() || www.port == "0") return std::nullopt;
        std::string host = IsAnyAddress(www.address) ? hostName : www.address;
        if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
        base = (www.Tls() ? "https://" : "http://") + host + ":" + www.port;
    }
    return base + "/udostepnione/" + token;
}

std::string ShareExpiryText(std::int64_t expiresUtc) {
    const DateTime::Parts p = PolishWallTime(expiresUtc).Split();
    char text[64];
    std::snprintf(text, sizeof text, "ważny do %04d-%02d-%02d %02d:%02d", p.year, p.month, p.day, p.hour, p.minute);
    return text;
}

std::string FormatAccountList(const std::vector<Account>& accounts) {
    const auto joined = [](const std::vector<std::string>& items) {
        std::string text;
        for (const std::string& item : items) text += (text.empty() ? "" : ",") + Cp1250ToUtf8(item);
        return text;
    };
    std::string out;
    for (const Account& a : accounts)
        out += Cp1250ToUtf8(a.name) + "\t" + RoleName(a.role) + "\t" + joined(a.licences) + "\t" + joined(a.vehicles) +
               "\n";
    return out;
}

std::string AccountsUsage() {
    return "użycie: konta POLECENIE [opcje]\n"
           "  dodaj NAZWA --rola administrator|dyspozytor [--licencje KOD,...] [--pojazdy REJ,...]\n"
           "                      nowe konto; dyspozytor widzi pojazdy swoich licencji i pojazdy\n"
           "                      wymienione; hasło jest czytane ze standardowego wejścia\n"
           "  haslo NAZWA         nowe hasło konta\n"
           "  usun NAZWA          usuwa konto razem z jego tokenami\n"
           "  lista               konta: nazwa, rola, licencje i pojazdy, rozdzielone tabulatorem\n"
           "  token NAZWA         nowy token API konta (pokazywany tylko raz)\n"
           "  udostepnij REJ      link, który pokazuje jeden pojazd bez logowania\n"
           "      --na CZAS       jak długo link działa: np. 24h (domyślnie), 7d, 30min; najwyżej 30 dni\n"
           "      --adres URL     początek linku, np. https://mapa.firma.pl (bez tej opcji: z [Www])\n"
           "  cofnij TOKEN|LINK|REJ  cofa udostępnienie linku albo wszystkie udostępnienia pojazdu\n"
           "  --ini PLIK          plik ustawień (domyślnie serwer.ini obok programu); konta są\n"
           "                      w pliku konta.db w katalogu danych\n";
}

}  // namespace serwer

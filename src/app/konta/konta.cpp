// konta: the accounts of the web service in the data directory's konta.db, or in the
// PostgreSQL database of [Historia] Baza when one is named: adds and removes accounts,
// sets their passwords, lists them, makes API tokens, and makes and withdraws the links
// that show one vehicle. It finds them through serwer.ini, as the server does; the
// running server (every server sharing the database) sees each change at once.

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <ctime>
#include <exception>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "accounts/AccountStore.hpp"
#include "accounts/Secrets.hpp"
#include "app/AccountsCommand.hpp"
#include "app/Settings.hpp"
#include "common/Win1250.hpp"

using namespace serwer;

namespace {

constexpr int kFailure = 1;
constexpr int kUsage = 2;

int Failure(const std::string& utf8) {
    std::cerr << "konta: " << utf8 << std::endl;
    return kFailure;
}

// The terminal's settings while a password is typed without echo; put back by the
// guard, or by the handler when the typing is broken off with a signal.
termios savedTerminal;

void RestoreTerminalAndDie(int signal) {
    ::tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

class NoEcho {
public:
    NoEcho() {
        if (::tcgetattr(STDIN_FILENO, &savedTerminal) != 0) return;
        termios quiet = savedTerminal;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) ::signal(s, RestoreTerminalAndDie);
        active_ = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    }
    ~NoEcho() {
        if (active_) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
        for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) ::signal(s, SIG_DFL);
    }
    NoEcho(const NoEcho&) = delete;
    NoEcho& operator=(const NoEcho&) = delete;

private:
    bool active_ = false;
};

// One line of the standard input without its line end.
std::string ReadLine() {
    std::string line;
    std::getline(std::cin, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

std::string Prompted(const char* prompt) {
    std::cerr << prompt << std::flush;
    std::string line;
    {
        NoEcho quiet;
        line = ReadLine();
    }
    std::cerr << std::endl;
    return line;
}

// The new password: typed twice without echo on a terminal, otherwise the input's first
// line. None (with the reason told) when it is empty or the two differ.
std::optional<std::string> NewPassword() {
    const bool terminal = ::isatty(STDIN_FILENO) == 1;
    const std::string password = terminal ? Prompted("Hasło: ") : ReadLine();
    if (password.empty()) {
        Failure("hasło nie może być puste");
        return std::nullopt;
    }
    if (terminal && Prompted("Powtórz hasło: ") != password) {
        Failure("podane hasła się różnią");
        return std::nullopt;
    }
    return password;
}

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    return name;
}

std::string Named(const std::string& cp1250) { return Cp1250ToUtf8(cp1250); }

int Run(const AccountsCommand& command, AccountStore& store, const Settings& settings) {
    using A = AccountsCommand::Action;
    const std::string name = Named(command.subject);
    switch (command.action) {
        case A::Add: {
            if (store.Find(command.subject)) return Failure("konto " + name + " już istnieje");
            const auto password = NewPassword();
            if (!password) return kFailure;
            Account account{command.subject, command.role, command.licences, command.vehicles};
            if (!store.Add(account, HashPassword(*password))) return Failure("konto " + name + " już istnieje");
            std::cout << "Dodano konto " << name << " (" << RoleName(command.role) << ").\n";
            return 0;
        }
        case A::Password: {
            if (!store.Find(command.subject)) return Failure("nie ma konta " + name);
            const auto password = NewPassword();
            if (!password) return kFailure;
            if (!store.SetPassword(command.subject, HashPassword(*password))) return Failure("nie ma konta " + name);
            std::cout << "Zmieniono hasło konta " << name << ".\n";
            return 0;
        }
        case A::Remove:
            if (!store.Remove(command.subject)) return Failure("nie ma konta " + name);
            std::cout << "Usunięto konto " << name << " i jego tokeny.\n";
            return 0;
        case A::List: {
            const std::vector<Account> accounts = store.List();
            std::cout << FormatAccountList(accounts);
            if (accounts.empty()) std::cerr << "Brak kont.\n";
            return 0;
        }
        case A::Token: {
            const auto token = store.AddToken(command.subject);
            if (!token) return Failure("nie ma konta " + name);
            std::cout << *token << "\n";
            std::cerr << "Token konta " << name
                      << " jest pokazywany tylko ten jeden raz: zapisz go teraz. Działa do usunięcia konta.\n";
            return 0;
        }
        case A::Share: {
            const std::int64_t expires = static_cast<std::int64_t>(std::time(nullptr)) + command.shareSeconds;
            // Where the link leads is settled before the share is made.
            if (!ShareLink(settings.www, HostName(), command.baseUrl, "")) {
                return Failure("nie wiadomo, pod jakim adresem działa usługa WWW ([Www] Port jest pusty albo 0);"
                               " podaj --adres");
            }
            const std::string token = store.AddShare(command.subject, expires);
            std::cout << *ShareLink(settings.www, HostName(), command.baseUrl, token) << "\n"
                      << "Pojazd " << name << ", " << ShareExpiryText(expires) << ".\n";
            return 0;
        }
        case A::Withdraw:
            std::cout << "Cofnięto udostępnień: " << store.WithdrawShares(command.subject) << "\n";
            return 0;
        case A::Help:
            break;
    }
    std::cout << AccountsUsage();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    AccountsCommand command;
    try {
        command = ParseAccountsCommand(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& e) {
        std::cerr << "konta: " << Cp1250ToUtf8(e.what()) << "\n(konta --help opisuje polecenia)" << std::endl;
        return kUsage;
    }
    if (command.action == AccountsCommand::Action::Help) {
        std::cout << AccountsUsage();
        return 0;
    }

    const std::string iniPath = command.iniPath.value_or(ExecutableDirectory() + "/serwer.ini");
    if (command.iniPath && !std::ifstream(iniPath, std::ios::binary).good())
        return Failure("nie można odczytać pliku ustawień " + iniPath);
    try {
        const IniFile ini = IniFile::Load(iniPath);
        const Settings settings = ReadSettings(ini, "");
        const std::string dataDirectory = DataDirectoryOf(iniPath, ini);
        if (settings.database.empty()) EnsureDataDirectory(dataDirectory);
        const std::unique_ptr<AccountStore> store = OpenAccountStore(dataDirectory + "/konta.db", settings.database);
        const int code = Run(command, *store, settings);
        std::cout << std::flush;
        if (!std::cout) return Failure("nie można pisać na standardowe wyjście");
        return code;
    } catch (const std::exception& e) {
        return Failure(Cp1250ToUtf8(e.what()));
    }
}

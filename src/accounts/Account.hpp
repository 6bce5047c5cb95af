#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace serwer {

// What an account may do: an administrator sees every vehicle and the server's state; a
// dispatcher sees only the vehicles of its owner codes and those named for it.
enum class Role { Administrator, Dispatcher };

// "administrator", "dyspozytor".
const char* RoleName(Role role);
std::optional<Role> RoleFromName(std::string_view name);

// An account of the AccountStore (texts in Windows-1250).
struct Account {
    std::string name;
    Role role = Role::Dispatcher;
    std::vector<std::string> licences;  // owner codes (LICENCJA) whose vehicles it sees
    std::vector<std::string> vehicles;  // registrations it sees besides those
};

// Who a request comes from, and what it may see.
struct Viewer {
    Account account;
    bool byToken = false;  // an API token, not a password or a session

    bool SeesAll() const { return account.role == Role::Administrator; }
    // Whether the vehicle is this viewer's: an administrator's always; a dispatcher's when
    // its owner code is one of the account's or the account names it.
    bool Sees(std::string_view registration, std::string_view licence) const;
};

}  // namespace serwer

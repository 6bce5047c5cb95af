#include "accounts/Account.hpp"

#include <algorithm>

namespace serwer {

const char* RoleName(Role role) { return role == Role::Administrator ? "administrator" : "dyspozytor"; }

std::optional<Role> RoleFromName(std::string_view name) {
    if (name == "administrator") return Role::Administrator;
    if (name == "dyspozytor") return Role::Dispatcher;
    return std::nullopt;
}

bool Viewer::Sees(std::string_view registration, std::string_view licence) const {
    if (SeesAll()) return true;
    const auto& licences = account.licences;
    if (!licence.empty() && std::find(licences.begin(), licences.end(), licence) != licences.end()) return true;
    const auto& vehicles = account.vehicles;
    return std::find(vehicles.begin(), vehicles.end(), registration) != vehicles.end();
}

}  // namespace serwer

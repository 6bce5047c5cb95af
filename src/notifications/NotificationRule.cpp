#include "notifications/NotificationRule.hpp"

#include <cctype>

namespace serwer {

bool NotificationRule::Takes(const Event& event) const {
    if (event.interval && event.endUtc) return false;
    if (!types.empty() && !types.contains(event.type)) return false;
    if (vehicles.empty()) return true;
    std::string upper = event.registration;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return vehicles.contains(upper);
}

}  // namespace serwer

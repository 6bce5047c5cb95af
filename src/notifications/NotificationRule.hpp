#pragma once
#include <set>
#include <string>
#include <vector>

#include "events/Event.hpp"

namespace serwer {

// One [Powiadomienie NAZWA] section: which events, of which vehicles, go where. Texts
// are Windows-1250 bytes, as in serwer.ini.
struct NotificationRule {
    std::string name;
    std::set<EventType> types;         // empty: every type
    std::set<std::string> vehicles;    // registrations, in upper case; empty: every vehicle
    std::vector<std::string> emails;   // addresses
    std::string webhook;               // an http:// or https:// URL; empty: none
    std::string secret;                // the key of the webhook's signature; empty: unsigned
    int intervalMinutes = 15;          // at most one notification per vehicle and type in this time

    // Whether the event is one the rule tells of: of its types and vehicles, and not the
    // end of an interval (an interval is told of when it starts).
    bool Takes(const Event& event) const;
};

// [Poczta]: the SMTP server mail goes through.
struct MailSettings {
    std::string server;  // smtp://host:port or smtps://host:port
    std::string from;
    std::string user, password;
};

struct NotificationSettings {
    std::vector<NotificationRule> rules;
    MailSettings mail;
    std::string serverName;  // [Powiadomienia] Nazwa (the host name by default)
    std::string mapUrl;      // the map page's address ending in '/', when [Www] names one; empty otherwise
    std::vector<std::string> problems;  // what in the sections could not be used (Windows-1250)
};

}  // namespace serwer

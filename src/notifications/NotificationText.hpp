#pragma once
#include <cstdint>
#include <string>

#include "events/Event.hpp"
#include "notifications/NotificationRule.hpp"

namespace serwer {

// What one notification says, made from the event alone (no I/O, no clock): the
// e-mail's subject and Polish body and the webhook's JSON, all UTF-8.
struct NotificationContent {
    const Event& event;
    const NotificationRule& rule;
    const NotificationSettings& settings;
    int heldBack = 0;        // events of this vehicle and type held back since the last one
    char decimalSeparator = ',';
};

std::string MailSubject(const NotificationContent& c);
std::string MailBody(const NotificationContent& c);
// The whole message for SMTP (headers, a blank line, the body in base64), dated dateUtc.
std::string MailMessage(const NotificationContent& c, const std::string& to, std::int64_t dateUtc);
// The API's event object with "serwer" (and "wstrzymane" when some were held back).
std::string WebhookBody(const NotificationContent& c);

}  // namespace serwer

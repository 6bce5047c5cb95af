#pragma once
#include <atomic>
#include <string>
#include <vector>

#include "notifications/NotificationRule.hpp"

namespace serwer {

// How a receiver answered: accepted (SMTP 250 for every step, HTTP 2xx), or why not.
struct DeliveryResult {
    bool accepted = false;
    std::string error;  // UTF-8, libcurl's or the receiver's words
};

// Time limits of every delivery: connecting, and the whole exchange.
constexpr long kConnectSeconds = 10;
constexpr long kExchangeSeconds = 30;

// Sends one message (as MailMessage makes it) to one address through the [Poczta]
// server: STARTTLS whenever the server offers it (smtps:// is TLS from the start), the
// user and password when given. A set `cancel` ends the exchange early.
DeliveryResult SendMail(const MailSettings& mail, const std::string& to, const std::string& message,
                        const std::atomic<bool>& cancel);
// POSTs the JSON body to the URL with the header lines given ("Name: value\n").
DeliveryResult PostWebhook(const std::string& url, const std::string& body, const std::string& headers,
                           const std::atomic<bool>& cancel);

}  // namespace serwer

#pragma once
#include <string>
#include <string_view>

namespace serwer {

// "sha256=<hex HMAC-SHA256 of the body with the key>", the webhooks' X-Serwer-Podpis.
std::string WebhookSignature(std::string_view key, std::string_view body);

}  // namespace serwer

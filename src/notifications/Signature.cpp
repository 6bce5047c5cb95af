#include "notifications/Signature.hpp"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdio>
#include <stdexcept>

namespace serwer {

std::string WebhookSignature(std::string_view key, std::string_view body) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(body.data()),
              body.size(), digest, &length))
        throw std::runtime_error("HMAC");
    std::string out = "sha256=";
    char hex[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(hex, sizeof hex, "%02x", digest[i]);
        out += hex;
    }
    return out;
}

}  // namespace serwer

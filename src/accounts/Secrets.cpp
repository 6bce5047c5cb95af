#include "accounts/Secrets.hpp"

#include <sodium.h>

#include "common/ServerError.hpp"
#include "common/Win1250.hpp"

namespace serwer {

namespace {

// libsodium made ready once, before its first use by any thread.
void EnsureSodium() {
    static const bool ready = [] {
        if (sodium_init() < 0) throw ServerError(Cp1250("Nie można uruchomić biblioteki libsodium"));
        return true;
    }();
    (void)ready;
}

std::string Hex(const unsigned char* bytes, std::size_t size) {
    std::string hex(size * 2 + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), bytes, size);
    hex.pop_back();
    return hex;
}

}  // namespace

std::string HashPassword(std::string_view password) {
    EnsureSodium();
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(hash, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        throw ServerError(Cp1250("Brak pamięci na obliczenie skrótu hasła"));
    return hash;
}

bool VerifyPassword(const std::string& hash, std::string_view password) {
    EnsureSodium();
    return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

std::string RandomToken() {
    EnsureSodium();
    unsigned char bytes[32];
    randombytes_buf(bytes, sizeof bytes);
    return Hex(bytes, sizeof bytes);
}

std::string TokenDigest(std::string_view token) {
    EnsureSodium();
    unsigned char digest[32];
    crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char*>(token.data()), token.size(),
                       nullptr, 0);
    return Hex(digest, sizeof digest);
}

bool SecretsEqual(std::string_view a, std::string_view b) {
    EnsureSodium();
    // Texts of different lengths are compared with themselves, so the time is that of
    // a comparison of the same length either way.
    const bool sameSize = a.size() == b.size();
    const std::string_view other = sameSize ? b : a;
    const bool sameBytes = a.empty() || sodium_memcmp(a.data(), other.data(), a.size()) == 0;
    return sameSize & sameBytes;
}

}  // namespace serwer

#pragma once
#include <string>
#include <string_view>

namespace serwer {

// Passwords and tokens, with libsodium.

// An Argon2id hash of the password (crypto_pwhash_str, interactive limits), in the
// library's own text form. Throws ServerError when memory runs out.
std::string HashPassword(std::string_view password);
// Whether the password is the hashed one; false for a hash of another form.
bool VerifyPassword(const std::string& hash, std::string_view password);
// 256 random bits as 64 lowercase hex digits: a session, an API token, a share link.
std::string RandomToken();
// What is kept of a token: its BLAKE2b hash (64 hex digits), so that the file or memory
// holding it does not give the token itself.
std::string TokenDigest(std::string_view token);
// Equal texts, compared in a time that does not depend on where they differ.
bool SecretsEqual(std::string_view a, std::string_view b);

}  // namespace serwer

#pragma once
#include <openssl/types.h>

#include <memory>
#include <string>

#include "web/Transport.hpp"

namespace serwer {

// HTTPS: the certificate and key of [Www], read once when the service starts, and the
// server's end of TLS on each connection accepted after that (TLS 1.2 at least).
class TlsContext {
public:
    // Reads the certificate (PEM, the chain may follow it) and its private key (PEM).
    // ServerError, a Polish text in Windows-1250 naming the file and the reason, when
    // only one of the two is given, a file cannot be read, or the key is not the
    // certificate's.
    TlsContext(const std::string& certificateFile, const std::string& keyFile);

    // TLS on an accepted non-blocking socket; its handshake runs within its first
    // Receive calls. None when OpenSSL has no memory for it.
    std::unique_ptr<Transport> Accept(int fd) const;

private:
    struct Free {
        void operator()(SSL_CTX* ctx) const;
    };
    std::unique_ptr<SSL_CTX, Free> ctx_;
};

}  // namespace serwer

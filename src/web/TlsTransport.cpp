#include "web/TlsTransport.hpp"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "common/ServerError.hpp"
#include "common/Win1250.hpp"

namespace serwer {

namespace {

// Why the last OpenSSL call failed: the first error it queued, the most particular one
// ("No such file or directory", "no start line", "key values mismatch").
std::string OpenSslReason() {
    std::string reason;
    while (const unsigned long e = ERR_get_error()) {
        if (!reason.empty()) continue;
        const char* text = ERR_SYSTEM_ERROR(e) ? std::strerror(ERR_GET_REASON(e)) : ERR_reason_error_string(e);
        reason = text ? text : "error " + std::to_string(e);
    }
    return reason.empty() ? "unknown error" : reason;
}

[[noreturn]] void Refuse(const std::string& why) {
    throw ServerError(Cp1250("Usługa WWW nie została uruchomiona: ") + why);
}

// OpenSSL's socket BIO writes without MSG_NOSIGNAL: this one sends with it, so that a
// client gone never raises SIGPIPE, whatever the process does with the signal.
int SendWithoutSignal(BIO* bio, const char* data, int size) {
    const int fd = static_cast<int>(BIO_get_fd(bio, nullptr));
    ssize_t n;
    do {
        n = ::send(fd, data, static_cast<std::size_t>(size), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    BIO_clear_retry_flags(bio);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_write(bio);
    return static_cast<int>(n);
}

// The socket BIO with that write; made once, for the process's life.
BIO_METHOD* SocketWithoutSignal() {
    static BIO_METHOD* const method = [] {
        const BIO_METHOD* socket = BIO_s_socket();
        BIO_METHOD* m =
            BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, "socket without SIGPIPE");
        if (m) {
            BIO_meth_set_write(m, SendWithoutSignal);
            BIO_meth_set_read(m, BIO_meth_get_read(socket));
            BIO_meth_set_puts(m, BIO_meth_get_puts(socket));
            BIO_meth_set_ctrl(m, BIO_meth_get_ctrl(socket));
            BIO_meth_set_create(m, BIO_meth_get_create(socket));
            BIO_meth_set_destroy(m, BIO_meth_get_destroy(socket));
        }
        return m;
    }();
    return method;
}

struct FreeSsl {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};

// The server's end of TLS. A failed handshake or any other TLS error makes the
// connection useless (kFailed), and it is then closed without a close_notify.
class TlsTransport final : public Transport {
public:
    TlsTransport(int fd, SSL* ssl) : Transport(fd), ssl_(ssl) {}

    ssize_t Receive(char* data, std::size_t size) override {
        if (failed_) return kFailed;
        ERR_clear_error();
        const int n = SSL_read(ssl_.get(), data, Clamp(size));
        return n > 0 ? n : Outcome(n);
    }

    ssize_t Send(const char* data, std::size_t size) override {
        if (failed_) return kFailed;
        ERR_clear_error();
        const int n = SSL_write(ssl_.get(), data, Clamp(size));
        if (n > 0) return n;
        const ssize_t outcome = Outcome(n);
        return outcome == 0 ? kFailed : outcome;
    }

    bool HasPending() const override { return !failed_ && SSL_pending(ssl_.get()) > 0; }

    // One close_notify, when it fits the socket's buffer; never a wait for the client's.
    void Finish() override {
        if (failed_ || finished_ || !SSL_is_init_finished(ssl_.get())) return;
        finished_ = true;
        ERR_clear_error();
        SSL_shutdown(ssl_.get());
        ERR_clear_error();
    }

    bool Secure() const override { return true; }

private:
    static int Clamp(std::size_t size) { return static_cast<int>(std::min<std::size_t>(size, INT_MAX)); }

    ssize_t Outcome(int result) {
        switch (SSL_get_error(ssl_.get(), result)) {
            case SSL_ERROR_WANT_READ:
                return kWantsRead;
            case SSL_ERROR_WANT_WRITE:
                return kWantsWrite;
            case SSL_ERROR_ZERO_RETURN:  // close_notify, or the end of the stream
                return 0;
            default:
                failed_ = true;
                ERR_clear_error();
                return kFailed;
        }
    }

    std::unique_ptr<SSL, FreeSsl> ssl_;
    bool failed_ = false;
    bool finished_ = false;
};

}  // namespace

void TlsContext::Free::operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }

TlsContext::TlsContext(const std::string& certificateFile, const std::string& keyFile) {
    if (keyFile.empty())
        Refuse(Cp1250("w sekcji [Www] pliku serwer.ini podano certyfikat (Certyfikat) bez klucza (Klucz)"));
    if (certificateFile.empty())
        Refuse(Cp1250("w sekcji [Www] pliku serwer.ini podano klucz (Klucz) bez certyfikatu (Certyfikat)"));
    ERR_clear_error();
    ctx_.reset(SSL_CTX_new(TLS_server_method()));
    if (!ctx_ || !SSL_CTX_set_min_proto_version(ctx_.get(), TLS1_2_VERSION))
        Refuse(Cp1250("nie można przygotować TLS (") + OpenSslReason() + ")");
    SSL_CTX_set_mode(ctx_.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // A client's end of the stream without close_notify is its end (a request's length
    // is in its head); no renegotiation, which a client could repeat to load the server.
    SSL_CTX_set_options(ctx_.get(), SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);

    if (SSL_CTX_use_certificate_chain_file(ctx_.get(), certificateFile.c_str()) != 1)
        Refuse(Cp1250("nie można wczytać certyfikatu ") + certificateFile + " (" + OpenSslReason() + ")");
    const auto mismatch = [&] {
        Refuse(Cp1250("klucz ") + keyFile + Cp1250(" nie pasuje do certyfikatu ") + certificateFile + " (" +
               OpenSslReason() + ")");
    };
    if (SSL_CTX_use_PrivateKey_file(ctx_.get(), keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        const unsigned long first = ERR_peek_error();
        if (ERR_GET_LIB(first) == ERR_LIB_X509 && ERR_GET_REASON(first) == X509_R_KEY_VALUES_MISMATCH) mismatch();
        Refuse(Cp1250("nie można wczytać klucza ") + keyFile + " (" + OpenSslReason() + ")");
    }
    if (SSL_CTX_check_private_key(ctx_.get()) != 1) mismatch();
}

std::unique_ptr<Transport> TlsContext::Accept(int fd) const {
    BIO_METHOD* method = SocketWithoutSignal();
    if (!method) return nullptr;
    std::unique_ptr<SSL, FreeSsl> ssl(SSL_new(ctx_.get()));
    BIO* bio = ssl ? BIO_new(method) : nullptr;
    if (!bio) {
        ERR_clear_error();
        return nullptr;
    }
    BIO_set_fd(bio, fd, BIO_NOCLOSE);
    SSL_set_bio(ssl.get(), bio, bio);  // the SSL owns the BIO from here
    SSL_set_accept_state(ssl.get());
    return std::make_unique<TlsTransport>(fd, ssl.release());
}

}  // namespace serwer

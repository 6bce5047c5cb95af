#include "web/Transport.hpp"

#include <sys/socket.h>

#include <cerrno>

namespace serwer {

ssize_t PlainTransport::Receive(char* data, std::size_t size) {
    for (;;) {
        const ssize_t n = ::recv(Fd(), data, size, MSG_DONTWAIT);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? kWantsRead : kFailed;
    }
}

ssize_t PlainTransport::Send(const char* data, std::size_t size) {
    for (;;) {
        const ssize_t n = ::send(Fd(), data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) return n;
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? kWantsWrite : kFailed;
    }
}

}  // namespace serwer

#include "unitsim/SimulatedUnit.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "link/ByteStuffing.hpp"

namespace serwer {

SimulatedUnit::SimulatedUnit(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0)
        throw std::runtime_error("cannot resolve " + host + ": " + gai_strerror(rc));
    int lastError = 0;
    for (addrinfo* a = found; a != nullptr && fd_ < 0; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
            fd_ = fd;
        } else {
            lastError = errno;
            ::close(fd);
        }
    }
    ::freeaddrinfo(found);
    if (fd_ < 0)
        throw std::runtime_error("cannot connect to " + host + ":" + service + ": " + std::strerror(lastError));
}

SimulatedUnit::~SimulatedUnit() { Close(); }

void SimulatedUnit::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void SimulatedUnit::SendPosition(const Bytes& record) { SendRaw(StuffBytes(record)); }

void SimulatedUnit::SendRaw(const Bytes& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error(std::string("send failed: ") + std::strerror(errno));
        sent += static_cast<std::size_t>(n);
    }
}

Bytes SimulatedUnit::Receive(std::chrono::milliseconds limit) {
    Bytes out;
    if (fd_ < 0 || closed_) return out;
    pollfd p{fd_, POLLIN, 0};
    const int r = ::poll(&p, 1, static_cast<int>(limit.count()));
    if (r <= 0) return out;
    char chunk[8192];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) {
        closed_ = true;
        return out;
    }
    out.assign(chunk, static_cast<std::size_t>(n));
    return out;
}

Bytes SimulatedUnit::WaitForClose(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    Bytes all;
    while (!closed_ && fd_ >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        all += Receive(left);
    }
    return all;
}

int FindFreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("no socket for a free port");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof a;
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0;
    ::close(fd);
    if (!ok) throw std::runtime_error("no free port");
    return ntohs(a.sin_port);
}

}  // namespace serwer

#include "link/UnitConnection.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "common/ServerError.hpp"

namespace serwer {

namespace {
constexpr std::size_t kReceiveChunk = 32768;
const char* const kClosedMessage = "Connection Closed Gracefully.";

[[noreturn]] void ThrowSocketError(int err) { throw ServerError(std::strerror(err)); }
}  // namespace

UnitConnection::UnitConnection(int fd) : fd_(fd) {}

UnitConnection::~UnitConnection() {
    const int fd = fd_.exchange(-1);
    if (fd >= 0) ::close(fd);
    if (shutdownFd_ >= 0) ::close(shutdownFd_);
}

void UnitConnection::Compact() {
    // Drop consumed bytes once they make up most of the buffer, so repeated small reads
    // never copy the whole buffer and the buffer does not grow without need.
    if (consumed_ == buffer_.size()) {
        buffer_.clear();
        consumed_ = 0;
    } else if (consumed_ > 65536 && consumed_ * 2 > buffer_.size()) {
        buffer_.erase(0, consumed_);
        consumed_ = 0;
    }
}

std::size_t UnitConnection::ReceiveWaiting() {
    const int fd = fd_.load();
    if (fd < 0) return 0;
    // Received on the stack and appended, so an idle connection keeps no chunk-sized
    // buffer around; trying first spares the wait (and its system call) when the bytes
    // are already there, as a unit's frame mostly is.
    char chunk[kReceiveChunk];
    for (;;) {
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got > 0) {
            buffer_.append(chunk, static_cast<std::size_t>(got));
            return static_cast<std::size_t>(got);
        }
        if (got == 0) {
            closedByPeer_ = true;
            CloseSocket();
            return 0;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        if (!SocketOpen()) return 0;  // closed by Disconnect meanwhile
        if (errno == ECONNRESET) {
            closedByPeer_ = true;
            CloseSocket();
            return 0;
        }
        ThrowSocketError(errno);
    }
}

Bytes UnitConnection::ReadExact(std::size_t n) {
    while (Buffered() < n) {
        if (!SocketOpen() || closedByPeer_) throw ServerError(kClosedMessage);
        // Bytes that came, or a close found while looking: the loop's start sees which.
        if (ReceiveWaiting() > 0 || !SocketOpen() || closedByPeer_) continue;
        int waitMs = -1;
        if (readDeadline_) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*readDeadline_ -
                                                                                    std::chrono::steady_clock::now());
            if (left.count() <= 0) throw ServerError("Read timed out.");
            waitMs = static_cast<int>(std::min<long long>(left.count() + 1, 1 << 30));
        }
        WaitReadable(waitMs);
    }
    Bytes out = buffer_.substr(consumed_, n);
    consumed_ += n;
    Compact();
    return out;
}

char UnitConnection::ReadByte() { return ReadExact(1)[0]; }

void UnitConnection::DiscardInput() {
    buffer_.clear();
    consumed_ = 0;
}

bool UnitConnection::WaitReadable(int ms) {
    const int fd = fd_.load();
    if (fd < 0) return false;
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        const int r = ::poll(&p, 1, ms);
        if (r > 0) return true;
        if (r == 0) return false;
        if (errno != EINTR) ThrowSocketError(errno);
    }
}

bool UnitConnection::IsConnected() {
    if (SocketOpen() && !closedByPeer_) ReceiveWaiting();
    return (SocketOpen() && !closedByPeer_) || !InputIsEmpty();
}

void UnitConnection::WaitForInput(int ms) {
    if (!IsConnected() || !SocketOpen()) return;
    if (WaitReadable(ms)) ReceiveWaiting();
}

Bytes UnitConnection::TakeAllInput() {
    Bytes out = buffer_.substr(consumed_);
    DiscardInput();
    return out;
}

void UnitConnection::Send(const Bytes& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const int fd = fd_.load();
        if (fd < 0 || closedByPeer_) throw ServerError(kClosedMessage);
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EPIPE || errno == ECONNRESET || errno == EBADF || errno == ENOTCONN))
            throw ServerError(kClosedMessage);
        ThrowSocketError(n < 0 ? errno : EIO);
    }
}

void UnitConnection::CloseSocket() {
    std::lock_guard<std::mutex> lock(closeMutex_);
    const int fd = fd_.exchange(-1);
    if (fd < 0) return;
    // Another thread may be blocked in poll() on this descriptor (Stop wakes handlers
    // this way), so the descriptor is shut down now but closed only when the
    // connection is destroyed: its number cannot be reused under a blocked reader.
    ::shutdown(fd, SHUT_RDWR);
    shutdownFd_ = fd;
}

void UnitConnection::Disconnect() { CloseSocket(); }

bool UnitConnection::DeferClosing(std::chrono::milliseconds wait, Closing close) {
    if (!closingAllowed_ || closing_) return false;
    closing_ = DeferredClosing{std::chrono::steady_clock::now() + wait, std::move(close)};
    return true;
}

std::optional<UnitConnection::DeferredClosing> UnitConnection::TakeDeferredClosing() {
    std::optional<DeferredClosing> taken;
    taken.swap(closing_);
    return taken;
}

}  // namespace serwer

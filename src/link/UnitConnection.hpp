#pragma once
#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>

#include "common/Bytes.hpp"

namespace serwer {

// One accepted connection from a unit, with the blocking operations the connection
// handler and the download use. Bytes pass through unchanged in both directions.
//
// Failures throw ServerError: "Connection Closed Gracefully." when the peer or
// Disconnect has closed the connection before a read could be satisfied or before a
// write; the system's error text for other socket errors.
//
// The connection is used by its own thread only, except Disconnect, which the server's
// Stop may call from another thread to wake a blocked read.
class UnitConnection {
public:
    // Takes ownership of a connected socket (or one end of a socketpair).
    explicit UnitConnection(int fd);
    ~UnitConnection();
    UnitConnection(const UnitConnection&) = delete;
    UnitConnection& operator=(const UnitConnection&) = delete;

    // Removes and returns the first n bytes, waiting as long as needed (see SetReadTimeLimit).
    Bytes ReadExact(std::size_t n);
    char ReadByte();
    void DiscardInput();
    // Polls without waiting; true while the socket is open and not closed by the peer,
    // and also while unread bytes remain in the input buffer.
    bool IsConnected();
    // Waits up to ms for the socket to become readable and takes what arrived.
    void WaitForInput(int ms);
    bool InputIsEmpty() const { return buffer_.size() == consumed_; }
    Bytes TakeAllInput();
    void Send(const Bytes& bytes);
    // Closes the socket if it is open; the input buffer keeps its bytes. Thread-safe.
    void Disconnect();

    // A moment after which ReadExact/ReadByte fail with "Read timed out." instead of
    // waiting on (nullopt: no limit, the default).
    void SetReadDeadline(std::optional<std::chrono::steady_clock::time_point> deadline) { readDeadline_ = deadline; }

    // The number of bytes waiting in the input buffer.
    std::size_t Buffered() const { return buffer_.size() - consumed_; }

    // The closing wait without a thread. Where the server allows it, a run asks for its
    // closing (`close`, called once `wait` is over) and returns; the server calls `close`
    // then, and the run's thread meanwhile goes on to the next unit. False where it is not
    // allowed: the caller waits and closes itself.
    using Closing = std::function<void(UnitConnection&)>;
    bool DeferClosing(std::chrono::milliseconds wait, Closing close);
    void AllowDeferredClosing() { closingAllowed_ = true; }
    bool ClosingDeferred() const { return static_cast<bool>(closing_); }
    struct DeferredClosing {
        std::chrono::steady_clock::time_point at;
        Closing close;
    };
    // The closing asked for, once; none when none was.
    std::optional<DeferredClosing> TakeDeferredClosing();

private:
    // Receives what is waiting (up to one chunk) into the buffer, without waiting.
    // Returns the number of bytes received: 0 when nothing waits or the peer has closed.
    std::size_t ReceiveWaiting();
    // Waits up to ms (-1: no limit) for the socket to become readable (or closed).
    bool WaitReadable(int ms);
    bool SocketOpen() const { return fd_.load() >= 0; }
    void CloseSocket();
    void Compact();

    std::atomic<int> fd_;
    int shutdownFd_ = -1;  // a descriptor shut down but not yet closed
    std::mutex closeMutex_;
    bool closedByPeer_ = false;
    Bytes buffer_;
    std::size_t consumed_ = 0;
    std::optional<std::chrono::steady_clock::time_point> readDeadline_;
    bool closingAllowed_ = false;
    std::optional<DeferredClosing> closing_;
};

}  // namespace serwer

#pragma once
#include <sys/types.h>

#include <cstddef>

namespace serwer {

// The bytes of one client's connection, plain or through TLS, on a non-blocking socket.
// Receive and Send never wait: they return a count of bytes (> 0), 0 when the client
// has closed the connection, or one of the values below. Whoever waits polls the socket
// for what the last call asked.
class Transport {
public:
    static constexpr ssize_t kWantsRead = -1;   // again once the socket is readable
    static constexpr ssize_t kWantsWrite = -2;  // again once the socket is writable
    static constexpr ssize_t kFailed = -3;      // the connection is of no more use

    explicit Transport(int fd) : fd_(fd) {}
    virtual ~Transport() = default;
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    virtual ssize_t Receive(char* data, std::size_t size) = 0;
    // After kWantsRead or kWantsWrite, called again with the same bytes.
    virtual ssize_t Send(const char* data, std::size_t size) = 0;
    // Bytes already received that the next Receive returns without the socket being
    // readable: nobody may wait on the socket for them.
    virtual bool HasPending() const { return false; }
    // Tells the client the connection ends, without waiting for anything; before close.
    virtual void Finish() {}
    virtual bool Secure() const { return false; }

    int Fd() const { return fd_; }

private:
    int fd_;  // the caller's: closed by the caller, after the transport is done with it
};

// The socket's bytes as they are: plain HTTP.
class PlainTransport final : public Transport {
public:
    using Transport::Transport;
    ssize_t Receive(char* data, std::size_t size) override;
    ssize_t Send(const char* data, std::size_t size) override;
};

}  // namespace serwer

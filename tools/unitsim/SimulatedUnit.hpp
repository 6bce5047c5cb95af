#pragma once
#include <chrono>
#include <string>

#include "common/Bytes.hpp"

namespace serwer {

// The unit's side of a TCP connection to the server, as a tracking unit uses it.
class SimulatedUnit {
public:
    // Connects to host:port (IPv4 or IPv6 name or address). Throws std::runtime_error.
    SimulatedUnit(const std::string& host, int port);
    ~SimulatedUnit();
    SimulatedUnit(const SimulatedUnit&) = delete;
    SimulatedUnit& operator=(const SimulatedUnit&) = delete;

    // Stuffs the 128-byte record and sends it in one write, as a unit does.
    void SendPosition(const Bytes& record);
    // Sends bytes exactly as given.
    void SendRaw(const Bytes& bytes);
    // Receives what arrives within the limit (empty on time-out). Sets Closed() when
    // the server has closed the connection.
    Bytes Receive(std::chrono::milliseconds limit);
    // Receives until the server closes the connection or the limit passes; returns
    // everything received. Closed() tells which.
    Bytes WaitForClose(std::chrono::milliseconds limit);
    bool Closed() const { return closed_; }
    // Hangs up.
    void Close();

private:
    int fd_ = -1;
    bool closed_ = false;
};

// A TCP port on which nothing listens now, for a server started by a test or a tool
// (the operator window takes only ports 1 to 65535, never "any free port").
int FindFreePort();

}  // namespace serwer

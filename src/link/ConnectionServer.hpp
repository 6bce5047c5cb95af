#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <queue>
#include <string>
#include <thread>
#include <vector>

#include "link/UnitConnection.hpp"

namespace serwer {

// Accepts units' TCP connections (all IPv4 addresses, and all IPv6 addresses where the
// system has IPv6, on one port, with the deepest listen queue the system allows) and runs every connection on a thread
// of its own: OnConnect once, then OnExecute again and again while the connection still counts as connected. An error
// that escapes an event ends the connection. The connection threads accept the connections themselves: a thread
// whose connection has ended waits in accept for the next one, so a unit wakes one thread only. A thread that
// waits a while without a connection (kIdleThreadLifetime) ends, unless it is the last one waiting on its port; one
// that accepts while no other waits starts another first. A run may hand its closing wait
// to the server (UnitConnection::DeferClosing): one closing thread then ends such
// connections when their waits are over, and the run's thread takes the next unit.
class ConnectionServer {
public:
    struct Events {
        std::function<void(UnitConnection&)> onConnect;
        std::function<void(UnitConnection&)> onExecute;
    };

    // The listen queue is as deep as the system allows (net.core.somaxconn), and never
    // shallower than this.
    static constexpr int kLeastListenQueue = 150;
    static int ListenQueueDepth();
    // True when a server could listen on the port now (nothing else has it).
    static bool CanListenOn(std::uint16_t port);
    // Connection threads get small stacks, so thousands of idle connections stay cheap.
    static std::size_t DefaultThreadStackSize();
    // How long a connection thread without a connection waits for the next before it ends
    // (unless no other thread waits on its port).
    static constexpr std::chrono::seconds kIdleThreadLifetime{60};

    explicit ConnectionServer(Events events, std::size_t threadStackSize = DefaultThreadStackSize());
    ~ConnectionServer();
    ConnectionServer(const ConnectionServer&) = delete;
    ConnectionServer& operator=(const ConnectionServer&) = delete;

    // Converts the port text and starts listening; does nothing when already active.
    // Fails with "'<text>' is not a valid integer value" or "Could not bind socket.
    // Address and port are already in use." and then stays stopped.
    void Start(const std::string& portText);
    // Stops accepting, disconnects every open connection and returns only when every
    // connection thread has ended (their clean-up, closing wait included, has run).
    void Stop();

    bool IsActive() const { return active_.load(); }
    // The port actually listened on (useful when Start was given port 0).
    std::uint16_t Port() const { return port_; }
    // The number of connections not yet ended (their clean-up, closing wait included,
    // still running).
    int OpenConnectionCount() const;
    // The connection threads alive now, with or without a connection, and how many
    // have been started since the server was made.
    int ThreadCount() const;
    std::uint64_t ThreadsStarted() const { return threadsStarted_.load(); }

private:
    struct Connection;
    struct Listener;
    // Starts a thread that accepts on the listener; throws when none can be had.
    void StartConnectionThread(Listener& listener);
    static void* ConnectionThreadMain(void* arg);
    // A connection thread's life: accept a connection, run it, again.
    void ServeConnections(Listener& listener);
    // A short rest of an accepting thread after it met a shortage (no descriptor or
    // memory); skipped when the server is stopping.
    void PauseAccepting();
    // Enters the accepted descriptor in the open connections; null when the server is
    // stopping. The descriptor is closed when null is returned or bad_alloc thrown.
    std::shared_ptr<Connection> OpenConnection(int fd);
    // Runs the events (OnConnect only when `connect`) while the connection counts as
    // connected. True when the run handed its closing to the closing thread; otherwise
    // the connection is disconnected and CloseConnection takes it off the open ones.
    bool RunConnection(const std::shared_ptr<Connection>& connection, bool connect);
    void CloseConnection(const std::shared_ptr<Connection>& connection);
    // The closing thread: runs every handed-over closing when its wait is over, then
    // ends the connection, or has it run again where unread bytes remain.
    void CloseWaitingConnections();
    // A thread of its own for a connection run again after its closing (rare: bytes
    // that came before the close and were never read); ends with the connection.
    void StartRerunThread(const std::shared_ptr<Connection>& connection);
    void EndConnection(const std::shared_ptr<Connection>& connection);
    // The threads of every port counted as waiting for a connection.
    int WaitingInAccept() const;

    Events events_;
    std::size_t stackSize_;
    std::atomic<bool> active_{false};
    std::atomic<bool> stopping_{false};
    std::uint16_t port_ = 0;
    std::vector<std::unique_ptr<Listener>> listeners_;
    std::atomic<int> lastAccepted_{-1};  // the descriptor last accepted on any port; none yet

    mutable std::mutex openMutex_;  // the open-connections list's own lock
    std::condition_variable openChanged_;
    std::list<std::shared_ptr<Connection>> open_;

    struct Closing {
        std::chrono::steady_clock::time_point at;
        std::shared_ptr<Connection> connection;
        UnitConnection::Closing close;
        bool runAgain = false;  // the run ended without an error: run again while connected
        bool operator>(const Closing& other) const { return at > other.at; }
    };
    std::mutex closingMutex_;
    std::condition_variable closingChanged_;
    std::priority_queue<Closing, std::vector<Closing>, std::greater<Closing>> closing_;  // soonest first
    bool closerEnds_ = false;
    std::thread closer_;

    mutable std::mutex threadsMutex_;  // the connection threads' own lock
    std::condition_variable threadsGone_;
    int threads_ = 0;
    std::atomic<std::uint64_t> threadsStarted_{0};
};

}  // namespace serwer

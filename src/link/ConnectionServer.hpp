#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/UnitConnection.hpp"

namespace serwer {

// Accepts units' TCP connections (all IPv4 addresses, and all IPv6 addresses where the
// system has IPv6, on one port, with the deepest listen queue the system allows) and runs every connection on a thread
// of its own: OnConnect once, then OnExecute again and again while the connection still counts as connected. An error
// that escapes an event ends the connection. A thread whose connection has ended waits a while for the next one
// (kIdleThreadLifetime) before it ends: starting a thread costs far more than handing it a connection.
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
    // How long a connection thread without a connection waits for the next before it ends.
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
    struct IdleThread;
    void AcceptLoop(int listenFd);
    // A short rest of the accepting thread after it met a shortage (no descriptor,
    // memory or thread); skipped when the server is stopping.
    void PauseAccepting();
    void StartConnectionThread(int fd);
    // Hands the connection to a waiting thread; false when none waits.
    bool HandToIdleThread(std::shared_ptr<Connection>& connection);
    static void* ConnectionThreadMain(void* arg);
    void ServeConnections(std::shared_ptr<Connection> first);
    void RunConnection(const std::shared_ptr<Connection>& connection);

    Events events_;
    std::size_t stackSize_;
    std::atomic<bool> active_{false};
    std::atomic<bool> stopping_{false};
    std::uint16_t port_ = 0;
    std::vector<int> listenFds_;
    std::vector<std::thread> acceptThreads_;
    std::atomic<int> lastAccepted_{-1};  // the descriptor last accepted on any port; none yet

    mutable std::mutex openMutex_;  // the open-connections list's own lock
    std::condition_variable openChanged_;
    std::list<std::shared_ptr<Connection>> open_;

    mutable std::mutex threadsMutex_;  // the connection threads' own lock
    std::condition_variable threadsGone_;
    std::vector<IdleThread*> idle_;  // the most recently idle last
    int threads_ = 0;
    std::atomic<std::uint64_t> threadsStarted_{0};
};

}  // namespace serwer

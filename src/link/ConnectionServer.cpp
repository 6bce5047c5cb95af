#include "link/ConnectionServer.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>
#include <thread>

#include "common/ServerError.hpp"

namespace serwer {

struct ConnectionServer::Connection {
    ConnectionServer* server = nullptr;
    std::unique_ptr<UnitConnection> link;
    std::list<std::shared_ptr<Connection>>::iterator position;
};

namespace {

// How long accepting rests when the process is out of descriptors, memory or threads.
// The pending connection stays in the listen queue meanwhile; retrying at once would
// only find the same shortage again and keep a core busy.
constexpr auto kShortagePause = std::chrono::milliseconds(100);
constexpr auto kStopPollInterval = std::chrono::milliseconds(500);
const char* const kBindFailed = "Could not bind socket. Address and port are already in use.";

int ParsePort(const std::string& text) {
    // The whole text must be an integer (blanks around it are not allowed).
    char* end = nullptr;
    errno = 0;
    const long value = text.empty() ? 0 : std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || text[0] == ' ')
        throw ConversionError("'" + text + "' is not a valid integer value");
    if (value < 0 || value > 65535) throw ServerError(kBindFailed);
    return static_cast<int>(value);
}

// Set on the listening socket: every connection accepted from it inherits them.
void EnableKeepAlive(int fd) {
    // Silent peers (a unit that lost its GPRS link) are found and their threads freed.
    int on = 1, idle = 120, interval = 30, count = 4;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

// Returns the bound socket, -1 when the address family is not available here, or
// throws the bind failure.
int BindListener(int family, int port) {
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        if (family == AF_INET6 && (errno == EAFNOSUPPORT || errno == EPROTONOSUPPORT)) return -1;
        throw ServerError(kBindFailed);
    }
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    EnableKeepAlive(fd);
    // A waiting thread's accept returns EAGAIN after its idle lifetime. Accepted sockets
    // inherit the timeout; their reads never block, so it changes nothing for them.
    timeval idle{};
    idle.tv_sec = std::chrono::duration_cast<std::chrono::seconds>(ConnectionServer::kIdleThreadLifetime).count();
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
    int rc;
    if (family == AF_INET) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        rc = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_any;
        a.sin6_port = htons(static_cast<std::uint16_t>(port));
        rc = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    if (rc != 0) {
        const int err = errno;
        ::close(fd);
        if (family == AF_INET6 && (err == EADDRNOTAVAIL || err == EAFNOSUPPORT)) return -1;
        throw ServerError(kBindFailed);
    }
    return fd;
}

// Descriptors kept free for what a handler opens besides its socket (the log files,
// Aktualne.txt and its new copy, an archive): a connection accepted with the very last
// descriptor could not even write its first log line and would be dropped unserved.
// While fewer are free, pending connections wait in the listen queue.
constexpr rlim_t kDescriptorReserve = 16;

// Looking for the lowest free number takes three system calls, so it is done only when
// the last connection accepted came near the limit. The numbers the handlers open
// meanwhile for a moment (log files, the table's new copy) stay far below the margin.
// Every thread already waiting in accept may take one more connection without looking,
// so the margin grows by their number.
constexpr int kExactCheckMargin = 1024;

// The soft limit on descriptors; none when there is none.
std::optional<rlim_t> DescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return std::nullopt;
    return limit.rlim_cur;
}

// The last connection accepted came within the margin of the limit.
bool NearDescriptorLimit(std::optional<rlim_t> limit, int lastAccepted, int waitingInAccept) {
    return limit && (lastAccepted < 0 || static_cast<rlim_t>(lastAccepted) + kExactCheckMargin +
                                                 static_cast<rlim_t>(std::max(waitingInAccept, 0)) +
                                                 kDescriptorReserve >=
                                             *limit);
}

// A descriptor so high that the numbers below it (all in use: the system hands out the
// lowest free one) leave fewer than the reserve.
bool WithinReserve(std::optional<rlim_t> limit, int lowestFree) {
    return limit && static_cast<rlim_t>(lowestFree) + kDescriptorReserve >= *limit;
}

bool DescriptorsRunLow(std::optional<rlim_t> limit, int listenFd, int lastAccepted, int waitingInAccept) {
    if (!NearDescriptorLimit(limit, lastAccepted, waitingInAccept)) return false;
    const int lowestFree = ::fcntl(listenFd, F_DUPFD_CLOEXEC, 0);
    if (lowestFree < 0) return true;
    ::close(lowestFree);
    return WithinReserve(limit, lowestFree);
}

std::uint16_t BoundPort(int fd) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
    return ntohs(reinterpret_cast<sockaddr_in6*>(&a)->sin6_port);
}

}  // namespace

int ConnectionServer::ListenQueueDepth() {
    int depth = 0;
    if (std::FILE* f = std::fopen("/proc/sys/net/core/somaxconn", "r")) {
        if (std::fscanf(f, "%d", &depth) != 1) depth = 0;
        std::fclose(f);
    }
    return std::max(depth, kLeastListenQueue);
}

bool ConnectionServer::CanListenOn(std::uint16_t port) {
    try {
        const int fd = BindListener(AF_INET, port);
        ::close(fd);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::size_t ConnectionServer::DefaultThreadStackSize() {
#if defined(__SANITIZE_ADDRESS__)
    return 4u << 20;  // the sanitizers need far deeper stacks
#else
    return 256u << 10;
#endif
}

// One listening socket and the number of connection threads waiting in its accept.
struct ConnectionServer::Listener {
    ConnectionServer* server = nullptr;
    int fd = -1;
    std::atomic<int> waiting{0};
    std::mutex nearLimit;  // near the descriptor limit: one accepting thread at a time
};

ConnectionServer::ConnectionServer(Events events, std::size_t threadStackSize)
    : events_(std::move(events)), stackSize_(threadStackSize) {}

ConnectionServer::~ConnectionServer() { Stop(); }

void ConnectionServer::Start(const std::string& portText) {
    if (active_) return;
    const int port = ParsePort(portText);
    std::vector<int> fds;
    try {
        const int v4 = BindListener(AF_INET, port);
        fds.push_back(v4);
        // With port 0 the system picks one; IPv6 then listens on the same port.
        const int v6 = BindListener(AF_INET6, port == 0 ? BoundPort(v4) : port);
        if (v6 >= 0) fds.push_back(v6);
        for (int fd : fds)
            if (::listen(fd, ListenQueueDepth()) != 0) throw ServerError(kBindFailed);
    } catch (...) {
        for (int fd : fds) ::close(fd);
        throw;
    }
    port_ = BoundPort(fds.front());
    stopping_ = false;
    for (int fd : fds) {
        auto listener = std::make_unique<Listener>();
        listener->server = this;
        listener->fd = fd;
        listeners_.push_back(std::move(listener));
    }
    try {
        {
            std::lock_guard<std::mutex> lock(closingMutex_);
            closerEnds_ = false;
        }
        closer_ = std::thread(&ConnectionServer::CloseWaitingConnections, this);
        for (auto& listener : listeners_) StartConnectionThread(*listener);
    } catch (...) {
        Stop();
        throw;
    }
    active_ = true;
}

void ConnectionServer::StartConnectionThread(Listener& listener) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, stackSize_);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    {
        std::lock_guard<std::mutex> lock(threadsMutex_);
        ++threads_;
    }
    listener.waiting.fetch_add(1);  // counted before it runs: the next unit finds it
    pthread_t thread;
    const int rc = pthread_create(&thread, &attr, &ConnectionThreadMain, &listener);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        listener.waiting.fetch_sub(1);
        std::lock_guard<std::mutex> lock(threadsMutex_);
        --threads_;
        threadsGone_.notify_all();
        throw ServerError("no thread for a connection");
    }
    threadsStarted_.fetch_add(1);
}

void* ConnectionServer::ConnectionThreadMain(void* arg) {
    auto* listener = static_cast<Listener*>(arg);
    listener->server->ServeConnections(*listener);
    return nullptr;
}

void ConnectionServer::ServeConnections(Listener& listener) {
    // The thread counts as waiting (from before it was started) until it has a
    // connection, also while it rests before accepting: a thread that accepts starts
    // another only when none is left to take the next unit.
    bool counted = true;
    // The accept blocks until a unit connects, until the idle lifetime (the listening
    // socket's receive timeout) is over, or until Stop shuts the listening socket.
    while (!stopping_) {
        // Near the limit one thread of the port at a time checks and accepts, so that the
        // threads waiting in accept cannot take the reserve between them.
        const std::optional<rlim_t> limit = DescriptorLimit();
        std::unique_lock<std::mutex> turn(listener.nearLimit, std::defer_lock);
        const int waitingNow = WaitingInAccept();
        if (NearDescriptorLimit(limit, lastAccepted_.load(), waitingNow)) turn.lock();
        if (DescriptorsRunLow(limit, listener.fd, lastAccepted_.load(), waitingNow)) {
            if (turn.owns_lock()) turn.unlock();
            PauseAccepting();
            continue;
        }
        const int fd = ::accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (turn.owns_lock()) turn.unlock();
        if (fd >= 0) lastAccepted_.store(fd);
        if (fd >= 0 && WithinReserve(limit, fd)) {
            // Taken by a thread that was waiting in accept since before the limit came
            // near: the unit gets its connection closed and will try again.
            ::close(fd);
            PauseAccepting();
            continue;
        }
        if (fd < 0) {
            const int err = errno;
            // Idle too long: the thread ends, unless no other would be left waiting.
            if (err == EAGAIN || err == EWOULDBLOCK) {
                int waiting = listener.waiting.load();
                while (waiting > 1 && !listener.waiting.compare_exchange_weak(waiting, waiting - 1)) {
                }
                if (waiting > 1) {
                    counted = false;  // counted out already
                    break;
                }
                continue;
            }
            // Any other accept error is dropped. After anything but an interruption or
            // a connection that ended while queued, accepting rests first: a shortage
            // (or a socket shut under it) would be met again at once.
            if (err != EINTR && err != ECONNABORTED) PauseAccepting();
            continue;
        }
        // The next unit must find a thread waiting. When none can be started, this one
        // stays the one that waits: the unit gets its connection closed and will try
        // again, and accepting rests.
        if (listener.waiting.fetch_sub(1) == 1) {
            try {
                StartConnectionThread(listener);
            } catch (const ServerError&) {
                listener.waiting.fetch_add(1);
                ::close(fd);
                PauseAccepting();
                continue;
            }
        }
        std::shared_ptr<Connection> connection;
        try {
            connection = OpenConnection(fd);
        } catch (const std::bad_alloc&) {
            connection.reset();  // out of memory: the unit's connection is closed
        }
        const bool handedOver = connection && RunConnection(connection, true);
        // Waiting again before the connection counts as ended: a unit that comes next
        // finds this thread counted.
        listener.waiting.fetch_add(1);
        if (connection && !handedOver) CloseConnection(connection);
        if (!connection) {
            if (stopping_) break;
            PauseAccepting();
        }
    }
    if (counted) listener.waiting.fetch_sub(1);
    // The last touch of the server: after this Stop may return and the server may go.
    std::lock_guard<std::mutex> lock(threadsMutex_);
    --threads_;
    threadsGone_.notify_all();
}

void ConnectionServer::PauseAccepting() {
    if (!stopping_) std::this_thread::sleep_for(kShortagePause);
}

std::shared_ptr<ConnectionServer::Connection> ConnectionServer::OpenConnection(int fd) {
    std::unique_ptr<UnitConnection> link;
    try {
        link = std::make_unique<UnitConnection>(fd);
    } catch (...) {
        ::close(fd);
        throw;
    }
    auto connection = std::make_shared<Connection>();  // from here the link owns the descriptor
    connection->server = this;
    connection->link = std::move(link);
    connection->link->AllowDeferredClosing();
    // Checked under the list's lock: Stop either finds the connection there and
    // disconnects it, or has already said stop before it was entered.
    std::lock_guard<std::mutex> lock(openMutex_);
    if (stopping_) return nullptr;  // the link's destructor closes the descriptor
    open_.push_back(connection);
    connection->position = std::prev(open_.end());
    return connection;
}

bool ConnectionServer::RunConnection(const std::shared_ptr<Connection>& connection, bool connect) {
    UnitConnection& link = *connection->link;
    // A closing asked for is handed to the closing thread; without memory for that, this
    // thread waits and closes itself. False when the run is to go on (or end) here.
    // After an error the connection ends with its closing; otherwise it is run again
    // when it still counts as connected.
    const auto handOver = [&](UnitConnection::DeferredClosing closing, bool runAgain) {
        try {
            std::lock_guard<std::mutex> lock(closingMutex_);
            const bool soonest = closing_.empty() || closing.at < closing_.top().at;
            closing_.push(Closing{closing.at, connection, std::move(closing.close), runAgain});
            if (soonest) closingChanged_.notify_one();
            return true;
        } catch (const std::bad_alloc&) {
        }
        std::this_thread::sleep_until(closing.at);
        closing.close(link);
        return false;
    };
    try {
        if (connect && events_.onConnect) events_.onConnect(link);
        // Once the server is stopping, a connection that still has unread bytes is not
        // run again: Stop must not wait for every buffered byte to get its own run.
        for (;;) {
            if (events_.onExecute) events_.onExecute(link);
            if (auto closing = link.TakeDeferredClosing())
                if (handOver(std::move(*closing), true)) return true;
            if (stopping_ || !link.IsConnected()) break;
        }
    } catch (...) {
        // An error that escapes the handler only ends the connection; the handler has
        // logged what it logs, and its clean-up may have asked for the closing.
        try {
            if (auto closing = link.TakeDeferredClosing())
                if (handOver(std::move(*closing), false)) return true;
        } catch (...) {
        }
    }
    link.Disconnect();
    return false;
}

void ConnectionServer::CloseWaitingConnections() {
    std::unique_lock<std::mutex> lock(closingMutex_);
    for (;;) {
        if (closing_.empty()) {
            if (closerEnds_) return;
            closingChanged_.wait(lock);
            continue;
        }
        const auto at = closing_.top().at;
        if (std::chrono::steady_clock::now() < at) {
            closingChanged_.wait_until(lock, at);
            continue;
        }
        Closing due = std::move(const_cast<Closing&>(closing_.top()));
        closing_.pop();
        lock.unlock();
        UnitConnection& link = *due.connection->link;
        bool again = false;
        try {
            due.close(link);
            again = due.runAgain && !stopping_ && link.IsConnected();
        } catch (...) {
        }
        if (again) {
            try {
                StartRerunThread(due.connection);
            } catch (...) {
                again = false;
            }
        }
        if (!again) EndConnection(due.connection);
        due = Closing{};  // the descriptor is closed with the connection's last owner
        lock.lock();
    }
}

void ConnectionServer::StartRerunThread(const std::shared_ptr<Connection>& connection) {
    {
        std::lock_guard<std::mutex> lock(threadsMutex_);
        ++threads_;
    }
    try {
        std::thread([this, connection] {
            if (!RunConnection(connection, false)) CloseConnection(connection);
            std::lock_guard<std::mutex> lock(threadsMutex_);
            --threads_;
            threadsGone_.notify_all();
        }).detach();
    } catch (...) {
        std::lock_guard<std::mutex> lock(threadsMutex_);
        --threads_;
        threadsGone_.notify_all();
        throw;
    }
}

void ConnectionServer::EndConnection(const std::shared_ptr<Connection>& connection) {
    connection->link->Disconnect();
    CloseConnection(connection);
}

void ConnectionServer::CloseConnection(const std::shared_ptr<Connection>& connection) {
    std::lock_guard<std::mutex> lock(openMutex_);
    open_.erase(connection->position);
    openChanged_.notify_all();
}

void ConnectionServer::Stop() {
    stopping_ = true;
    // Wakes the threads waiting in accept: a shut listening socket ends a blocked accept.
    for (auto& listener : listeners_) ::shutdown(listener->fd, SHUT_RDWR);
    active_ = false;
    {
        std::unique_lock<std::mutex> lock(openMutex_);
        while (!open_.empty()) {
            for (auto& c : open_) c->link->Disconnect();
            openChanged_.wait_for(lock, kStopPollInterval);
        }
    }
    // Every handed-over closing has run once no connection is open.
    {
        std::lock_guard<std::mutex> lock(closingMutex_);
        closerEnds_ = true;
        closingChanged_.notify_all();
    }
    if (closer_.joinable()) closer_.join();
    {
        std::unique_lock<std::mutex> lock(threadsMutex_);
        threadsGone_.wait(lock, [&] { return threads_ == 0; });
    }
    // Only now: no thread uses the descriptors any more.
    for (auto& listener : listeners_) ::close(listener->fd);
    listeners_.clear();
}

int ConnectionServer::WaitingInAccept() const {
    int waiting = 0;
    for (const auto& listener : listeners_) waiting += listener->waiting.load();
    return waiting;
}

int ConnectionServer::OpenConnectionCount() const {
    std::lock_guard<std::mutex> lock(openMutex_);
    return static_cast<int>(open_.size());
}

int ConnectionServer::ThreadCount() const {
    std::lock_guard<std::mutex> lock(threadsMutex_);
    return threads_;
}

}  // namespace serwer

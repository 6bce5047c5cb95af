#include "web/WebService.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "common/ServerError.hpp"
#include "common/Win1250.hpp"

namespace serwer {

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point until, std::chrono::milliseconds cap) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    return static_cast<int>(std::max<std::int64_t>(0, std::min(left, cap).count()));
}

// Waits for the socket; false at the time limit or on an error.
bool WaitFor(int fd, short events, int ms) {
    pollfd p{fd, events, 0};
    for (;;) {
        const int r = ::poll(&p, 1, ms);
        if (r > 0) return true;
        if (r == 0) return false;
        if (errno != EINTR) return false;
    }
}

// One connection as httplib reads and writes it, with the service's limits: every read
// waits at most the read timeout and never past the request's time limit, and a
// request may not send more than its byte limit; every write waits at most the write
// timeout and never past the answer's time limit. A limit reached is a failed read or
// write, after which httplib gives up the connection.
class LimitedStream : public httplib::Stream {
public:
    LimitedStream(int fd, const WebLimits& limits) : fd_(fd), limits_(limits) {}

    // A new request begins: its limits start now.
    void BeginRequest() {
        const auto now = Clock::now();
        readUntil_ = now + limits_.requestTimeLimit;
        writeUntil_ = now + limits_.responseTimeLimit;
        requestBytes_ = 0;
    }
    // The request is read: the rest of its time goes to the answer (a body is not read).
    bool HasBuffered() const { return begin_ < end_; }

    bool is_readable() const override { return HasBuffered() || WaitFor(fd_, POLLIN, ReadWaitMs()); }
    bool is_writable() const override { return WaitFor(fd_, POLLOUT, WriteWaitMs()); }

    ssize_t read(char* ptr, size_t size) override {
        if (!HasBuffered()) {
            if (requestBytes_ >= limits_.maxRequestBytes || Clock::now() >= readUntil_) return -1;
            if (!WaitFor(fd_, POLLIN, ReadWaitMs())) return -1;
            const std::size_t room = std::min(sizeof buffer_, limits_.maxRequestBytes - requestBytes_);
            const ssize_t n = ::recv(fd_, buffer_, room, 0);
            if (n <= 0) return n < 0 ? -1 : 0;
            requestBytes_ += static_cast<std::size_t>(n);
            begin_ = 0;
            end_ = static_cast<std::size_t>(n);
        }
        const std::size_t n = std::min(size, end_ - begin_);
        std::memcpy(ptr, buffer_ + begin_, n);
        begin_ += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char* ptr, size_t size) override {
        std::size_t done = 0;
        while (done < size) {
            if (Clock::now() >= writeUntil_ || !WaitFor(fd_, POLLOUT, WriteWaitMs()))
                return done ? static_cast<ssize_t>(done) : -1;
            const ssize_t n = ::send(fd_, ptr + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR) continue;
                return done ? static_cast<ssize_t>(done) : -1;
            }
            done += static_cast<std::size_t>(n);
        }
        return static_cast<ssize_t>(done);
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override { Address(::getpeername, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { Address(::getsockname, ip, port); }
    socket_t socket() const override { return fd_; }

private:
    int ReadWaitMs() const { return MillisecondsLeft(readUntil_, limits_.readTimeout); }
    int WriteWaitMs() const { return MillisecondsLeft(writeUntil_, limits_.writeTimeout); }

    template <typename Get>
    void Address(Get get, std::string& ip, int& port) const {
        sockaddr_storage addr{};
        socklen_t len = sizeof addr;
        ip.clear();
        port = -1;
        if (get(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return;
        char text[INET6_ADDRSTRLEN] = {};
        if (addr.ss_family == AF_INET) {
            const auto* a = reinterpret_cast<const sockaddr_in*>(&addr);
            ::inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
            port = ntohs(a->sin_port);
        } else if (addr.ss_family == AF_INET6) {
            const auto* a = reinterpret_cast<const sockaddr_in6*>(&addr);
            ::inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
            port = ntohs(a->sin6_port);
        }
        ip = text;
    }

    int fd_;
    const WebLimits& limits_;
    Clock::time_point readUntil_{}, writeUntil_{};
    std::size_t requestBytes_ = 0;
    char buffer_[4096];
    std::size_t begin_ = 0, end_ = 0;
};

// httplib's request parsing and answering, fed by the service's own connections.
class HttpEngine : public httplib::Server {
public:
    bool Serve(httplib::Stream& stream, bool closeConnection, bool& connectionClosed) {
        return process_request(stream, closeConnection, connectionClosed, nullptr);
    }
    // httplib sends an answer's body only while its listening socket is set, and
    // stops a body being sent once it is unset: the service's own socket stands in.
    void SetListening(int fd) { svr_sock_ = fd; }
};

// The answer to a connection refused because the service is full.
constexpr char kBusyAnswer[] =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: 29\r\n"
    "Retry-After: 1\r\nConnection: close\r\n\r\nSerwer WWW jest zaj\xC4\x99ty.\r\n";

// Set by the request handler when the connection must end after its answer.
thread_local bool closeAfterAnswer = false;
// Set by the request handler: a request httplib could not read never reaches it.
thread_local bool reachedRouter = false;

}  // namespace

bool IsLoopbackAddress(std::string_view address) {
    return address == "127.0.0.1" || address == "::1" || address == "localhost" || address == "[::1]";
}

std::optional<std::string> WebStartRefusal(const WebSettings& settings) {
    if (IsLoopbackAddress(settings.address) || !settings.password.empty()) return std::nullopt;
    return Cp1250("Usługa WWW nie została uruchomiona: adres ") + settings.address +
           Cp1250(" jest dostępny z innych komputerów, a w sekcji [Www] pliku serwer.ini nie ustawiono hasła (Haslo).");
}

struct WebService::Impl {
    Impl(PositioningServer& s, WebSettings w, WebLimits l)
        : server(s),
          settings(std::move(w)),
          limits(l),
          snapshot(s.Table()),
          router(WebRouterSettings{settings.password, settings.tileUrl, settings.attribution}, Sources()) {
        engine.set_payload_max_length(limits.maxRequestBytes);
        engine.set_keep_alive_max_count(static_cast<std::size_t>(std::max(1, limits.keepAliveMax)));
        engine.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
            Answer(req, res);
            return httplib::Server::HandlerResponse::Handled;
        });
        engine.set_logger(
            [this](const httplib::Request&, const httplib::Response& res) { counters.CountStatus(res.status); });
    }

    WebSources Sources() {
        WebSources sources;
        sources.vehicles = [this] { return snapshot.Rows(); };
        if (server.History()) sources.history = [this](const HistoryQuery& q) { return server.History()->Query(q); };
        sources.health = [this] {
            WebHealth h;
            h.listening = server.IsActive();
            h.openConnections = server.OpenConnectionCount();
            if (const HistoryWriter* w = server.HistoryWrites()) {
                h.historyKept = true;
                h.historyFailing = w->Failing();
                h.historyRowsWritten = w->RowsWritten();
                h.historyRowsLost = w->RowsLost();
            }
            return h;
        };
        sources.metrics = [this] {
            MetricsSources m;
            m.server = &server.Context().metrics;
            m.table = &server.Table();
            m.history = server.HistoryWrites();
            m.web = &counters;
            m.openConnections = server.OpenConnectionCount();
            m.vehicles = snapshot.Rows()->rows.size();
            return MetricsText(m);
        };
        sources.nowUtcMs = [] {
            return std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                .count();
        };
        sources.assets = []() -> const std::vector<WebAsset>& { return PageAssets(); };
        return sources;
    }

    void Answer(const httplib::Request& req, httplib::Response& res) {
        reachedRouter = true;
        WebRequest request;
        request.method = req.method;
        const std::size_t q = req.target.find('?');
        request.path = req.target.substr(0, q);
        if (q != std::string::npos) request.query = req.target.substr(q + 1);
        if (req.has_header("Authorization")) request.authorization = req.get_header_value("Authorization");
        // A body is never read: the connection ends after the answer, so its bytes
        // cannot be taken for the next request.
        if (req.has_header("Content-Length") || req.has_header("Transfer-Encoding")) closeAfterAnswer = true;

        const WebResponse answer = router.Handle(request);
        res.status = answer.status;
        for (const auto& [name, value] : answer.headers) res.set_header(name, value);
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("Cache-Control", "no-store");
        const std::shared_ptr<const std::string> body = answer.body;
        const std::size_t size = body ? body->size() : 0;
        res.set_content_provider(size, answer.contentType,
                                 [body](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                     return sink.write(body->data() + offset, length);
                                 });
    }

    void Listen() {
        char* end = nullptr;
        const long port = std::strtol(settings.port.c_str(), &end, 10);
        if (settings.port.empty() || *end != '\0' || port < 0 || port > 65535)
            throw ServerError(Cp1250("Usługa WWW: błędny numer portu w sekcji [Www]: ") + settings.port);
        std::string host = settings.address;
        if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
        addrinfo* found = nullptr;
        const std::string service = std::to_string(port);
        if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || !found)
            throw ServerError(Cp1250("Usługa WWW: nieznany adres ") + settings.address);
        std::string why;
        for (addrinfo* a = found; a && listenFd < 0; a = a->ai_next) {
            const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
            if (fd < 0) continue;
            const int on = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, 512) == 0) {
                listenFd = fd;
            } else {
                why = std::strerror(errno);
                ::close(fd);
            }
        }
        ::freeaddrinfo(found);
        if (listenFd < 0)
            throw ServerError(Cp1250("Usługa WWW: nie można nasłuchiwać na ") + settings.address + ":" + service +
                              " (" + why + ")");
        sockaddr_storage bound{};
        socklen_t len = sizeof bound;
        ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&bound), &len);
        boundPort = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                      : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    }

    void AcceptLoop() {
        for (;;) {
            pollfd p[2] = {{listenFd, POLLIN, 0}, {wake[0], POLLIN, 0}};
            if (::poll(p, 2, -1) < 0 && errno != EINTR) return;
            if (stopping.load()) return;
            for (;;) {
                const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (fd < 0) break;
                std::unique_lock<std::mutex> lock(mutex);
                if (static_cast<int>(active.size() + pending.size()) >= limits.maxConnections) {
                    lock.unlock();
                    counters.refusedConnections.fetch_add(1, std::memory_order_relaxed);
                    counters.CountStatus(503);
                    ::send(fd, kBusyAnswer, sizeof kBusyAnswer - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
                    ::close(fd);
                    continue;
                }
                pending.push_back(fd);
                lock.unlock();
                ready.notify_one();
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
                // Out of descriptors or memory: a pause, rather than a busy loop.
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
    }

    void WorkerLoop() {
        for (;;) {
            int fd = -1;
            {
                std::unique_lock<std::mutex> lock(mutex);
                ready.wait(lock, [&] { return stopping.load() || !pending.empty(); });
                if (stopping.load()) return;
                fd = pending.front();
                pending.pop_front();
                active.insert(fd);
            }
            Serve(fd);
            {
                std::lock_guard<std::mutex> lock(mutex);
                active.erase(fd);
            }
            ::close(fd);
        }
    }

    bool OthersWaiting() {
        std::lock_guard<std::mutex> lock(mutex);
        return !pending.empty();
    }

    // Keep-alive only while no other connection waits for a worker.
    bool WaitForNextRequest(LimitedStream& stream) {
        if (stream.HasBuffered()) return true;
        const auto until = Clock::now() + limits.keepAliveTimeout;
        while (!stopping.load() && Clock::now() < until) {
            if (WaitFor(stream.socket(), POLLIN, MillisecondsLeft(until, std::chrono::milliseconds(100)))) return true;
            if (OthersWaiting()) return false;
        }
        return false;
    }

    void Serve(int fd) {
        LimitedStream stream(fd, limits);
        closeAfterAnswer = false;
        for (int served = 0; served < limits.keepAliveMax && !stopping.load(); ++served) {
            if (served > 0 && !WaitForNextRequest(stream)) break;
            stream.BeginRequest();
            const bool last = served + 1 == limits.keepAliveMax || OthersWaiting();
            bool closed = false;
            reachedRouter = false;
            const bool ok = engine.Serve(stream, last, closed);
            // After a request that could not be read (too long, too slow, malformed) the
            // rest of the stream means nothing.
            if (!ok || closed || last || closeAfterAnswer || !reachedRouter) break;
        }
        ::shutdown(fd, SHUT_RDWR);
    }

    void Start() {
        if (running) return;
        if (const auto refusal = WebStartRefusal(settings)) throw ServerError(*refusal);
        Listen();
        if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
            ::close(listenFd);
            listenFd = -1;
            throw ServerError(Cp1250("Usługa WWW: brak zasobów systemu"));
        }
        stopping = false;
        running = true;
        engine.SetListening(listenFd);
        for (int i = 0; i < std::max(1, limits.workers); ++i) workers.emplace_back([this] { WorkerLoop(); });
        acceptor = std::thread([this] { AcceptLoop(); });
    }

    void Stop() {
        if (!running) return;
        stopping = true;
        engine.SetListening(INVALID_SOCKET);
        const char byte = 1;
        [[maybe_unused]] const ssize_t w = ::write(wake[1], &byte, 1);
        acceptor.join();
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (const int fd : active) ::shutdown(fd, SHUT_RDWR);
            for (const int fd : pending) ::close(fd);
            pending.clear();
        }
        ready.notify_all();
        for (std::thread& t : workers) t.join();
        workers.clear();
        ::close(listenFd);
        ::close(wake[0]);
        ::close(wake[1]);
        listenFd = wake[0] = wake[1] = -1;
        running = false;
    }

    PositioningServer& server;
    WebSettings settings;
    WebLimits limits;
    VehicleSnapshot snapshot;
    WebCounters counters;
    WebRouter router;
    HttpEngine engine;

    int listenFd = -1;
    int wake[2] = {-1, -1};
    std::uint16_t boundPort = 0;
    bool running = false;
    std::atomic<bool> stopping{false};
    std::thread acceptor;
    std::vector<std::thread> workers;
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<int> pending;  // accepted, waiting for a worker
    std::set<int> active;     // being served
};

WebService::WebService(PositioningServer& server, WebSettings settings, WebLimits limits)
    : impl_(std::make_unique<Impl>(server, std::move(settings), limits)) {}

WebService::~WebService() { impl_->Stop(); }

void WebService::Start() { impl_->Start(); }
void WebService::Stop() { impl_->Stop(); }
bool WebService::IsActive() const { return impl_->running; }
std::uint16_t WebService::Port() const { return impl_->running ? impl_->boundPort : 0; }
const WebRouter& WebService::Router() const { return impl_->router; }
const WebCounters& WebService::Counters() const { return impl_->counters; }

}  // namespace serwer

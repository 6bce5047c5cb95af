#include "web/WebService.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "common/ServerError.hpp"
#include "common/Win1250.hpp"
#include "web/Gzip.hpp"
#include "web/JointFleet.hpp"
#include "web/RequestHead.hpp"
#include "web/TlsTransport.hpp"
#include "web/Transport.hpp"

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

// The numeric address of a socket's end ("127.0.0.1", "::1"), and its port.
std::string AddressText(const sockaddr_storage& addr, int* port) {
    char text[INET6_ADDRSTRLEN] = {};
    if (addr.ss_family == AF_INET) {
        const auto* a = reinterpret_cast<const sockaddr_in*>(&addr);
        ::inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
        if (port) *port = ntohs(a->sin_port);
    } else if (addr.ss_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(&addr);
        ::inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
        if (port) *port = ntohs(a->sin6_port);
    }
    return text;
}

// One request's exchange as httplib reads and writes it, with the service's limits.
// httplib first reads the head as ReadRequestHead passed it on, then the bytes that
// came after it (a body, or the next request), then the socket: every read waits at
// most the read timeout and never past the request's time limit, and a request may not
// send more than its byte limit; every write waits at most the write timeout and never
// past the answer's time limit. A limit reached is a failed read or write, after which
// httplib gives up the connection. The bytes go through the connection's Transport:
// bytes it already holds are readable without the socket, and a wait is for what its
// last call asked (a TLS read may have to write first, and a write to read).
class LimitedStream : public httplib::Stream {
public:
    LimitedStream(Transport& transport, const WebLimits& limits, std::string input)
        : transport_(transport), fd_(transport.Fd()), limits_(limits), input_(std::move(input)) {
        const auto now = Clock::now();
        readUntil_ = now + limits_.requestTimeLimit;
        writeUntil_ = now + limits_.responseTimeLimit;
    }

    bool HasBuffered() const { return inputAt_ < input_.size() || begin_ < end_; }
    // What httplib has not read: the start of the next request.
    std::string Unread() const {
        return input_.substr(std::min(inputAt_, input_.size())) + std::string(buffer_ + begin_, end_ - begin_);
    }

    bool is_readable() const override {
        return HasBuffered() || transport_.HasPending() || WaitFor(fd_, POLLIN, ReadWaitMs());
    }
    bool is_writable() const override { return WaitFor(fd_, POLLOUT, WriteWaitMs()); }

    ssize_t read(char* ptr, size_t size) override {
        if (inputAt_ < input_.size()) {
            const std::size_t n = std::min(size, input_.size() - inputAt_);
            std::memcpy(ptr, input_.data() + inputAt_, n);
            inputAt_ += n;
            return static_cast<ssize_t>(n);
        }
        if (begin_ == end_) {
            short wait = transport_.HasPending() ? 0 : POLLIN;
            ssize_t n = 0;
            for (;;) {
                if (requestBytes_ >= limits_.maxRequestBytes || Clock::now() >= readUntil_) return -1;
                if (wait != 0 && !WaitFor(fd_, wait, ReadWaitMs())) return -1;
                const std::size_t room = std::min(sizeof buffer_, limits_.maxRequestBytes - requestBytes_);
                n = transport_.Receive(buffer_, room);
                if (n >= 0) break;
                if (n == Transport::kFailed) return -1;
                wait = n == Transport::kWantsWrite ? POLLOUT : POLLIN;
            }
            if (n == 0) return 0;
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
        short wait = POLLOUT;
        while (done < size) {
            if (Clock::now() >= writeUntil_ || !WaitFor(fd_, wait, WriteWaitMs()))
                return done ? static_cast<ssize_t>(done) : -1;
            // After a wait, the same bytes again: TLS takes nothing else.
            const ssize_t n = transport_.Send(ptr + done, size - done);
            if (n == Transport::kFailed) return done ? static_cast<ssize_t>(done) : -1;
            if (n < 0) {
                wait = n == Transport::kWantsRead ? POLLIN : POLLOUT;
                continue;
            }
            wait = POLLOUT;
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
        port = -1;
        ip = get(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0 ? AddressText(addr, &port) : std::string();
    }

    Transport& transport_;
    int fd_;
    const WebLimits& limits_;
    std::string input_;
    std::size_t inputAt_ = 0;
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

// The answer to a head that ReadRequestHead refused.
std::string RefusalAnswer(int status) {
    const bool tooLong = status == 414;
    const std::string body = tooLong ? "{\"blad\":\"Za długi wiersz żądania\"}" : "{\"blad\":\"Błędne żądanie\"}";
    return std::string("HTTP/1.1 ") + (tooLong ? "414 URI Too Long" : "400 Bad Request") +
           "\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nX-Content-Type-Options: nosniff\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + body;
}

// After an answer to a request that was not read to its end: the end of the answer is
// sent, and what the client still sends is read and dropped for a moment, so that
// closing with unread bytes does not reset the connection before the client has read
// the answer.
void DrainBeforeClose(Transport& transport) {
    const int fd = transport.Fd();
    transport.Finish();
    ::shutdown(fd, SHUT_WR);
    const auto until = Clock::now() + std::chrono::seconds(1);
    char sink[16384];
    for (std::size_t dropped = 0; dropped < 256 * 1024;) {
        if (!WaitFor(fd, POLLIN, MillisecondsLeft(until, std::chrono::milliseconds(100)))) return;
        const ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (n <= 0) return;
        dropped += static_cast<std::size_t>(n);
    }
}

// Set by the request handler: a request httplib could not read never reaches it.
thread_local bool reachedRouter = false;
// Whether the connection being served came over TLS: for the request handler.
thread_local bool servingSecure = false;

// A client's connection between its requests. While it waits for a request's head it
// holds no worker: the service's accepting thread reads what arrives, and hands the
// connection to a worker once the head is whole (or refused).
struct Connection {
    int fd = -1;
    // On fd, plain or TLS, and what it waits for: a TLS handshake may have to write.
    std::unique_ptr<Transport> transport;
    short wants = POLLIN;
    std::string address;  // the client's, for the limit per address
    int served = 0;       // requests answered
    std::string received;  // read and not yet taken by a request
    RequestHead head;      // ReadRequestHead of `received`
    Clock::time_point firstByte{};  // of the request being received; none before it
    Clock::time_point until{};      // closed then, when its head has not come
};

}  // namespace

bool IsLoopbackAddress(std::string_view address) {
    return address == "127.0.0.1" || address == "::1" || address == "localhost" || address == "[::1]";
}

std::optional<std::string> WebStartRefusal(const WebSettings& settings, bool accountsKept) {
    if (IsLoopbackAddress(settings.address) || !settings.password.empty() || accountsKept) return std::nullopt;
    return Cp1250("Usługa WWW nie została uruchomiona: adres ") + settings.address +
           Cp1250(" jest dostępny z innych komputerów, a nie założono kont (konta dodaj) ani nie ustawiono hasła "
                  "w sekcji [Www] pliku serwer.ini (Haslo).");
}

namespace {

// The accounts of the settings (konta.db, or the PostgreSQL database when one is named),
// or none; a store that cannot be opened is why the service does not start (it would be
// open to everyone).
std::unique_ptr<AccountService> OpenAccounts(const WebSettings& settings, std::optional<std::string>& failure) {
    if (settings.accountsFile.empty() && settings.accountsDatabase.empty()) return nullptr;
    try {
        return std::make_unique<AccountService>(OpenAccountStore(settings.accountsFile, settings.accountsDatabase));
    } catch (const std::exception& e) {
        failure = Cp1250("Usługa WWW nie została uruchomiona: ") + e.what();
        return nullptr;
    }
}

std::int64_t NowUtcMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

struct WebService::Impl {
    Impl(PositioningServer& s, WebSettings w, WebLimits l)
        : server(s),
          settings(std::move(w)),
          limits(l),
          snapshot(s.Table()),
          joint(s.Context().decimalSeparator),
          accounts(OpenAccounts(settings, accountsFailure)),
          router(WebRouterSettings{settings.password, !IsLoopbackAddress(settings.address) && !settings.Tls(),
                                   !IsLoopbackAddress(settings.address), settings.tileUrl, settings.attribution},
                 Sources()) {
        engine.set_payload_max_length(limits.maxRequestBytes);
        engine.set_keep_alive_max_count(static_cast<std::size_t>(std::max(1, limits.keepAliveMax)));
        engine.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
            // A POST (the login form) is answered once httplib has read its body.
            if (req.method == "POST") return httplib::Server::HandlerResponse::Unhandled;
            Answer(req, res);
            return httplib::Server::HandlerResponse::Handled;
        });
        engine.Post(".*", [this](const httplib::Request& req, httplib::Response& res) { Answer(req, res); });
        engine.set_logger(
            [this](const httplib::Request&, const httplib::Response& res) { counters.CountStatus(res.status); });
    }

    WebSources Sources() {
        WebSources sources;
        sources.vehicles = [this] { return Vehicles(); };
        if (server.History()) sources.history = [this](const HistoryQuery& q) { return server.History()->Query(q); };
        if (server.History() && server.Events())
            sources.events = [this](const EventQuery& q) { return server.History()->QueryEvents(q); };
        if (server.Events()) sources.zones = [this] { return server.Events()->Zones()->GeoJson(); };
        if (server.History()) sources.report = [this](const ReportRequest& request) { return MakeReportNow(request); };
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
            if (const EventService* e = server.Events()) {
                h.eventsOn = true;
                h.zoneProblem = e->ZoneProblem();
            }
            if (NotificationService* n = server.Notifications()) h.notifications = n->Figures();
            return h;
        };
        sources.metrics = [this] {
            MetricsSources m;
            m.server = &server.Context().metrics;
            m.table = &server.Table();
            m.history = server.HistoryWrites();
            m.web = &counters;
            m.events = server.Events();
            if (NotificationService* n = server.Notifications()) m.notifications = n->Figures();
            m.openConnections = server.OpenConnectionCount();
            m.vehicles = snapshot.Rows()->rows.size();
            return MetricsText(m);
        };
        sources.nowUtcMs = NowUtcMs;
        sources.accounts = accounts.get();
        sources.assets = []() -> const std::vector<WebAsset>& { return PageAssets(); };
        return sources;
    }

    // The vehicles to show: the table's, and with a database that several servers share
    // the others' too (their last positions read again every kJointRefresh).
    std::shared_ptr<const VehicleRows> Vehicles() {
        std::shared_ptr<const VehicleRows> own = snapshot.Rows();
        HistoryStore* history = server.History();
        if (!history) return own;
        std::optional<std::vector<HistoryRecord>> last;
        bool read = false;
        {
            std::lock_guard<std::mutex> lock(jointMutex);
            const auto now = std::chrono::steady_clock::now();
            if (!jointReadAt || now - *jointReadAt >= kJointRefresh) {
                jointReadAt = now;
                read = true;
            }
        }
        if (read) {
            try {
                last = history->LastPositions();
            } catch (const std::exception&) {
                // The database is out of reach: the vehicles read before stay.
            }
        }
        return joint.Join(std::move(own), std::move(last));
    }

    // A report, unless kMaxReportsAtOnce are being made: each reads a month of the
    // whole fleet's history at most, and the workers stay free for the map page.
    std::optional<ReportTable> MakeReportNow(const ReportRequest& request) {
        if (reportsRunning.fetch_add(1) >= kMaxReportsAtOnce) {
            reportsRunning.fetch_sub(1);
            return std::nullopt;
        }
        struct Done {
            std::atomic<int>& running;
            ~Done() { running.fetch_sub(1); }
        } done{reportsRunning};
        ReportContext context;
        context.settings = settings.reports;
        std::shared_ptr<const ZoneSet> zones = server.Events() ? server.Events()->Zones() : nullptr;
        context.zones = zones.get();
        if (const EventService* events = server.Events())
            context.tankLitres = [events](const std::string& registration) {
                return events->Settings().For(registration).tankLitres;
            };
        return MakeReport(*server.History(), request, context);
    }

    void Answer(const httplib::Request& req, httplib::Response& res) {
        reachedRouter = true;
        WebRequest request;
        request.method = req.method;
        request.secure = servingSecure;
        const std::size_t q = req.target.find('?');
        request.path = req.target.substr(0, q);
        if (q != std::string::npos) request.query = req.target.substr(q + 1);
        if (req.has_header("Authorization")) request.authorization = req.get_header_value("Authorization");
        if (req.has_header("Cookie")) request.cookie = req.get_header_value("Cookie");
        if (req.has_header("Sec-Fetch-Mode")) request.fetchMode = req.get_header_value("Sec-Fetch-Mode");
        request.body = req.body;
        request.address = req.remote_addr;

        const WebResponse answer = router.Handle(request);
        res.status = answer.status;
        for (const auto& [name, value] : answer.headers) res.set_header(name, value);
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("Cache-Control", "no-store");
        std::shared_ptr<const std::string> body = answer.body;
        // Texts of a kilobyte and more go compressed to a browser that takes gzip.
        if (body && body->size() >= kGzipFromBytes && !answer.contentType.starts_with("image/")) {
            res.set_header("Vary", "Accept-Encoding");
            if (req.has_header("Accept-Encoding") && AcceptsGzip(req.get_header_value("Accept-Encoding"))) {
                body = Gzipped(body);
                res.set_header("Content-Encoding", "gzip");
            }
        }
        const std::size_t size = body ? body->size() : 0;
        if (size == 0) {
            // httplib would ask an empty provider for bytes for ever.
            res.set_content("", answer.contentType);
            return;
        }
        res.set_content_provider(size, answer.contentType,
                                 [body](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                     // Never past the body, whatever httplib asks for.
                                     const std::string_view part =
                                         BodySlice(body ? std::string_view(*body) : std::string_view(), offset, length);
                                     return sink.write(part.data(), part.size());
                                 });
    }

    // The gzip of a body; the last one is kept, so that the callers of one shared body
    // (the whole vehicle list of a second) cost one compression.
    std::shared_ptr<const std::string> Gzipped(const std::shared_ptr<const std::string>& body) {
        {
            std::lock_guard<std::mutex> lock(gzipMutex);
            if (gzipOf == body) return gzipped;
        }
        auto result = std::make_shared<const std::string>(Gzip(*body));
        std::lock_guard<std::mutex> lock(gzipMutex);
        gzipOf = body;
        gzipped = result;
        return result;
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

    // The accepting thread: takes new connections, and reads every connection that waits
    // for a request's head until the head is whole, refused, or late.
    void AcceptLoop() {
        std::vector<Connection> waiting;
        std::vector<pollfd> polled;
        for (;;) {
            polled.assign({{listenFd, POLLIN, 0}, {wake[0], POLLIN, 0}});
            auto next = Clock::now() + std::chrono::seconds(1);
            bool pending = false;  // bytes TLS has already read: no wait for the socket
            for (const Connection& c : waiting) {
                polled.push_back({c.fd, c.wants, 0});
                next = std::min(next, c.until);
                pending = pending || c.transport->HasPending();
            }
            const int waitMs = pending ? 0 : MillisecondsLeft(next, std::chrono::seconds(1));
            if (::poll(polled.data(), polled.size(), waitMs) < 0 && errno != EINTR) break;
            if (stopping.load()) break;
            char drained[64];
            while (::read(wake[0], drained, sizeof drained) > 0) {
            }
            const auto now = Clock::now();
            std::vector<Connection> still;
            still.reserve(waiting.size());
            for (std::size_t i = 0; i < waiting.size(); ++i) {
                Connection& c = waiting[i];
                const short events = polled[i + 2].revents | (c.transport->HasPending() ? POLLIN : 0);
                if (events != 0 && !Receive(c, now)) {
                    Close(c);
                } else if (c.head.state != RequestHead::State::Incomplete) {
                    HandToWorker(std::move(c));
                } else if (now >= c.until) {
                    Close(c);  // silent, or a head too slow: no answer, as for a read that timed out
                } else {
                    still.push_back(std::move(c));
                }
            }
            waiting = std::move(still);
            {
                std::lock_guard<std::mutex> lock(mutex);
                for (Connection& c : returned) waiting.push_back(std::move(c));
                returned.clear();
            }
            AcceptNew(waiting, now);
        }
        for (Connection& c : waiting) Close(c);
    }

    // Reads what has arrived; false when the client has closed or the socket failed.
    bool Receive(Connection& c, Clock::time_point now) {
        const std::size_t before = c.received.size();
        const std::size_t room = limits.maxRequestBytes - std::min(before, limits.maxRequestBytes);
        if (room == 0) return false;
        c.received.resize(before + room);
        const ssize_t n = c.transport->Receive(c.received.data() + before, room);
        c.received.resize(before + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        // A TLS handshake in progress brings no byte of the request: the time limit
        // from the connection's start stands.
        if (n == Transport::kWantsRead || n == Transport::kWantsWrite) {
            c.wants = n == Transport::kWantsWrite ? POLLOUT : POLLIN;
            return true;
        }
        if (n <= 0) return false;
        c.wants = POLLIN;
        // The head within its time limit from its first byte, and no silence in it longer
        // than the read timeout.
        if (before == 0) c.firstByte = now;
        c.until = std::min(c.firstByte + limits.requestTimeLimit, now + limits.readTimeout);
        // A line has ended, or the limit is reached: the head may be whole, or wrong.
        if (c.received.find('\n', before) != std::string::npos || c.received.size() >= limits.maxRequestBytes)
            c.head = ReadRequestHead(c.received, limits.maxRequestBytes);
        return true;
    }

    void AcceptNew(std::vector<Connection>& waiting, Clock::time_point now) {
        for (;;) {
            sockaddr_storage peer{};
            socklen_t len = sizeof peer;
            const int fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0) break;
            Connection c;
            c.fd = fd;
            c.address = AddressText(peer, nullptr);
            c.until = now + limits.requestTimeLimit;
            {
                std::lock_guard<std::mutex> lock(mutex);
                int& fromAddress = perAddress[c.address];
                if (open < limits.maxConnections && fromAddress < settings.connectionsPerAddress) {
                    ++open;
                    ++fromAddress;
                    c.fd = fd;
                } else {
                    if (fromAddress == 0) perAddress.erase(c.address);
                    c.fd = -1;
                }
            }
            if (c.fd < 0) {
                counters.refusedConnections.fetch_add(1, std::memory_order_relaxed);
                counters.CountStatus(503);
                // A TLS client could not read the answer before its handshake.
                if (!tls) ::send(fd, kBusyAnswer, sizeof kBusyAnswer - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
                ::close(fd);
                continue;
            }
            c.transport = tls ? tls->Accept(fd) : std::make_unique<PlainTransport>(fd);
            if (!c.transport) {
                Close(c);
                continue;
            }
            // Headers and body go in separate writes: without this every answer after
            // the first on a connection waits for the client's delayed acknowledgement.
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            waiting.push_back(std::move(c));
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
            // Out of descriptors or memory: a pause, rather than a busy loop.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

    void HandToWorker(Connection c) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            ready.push_back(std::move(c));
        }
        readyChanged.notify_one();
    }

    // Back to the accepting thread, to wait for its next request.
    void HandBack(Connection c) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            returned.push_back(std::move(c));
        }
        const char byte = 1;
        [[maybe_unused]] const ssize_t w = ::write(wake[1], &byte, 1);
    }

    void Close(Connection& c) {
        if (c.fd < 0) return;
        if (c.transport) c.transport->Finish();
        c.transport.reset();
        ::shutdown(c.fd, SHUT_RDWR);
        ::close(c.fd);
        c.fd = -1;
        std::lock_guard<std::mutex> lock(mutex);
        --open;
        const auto it = perAddress.find(c.address);
        if (it != perAddress.end() && --it->second <= 0) perAddress.erase(it);
    }

    void WorkerLoop() {
        for (;;) {
            Connection c;
            {
                std::unique_lock<std::mutex> lock(mutex);
                readyChanged.wait(lock, [&] { return stopping.load() || !ready.empty(); });
                if (stopping.load()) return;
                c = std::move(ready.front());
                ready.pop_front();
                active.insert(c.fd);
            }
            const bool keep = Serve(c);
            {
                std::lock_guard<std::mutex> lock(mutex);
                active.erase(c.fd);
            }
            if (keep && !stopping.load())
                HandBack(std::move(c));
            else
                Close(c);
        }
    }

    // Answers the connection's requests while their heads are whole; true when it stays
    // open for its next request.
    bool Serve(Connection& c) {
        while (!stopping.load()) {
            if (c.head.state == RequestHead::State::Refused) {
                const std::string answer = RefusalAnswer(c.head.status);
                LimitedStream(*c.transport, limits, {}).write(answer.data(), answer.size());
                counters.CountStatus(c.head.status);
                DrainBeforeClose(*c.transport);
                return false;
            }
            LimitedStream stream(*c.transport, limits, c.head.forwarded + c.received.substr(c.head.used));
            // A body is never read for the answer: the connection ends after it, so the
            // body's bytes cannot be taken for the next request.
            const bool last = c.served + 1 >= limits.keepAliveMax || c.head.hasBody;
            bool closed = false;
            reachedRouter = false;
            servingSecure = c.transport->Secure();
            const bool ok = engine.Serve(stream, last, closed);
            ++c.served;
            // After a request that could not be read (too long, too slow, malformed) the
            // rest of the stream means nothing.
            if (!ok || closed || last || !reachedRouter) return false;
            c.received = stream.Unread();
            c.head = c.received.empty() ? RequestHead{} : ReadRequestHead(c.received, limits.maxRequestBytes);
            const auto now = Clock::now();
            c.firstByte = c.received.empty() ? Clock::time_point{} : now;
            c.until = now + (c.received.empty() ? limits.keepAliveTimeout : limits.readTimeout);
            if (c.head.state == RequestHead::State::Incomplete) return true;
        }
        return false;
    }

    void Start() {
        if (running) return;
        if (accountsFailure) throw ServerError(*accountsFailure);
        if (const auto refusal = WebStartRefusal(settings, accounts && accounts->HasAccounts(NowUtcMs())))
            throw ServerError(*refusal);
        // The certificate and key as they are now: a renewed certificate is read at
        // the next start.
        tls.reset();
        if (settings.Tls()) tls = std::make_unique<TlsContext>(settings.certificate, settings.key);
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
        }
        readyChanged.notify_all();
        for (std::thread& t : workers) t.join();
        workers.clear();
        // What no thread holds any more: waiting for a worker, or handed back late.
        std::vector<Connection> left;
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (Connection& c : ready) left.push_back(std::move(c));
            for (Connection& c : returned) left.push_back(std::move(c));
            ready.clear();
            returned.clear();
        }
        for (Connection& c : left) Close(c);
        ::close(listenFd);
        ::close(wake[0]);
        ::close(wake[1]);
        listenFd = wake[0] = wake[1] = -1;
        running = false;
    }

    static constexpr std::size_t kGzipFromBytes = 1024;

    PositioningServer& server;
    WebSettings settings;
    WebLimits limits;
    VehicleSnapshot snapshot;
    JointFleet joint;
    static constexpr std::chrono::seconds kJointRefresh{2};
    std::mutex jointMutex;
    std::optional<std::chrono::steady_clock::time_point> jointReadAt;
    std::optional<std::string> accountsFailure;  // why konta.db could not be opened
    std::unique_ptr<AccountService> accounts;    // before the router, which uses it
    WebCounters counters;
    static constexpr int kMaxReportsAtOnce = 2;
    std::atomic<int> reportsRunning{0};
    WebRouter router;
    HttpEngine engine;

    std::unique_ptr<TlsContext> tls;  // HTTPS: when [Www] names a certificate and key
    int listenFd = -1;
    int wake[2] = {-1, -1};
    std::uint16_t boundPort = 0;
    bool running = false;
    std::atomic<bool> stopping{false};
    std::thread acceptor;
    std::vector<std::thread> workers;
    std::mutex mutex;
    std::mutex gzipMutex;
    std::shared_ptr<const std::string> gzipOf, gzipped;
    std::condition_variable readyChanged;
    std::deque<Connection> ready;       // a head to answer, waiting for a worker
    std::vector<Connection> returned;   // answered, back to the accepting thread
    std::set<int> active;               // being served
    std::map<std::string, int> perAddress;  // open connections by client address
    int open = 0;                           // open connections, whoever holds them
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

#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "server/PositioningServer.hpp"
#include "web/WebMetrics.hpp"
#include "web/WebRouter.hpp"
#include "web/WebSettings.hpp"

namespace serwer {

// What one HTTP client may take.
struct WebLimits {
    int workers = 8;                                     // the service's own threads, never the units'
    int maxConnections = 64;                             // served or waiting for a worker; more are refused at once
    std::chrono::milliseconds readTimeout{5000};         // silence within a request
    std::chrono::milliseconds writeTimeout{5000};        // a client that takes nothing
    std::chrono::milliseconds requestTimeLimit{10000};   // from a request's first byte to its last header
    std::chrono::milliseconds responseTimeLimit{60000};  // from a request's first byte to the answer's end
    std::chrono::milliseconds keepAliveTimeout{5000};
    int keepAliveMax = 20;                    // requests on one connection
    std::size_t maxRequestBytes = 32 * 1024;  // request line, headers and any body together
};

// 127.0.0.1, ::1 and localhost: addresses only this machine reaches.
bool IsLoopbackAddress(std::string_view address);

// Why the service must not start with these settings (Windows-1250), or nothing: an
// address other machines reach needs accounts or a password.
std::optional<std::string> WebStartRefusal(const WebSettings& settings, bool accountsKept);

// The HTTP service beside the positioning server: a listening socket and its accepting
// thread, a small pool of workers of its own, and a watch over every connection's
// limits. Requests go to a WebRouter that reads the server (its vehicle table through
// VehicleSnapshot, its history, its counters) and never changes it.
class WebService {
public:
    WebService(PositioningServer& server, WebSettings settings, WebLimits limits = {});
    ~WebService();
    WebService(const WebService&) = delete;
    WebService& operator=(const WebService&) = delete;

    // Listens on the address and port of the settings. Fails with ServerError (a Polish
    // text in Windows-1250) when WebStartRefusal refuses, the port is not a number from
    // 0 to 65535, or the address cannot be listened on. With a certificate and key
    // ([Www] Certyfikat, Klucz) it serves HTTPS only, read from the files here: a
    // TlsContext that cannot be made fails it too. Does nothing while running.
    void Start();
    // Closes the listening socket and every connection; returns when every thread ended.
    void Stop();

    bool IsActive() const;
    std::uint16_t Port() const;
    const WebRouter& Router() const;
    const WebCounters& Counters() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace serwer

#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "accounts/AccountService.hpp"
#include "common/PolishTime.hpp"
#include "history/HistoryStore.hpp"
#include "notifications/NotificationService.hpp"
#include "reports/FleetReport.hpp"
#include "web/VehicleSnapshot.hpp"
#include "web/WebAssets.hpp"

namespace serwer {

// A request as the router sees it, before any decoding.
struct WebRequest {
    std::string method;                        // "GET", "HEAD", ...
    std::string path;                          // the target's path, still percent-encoded
    std::string query;                         // after the '?', still encoded
    std::optional<std::string> authorization;  // the Authorization header
    std::optional<std::string> cookie = {};    // the Cookie header
    std::string body = {};                     // a POST's body (the login form)
    std::string address = {};                  // the client's numeric address
    std::optional<std::string> fetchMode = {};  // Sec-Fetch-Mode: a browser's ("cors", "navigate", …)
    bool secure = false;                       // came over TLS
};

struct WebResponse {
    int status = 200;
    std::string contentType;
    std::shared_ptr<const std::string> body;  // shared: a cached body is never copied
    std::vector<std::pair<std::string, std::string>> headers;

    std::string_view Body() const { return body ? std::string_view(*body) : std::string_view(); }
};

// The server's state for /api/zdrowie.
struct WebHealth {
    bool listening = false;  // the units' port is open
    int openConnections = 0;
    bool historyKept = false;
    bool historyFailing = false;  // the last history write failed
    std::uint64_t historyRowsWritten = 0;
    std::uint64_t historyRowsLost = 0;
    bool eventsOn = false;
    std::optional<std::string> zoneProblem;  // why strefy.geojson is not in use (Windows-1250)
    std::optional<NotificationFigures> notifications;  // none when none are sent
};

// What the router reads. Each may be left empty: the route that needs it answers 503.
struct WebSources {
    std::function<std::shared_ptr<const VehicleRows>()> vehicles;
    std::function<std::vector<HistoryRecord>(const HistoryQuery&)> history;
    std::function<std::vector<Event>(const EventQuery&)> events;
    std::function<std::string()> zones;  // the zones as GeoJSON (UTF-8)
    // A report; none when too many are being made at once. Throws ServerError when the
    // history cannot be read.
    std::function<std::optional<ReportTable>(const ReportRequest&)> report;
    std::function<WebHealth()> health;
    std::function<std::string()> metrics;  // Prometheus text
    std::function<std::int64_t()> nowUtcMs;
    std::function<const std::vector<WebAsset>&()> assets;
    // The accounts (konta.db), their sessions and the share links; none: [Www] Haslo alone.
    AccountService* accounts = nullptr;
};

struct WebRouterSettings {
    std::string password;  // without accounts; empty: no authentication (Windows-1250, as in serwer.ini)
    // Other machines reach the service over plain HTTP: no password or token is taken.
    bool refusePlainLogins = false;
    // Other machines reach the service: without accounts and a password it answers nobody
    // (the last account removed while it runs).
    bool openAddress = false;
    std::string tileUrl = "https://tile.openstreetmap.org/{z}/{x}/{y}.png";
    std::string attribution = "\xA9 OpenStreetMap contributors";  // Windows-1250
};

// The web API without any I/O: a request in, a response out. Only GET and HEAD are
// answered (others 405), and the login form's POST; nothing it does changes the server.
// With accounts every request but the login page, the page's files and share links
// needs a session, an API token or HTTP Basic, and a dispatcher is shown only its own
// vehicles: another's is answered as one that does not exist. Safe to call from many
// threads at once.
class WebRouter {
public:
    WebRouter(WebRouterSettings settings, WebSources sources);

    WebResponse Handle(const WebRequest& request) const;

    // The longest time span of one history request: 31 calendar days of Polish time, so
    // in seconds up to an hour more when it holds the hour October's change repeats.
    static constexpr std::int64_t kMaxHistoryDays = 31;
    // The most events /api/zdarzenia gives at once: the earliest of the span.
    static constexpr std::size_t kMaxEvents = 10000;
    // A notification waiting longer than this makes /api/zdrowie say the outbox is late.
    static constexpr std::int64_t kStaleOutboxSeconds = 3600;
    // The most vehicles one report names.
    static constexpr std::size_t kMaxReportVehicles = 1000;
    static constexpr std::int64_t kMaxHistorySpanSeconds = kMaxHistoryDays * 24 * 3600 + 3600;

    // The name of the session cookie.
    static constexpr const char* kSessionCookie = "sesja";

private:
    WebResponse Route(const WebRequest& request) const;
    // The viewer of a request when accounts are kept, or the answer refusing it.
    std::variant<Viewer, WebResponse> Identify(const WebRequest& request) const;
    WebResponse Login(const WebRequest& request) const;
    WebResponse Logout(const WebRequest& request) const;
    WebResponse Account(const Viewer* viewer) const;
    WebResponse SharedVehicle(std::string_view token) const;
    // Whether the viewer (none: everyone) sees the vehicle, by the table's owner code.
    bool Visible(const Viewer* viewer, const std::string& registration) const;
    // Every vehicle a dispatcher sees: the table's of its owner codes and those named.
    std::vector<std::string> VisibleRegistrations(const Viewer& viewer) const;
    WebResponse Vehicles(std::string_view query, const Viewer* viewer) const;
    // The list's JSON: the rows `only` names, or all of them, of those the viewer sees.
    std::string VehiclesBody(const VehicleRows& rows, const std::vector<std::size_t>* only, std::int64_t nowMs,
                             const Viewer* viewer) const;
    WebResponse History(std::string_view encodedRegistration, std::string_view query, const Viewer* viewer) const;
    WebResponse Health() const;
    WebResponse Events(std::string_view query, const Viewer* viewer) const;
    WebResponse Zones(const Viewer* viewer) const;
    WebResponse Report(std::string_view name, std::string_view query, const Viewer* viewer) const;
    // The od/do span of a query: defaults and limits as for the history; an error
    // response when it is not valid.
    std::variant<std::pair<std::int64_t, std::int64_t>, WebResponse> Span(std::string_view query) const;
    WebResponse Map() const;
    WebResponse Asset(std::string_view path) const;

    WebRouterSettings settings_;
    WebSources sources_;
    // Added to the table's change numbers to make the list's versions: a thousand per
    // millisecond of the time the router was made, so that a version from before a
    // restart is older than any after it.
    std::uint64_t versionBase_ = 0;
    // The last whole /api/pojazdy body and its copy, kept for the rest of its second.
    struct VehiclesCache {
        std::int64_t second = -1;
        std::shared_ptr<const VehicleRows> rows;  // the copy the body was made of
        std::shared_ptr<const std::string> body;  // made when first asked for
    };
    mutable std::mutex cacheMutex_;
    mutable VehiclesCache cache_;
};

// Percent-decoding of a path segment or a query part ('+' is a blank in a query part);
// nothing for a malformed escape.
std::optional<std::string> PercentDecode(std::string_view text, bool plusIsBlank);
// A registration from the request path (UTF-8, already decoded) in Windows-1250, when
// it may name a vehicle: well-formed UTF-8 of characters Windows-1250 has, 1 to 8 bytes
// in it, no control bytes, no '/'.
std::optional<std::string> RegistrationFromPath(std::string_view utf8);
// A time from od/do in UTC seconds: "YYYY-MM-DD", "YYYY-MM-DD HH:MM", the same with a
// 'T' and seconds, all in Polish time, or ISO 8601 with "Z" or an offset. endOfDay: a
// date alone means the end of that day (for "do").
std::optional<std::int64_t> ParseRequestTime(std::string_view text, bool endOfDay);
// Equal texts, compared in a time that does not depend on where they differ.
bool ConstantTimeEquals(std::string_view a, std::string_view b);
// The user name and password of an "Authorization: Basic ..." header.
std::optional<std::pair<std::string, std::string>> BasicAuthCredentials(std::string_view header);
// The password of an "Authorization: Basic ..." header (any user name).
std::optional<std::string> BasicAuthPassword(std::string_view header);
// The token of an "Authorization: Bearer ..." header.
std::optional<std::string> BearerToken(std::string_view header);
// The value of a cookie in a Cookie header (the first of that name).
std::optional<std::string> CookieValue(std::string_view header, std::string_view name);
// The name and password of the login form (application/x-www-form-urlencoded, UTF-8).
std::optional<std::pair<std::string, std::string>> LoginForm(std::string_view body);
// One row of /api/pojazdy as a JSON object, at nowUtcMs.
std::string VehicleJson(const VehicleRow& row, std::int64_t nowUtcMs);

}  // namespace serwer

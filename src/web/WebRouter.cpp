#include "web/WebRouter.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <tuple>

#include "common/DateTime.hpp"
#include "common/PolishTime.hpp"
#include "common/Win1250.hpp"
#include "events/Zones.hpp"
#include "history/DaySummary.hpp"
#include "history/TrackExport.hpp"
#include "link/PositionRecord.hpp"
#include "reports/ReportFormats.hpp"
#include "reports/XlsxReport.hpp"
#include "vehicles/DisplayTable.hpp"
#include "web/Json.hpp"
#include "web/LoginPage.hpp"

namespace serwer {

namespace {

constexpr const char* kJson = "application/json; charset=utf-8";
constexpr std::size_t kMaxRegistrationBytes = 8;

std::shared_ptr<const std::string> Shared(std::string text) {
    return std::make_shared<const std::string>(std::move(text));
}

WebResponse JsonResponse(int status, std::string body) { return {status, kJson, Shared(std::move(body)), {}}; }

WebResponse Error(int status, std::string_view utf8) {
    JsonWriter json;
    json.BeginObject().Key("blad").String(utf8).EndObject();
    return JsonResponse(status, json.Take());
}

WebResponse HtmlResponse(int status, std::string html) {
    return {status, "text/html; charset=utf-8", Shared(std::move(html)), {}};
}

WebResponse Redirect(std::string location) {
    WebResponse r{303, "text/plain; charset=utf-8", Shared(""), {}};
    r.headers.emplace_back("Location", std::move(location));
    return r;
}

constexpr const char* kPlainLoginRefusal =
    "Logowanie przez nieszyfrowane połączenie HTTP jest wyłączone: usługa jest dostępna z innych komputerów, "
    "a hasło można by podsłuchać. Ustaw Certyfikat i Klucz w sekcji [Www] pliku serwer.ini, aby włączyć HTTPS.";

WebResponse PlainLoginRefusal() { return Error(403, kPlainLoginRefusal); }

WebResponse Unauthorized(bool offerBasic) {
    WebResponse r = Error(401, "Wymagane zalogowanie");
    if (offerBasic)
        r.headers.emplace_back("WWW-Authenticate", "Basic realm=\"Serwer pozycjonowania\", charset=\"UTF-8\"");
    return r;
}

std::string LockedText(std::int64_t retryAfterS) {
    const std::int64_t minutes = (retryAfterS + 59) / 60;
    return "Zbyt wiele nieudanych prób logowania. Spróbuj ponownie za " + std::to_string(minutes) + " min.";
}

WebResponse NoSuchVehicle() { return Error(404, "Nie ma takiego pojazdu"); }

WebResponse TooManyAttempts(std::int64_t retryAfterS) {
    WebResponse r = Error(429, LockedText(retryAfterS));
    r.headers.emplace_back("Retry-After", std::to_string(retryAfterS));
    return r;
}

JsonWriter& Text(JsonWriter& json, const std::optional<std::string>& cp1250) {
    return cp1250 ? json.String(Cp1250ToUtf8(*cp1250)) : json.Null();
}

// The table's times (OPIS) are kept by a fixed rule of their own, not by the zone.
std::optional<std::string> TableTimeIso(const std::optional<DateTime>& tableTime) {
    if (!tableTime) return std::nullopt;
    return PolishIsoTime(LocalToFixTime(*tableTime).Ms() / DateTime::kMsPerSecond);
}

// The time of a memory read: the machine's own clock, which keeps Polish time.
std::optional<std::string> PolishIso(const std::optional<DateTime>& local) {
    if (!local) return std::nullopt;
    return PolishIsoTime(UtcSecondOfPolish(*local));
}

// "52.1234567N", "21,0000000 W": signed degrees, south and west negative; nothing
// without a hemisphere letter or beyond the limit (90 for a latitude, 180 for a longitude).
std::optional<double> SignedCoordinate(const std::optional<std::string>& text, double limit) {
    if (!text) return std::nullopt;
    const std::size_t letter = text->find_last_of("NSEW");
    if (letter == std::string::npos) return std::nullopt;
    const std::optional<double> value = NumberInText(*text);
    if (!value) return std::nullopt;
    const char h = (*text)[letter];
    // The text has 7 decimals; the number keeps no more than those.
    const double rounded = std::round(*value * 1e7) / 1e7;
    return CoordinateWithin((h == 'S' || h == 'W') ? -rounded : rounded, limit);
}

const char* FreshnessName(Freshness f) {
    switch (f) {
        case Freshness::Fresh:
            return "aktualna";
        case Freshness::Stale:
            return "starsza";
        case Freshness::Old:
            return "nieaktualna";
    }
    return "nieaktualna";
}

void WriteVehicle(JsonWriter& json, const VehicleRow& row, DateTime nowLocal) {
    std::optional<double> speed = NumberInText(row.PREDKOSC.value_or(""));
    if (speed) speed = std::round(*speed * 100) / 100;  // the text's 2 decimals
    const std::optional<std::int64_t> ageMs = PositionAgeMs(row, nowLocal);
    json.BeginObject();
    Text(json.Key("nazwa"), row.NAZWA);
    Text(json.Key("licencja"), row.LICENCJA);
    json.Key("czas").OptionalString(TableTimeIso(FixTimeOf(row)));
    json.Key("szerokosc").Number(SignedCoordinate(row.SZEROKOSC, kMaxLatitude));
    json.Key("dlugosc").Number(SignedCoordinate(row.DLUGOSC, kMaxLongitude));
    json.Key("predkosc").Number(speed);
    Text(json.Key("gps"), row.GPS);
    Text(json.Key("silnik"), row.SILNIK);
    Text(json.Key("paliwo"), row.PALIWO);
    Text(json.Key("kierowca"), row.KIEROWCA);
    json.Key("przebieg").Integer(row.PRZEBIEG ? std::optional<std::int64_t>(*row.PRZEBIEG) : std::nullopt);
    json.Key("we1").Bool(row.URZ1).Key("we2").Bool(row.URZ2).Key("we3").Bool(row.URZ3);
    json.Key("odczyt").OptionalString(PolishIso(row.ODCZYT));
    json.Key("proba_odczytu").OptionalString(PolishIso(row.PROBA_ODCZYTU));
    json.Key("liczba_odczytow")
        .Integer(row.LICZNIK_ODCZYTOW ? std::optional<std::int64_t>(*row.LICZNIK_ODCZYTOW) : std::nullopt);
    json.Key("wiek_s").Integer(ageMs ? std::optional<std::int64_t>(*ageMs / DateTime::kMsPerSecond) : std::nullopt);
    json.Key("swiezosc").String(FreshnessName(PositionFreshness(ageMs)));
    json.Key("gps_ok").Bool(HasGpsFix(row));
    json.Key("w_ruchu").Bool(speed && *speed >= kMovingSpeedKmh);
    json.EndObject();
}

DateTime PolishNow(std::int64_t nowUtcMs) { return PolishWallTime(nowUtcMs / DateTime::kMsPerSecond); }

// Now on the table's clock, which the ages of its positions are taken against.
DateTime TableNow(std::int64_t nowUtcMs) { return FixTimeToLocal(DateTime::FromMs(nowUtcMs)); }

std::optional<int> Digits(std::string_view text, std::size_t at, std::size_t count) {
    if (at + count > text.size()) return std::nullopt;
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// Calls each(value) with every part of the query that names the key, its value still
// encoded (nothing when the part has no '='), until each returns false.
template <typename Each>
void ForEachQueryValue(std::string_view query, std::string_view key, Each each) {
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view part = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        const std::size_t eq = part.find('=');
        const std::optional<std::string> name = PercentDecode(part.substr(0, eq), true);
        if (!name || *name != key) continue;
        if (!each(eq == std::string_view::npos ? std::optional<std::string_view>() : part.substr(eq + 1))) return;
    }
}

// The query's value of a key (the first one), decoded.
std::optional<std::string> QueryValue(std::string_view query, std::string_view key) {
    std::optional<std::string> value;
    bool found = false;
    ForEachQueryValue(query, key, [&](std::optional<std::string_view> encoded) {
        found = true;
        value = encoded ? PercentDecode(*encoded, true) : std::string();
        return false;
    });
    return found ? value : std::nullopt;
}

// Every value of a key, decoded; nothing when one cannot be decoded.
std::optional<std::vector<std::string>> QueryValues(std::string_view query, std::string_view key) {
    std::vector<std::string> values;
    bool bad = false;
    ForEachQueryValue(query, key, [&](std::optional<std::string_view> encoded) {
        if (!encoded) return true;
        auto value = PercentDecode(*encoded, true);
        if (!value) return !(bad = true);
        values.push_back(std::move(*value));
        return true;
    });
    if (bad) return std::nullopt;
    return values;
}

struct TrackType {
    ExportFormat format;
    const char* contentType;
};

std::optional<TrackType> TrackTypeOf(std::string_view name) {
    const std::optional<ExportFormat> format = ParseExportFormat(name);
    if (!format) return std::nullopt;
    switch (*format) {
        case ExportFormat::Gpx:
            return TrackType{*format, "application/gpx+xml; charset=utf-8"};
        case ExportFormat::Kml:
            return TrackType{*format, "application/vnd.google-earth.kml+xml; charset=utf-8"};
        case ExportFormat::GeoJson:
            return TrackType{*format, "application/geo+json; charset=utf-8"};
        case ExportFormat::Csv:
            return TrackType{*format, "text/csv; charset=utf-8"};
    }
    return std::nullopt;
}

std::string HistoryJson(const std::string& registration, std::int64_t from, std::int64_t to,
                        const std::vector<HistoryRecord>& rows) {
    JsonWriter json;
    json.Reserve(256 + rows.size() * 320);
    json.BeginObject();
    json.Key("pojazd").String(Cp1250ToUtf8(registration));
    json.Key("od").String(PolishIsoTime(from)).Key("do").String(PolishIsoTime(to));
    json.Key("pozycje").BeginArray();
    for (const HistoryRecord& r : rows) {
        json.BeginObject();
        json.Key("czas").OptionalString(r.fixTimeUtc ? std::optional<std::string>(PolishIsoTime(*r.fixTimeUtc))
                                                     : std::nullopt);
        json.Key("odebrano").String(PolishIsoTime(r.receivedUtc));
        const bool located = r.HasCoordinates();
        json.Key("szerokosc").Number(located ? r.latitude : std::nullopt);
        json.Key("dlugosc").Number(located ? r.longitude : std::nullopt);
        json.Key("predkosc").Number(r.speedKmh);
        json.Key("paliwo").String(Cp1250ToUtf8(r.fuel));
        json.Key("silnik").Bool(r.engineOn);
        json.Key("gps").String(Cp1250ToUtf8(r.gps));
        json.Key("kierowca").String(Cp1250ToUtf8(r.driver));
        json.Key("we1").Bool(r.input1).Key("we2").Bool(r.input2).Key("we3").Bool(r.input3);
        json.Key("przebieg").Integer(r.odometerKm);
        json.Key("w_ruchu").Bool(r.speedKmh && *r.speedKmh >= kMovingSpeedKmh);
        json.EndObject();
    }
    json.EndArray().EndObject();
    return json.Take();
}

}  // namespace

std::optional<std::string> PercentDecode(std::string_view text, bool plusIsBlank) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%') {
            auto hex = [&](std::size_t at) -> int {
                if (at >= text.size()) return -1;
                const char h = text[at];
                if (h >= '0' && h <= '9') return h - '0';
                if (h >= 'a' && h <= 'f') return h - 'a' + 10;
                if (h >= 'A' && h <= 'F') return h - 'A' + 10;
                return -1;
            };
            const int hi = hex(i + 1), lo = hex(i + 2);
            if (hi < 0 || lo < 0) return std::nullopt;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else if (c == '+' && plusIsBlank) {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<std::string> RegistrationFromPath(std::string_view utf8) {
    // Converted exactly: a character Windows-1250 lacks would name another vehicle.
    const std::optional<std::string> converted = Cp1250Exact(utf8);
    if (!converted) return std::nullopt;
    const std::string& text = *converted;
    if (text.empty() || text.size() > kMaxRegistrationBytes) return std::nullopt;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || c == '/') return std::nullopt;
    }
    return text;
}

std::optional<std::int64_t> ParseRequestTime(std::string_view text, bool endOfDay) {
    const auto year = Digits(text, 0, 4), month = Digits(text, 5, 2), day = Digits(text, 8, 2);
    if (!year || !month || !day || text[4] != '-' || text[7] != '-') return std::nullopt;
    int hour = 0, minute = 0, second = 0;
    std::size_t at = 10;
    const bool dateOnly = text.size() == 10;
    if (!dateOnly) {
        if (text[10] != ' ' && text[10] != 'T') return std::nullopt;
        const auto h = Digits(text, 11, 2), m = Digits(text, 14, 2);
        if (!h || !m || text[13] != ':') return std::nullopt;
        hour = *h;
        minute = *m;
        at = 16;
        if (text.size() >= 19 && text[16] == ':') {
            const auto s = Digits(text, 17, 2);
            if (!s) return std::nullopt;
            second = *s;
            at = 19;
        }
    }
    const std::optional<DateTime> wall = DateTime::Make(*year, *month, *day, hour, minute, second);
    if (!wall) return std::nullopt;
    const std::string_view zone = text.substr(at);
    if (zone.empty()) {
        const DateTime local = dateOnly && endOfDay ? wall->PlusDays(1) : *wall;
        return UtcSecondOfPolish(local);
    }
    if (zone == "Z") return wall->Ms() / DateTime::kMsPerSecond;
    // "+01:00" ('+' arrives as a blank when the query was not encoded), "-05:00".
    const auto oh = Digits(zone, 1, 2), om = Digits(zone, 4, 2);
    if (zone.size() != 6 || zone[3] != ':' || !oh || !om || *oh > 23 || *om > 59) return std::nullopt;
    if (zone[0] != '+' && zone[0] != ' ' && zone[0] != '-') return std::nullopt;
    const std::int64_t offset = (*oh * 60 + *om) * 60;
    return wall->Ms() / DateTime::kMsPerSecond - (zone[0] == '-' ? -offset : offset);
}

bool ConstantTimeEquals(std::string_view a, std::string_view b) {
    // Every byte of the longer text is looked at, whatever the texts hold.
    const std::size_t n = std::max(a.size(), b.size());
    unsigned diff = a.size() == b.size() ? 0u : 1u;
    for (std::size_t i = 0; i < n; ++i) {
        const auto x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0u;
        const auto y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0u;
        diff |= x ^ y;
    }
    return diff == 0;
}

namespace {

// The header's value after its scheme ("Basic", "Bearer"; any case), blanks trimmed.
std::optional<std::string_view> AfterScheme(std::string_view header, std::string_view scheme) {
    if (header.size() <= scheme.size() || header[scheme.size()] != ' ') return std::nullopt;
    for (std::size_t i = 0; i < scheme.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(header[i])) != std::tolower(static_cast<unsigned char>(scheme[i])))
            return std::nullopt;
    std::string_view code = header.substr(scheme.size());
    while (!code.empty() && code.front() == ' ') code.remove_prefix(1);
    while (!code.empty() && code.back() == ' ') code.remove_suffix(1);
    return code;
}

}  // namespace

std::optional<std::pair<std::string, std::string>> BasicAuthCredentials(std::string_view header) {
    const std::optional<std::string_view> code = AfterScheme(header, "Basic");
    if (!code) return std::nullopt;
    std::string decoded;
    unsigned bits = 0;
    int count = 0;
    std::size_t padding = 0;
    for (const char c : *code) {
        int v;
        if (c >= 'A' && c <= 'Z')
            v = c - 'A';
        else if (c >= 'a' && c <= 'z')
            v = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            v = c - '0' + 52;
        else if (c == '+')
            v = 62;
        else if (c == '/')
            v = 63;
        else if (c == '=') {
            ++padding;
            continue;
        } else
            return std::nullopt;
        if (padding) return std::nullopt;  // data after the padding
        bits = (bits << 6) | static_cast<unsigned>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            decoded += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    if (padding > 2) return std::nullopt;
    const std::size_t colon = decoded.find(':');
    if (colon == std::string::npos) return std::nullopt;
    return std::make_pair(decoded.substr(0, colon), decoded.substr(colon + 1));
}

std::optional<std::string> BasicAuthPassword(std::string_view header) {
    auto credentials = BasicAuthCredentials(header);
    if (!credentials) return std::nullopt;
    return std::move(credentials->second);
}

std::optional<std::string> BearerToken(std::string_view header) {
    const std::optional<std::string_view> token = AfterScheme(header, "Bearer");
    if (!token || token->empty()) return std::nullopt;
    return std::string(*token);
}

std::optional<std::string> CookieValue(std::string_view header, std::string_view name) {
    while (!header.empty()) {
        const std::size_t semicolon = header.find(';');
        std::string_view pair = header.substr(0, semicolon);
        header = semicolon == std::string_view::npos ? std::string_view() : header.substr(semicolon + 1);
        while (!pair.empty() && (pair.front() == ' ' || pair.front() == '\t')) pair.remove_prefix(1);
        const std::size_t eq = pair.find('=');
        if (eq == std::string_view::npos || pair.substr(0, eq) != name) continue;
        std::string_view value = pair.substr(eq + 1);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        return std::string(value);
    }
    return std::nullopt;
}

std::optional<std::pair<std::string, std::string>> LoginForm(std::string_view body) {
    const std::optional<std::string> name = QueryValue(body, "nazwa"), password = QueryValue(body, "haslo");
    if (!name || !password) return std::nullopt;
    return std::make_pair(*name, *password);
}

std::string VehicleJson(const VehicleRow& row, std::int64_t nowUtcMs) {
    JsonWriter json;
    WriteVehicle(json, row, TableNow(nowUtcMs));
    return json.Take();
}

WebRouter::WebRouter(WebRouterSettings settings, WebSources sources)
    : settings_(std::move(settings)), sources_(std::move(sources)) {
    if (sources_.nowUtcMs) versionBase_ = static_cast<std::uint64_t>(std::max<std::int64_t>(0, sources_.nowUtcMs())) * 1000;
}

WebResponse WebRouter::Handle(const WebRequest& request) const {
    try {
        return Route(request);
    } catch (const std::exception&) {
        return Error(500, "Błąd serwera");
    }
}

WebResponse WebRouter::Route(const WebRequest& request) const {
    const std::string_view path = request.path;
    const bool reading = request.method == "GET" || request.method == "HEAD";
    const std::int64_t nowMs = sources_.nowUtcMs ? sources_.nowUtcMs() : 0;
    AccountService* accounts = sources_.accounts;
    const bool accountsKept = accounts && accounts->HasAccounts(nowMs);
    if (accounts && reading) {
        // What the login page and the share links need before anyone is known: the page's
        // own files (no vehicle in them) and the share links, which carry their own token.
        if (accountsKept && path.starts_with("/static/")) return Asset(path);
        const std::string_view sharePage = "/udostepnione/", shareApi = "/api/udostepnione/";
        if (path.starts_with(sharePage) && path.size() > sharePage.size()) return Asset("/udostepnione.html");
        if (path.starts_with(shareApi)) return SharedVehicle(path.substr(shareApi.size()));
    }
    if (path == "/logowanie" || path == "/wyloguj") {
        if (!accountsKept) return Redirect("/");
        if (path == "/wyloguj" && reading) return Logout(request);
        if (path == "/logowanie" && (reading || request.method == "POST")) return Login(request);
    }
    if (!accountsKept && settings_.password.empty() && settings_.openAddress)
        return Error(403, "Usługa jest dostępna z innych komputerów, a nie ma kont ani hasła: załóż konto (konta dodaj)");
    std::optional<Viewer> viewer;
    if (accountsKept) {
        auto who = Identify(request);
        if (WebResponse* refusal = std::get_if<WebResponse>(&who)) return std::move(*refusal);
        viewer = std::move(std::get<Viewer>(who));
    } else if (!settings_.password.empty()) {
        // The password is compared as the browser sends it (UTF-8).
        const std::optional<std::string> given =
            request.authorization ? BasicAuthPassword(*request.authorization) : std::nullopt;
        if (!given || !ConstantTimeEquals(*given, Cp1250ToUtf8(settings_.password))) {
            WebResponse r = Error(401, "Wymagane hasło");
            r.headers.emplace_back("WWW-Authenticate", "Basic realm=\"Serwer pozycjonowania\", charset=\"UTF-8\"");
            return r;
        }
    }
    if (!reading) {
        WebResponse r = Error(405, "Dozwolone tylko GET i HEAD");
        r.headers.emplace_back("Allow", "GET, HEAD");
        return r;
    }
    // A dispatcher's view; none: everything (an administrator, or no accounts at all).
    const Viewer* only = viewer && !viewer->SeesAll() ? &*viewer : nullptr;
    if (path == "/") return Asset("/index.html");
    if (path.starts_with("/static/")) return Asset(path);
    if (path == "/api/konto") return Account(viewer ? &*viewer : nullptr);
    if (path == "/api/pojazdy") return Vehicles(request.query, only);
    if (path == "/api/mapa") return Map();
    if (path == "/api/zdarzenia") return Events(request.query, only);
    if (path == "/api/strefy") return Zones(only);
    if (path.starts_with("/api/raporty/"))
        return Report(path.substr(std::string_view("/api/raporty/").size()), request.query, only);
    if (path == "/api/zdrowie" || path == "/metrics") {
        // The server's state is not a customer's: an administrator's, or a script's token.
        if (viewer && !viewer->SeesAll() && !viewer->byToken) return Error(403, "Tylko dla administratora");
        if (path == "/api/zdrowie") return Health();
        if (!sources_.metrics) return Error(503, "Metryki niedostępne");
        return {200, "text/plain; version=0.0.4; charset=utf-8", Shared(sources_.metrics()), {}};
    }
    const std::string_view prefix = "/api/pojazdy/", suffix = "/historia";
    if (path.starts_with(prefix) && path.ends_with(suffix) && path.size() > prefix.size() + suffix.size()) {
        const std::string_view segment = path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
        if (segment.find('/') == std::string_view::npos) return History(segment, request.query, only);
    }
    return Error(404, "Nie ma takiej strony");
}

std::variant<Viewer, WebResponse> WebRouter::Identify(const WebRequest& request) const {
    AccountService& accounts = *sources_.accounts;
    const std::int64_t nowMs = sources_.nowUtcMs ? sources_.nowUtcMs() : 0;
    const std::optional<std::string> session =
        request.cookie ? CookieValue(*request.cookie, kSessionCookie) : std::nullopt;
    if (session)
        if (std::optional<Viewer> viewer = accounts.FromSession(*session, nowMs)) return std::move(*viewer);
    if (request.authorization) {
        if (settings_.refusePlainLogins && !request.secure) return PlainLoginRefusal();
        if (const auto token = BearerToken(*request.authorization)) {
            if (std::optional<Viewer> viewer = accounts.FromToken(*token)) return std::move(*viewer);
            return Unauthorized(false);
        }
        if (const auto credentials = BasicAuthCredentials(*request.authorization)) {
            const LoginResult result =
                accounts.Login(credentials->first, credentials->second, request.address, nowMs, false);
            if (result.outcome == LoginOutcome::Locked) return TooManyAttempts(result.retryAfterS);
            if (result.viewer) return *result.viewer;
        }
        return Unauthorized(true);
    }
    // A browser goes to the login page; a script is told how to sign in. A page's own
    // requests are never offered the browser's password window: its script goes to the
    // login page instead.
    if (request.path == "/") return Redirect("/logowanie");
    return Unauthorized(!session && (!request.fetchMode || *request.fetchMode == "navigate"));
}

WebResponse WebRouter::Login(const WebRequest& request) const {
    if (request.method != "POST") return HtmlResponse(200, LoginPageHtml("", ""));
    if (settings_.refusePlainLogins && !request.secure)
        return HtmlResponse(403, LoginPageHtml(kPlainLoginRefusal, ""));
    const auto form = LoginForm(request.body);
    if (!form) return HtmlResponse(400, LoginPageHtml("Podaj nazwę konta i hasło.", ""));
    const std::int64_t nowMs = sources_.nowUtcMs ? sources_.nowUtcMs() : 0;
    const LoginResult result = sources_.accounts->Login(form->first, form->second, request.address, nowMs, true);
    if (result.outcome == LoginOutcome::Locked) {
        WebResponse r = HtmlResponse(429, LoginPageHtml(LockedText(result.retryAfterS), form->first));
        r.headers.emplace_back("Retry-After", std::to_string(result.retryAfterS));
        return r;
    }
    if (result.outcome != LoginOutcome::Accepted)
        return HtmlResponse(401, LoginPageHtml("Błędna nazwa konta lub hasło.", form->first));
    WebResponse r = Redirect("/");
    r.headers.emplace_back("Set-Cookie", std::string(kSessionCookie) + "=" + result.session +
                                             "; Path=/; HttpOnly; SameSite=Strict" + (request.secure ? "; Secure" : ""));
    return r;
}

WebResponse WebRouter::Logout(const WebRequest& request) const {
    if (request.cookie)
        if (const auto session = CookieValue(*request.cookie, kSessionCookie))
            sources_.accounts->Logout(*session, request.address);
    WebResponse r = Redirect("/logowanie");
    r.headers.emplace_back("Set-Cookie", std::string(kSessionCookie) + "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict" +
                                             (request.secure ? "; Secure" : ""));
    return r;
}

WebResponse WebRouter::Account(const Viewer* viewer) const {
    JsonWriter json;
    json.BeginObject().Key("konta").Bool(viewer != nullptr);
    if (viewer) {
        json.Key("nazwa").String(Cp1250ToUtf8(viewer->account.name));
        json.Key("rola").String(RoleName(viewer->account.role));
    }
    json.EndObject();
    return JsonResponse(200, json.Take());
}

WebResponse WebRouter::SharedVehicle(std::string_view token) const {
    const std::int64_t nowMs = sources_.nowUtcMs ? sources_.nowUtcMs() : 0;
    const std::int64_t now = nowMs / DateTime::kMsPerSecond;
    const std::optional<Share> share = sources_.accounts->FromShare(token, now);
    if (!share) return Error(404, "Link wygasł lub został cofnięty");
    JsonWriter json;
    json.BeginObject();
    json.Key("nazwa").String(Cp1250ToUtf8(share->registration));
    json.Key("wazny_do").String(PolishIsoTime(share->expiresUtc));
    json.Key("pojazd");
    const std::shared_ptr<const VehicleRows> rows = sources_.vehicles ? sources_.vehicles() : nullptr;
    const VehicleRow* found = nullptr;
    if (rows)
        for (const VehicleRow& row : rows->rows)
            if (row.NAZWA && *row.NAZWA == share->registration) found = &row;
    if (found)
        WriteVehicle(json, *found, TableNow(nowMs));
    else
        json.Null();
    // Today's track, as far as the history holds it.
    json.Key("trasa").BeginArray();
    if (sources_.history) {
        const DateTime today = PolishNow(nowMs).Date();
        try {
            for (const HistoryRecord& r : sources_.history(HistoryQuery{share->registration, UtcSecondOfPolish(today),
                                                                        UtcSecondOfPolish(today.PlusDays(1))}))
                if (r.HasCoordinates()) json.BeginArray().Number(r.latitude).Number(r.longitude).EndArray();
        } catch (const std::exception&) {
            // The position alone is still worth showing.
        }
    }
    json.EndArray().EndObject();
    return JsonResponse(200, json.Take());
}

bool WebRouter::Visible(const Viewer* viewer, const std::string& registration) const {
    if (!viewer) return true;
    if (std::find(viewer->account.vehicles.begin(), viewer->account.vehicles.end(), registration) !=
        viewer->account.vehicles.end())
        return true;
    const std::shared_ptr<const VehicleRows> rows = sources_.vehicles ? sources_.vehicles() : nullptr;
    if (rows)
        for (const VehicleRow& row : rows->rows)
            if (row.NAZWA && *row.NAZWA == registration && viewer->Sees(registration, row.LICENCJA.value_or("")))
                return true;
    return false;
}

std::vector<std::string> WebRouter::VisibleRegistrations(const Viewer& viewer) const {
    std::vector<std::string> seen = viewer.account.vehicles;
    if (const std::shared_ptr<const VehicleRows> rows = sources_.vehicles ? sources_.vehicles() : nullptr)
        for (const VehicleRow& row : rows->rows)
            if (row.NAZWA && viewer.Sees(*row.NAZWA, row.LICENCJA.value_or(""))) seen.push_back(*row.NAZWA);
    std::sort(seen.begin(), seen.end());
    seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
    return seen;
}

WebResponse WebRouter::Asset(std::string_view path) const {
    if (sources_.assets)
        for (const WebAsset& asset : sources_.assets())
            if (asset.path == path) return {200, asset.contentType, Shared(std::string(asset.bytes)), {}};
    return Error(404, "Nie ma takiej strony");
}

WebResponse WebRouter::Vehicles(std::string_view query, const Viewer* viewer) const {
    std::optional<std::uint64_t> since;
    if (const auto text = QueryValue(query, "od_wersji"); text && !text->empty()) {
        std::uint64_t value = 0;
        const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), value);
        if (error != std::errc() || end != text->data() + text->size()) return Error(400, "Błędna wersja listy pojazdów");
        since = value;
    }
    if (!sources_.vehicles || !sources_.nowUtcMs) return Error(503, "Tabela pojazdów niedostępna");
    const std::int64_t nowMs = sources_.nowUtcMs();
    const std::int64_t second = nowMs / DateTime::kMsPerSecond;
    std::shared_ptr<const VehicleRows> rows;
    {
        // Within one second every caller gets the same copy, and the whole list is encoded
        // once, however often the table changes: many browsers polling while units stream
        // in cost one copy and one encoding a second.
        std::lock_guard<std::mutex> lock(cacheMutex_);
        if (!cache_.rows || cache_.second != second) cache_ = {second, sources_.vehicles(), nullptr};
        rows = cache_.rows;
        if (!since && !viewer) {
            if (!cache_.body) cache_.body = Shared(VehiclesBody(*rows, nullptr, nowMs, nullptr));
            return {200, kJson, cache_.body, {}};
        }
    }
    // Only what changed since the version the caller has; the whole list when that
    // version is not of this table's copies (older than a vehicle that went away, from
    // before a restart, or not yet made).
    const std::optional<std::vector<std::size_t>> changed =
        since && *since >= versionBase_ ? rows->ChangedSince(*since - versionBase_) : std::nullopt;
    return JsonResponse(200, VehiclesBody(*rows, changed ? &*changed : nullptr, nowMs, viewer));
}

std::string WebRouter::VehiclesBody(const VehicleRows& rows, const std::vector<std::size_t>* only,
                                    std::int64_t nowMs, const Viewer* viewer) const {
    const DateTime nowLocal = TableNow(nowMs);
    JsonWriter json;
    json.Reserve(128 + (only ? only->size() : rows.rows.size()) * 520);
    json.BeginObject().Key("czas").String(PolishIsoTime(nowMs / DateTime::kMsPerSecond));
    json.Key("wersja").Integer(static_cast<std::int64_t>(versionBase_ + rows.change));
    json.Key("pelna").Bool(only == nullptr);
    json.Key("pojazdy").BeginArray();
    const auto write = [&](const VehicleRow& row) {
        if (!viewer || (row.NAZWA && viewer->Sees(*row.NAZWA, row.LICENCJA.value_or(""))))
            WriteVehicle(json, row, nowLocal);
    };
    if (only)
        for (const std::size_t i : *only) write(rows.rows[i]);
    else
        for (const VehicleRow& row : rows.rows) write(row);
    json.EndArray().EndObject();
    return json.Take();
}

WebResponse WebRouter::History(std::string_view encodedRegistration, std::string_view query,
                               const Viewer* viewer) const {
    const std::optional<std::string> decoded = PercentDecode(encodedRegistration, false);
    const std::optional<std::string> registration = decoded ? RegistrationFromPath(*decoded) : std::nullopt;
    if (!registration) return Error(400, "Błędny numer rejestracyjny");
    if (!Visible(viewer, *registration)) return NoSuchVehicle();

    const std::optional<std::string> formatName = QueryValue(query, "format");
    std::optional<TrackType> type;
    if (formatName && *formatName != "json") {
        type = TrackTypeOf(*formatName);
        if (!type) return Error(400, "Nieznany format (json, geojson, gpx, kml, csv)");
    }
    const auto span = Span(query);
    if (const WebResponse* error = std::get_if<WebResponse>(&span)) return *error;
    const auto [from, to] = std::get<std::pair<std::int64_t, std::int64_t>>(span);
    if (!sources_.history) return Error(503, "Historia pozycji nie jest prowadzona");

    std::vector<HistoryRecord> rows;
    try {
        rows = sources_.history(HistoryQuery{*registration, from, to});
    } catch (const std::exception& e) {
        return Error(500, "Nie można odczytać historii: " + Cp1250ToUtf8(e.what()));
    }
    if (type) return {200, type->contentType, Shared(ExportTrack(rows, type->format)), {}};
    return JsonResponse(200, HistoryJson(*registration, from, to, rows));
}

std::variant<std::pair<std::int64_t, std::int64_t>, WebResponse> WebRouter::Span(std::string_view query) const {
    const std::optional<std::string> fromText = QueryValue(query, "od"), toText = QueryValue(query, "do");
    std::optional<std::int64_t> from, to;
    if (fromText && !fromText->empty() && !(from = ParseRequestTime(*fromText, false)))
        return Error(400, "Błędny czas od (RRRR-MM-DD, RRRR-MM-DD GG:MM)");
    if (toText && !toText->empty() && !(to = ParseRequestTime(*toText, true)))
        return Error(400, "Błędny czas do (RRRR-MM-DD, RRRR-MM-DD GG:MM)");
    if (!sources_.nowUtcMs) return Error(503, "Historia niedostępna");
    // Without od: the beginning of the day of do (today without either); without do:
    // the end of today.
    const DateTime today = PolishNow(sources_.nowUtcMs()).Date();
    if (!from) {
        const DateTime dayOfTo = to ? PolishWallTime(*to - 1).Date() : today;
        from = UtcSecondOfPolish(dayOfTo);
    }
    if (!to) to = UtcSecondOfPolish(today.PlusDays(1));
    if (*to <= *from) return Error(400, "Czas do musi być późniejszy niż od");
    // Calendar days of Polish time: 1 to 31 October holds the hour October's change repeats.
    if (PolishWallTime(*to).Ms() - PolishWallTime(*from).Ms() > kMaxHistoryDays * DateTime::kMsPerDay)
        return Error(400, "Najwyżej 31 dni historii naraz");
    return std::make_pair(*from, *to);
}

WebResponse WebRouter::Report(std::string_view name, std::string_view query, const Viewer* viewer) const {
    ReportRequest request;
    const auto kind = ReportKindFromName(name);
    if (!kind) return Error(404, "Nie ma takiego raportu (trasy, postoje, podsumowanie, kierowcy)");
    request.kind = *kind;
    ReportFormat format = ReportFormat::Json;
    if (const auto formatName = QueryValue(query, "format"); formatName && !formatName->empty()) {
        const auto parsed = ParseReportFormat(*formatName);
        if (!parsed) return Error(400, "Nieznany format (json, csv, xlsx)");
        format = *parsed;
    }
    // pojazd=A&pojazd=B or pojazd=A,B; none: every vehicle.
    const auto vehicles = QueryValues(query, "pojazd");
    if (!vehicles) return Error(400, "Błędny numer rejestracyjny");
    for (const std::string& value : *vehicles) {
        std::string_view list = value;
        while (!list.empty()) {
            const std::size_t comma = list.find(',');
            const std::string_view item = list.substr(0, comma);
            list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
            if (item.empty()) continue;
            const auto registration = RegistrationFromPath(item);
            if (!registration) return Error(400, "Błędny numer rejestracyjny");
            if (std::find(request.registrations.begin(), request.registrations.end(), *registration) ==
                request.registrations.end())
                request.registrations.push_back(*registration);
        }
    }
    if (request.registrations.size() > kMaxReportVehicles) return Error(400, "Za dużo pojazdów naraz");
    if (viewer) {
        // A dispatcher's report: of the named vehicles when each is its own, else of all its own.
        for (const std::string& registration : request.registrations)
            if (!Visible(viewer, registration)) return NoSuchVehicle();
        if (request.registrations.empty()) request.registrations = VisibleRegistrations(*viewer);
        request.listIsWhole = true;
    }
    const auto perDay = QueryValue(query, "dzien");
    request.perDay = perDay && (*perDay == "1" || *perDay == "tak");
    const auto span = Span(query);
    if (const WebResponse* error = std::get_if<WebResponse>(&span)) return *error;
    std::tie(request.fromUtc, request.toUtc) = std::get<std::pair<std::int64_t, std::int64_t>>(span);
    if (!sources_.report) return Error(503, "Historia pozycji nie jest prowadzona");

    std::optional<ReportTable> table;
    try {
        table = sources_.report(request);
    } catch (const std::exception& e) {
        return Error(500, "Nie można odczytać historii: " + Cp1250ToUtf8(e.what()));
    }
    if (!table) {
        WebResponse busy = Error(503, "Trwają już inne raporty, spróbuj za chwilę");
        busy.headers.emplace_back("Retry-After", "10");
        return busy;
    }
    std::string body;
    switch (format) {
        case ReportFormat::Json:
            body = ReportJson(*table);
            break;
        case ReportFormat::Csv:
            body = ReportCsv(*table);
            break;
        case ReportFormat::Xlsx:
            try {
                body = ReportXlsx(*table);
            } catch (const std::exception& e) {
                return Error(500, "Nie można utworzyć pliku XLSX: " + Cp1250ToUtf8(e.what()));
            }
            break;
    }
    WebResponse answer{200, ReportContentType(format), Shared(std::move(body)), {}};
    if (format != ReportFormat::Json) {
        const std::string day = PolishIsoTime(request.fromUtc).substr(0, 10);
        answer.headers.emplace_back("Content-Disposition", "attachment; filename=\"" + std::string(name) + "-" + day +
                                                               "." + ReportFileExtension(format) + "\"");
    }
    return answer;
}

WebResponse WebRouter::Events(std::string_view query, const Viewer* viewer) const {
    const std::optional<std::string> formatName = QueryValue(query, "format");
    if (formatName && *formatName != "json" && *formatName != "csv") return Error(400, "Nieznany format (json, csv)");
    EventQuery q;
    if (const auto vehicle = QueryValue(query, "pojazd"); vehicle && !vehicle->empty()) {
        q.registration = RegistrationFromPath(*vehicle);
        if (!q.registration) return Error(400, "Błędny numer rejestracyjny");
        if (!Visible(viewer, *q.registration)) return NoSuchVehicle();
    }
    if (const auto type = QueryValue(query, "typ"); type && !type->empty()) {
        q.type = EventTypeFromName(*type);
        if (!q.type) return Error(400, "Nieznany typ zdarzenia");
    }
    const auto span = Span(query);
    if (const WebResponse* error = std::get_if<WebResponse>(&span)) return *error;
    std::tie(q.fromUtc, q.toUtc) = std::get<std::pair<std::int64_t, std::int64_t>>(span);
    if (!sources_.events) return Error(503, "Zdarzenia nie są zapisywane");
    q.limit = kMaxEvents + 1;  // one more tells that there were more
    std::vector<Event> events;
    try {
        if (viewer && !q.registration) {
            // A dispatcher's: the earliest of its own vehicles' together.
            for (const std::string& registration : VisibleRegistrations(*viewer)) {
                EventQuery one = q;
                one.registration = registration;
                std::vector<Event> more = sources_.events(one);
                events.insert(events.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
            }
            std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) {
                return std::tie(a.startUtc, a.id) < std::tie(b.startUtc, b.id);
            });
            if (events.size() > q.limit) events.resize(q.limit);
        } else {
            events = sources_.events(q);
        }
    } catch (const std::exception& e) {
        return Error(500, "Nie można odczytać zdarzeń: " + Cp1250ToUtf8(e.what()));
    }
    const bool truncated = events.size() > kMaxEvents;
    if (truncated) events.resize(kMaxEvents);
    std::vector<std::pair<std::string, std::string>> headers;
    if (truncated) headers.emplace_back("X-Obciete", std::to_string(kMaxEvents));
    if (formatName && *formatName == "csv")
        return {200, "text/csv; charset=utf-8", Shared(ExportEvents(events, EventFormat::Csv)), headers};
    WebResponse response = JsonResponse(200, ExportEvents(events, EventFormat::Json, truncated));
    response.headers = headers;
    return response;
}

WebResponse WebRouter::Zones(const Viewer* viewer) const {
    if (!sources_.zones) return Error(503, "Zdarzenia nie są wykrywane");
    if (!viewer) return {200, "application/geo+json", Shared(sources_.zones()), {}};
    return {200, "application/geo+json", Shared(ZonesGeoJsonFor(sources_.zones(), VisibleRegistrations(*viewer))), {}};
}

WebResponse WebRouter::Health() const {
    if (!sources_.health) return Error(503, "Stan serwera niedostępny");
    const WebHealth h = sources_.health();
    const std::size_t vehicles = sources_.vehicles ? sources_.vehicles()->rows.size() : 0;
    JsonWriter json;
    json.BeginObject();
    json.Key("status").String(h.listening ? "ok" : "niedostepny");
    json.Key("nasluch").Bool(h.listening);
    json.Key("polaczenia").Integer(h.openConnections);
    json.Key("pojazdy").Integer(static_cast<std::int64_t>(vehicles));
    json.Key("historia").BeginObject();
    json.Key("prowadzona").Bool(h.historyKept);
    json.Key("blad_zapisu").Bool(h.historyFailing);
    json.Key("zapisane").Integer(static_cast<std::int64_t>(h.historyRowsWritten));
    json.Key("utracone").Integer(static_cast<std::int64_t>(h.historyRowsLost));
    json.EndObject();
    json.Key("zdarzenia").BeginObject();
    json.Key("wykrywane").Bool(h.eventsOn);
    json.Key("blad_stref").OptionalString(h.zoneProblem ? std::optional<std::string>(Cp1250ToUtf8(*h.zoneProblem))
                                                        : std::nullopt);
    json.EndObject();
    if (h.notifications) {
        const std::optional<std::int64_t> oldest = h.notifications->oldestWaitingS;
        json.Key("powiadomienia").BeginObject();
        json.Key("w_kolejce").Integer(static_cast<std::int64_t>(h.notifications->outbox));
        json.Key("najstarsze_s").Integer(oldest);
        json.Key("zalegle").Bool(oldest && *oldest > kStaleOutboxSeconds);
        json.EndObject();
    }
    json.EndObject();
    return JsonResponse(h.listening ? 200 : 503, json.Take());
}

WebResponse WebRouter::Map() const {
    JsonWriter json;
    json.BeginObject();
    json.Key("url").String(Cp1250ToUtf8(settings_.tileUrl));
    json.Key("atrybucja").String(Cp1250ToUtf8(settings_.attribution));
    json.EndObject();
    return JsonResponse(200, json.Take());
}

}  // namespace serwer

// The web service's request reading and its router, as a client reaches them. The input
// is read twice: as the raw bytes of a request, whose head must come out of
// ReadRequestHead in the one strict form or be refused (and then goes to the router),
// and split into a method, a path, a query, an Authorization header, a Cookie header and
// a body (lines of the input, in that order) for the router alone. The router answers
// against a small table and history, without accounts, with a password, and with
// accounts (two customers, a session of each). Nothing here may fail, every answer has a
// known status, nothing but GET and HEAD is ever answered 200, no dispatcher is shown
// another customer's vehicle, and no part of a body reaches past its end. The login
// form, cookies and the Authorization schemes are read on their own too.
#include <stdlib.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "FuzzCheck.hpp"
#include "accounts/Secrets.hpp"
#include "accounts/SqliteAccountStore.hpp"
#include "web/RequestHead.hpp"
#include "web/WebRouter.hpp"

using namespace serwer;

namespace {

constexpr std::int64_t kNowUtcMs = 1796817600000;

// Whose session the request being answered has ('a', 'b'), for the sources' checks.
std::optional<char> seenBy;

// The accounts: a dispatcher of the owner code AAA (the vehicle WA12345) and one of BBB,
// each logged in once; their sessions are in the cookies the inputs start from.
struct Accounts {
    std::string dispatcherCookie, otherCookie;
    std::unique_ptr<AccountService> service;
};

Accounts& TheAccounts() {
    static Accounts a = [] {
        Accounts made;
        char pattern[] = "/tmp/fuzz-konta-XXXXXX";
        const std::string dir = ::mkdtemp(pattern);
        auto store = std::make_unique<SqliteAccountStore>(dir + "/konta.db");
        const std::string hash = HashPassword("x");
        store->Add({"a", Role::Dispatcher, {"AAA"}, {}}, hash);
        store->Add({"b", Role::Dispatcher, {"BBB"}, {}}, hash);
        made.service = std::make_unique<AccountService>(std::move(store), dir + "/dostep.txt");
        made.dispatcherCookie = "sesja=" + made.service->Login("a", "x", "::1", kNowUtcMs, true).session;
        made.otherCookie = "sesja=" + made.service->Login("b", "x", "::1", kNowUtcMs, true).session;
        return made;
    }();
    return a;
}

enum class Guard { None, Password, Accounts };

const WebRouter& Router(Guard guard) {
    static const std::vector<WebAsset> assets{{"/index.html", "text/html", "<p></p>"}};
    static const auto rows = [] {
        auto r = std::make_shared<VehicleRows>();
        VehicleRow row;
        row.NAZWA = "WA12345";
        row.OPIS = "2026.12.09-12:30";
        row.SZEROKOSC = "52.2057500N";
        row.PREDKOSC = "42.50 Km/h";
        row.LICENCJA = "AAA";
        VehicleRow other;
        other.NAZWA = "KR9";
        other.LICENCJA = "BBB";
        r->rows = {row, VehicleRow{}, other};
        r->change = 1;
        return r;
    }();
    const auto make = [](std::string password, AccountService* accounts) {
        WebSources s;
        s.accounts = accounts;
        s.vehicles = [] { return rows; };
        s.history = [](const HistoryQuery& q) {
            FUZZ_CHECK(q.registration && !q.registration->empty() && q.registration->size() <= 8);
            FUZZ_CHECK(!seenBy || *q.registration != (*seenBy == 'a' ? "KR9" : "WA12345"));
            FUZZ_CHECK(q.fromUtc < q.toUtc && q.toUtc - q.fromUtc <= WebRouter::kMaxHistorySpanSeconds);
            HistoryRecord r;
            r.registration = *q.registration;
            r.fixTimeUtc = q.fromUtc;
            r.latitude = 52.1;
            r.longitude = -1.5;
            r.gps = "OK";
            return std::vector<HistoryRecord>{r};
        };
        s.events = [](const EventQuery& q) {
            FUZZ_CHECK(!seenBy || (q.registration && *q.registration != (*seenBy == 'a' ? "KR9" : "WA12345")));
            Event e;
            e.id = 7, e.type = q.type.value_or(EventType::Zaplon), e.registration = q.registration.value_or("WA1");
            e.startUtc = q.fromUtc, e.text = "\x8c\"<x>";
            return std::vector<Event>{e};
        };
        s.zones = [] { return std::string(R"({"type":"FeatureCollection","features":[]})"); };
        s.health = [] {
            return WebHealth{true, 1, true, false, 1, 0, true, std::string("strefy.geojson: \xb3"), NotificationFigures{{}, 1, 4000}};
        };
        s.metrics = [] { return std::string("serwer_vehicles 2\n"); };
        s.nowUtcMs = [] { return kNowUtcMs; };
        s.assets = []() -> const std::vector<WebAsset>& { return assets; };
        return WebRouter(WebRouterSettings{std::move(password)}, s);
    };
    static const WebRouter open = make("", nullptr), closed = make("haslo", nullptr),
                           withAccounts = make("", TheAccounts().service.get());
    return guard == Guard::None ? open : guard == Guard::Password ? closed : withAccounts;
}

std::string_view NextLine(std::string_view& rest) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    return line;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view start) {
    if (text.size() < start.size()) return false;
    for (std::size_t i = 0; i < start.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != start[i]) return false;
    return true;
}

// The request of a head that ReadRequestHead accepted, as the service passes it on.
WebRequest RequestOfHead(const RequestHead& head, std::size_t inputSize) {
    const std::string_view f = head.forwarded;
    FUZZ_CHECK(head.used <= inputSize && f.ends_with("\r\n\r\n"));
    WebRequest request;
    std::size_t at = 0;
    for (bool first = true; at + 2 < f.size(); first = false) {
        const std::size_t end = f.find("\r\n", at);
        FUZZ_CHECK(end != std::string_view::npos);
        const std::string_view line = f.substr(at, end - at);
        FUZZ_CHECK(!line.empty() && line.find('\n') == std::string_view::npos && line.find('\r') == std::string_view::npos);
        FUZZ_CHECK(line.front() != ' ' && line.front() != '\t');
        if (first) {
            const std::size_t a = line.find(' '), b = line.rfind(' ');
            FUZZ_CHECK(a != b);
            request.method = line.substr(0, a);
            const std::string_view target = line.substr(a + 1, b - a - 1);
            request.path = target.substr(0, target.find('?'));
            if (target.find('?') != std::string_view::npos) request.query = target.substr(target.find('?') + 1);
        } else {
            FUZZ_CHECK(!StartsWithIgnoringCase(line, "range:") && !StartsWithIgnoringCase(line, "if-range:"));
            FUZZ_CHECK(line.find(' ') == std::string_view::npos || line.find(':') < line.find(' '));
            if (StartsWithIgnoringCase(line, "authorization:")) request.authorization = std::string(line.substr(14));
            if (StartsWithIgnoringCase(line, "cookie:")) request.cookie = std::string(line.substr(7));
        }
        at = end + 2;
    }
    return request;
}

void CheckAnswers(WebRequest request) {
    // A password tried costs an Argon2 hash: the accounts' router takes sessions and tokens only.
    if (request.authorization && !BearerToken(*request.authorization)) request.authorization.reset();
    if (request.method == "POST" && request.path == "/logowanie") request.method = "PUT";
    for (const Guard guard : {Guard::None, Guard::Password, Guard::Accounts}) {
        const bool withCookies = guard == Guard::Accounts;
        for (const char* cookie : {"", "a", "b"}) {
            WebRequest asked = request;
            if (*cookie)
                asked.cookie = (*cookie == 'a' ? TheAccounts().dispatcherCookie : TheAccounts().otherCookie) + "; " +
                               asked.cookie.value_or("");
            seenBy = *cookie ? std::optional<char>(*cookie) : std::nullopt;
            const WebResponse r = Router(guard).Handle(asked);
            FUZZ_CHECK(r.status == 200 || r.status == 303 || r.status == 400 || r.status == 401 || r.status == 403 ||
                       r.status == 404 || r.status == 405 || r.status == 503);
            FUZZ_CHECK(!r.contentType.empty() && r.body);
            if (r.status == 200) FUZZ_CHECK(request.method == "GET" || request.method == "HEAD");
            // Without accounts the login page only sends the browser back to the map.
            const bool loginPage = request.path == "/logowanie" || request.path == "/wyloguj";
            if (guard == Guard::Password && r.status != 401)
                FUZZ_CHECK(request.authorization.has_value() || (r.status == 303 && loginPage));
            if (r.status == 405) FUZZ_CHECK(request.method != "GET" && request.method != "HEAD");
            if (*cookie && r.body)
                FUZZ_CHECK(r.Body().find(*cookie == 'a' ? "\"nazwa\":\"KR9\"" : "\"nazwa\":\"WA12345\"") ==
                           std::string_view::npos);
            seenBy.reset();
            if (!withCookies) break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view raw(reinterpret_cast<const char*>(data), size);
    const RequestHead head = ReadRequestHead(raw, 1024);
    if (head.state == RequestHead::State::Ready) CheckAnswers(RequestOfHead(head, size));
    if (head.state == RequestHead::State::Refused) FUZZ_CHECK(head.status == 400 || head.status == 414);
    if (head.state == RequestHead::State::Incomplete) FUZZ_CHECK(size < 1024);
    // Whatever part httplib asks for, no byte past the body.
    if (size >= 2) {
        const std::string_view part = BodySlice(raw.substr(2), data[0] * 7u, data[1] * 13u);
        FUZZ_CHECK(part.empty() || (part.data() >= raw.data() + 2 && part.data() + part.size() <= raw.data() + size));
    }

    std::string_view rest = raw;
    WebRequest request;
    request.method = NextLine(rest);
    request.path = NextLine(rest);
    request.query = NextLine(rest);
    if (!rest.empty()) request.authorization = std::string(NextLine(rest));
    if (!rest.empty()) request.cookie = std::string(NextLine(rest));
    request.body = rest;
    CheckAnswers(request);
    if (request.cookie) CookieValue(*request.cookie, "sesja");
    if (const auto form = LoginForm(request.body)) FUZZ_CHECK(form->first.size() <= request.body.size());
    if (request.authorization) {
        BasicAuthCredentials(*request.authorization);
        BearerToken(*request.authorization);
    }
    // The decoders on their own.
    PercentDecode(request.path, false);
    if (const auto text = PercentDecode(request.query, true)) {
        ParseRequestTime(*text, true);
        if (const auto reg = RegistrationFromPath(*text)) FUZZ_CHECK(!reg->empty() && reg->size() <= 8);
    }
    return 0;
}

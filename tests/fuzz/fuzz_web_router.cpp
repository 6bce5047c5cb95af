// The web service's router, as a client reaches it: the input is split into a method,
// a path, a query and an Authorization header (lines of the input, in that order), and
// the router answers it against a small table and history. Nothing here may fail, every
// answer has a known status, and nothing but GET and HEAD is ever answered 200.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzCheck.hpp"
#include "web/WebRouter.hpp"

using namespace serwer;

namespace {

const WebRouter& Router(bool withPassword) {
    static const std::vector<WebAsset> assets{{"/index.html", "text/html", "<p></p>"}};
    static const auto rows = [] {
        auto r = std::make_shared<VehicleRows>();
        VehicleRow row;
        row.NAZWA = "WA12345";
        row.OPIS = "2026.12.09-12:30";
        row.SZEROKOSC = "52.2057500N";
        row.PREDKOSC = "42.50 Km/h";
        r->rows = {row, VehicleRow{}};
        r->change = 1;
        return r;
    }();
    const auto make = [](std::string password) {
        WebSources s;
        s.vehicles = [] { return rows; };
        s.history = [](const HistoryQuery& q) {
            FUZZ_CHECK(q.registration && !q.registration->empty() && q.registration->size() <= 8);
            FUZZ_CHECK(q.fromUtc < q.toUtc && q.toUtc - q.fromUtc <= WebRouter::kMaxHistorySpanSeconds);
            HistoryRecord r;
            r.registration = *q.registration;
            r.fixTimeUtc = q.fromUtc;
            r.latitude = 52.1;
            r.longitude = -1.5;
            r.gps = "OK";
            return std::vector<HistoryRecord>{r};
        };
        s.health = [] { return WebHealth{true, 1, true, false, 1, 0}; };
        s.metrics = [] { return std::string("serwer_vehicles 2\n"); };
        s.nowUtcMs = [] { return std::int64_t{1796817600000}; };
        s.assets = []() -> const std::vector<WebAsset>& { return assets; };
        return WebRouter(WebRouterSettings{std::move(password)}, s);
    };
    static const WebRouter open = make(""), closed = make("haslo");
    return withPassword ? closed : open;
}

std::string_view NextLine(std::string_view& rest) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    WebRequest request;
    request.method = NextLine(rest);
    request.path = NextLine(rest);
    request.query = NextLine(rest);
    if (!rest.empty()) request.authorization = std::string(NextLine(rest));

    for (const bool withPassword : {false, true}) {
        const WebResponse r = Router(withPassword).Handle(request);
        FUZZ_CHECK(r.status == 200 || r.status == 400 || r.status == 401 || r.status == 404 || r.status == 405 ||
                   r.status == 503);
        FUZZ_CHECK(!r.contentType.empty() && r.body);
        if (r.status == 200) FUZZ_CHECK(request.method == "GET" || request.method == "HEAD");
        if (withPassword && r.status != 401) FUZZ_CHECK(request.authorization.has_value());
        if (r.status == 405) FUZZ_CHECK(request.method != "GET" && request.method != "HEAD");
    }
    // The decoders on their own.
    PercentDecode(request.path, false);
    if (const auto text = PercentDecode(request.query, true)) {
        ParseRequestTime(*text, true);
        if (const auto reg = RegistrationFromPath(*text)) FUZZ_CHECK(!reg->empty() && reg->size() <= 8);
    }
    return 0;
}

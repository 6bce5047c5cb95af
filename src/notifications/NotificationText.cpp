#include "notifications/NotificationText.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "common/PolishTime.hpp"
#include "common/Win1250.hpp"
#include "history/TrackExport.hpp"

namespace serwer {

namespace {

std::string Base64(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string Degrees(double value, char positive, char negative, char separator) {
    char text[32];
    std::snprintf(text, sizeof text, "%.7f", std::fabs(value));
    std::string out = text;
    if (const std::size_t dot = out.find('.'); dot != std::string::npos) out[dot] = separator;
    return out + ' ' + (value < 0 ? negative : positive);
}

std::string PolishTimeText(std::int64_t utc) {
    const DateTime::Parts p = PolishWallTime(utc).Split();
    char text[32];
    std::snprintf(text, sizeof text, "%02d-%02d-%04d %02d:%02d:%02d", p.day, p.month, p.year, p.hour, p.minute, p.second);
    return text;
}

// A registration in a URL's query: UTF-8, every byte but letters and digits escaped.
std::string QueryText(const std::string& utf8) {
    std::string out;
    for (const char c : utf8) {
        const auto u = static_cast<unsigned char>(c);
        if ((u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z')) {
            out += c;
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", u);
            out += hex;
        }
    }
    return out;
}

// A header's UTF-8 text as RFC 2047 encoded words of at most 75 characters each, on
// folded lines; a character is never split between two words.
std::string EncodedWords(const std::string& utf8) {
    std::string out;
    std::size_t at = 0;
    while (at < utf8.size()) {
        std::size_t end = std::min(utf8.size(), at + 45);
        while (end < utf8.size() && (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80) --end;
        if (!out.empty()) out += "\r\n ";
        out += "=?UTF-8?B?" + Base64(utf8.substr(at, end - at)) + "?=";
        at = end;
    }
    return out;
}

// "Wed, 09 Dec 2026 20:30:00 +0000"
std::string MailDate(std::int64_t utc) {
    static const char* const days[] = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const DateTime::Parts p = DateTime::FromMs(utc * DateTime::kMsPerSecond).Split();
    const std::int64_t day = utc >= 0 ? utc / 86400 : (utc - 86399) / 86400;
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d +0000", days[((day % 7) + 7) % 7], p.day,
                  months[p.month - 1], p.year, p.hour, p.minute, p.second);
    return text;
}

}  // namespace

std::string MailSubject(const NotificationContent& c) {
    return Cp1250ToUtf8(c.event.registration + ": " + c.event.text);
}

std::string MailBody(const NotificationContent& c) {
    const Event& e = c.event;
    std::string body = "Pojazd: " + Cp1250ToUtf8(e.registration) + "\r\n";
    body += "Co się stało: " + Cp1250ToUtf8(e.text) + "\r\n";
    body += "Kiedy: " + PolishTimeText(e.startUtc) + " (czas polski)\r\n";
    std::string where;
    if (e.latitude && e.longitude)
        where = Degrees(*e.latitude, 'N', 'S', c.decimalSeparator) + ", " +
                Degrees(*e.longitude, 'E', 'W', c.decimalSeparator);
    if (!e.zone.empty()) where += (where.empty() ? "strefa „" : ", strefa „") + Cp1250ToUtf8(e.zone) + "”";
    body += "Gdzie: " + (where.empty() ? std::string("nieznane") : where) + "\r\n";
    if (!c.settings.mapUrl.empty())
        body += "Pojazd na mapie: " + Cp1250ToUtf8(c.settings.mapUrl) + "?wybierz=" +
                QueryText(Cp1250ToUtf8(e.registration)) + "\r\n";
    if (c.heldBack > 0)
        body += "Od poprzedniego powiadomienia wstrzymano takich zdarzeń tego pojazdu: " + std::to_string(c.heldBack) +
                ".\r\n";
    body += "\r\nPowiadomienie „" + Cp1250ToUtf8(c.rule.name) + "” serwera pozycjonowania " +
            Cp1250ToUtf8(c.settings.serverName) + ".\r\n";
    return body;
}

std::string MailMessage(const NotificationContent& c, const std::string& to, std::int64_t dateUtc) {
    std::string encoded = Base64(MailBody(c)), body;
    for (std::size_t at = 0; at < encoded.size(); at += 76) body += encoded.substr(at, 76) + "\r\n";
    return "From: " + Cp1250ToUtf8(c.settings.mail.from) + "\r\nTo: " + Cp1250ToUtf8(to) +
           "\r\nSubject: " + EncodedWords(MailSubject(c)) + "\r\nDate: " + MailDate(dateUtc) +
           "\r\nMessage-ID: <" + std::to_string(c.event.id) + "." + std::to_string(dateUtc) + "@serwer>" +
           "\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: base64"
           "\r\n\r\n" + body;
}

std::string WebhookBody(const NotificationContent& c) {
    std::string more = ", \"serwer\": " + JsonString(c.settings.serverName);
    if (c.heldBack > 0) more += ", \"wstrzymane\": " + std::to_string(c.heldBack);
    return EventJson(c.event, more);
}

}  // namespace serwer

#include "web/LoginPage.hpp"

namespace serwer {

std::string HtmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string LoginPageHtml(std::string_view messageUtf8, std::string_view nameUtf8) {
    std::string html =
        "<!DOCTYPE html>\n<html lang=\"pl\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<title>Logowanie – Serwer pozycjonowania</title>\n"
        "<link rel=\"stylesheet\" href=\"/static/style.css\">\n</head>\n<body class=\"logowanie\">\n"
        "<main id=\"logowanie\">\n<h1>Mapa floty</h1>\n";
    if (!messageUtf8.empty()) html += "<p id=\"komunikat\" role=\"alert\">" + HtmlEscape(messageUtf8) + "</p>\n";
    html +=
        "<form method=\"post\" action=\"/logowanie\">\n"
        "<label for=\"nazwa\">Konto</label>\n"
        "<input id=\"nazwa\" name=\"nazwa\" autocomplete=\"username\" required autofocus value=\"" +
        HtmlEscape(nameUtf8) +
        "\">\n"
        "<label for=\"haslo\">Hasło</label>\n"
        "<input id=\"haslo\" name=\"haslo\" type=\"password\" autocomplete=\"current-password\" required>\n"
        "<button id=\"zaloguj\" type=\"submit\">Zaloguj</button>\n"
        "</form>\n</main>\n</body>\n</html>\n";
    return html;
}

}  // namespace serwer

#pragma once
#include <string>
#include <string_view>

namespace serwer {

// The login page (UTF-8 HTML): the form that posts the account's name and password to
// /logowanie, with a message above it when there is one (a wrong password, a lock) and
// the name typed before. Every text given is escaped.
std::string LoginPageHtml(std::string_view messageUtf8, std::string_view nameUtf8);

// A text made safe inside HTML, in an element or a quoted attribute.
std::string HtmlEscape(std::string_view text);

}  // namespace serwer

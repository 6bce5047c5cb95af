#pragma once
#include <string>
#include <string_view>

namespace serwer {

// Appends UTF-8 text as a JSON string (RFC 8259), quotes included: the quote, the
// backslash and every control character below 0x20 are escaped, everything else is
// copied as it is.
void AppendJsonString(std::string& out, std::string_view utf8);

}  // namespace serwer

#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace serwer {

// Source files are UTF-8; the server's texts, logs and files are Windows-1250.
// Literals are converted once (usually into a static constant); a character that
// Windows-1250 cannot hold becomes '?'.
std::string Cp1250(std::string_view utf8);

// The same conversion for text from outside: nothing unless the text is well-formed
// UTF-8 (shortest forms only, no surrogates, nothing above U+10FFFF) of characters that
// Windows-1250 has.
std::optional<std::string> Cp1250Exact(std::string_view utf8);

// For display only (window, report, terminal): Windows-1250 bytes to UTF-8.
std::string Cp1250ToUtf8(std::string_view cp1250);

}  // namespace serwer

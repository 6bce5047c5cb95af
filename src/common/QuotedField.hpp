#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace serwer {

// Reads a double-quoted value of text starting at pos, which is at the opening quote.
// A doubled quote inside is one quote. On return pos is just past the closing quote,
// or at the end of text when the value is not closed.
std::string ScanQuotedField(std::string_view text, std::size_t& pos);

}  // namespace serwer

#include "common/QuotedField.hpp"

namespace serwer {

std::string ScanQuotedField(std::string_view text, std::size_t& pos) {
    std::string value;
    ++pos;
    while (pos < text.size()) {
        if (text[pos] == '"') {
            if (pos + 1 < text.size() && text[pos + 1] == '"') {
                value += '"';
                pos += 2;
                continue;
            }
            ++pos;
            break;
        }
        value += text[pos++];
    }
    return value;
}

}  // namespace serwer

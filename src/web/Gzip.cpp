#include "web/Gzip.hpp"

#include <zlib.h>

#include <cctype>
#include <stdexcept>

namespace serwer {

namespace {

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// "q=0", "q=0.0", "q=0.000": refused.
bool ZeroWeight(std::string_view parameters) {
    while (!parameters.empty()) {
        const std::size_t semicolon = parameters.find(';');
        const std::string_view p = Trimmed(parameters.substr(0, semicolon));
        parameters = semicolon == std::string_view::npos ? std::string_view() : parameters.substr(semicolon + 1);
        if (p.size() < 2 || (p[0] != 'q' && p[0] != 'Q') || p[1] != '=') continue;
        const std::string_view value = p.substr(2);
        if (value.empty() || value[0] != '0') return false;
        for (const char c : value.substr(1))
            if (c != '.' && c != '0') return false;
        return true;
    }
    return false;
}

}  // namespace

std::string Gzip(std::string_view text) {
    z_stream z{};
    // 15 window bits, plus 16: a gzip header and trailer.
    if (deflateInit2(&z, Z_BEST_SPEED, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2");
    std::string out(deflateBound(&z, static_cast<uLong>(text.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&z, Z_FINISH);
    const std::size_t written = out.size() - z.avail_out;
    deflateEnd(&z);
    if (result != Z_STREAM_END) throw std::runtime_error("deflate");
    out.resize(written);
    return out;
}

bool AcceptsGzip(std::string_view acceptEncoding) {
    while (!acceptEncoding.empty()) {
        const std::size_t comma = acceptEncoding.find(',');
        const std::string_view item = acceptEncoding.substr(0, comma);
        acceptEncoding = comma == std::string_view::npos ? std::string_view() : acceptEncoding.substr(comma + 1);
        const std::size_t semicolon = item.find(';');
        const std::string_view name = Trimmed(item.substr(0, semicolon));
        if (!EqualsIgnoringCase(name, "gzip") && name != "*") continue;
        return semicolon == std::string_view::npos || !ZeroWeight(item.substr(semicolon + 1));
    }
    return false;
}

}  // namespace serwer

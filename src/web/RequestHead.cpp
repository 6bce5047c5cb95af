#include "web/RequestHead.hpp"

#include <algorithm>
#include <optional>

namespace serwer {

namespace {

// RFC 9110's tchar: the bytes of a method or a field name.
bool IsTokenByte(char c) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= '0' && b <= '9') return true;
    if ((b | 0x20) >= 'a' && (b | 0x20) <= 'z') return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool IsToken(std::string_view text) { return !text.empty() && std::all_of(text.begin(), text.end(), IsTokenByte); }

// Visible ASCII: the bytes of a request target (a browser percent-encodes the rest).
bool IsVisible(char c) { return c > 0x20 && c < 0x7F; }

// A field value's byte: visible, a blank, a tab, or beyond ASCII (obs-text).
bool IsValueByte(char c) {
    const auto b = static_cast<unsigned char>(c);
    return b == '\t' || b == ' ' || (b > 0x20 && b != 0x7F);
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return (x >= 'A' && x <= 'Z' ? x + 32 : x) == (y >= 'A' && y <= 'Z' ? y + 32 : y);
           });
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

bool IsRequestLine(std::string_view line) {
    const std::size_t first = line.find(' ');
    const std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    if (second == std::string_view::npos) return false;
    const std::string_view method = line.substr(0, first);
    const std::string_view target = line.substr(first + 1, second - first - 1);
    const std::string_view version = line.substr(second + 1);
    return IsToken(method) && !target.empty() && std::all_of(target.begin(), target.end(), IsVisible) &&
           (version == "HTTP/1.1" || version == "HTTP/1.0");
}

RequestHead Refused(int status) {
    RequestHead head;
    head.state = RequestHead::State::Refused;
    head.status = status;
    return head;
}

}  // namespace

RequestHead ReadRequestHead(std::string_view in, std::size_t maxBytes) {
    std::size_t lineStart = 0;
    while (in.substr(lineStart, 2) == "\r\n") lineStart += 2;

    RequestHead head;
    std::optional<std::string_view> contentLength;
    bool chunked = false;
    for (bool requestLine = true;; requestLine = false) {
        std::size_t end = lineStart;
        while (end < in.size() && in[end] != '\r' && in[end] != '\n') ++end;
        if (end == in.size() || (in[end] == '\r' && end + 1 == in.size())) {
            // The line has not ended yet.
            if (in.size() >= maxBytes) return Refused(requestLine ? 414 : 400);
            return head;
        }
        // A bare LF or a bare CR: a line end that some readers see and others do not.
        if (in[end] == '\n' || in[end + 1] != '\n') return Refused(400);
        const std::string_view line = in.substr(lineStart, end - lineStart);
        lineStart = end + 2;
        if (lineStart > maxBytes) return Refused(requestLine ? 414 : 400);

        if (requestLine) {
            if (!IsRequestLine(line)) return Refused(400);
        } else if (line.empty()) {
            // Both lengths, or two different ones, leave the body's end to the reader.
            if (contentLength && chunked) return Refused(400);
            head.state = RequestHead::State::Ready;
            head.used = lineStart;
            head.forwarded += "\r\n";
            return head;
        } else {
            // No blank before the colon and no folded line (a line starting with a blank).
            const std::size_t colon = line.find(':');
            if (colon == std::string_view::npos || !IsToken(line.substr(0, colon))) return Refused(400);
            const std::string_view name = line.substr(0, colon);
            const std::string_view value = line.substr(colon + 1);
            if (!std::all_of(value.begin(), value.end(), IsValueByte)) return Refused(400);
            if (EqualsIgnoringCase(name, "Range") || EqualsIgnoringCase(name, "If-Range")) continue;
            if (EqualsIgnoringCase(name, "Content-Length")) {
                const std::string_view length = TrimBlanks(value);
                if (length.empty() || !std::all_of(length.begin(), length.end(), [](char c) {
                        return c >= '0' && c <= '9';
                    }))
                    return Refused(400);
                if (contentLength && *contentLength != length) return Refused(400);
                contentLength = length;
                head.hasBody = true;
            } else if (EqualsIgnoringCase(name, "Transfer-Encoding")) {
                chunked = true;
                head.hasBody = true;
            }
        }
        head.forwarded.append(line).append("\r\n");
    }
}

std::string_view BodySlice(std::string_view body, std::size_t offset, std::size_t length) {
    if (offset >= body.size()) return {};
    return body.substr(offset, std::min(length, body.size() - offset));
}

}  // namespace serwer

#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace serwer {

// A request's head (request line and headers) as it arrived, read one way only, before
// httplib parses it: so that no proxy in front of the service can take the same bytes
// for a different request, a head is accepted only in the strict form
//
//   method SP target SP HTTP/1.x CRLF
//   *( field-name ":" OWS field-value OWS CRLF )
//   CRLF
//
// where a field name is a token, a field value holds no control byte but HTAB, and no
// line is folded. Empty lines before the request line are skipped.
struct RequestHead {
    enum class State {
        Incomplete,  // more bytes are needed
        Ready,       // a whole head, accepted
        Refused,     // answer `status` and close the connection
    };
    State state = State::Incomplete;
    int status = 0;        // when refused: 400, or 414 for a request line over the limit
    std::size_t used = 0;  // when ready: bytes of the input the head took (with skipped empty lines)
    // When ready: the head as httplib gets it, without Range and If-Range (no answer is
    // ever a part of its body).
    std::string forwarded;
    bool hasBody = false;  // Content-Length or Transfer-Encoding was sent
};

// Reads the head at the start of `received`; a head that has not ended within
// `maxBytes` is refused (414 while the request line has not ended, 400 otherwise).
RequestHead ReadRequestHead(std::string_view received, std::size_t maxBytes);

// The part [offset, offset + length) of a body, cut to the body's end.
std::string_view BodySlice(std::string_view body, std::size_t offset, std::size_t length);

}  // namespace serwer

#include "link/ByteStuffing.hpp"

namespace serwer {

namespace {
constexpr char kEscape = 0x1B;

// The data byte an escape pair stands for, or -1 when the pair is outside the table.
int EscapedByte(char second) {
    switch (second) {
        case 0x04:
            return 0x10;
        case 0x1B:
            return 0x1B;
        case 0x02:
            return 0x03;
        default:
            return -1;
    }
}
}  // namespace

Bytes StuffBytes(const Bytes& data) {
    Bytes out;
    out.reserve(data.size() + data.size() / 8 + 2);
    for (char c : data) {
        switch (c) {
            case 0x10:
                out += kEscape;
                out += char(0x04);
                break;
            case 0x1B:
                out += kEscape;
                out += kEscape;
                break;
            case 0x03:
                out += kEscape;
                out += char(0x02);
                break;
            default:
                out += c;
        }
    }
    return out;
}

Bytes UnstuffBytes(const Bytes& link) {
    Bytes out;
    out.reserve(link.size());
    const std::size_t n = link.size();
    for (std::size_t i = 0; i < n;) {
        if (link[i] != kEscape || i + 1 == n) {
            out += link[i];
            ++i;
            continue;
        }
        const int b = EscapedByte(link[i + 1]);
        if (b < 0) {
            out += kEscape;  // the following byte is examined afresh
            ++i;
        } else {
            out += static_cast<char>(b);
            i += 2;
        }
    }
    return out;
}

Bytes UnstuffDump(const Bytes& link) {
    Bytes out;
    out.reserve(link.size());
    const std::size_t n = link.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (link[i] != kEscape) {
            out += link[i];
            continue;
        }
        if (i + 1 == n) break;  // lone escape at the end: dropped
        const int b = EscapedByte(link[++i]);
        if (b >= 0) out += static_cast<char>(b);
    }
    return out;
}

bool EndsInUnpairedEscape(const Bytes& link) {
    std::size_t run = 0;
    while (run < link.size() && link[link.size() - 1 - run] == kEscape) ++run;
    return run % 2 == 1;
}

}  // namespace serwer

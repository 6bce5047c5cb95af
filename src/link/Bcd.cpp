#include "link/Bcd.hpp"

#include <string>

#include "common/ServerError.hpp"

namespace serwer {

std::string HexText(std::string_view bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char c : bytes) {
        auto b = static_cast<unsigned char>(c);
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
    return out;
}

namespace {
[[noreturn]] void FailInteger(const std::string& text) {
    throw ConversionError("'" + text + "' is not a valid integer value");
}
}  // namespace

int DecodeBcdByte(unsigned char b) {
    if ((b >> 4) > 9 || (b & 0x0F) > 9) {
        std::string hex = HexText(std::string_view(reinterpret_cast<const char*>(&b), 1));
        FailInteger(std::string(12 - hex.size(), '0') + hex);
    }
    return (b >> 4) * 10 + (b & 0x0F);
}

std::int64_t DecodeBcdNumber(std::string_view bytes) {
    std::int64_t value = 0;
    for (char c : bytes) {
        auto b = static_cast<unsigned char>(c);
        if ((b >> 4) > 9 || (b & 0x0F) > 9) FailInteger(HexText(bytes));
        value = value * 100 + (b >> 4) * 10 + (b & 0x0F);
    }
    return value;
}

unsigned char EncodeBcdByte(int value) { return static_cast<unsigned char>(((value / 10) % 10) << 4 | (value % 10)); }

}  // namespace serwer

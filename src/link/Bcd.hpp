#pragma once
#include <cstdint>
#include <string_view>

namespace serwer {

// Binary-coded decimal: two digits per byte, high nibble first, most significant byte
// first. A nibble above 9 fails with ConversionError "'%s' is not a valid integer value".

// One byte, 0..99. The message quotes the byte's hex text padded with zeros to 12 characters.
int DecodeBcdByte(unsigned char b);

// A run of bytes read as one decimal number. The message quotes the run's hex digits.
std::int64_t DecodeBcdNumber(std::string_view bytes);

// Upper-case hexadecimal text of bytes, two digits per byte.
std::string HexText(std::string_view bytes);

// The BCD byte of two decimal digits (0..99): tens in the high nibble.
unsigned char EncodeBcdByte(int value);

}  // namespace serwer

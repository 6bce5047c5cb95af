#pragma once
#include <cstddef>
#include <string>
#include <string_view>

#include "common/Bytes.hpp"

namespace serwer {

// Whether a unit's bulk transfer has ended. The unit ends it with the end trailer
// DC BA followed by the last page number in two BCD bytes, sent twice; the transfer is
// complete once the second copy, lying wholly within the 256 bytes that follow the
// first end marker, carries the same number as the first. The first DC BA anywhere in
// the unstuffed data counts as the first end marker, page data included.
struct DumpCompletion {
    bool complete = false;
    int lastPage = 0;  // meaningful only when complete
};

// The answer for everything collected so far (stuffed, as received). A page number
// byte with a nibble above 9 throws ConversionError "'%s' is not a valid integer value".
DumpCompletion IsDumpComplete(const Bytes& collected);

// The answer of IsDumpComplete, kept up to date as data arrive: feeding the collected
// data in pieces, split anywhere, gives after each piece what IsDumpComplete gives for
// everything fed so far, including its conversion errors - with one difference: an
// escape byte that ends the data so far is taken as the first half of a pair still on
// its way, not as a byte of its own. A pass of the receive loop that happens to end
// between 1B and 04 of a stuffed page count (00 1B|04 for page 10) would otherwise
// read the count as 00 1B and fail a sound transfer with a conversion error.
// Each piece costs its own length plus a constant, and the checker keeps at most the
// 256 bytes after the first end marker.
class DumpCompletionChecker {
public:
    // Takes the bytes just appended to the collected data and answers for all of it.
    DumpCompletion Feed(std::string_view newBytes);
    // The answer for everything fed so far.
    DumpCompletion Check() const;
    void Reset() { *this = DumpCompletionChecker(); }

    static constexpr std::size_t kWindow = 256;

private:
    void Emit(char unstuffed);

    // An escape byte that ended the data fed so far, waiting for its partner.
    bool escapePending_ = false;
    bool markerFound_ = false;
    char lastByte_ = 0;
    bool haveLastByte_ = false;
    // The unstuffed bytes after the first end marker, at most kWindow of them.
    std::string window_;
};

}  // namespace serwer

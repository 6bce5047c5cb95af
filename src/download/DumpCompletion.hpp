#pragma once
#include <cstddef>
#include <string>
#include <string_view>

#include "common/Bytes.hpp"

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

// The same answer as IsDumpComplete, kept up to date as data arrive: feeding the
// collected data in pieces, split anywhere (escape pairs and trailers included), gives
// after each piece exactly what IsDumpComplete gives for everything fed so far,
// including its conversion errors. Each piece costs its own length plus a constant,
// and the checker keeps at most the 256 bytes after the first end marker.
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

    // An escape byte that ended the data fed so far; until its partner arrives it
    // stands for itself, as in UnstuffBytes.
    bool escapePending_ = false;
    bool markerFound_ = false;
    char lastByte_ = 0;
    bool haveLastByte_ = false;
    // The unstuffed bytes after the first end marker, at most kWindow of them.
    std::string window_;
};

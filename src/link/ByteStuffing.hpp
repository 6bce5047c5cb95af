#pragma once
#include "common/Bytes.hpp"

namespace serwer {

// Link byte stuffing. On the link, 0x10, 0x1B and 0x03 travel as the escape pairs
// 1B 04, 1B 1B and 1B 02. Lead bytes and markers of messages go out unstuffed.

// The encoder: for the data bytes of everything sent to a unit.
Bytes StuffBytes(const Bytes& data);

// The decoder that keeps an escape pair outside the table (1B 41 stays 1B 41) and a
// trailing lone 0x1B. Used on the position frame, the end-of-dump test, repeat
// replies and the erase reply.
Bytes UnstuffBytes(const Bytes& link);

// The decoder that drops an escape pair outside the table together with its second
// byte, and a trailing lone 0x1B. Used on the whole dump before its pages are parsed.
Bytes UnstuffDump(const Bytes& link);

// True when the link bytes received so far end in an escape byte whose partner has not
// arrived yet (an odd run of 0x1B at the end: a byte other than 0x1B never starts a pair).
bool EndsInUnpairedEscape(const Bytes& link);

}  // namespace serwer

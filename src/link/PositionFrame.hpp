#pragma once
#include <cstddef>
#include <string_view>

#include "common/Bytes.hpp"

namespace serwer {

// The frame a unit sends when it connects: kRecordSize bytes at once, then single bytes
// until the frame ends with "$". The tenth of those single bytes ends the wait whatever
// it is, so a frame holds at most nine of them. The frame is still byte-stuffed.
//
// Bytes are given to Add in the amounts BytesWanted asks for, as they come off the link.
class PositionFrame {
public:
    enum class State { Incomplete, Complete, TooLong };

    static constexpr int kExtraBytes = 10;

    // kRecordSize for the first call, then 1.
    std::size_t BytesWanted() const;
    // Takes exactly BytesWanted() bytes and says where the frame stands.
    State Add(std::string_view bytes);
    const Bytes& Frame() const { return frame_; }

private:
    Bytes frame_;
    int extraLeft_ = kExtraBytes;
};

}  // namespace serwer

#include "link/PositionFrame.hpp"

#include "link/PositionRecord.hpp"

namespace serwer {

namespace {
constexpr char kFrameEnd = '$';
}

std::size_t PositionFrame::BytesWanted() const { return frame_.empty() ? kRecordSize : 1; }

PositionFrame::State PositionFrame::Add(std::string_view bytes) {
    const bool first = frame_.empty();
    frame_.append(bytes);
    if (frame_.empty()) return State::Incomplete;
    if (!first && --extraLeft_ == 0) return State::TooLong;
    return frame_.back() == kFrameEnd ? State::Complete : State::Incomplete;
}

}  // namespace serwer

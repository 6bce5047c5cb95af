#include "download/DumpCompletion.hpp"

#include "link/Bcd.hpp"
#include "link/ByteStuffing.hpp"

namespace serwer {

namespace {
constexpr char kEscape = 0x1B;
constexpr char kEndMarker1 = static_cast<char>(0xDC);
constexpr char kEndMarker2 = static_cast<char>(0xBA);

// Position of the first DC BA in d whose two following bytes lie inside d, or npos.
// A DC BA without its two bytes ends the search with npos as well: a later marker
// can only be the first once nothing precedes it.
std::size_t FindMarker(std::string_view d) {
    for (std::size_t i = 0; i + 1 < d.size(); ++i) {
        if (d[i] == kEndMarker1 && d[i + 1] == kEndMarker2) {
            return i + 3 < d.size() ? i : std::string_view::npos;
        }
    }
    return std::string_view::npos;
}

// Steps 3 to 6 of the check, given the bytes that follow the first end marker
// (only the first 256 of them are looked at).
DumpCompletion JudgeAfterMarker(std::string_view after) {
    DumpCompletion result;
    if (after.size() < 2) return result;
    const auto first = DecodeBcdNumber(after.substr(0, 2));
    const std::string_view window = after.substr(0, DumpCompletionChecker::kWindow);
    const std::size_t q = FindMarker(window);
    if (q == std::string_view::npos) return result;
    const auto second = DecodeBcdNumber(window.substr(q + 2, 2));
    if (first == second) {
        result.complete = true;
        result.lastPage = static_cast<int>(first);
    }
    return result;
}
}  // namespace

DumpCompletion IsDumpComplete(const Bytes& collected) {
    const Bytes d = UnstuffBytes(collected);
    const std::string_view view(d);
    for (std::size_t i = 0; i + 1 < view.size(); ++i) {
        if (view[i] == kEndMarker1 && view[i + 1] == kEndMarker2) return JudgeAfterMarker(view.substr(i + 2));
    }
    return {};
}

void DumpCompletionChecker::Emit(char b) {
    if (markerFound_) {
        if (window_.size() < kWindow) window_ += b;
        return;
    }
    if (haveLastByte_ && lastByte_ == kEndMarker1 && b == kEndMarker2) {
        markerFound_ = true;
        return;
    }
    lastByte_ = b;
    haveLastByte_ = true;
}

DumpCompletion DumpCompletionChecker::Feed(std::string_view newBytes) {
    for (char c : newBytes) {
        // Once the window is full nothing that follows can change the answer.
        if (markerFound_ && window_.size() >= kWindow) break;
        if (escapePending_) {
            escapePending_ = false;
            switch (c) {
                case 0x04:
                    Emit(0x10);
                    continue;
                case 0x02:
                    Emit(0x03);
                    continue;
                case kEscape:
                    Emit(kEscape);
                    continue;
                default:
                    Emit(kEscape);  // a pair outside the table: the escape byte stands for itself
                    break;          // and c is taken afresh below (it is not an escape byte)
            }
        }
        if (c == kEscape) {
            escapePending_ = true;
        } else {
            Emit(c);
        }
    }
    return Check();
}

DumpCompletion DumpCompletionChecker::Check() const {
    if (!markerFound_) return {};
    // A trailing escape byte is not judged until its partner has arrived.
    return JudgeAfterMarker(window_);
}

}  // namespace serwer

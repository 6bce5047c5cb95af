#include "notifications/Throttle.hpp"

#include <algorithm>

namespace serwer {

ThrottleDecision Throttle(ThrottleState& state, std::int64_t nowUtc, int intervalMinutes) {
    const std::int64_t interval = static_cast<std::int64_t>(std::max(0, intervalMinutes)) * 60;
    if (state.sentBefore && nowUtc - state.lastSentUtc < interval) {
        ++state.heldBack;
        return {false, 0};
    }
    const ThrottleDecision decision{true, state.heldBack};
    state = {true, nowUtc, 0};
    return decision;
}

std::int64_t RetryDelaySeconds(int failures) {
    std::int64_t delay = 10;
    for (int i = 1; i < failures && delay < 1800; ++i) delay *= 2;
    return std::min<std::int64_t>(delay, 1800);
}

}  // namespace serwer

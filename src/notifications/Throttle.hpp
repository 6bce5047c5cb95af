#pragma once
#include <cstdint>

namespace serwer {

// What a rule has sent of one vehicle's events of one type: at most one notification in
// its interval; the events in between are counted, and the next notification says how
// many were held back.
struct ThrottleState {
    bool sentBefore = false;
    std::int64_t lastSentUtc = 0;
    int heldBack = 0;
};

struct ThrottleDecision {
    bool send = false;
    int heldBack = 0;  // to be told in the notification sent
};

// One event at nowUtc: sent (and the state starts a new interval) or held back.
ThrottleDecision Throttle(ThrottleState& state, std::int64_t nowUtc, int intervalMinutes);

// The wait before the next try after `failures` failed ones: 10 s, doubled each time, at
// most 30 minutes. Tries end 24 hours after the notification was made.
std::int64_t RetryDelaySeconds(int failures);
constexpr std::int64_t kGiveUpAfterSeconds = 24 * 3600;

}  // namespace serwer

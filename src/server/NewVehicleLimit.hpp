#pragma once
#include <chrono>
#include <cstddef>
#include <deque>

namespace serwer {

// How many vehicles the table may gain: at most `perHour` in any 60 minutes, kept as the
// times of the additions of the last hour. The caller passes the time (a steady clock, so
// that setting the wall clock neither opens nor closes the window) and serialises the
// calls (the handler holds the table lock). A limit of 0 admits no new vehicle.
class NewVehicleLimit {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration kWindow = std::chrono::hours(1);

    enum class Verdict {
        Admitted,
        FirstRefused,  // the first refusal since the start or since the last vehicle admitted
        Refused,
    };

    // Whether one more vehicle may be added at `now`; an admitted one is counted.
    Verdict Admit(int perHour, Clock::time_point now) {
        while (!added_.empty() && now - added_.front() >= kWindow) added_.pop_front();
        if (perHour > 0 && added_.size() < static_cast<std::size_t>(perHour)) {
            added_.push_back(now);
            refusing_ = false;
            return Verdict::Admitted;
        }
        const bool first = !refusing_;
        refusing_ = true;
        return first ? Verdict::FirstRefused : Verdict::Refused;
    }

private:
    std::deque<Clock::time_point> added_;  // oldest first, none older than kWindow
    bool refusing_ = false;
};

}  // namespace serwer

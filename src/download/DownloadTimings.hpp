#pragma once
#include <chrono>

namespace serwer {

// Every wait and time limit of a memory download. The defaults are the production
// values; tests shorten them. All limits are measured on std::chrono::steady_clock,
// so a change of the wall clock never cuts a download short or stretches it.
struct DownloadTimings {
    using Ms = std::chrono::milliseconds;

    // Before and after the dump request is written.
    Ms pauseBeforeDumpRequest{1000};
    Ms pauseAfterDumpRequest{100};
    // Longest wait for incoming data in one pass of every receive loop.
    Ms passWait{250};
    // Wait for stray incoming data (which is then dropped) before a repeat request.
    Ms repeatPreWait{10000};
    // Limit for the reply to one repeat request, counted from the start of that repeat.
    Ms repeatDeadline{std::chrono::minutes(2)};
    // Pause before the erase command, and the limit of the whole erase exchange
    // (the pause included).
    Ms erasePause{10000};
    Ms eraseDeadline{std::chrono::minutes(2)};
};

}  // namespace serwer

#include "app/ProcessLimits.hpp"

#include <sys/resource.h>

#include <fstream>

namespace serwer {

namespace {

// The most descriptors the kernel lets one process have (fs.nr_open); a soft limit of
// "unlimited" is refused above it.
rlim_t SystemDescriptorCeiling() {
    std::ifstream in("/proc/sys/fs/nr_open");
    unsigned long long value = 0;
    if (in >> value && value > 0) return static_cast<rlim_t>(value);
    return 1048576;  // the kernel's default
}

}  // namespace

std::uint64_t RaiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    rlim_t wanted = limit.rlim_max;
    if (wanted == RLIM_INFINITY) wanted = SystemDescriptorCeiling();
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= wanted) return limit.rlim_cur;
    rlimit raised = limit;
    raised.rlim_cur = wanted;
    if (::setrlimit(RLIMIT_NOFILE, &raised) != 0) return limit.rlim_cur;
    return raised.rlim_cur;
}

}  // namespace serwer

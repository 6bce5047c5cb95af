#pragma once
#include <cstdint>

namespace serwer {

// Every unit connection holds a socket for as long as its handler runs (up to the
// download limit plus the closing wait), so an installation with thousands of units
// needs thousands of descriptors at once; the usual soft limit of 1024 would have
// accept() fail long before that. The hard limit is the administrator's ceiling and
// the soft one may be raised to it without privileges.

// Raises the process's soft limit on open descriptors (RLIMIT_NOFILE) to its hard
// limit and returns the soft limit in force afterwards (unchanged when it could not
// be raised). An unlimited hard limit is taken as the system's per-process maximum.
std::uint64_t RaiseDescriptorLimit();

}  // namespace serwer

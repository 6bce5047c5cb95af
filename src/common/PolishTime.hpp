#pragma once
#include <cstdint>
#include <string>

#include "common/DateTime.hpp"

namespace serwer {

// Polish civil time as the clocks in Poland show it: the zone Europe/Warsaw of the
// system's time zone data (Debian's tzdata), so 1 h ahead of UTC in winter and 2 h in
// summer, switching at 01:00 UTC on the last Sundays of March and October. The history,
// its exports and the web API keep their times by it. (The table's OPIS and times keep a
// fixed rule of their own: FixTimeToLocal in link/PositionRecord.hpp.)

// Which rule the functions follow.
enum class PolishTimeRule {
    Tzdata,  // Europe/Warsaw from the time zone data
    EuRule,  // the EU rule computed directly: +2 h from 01:00 UTC on the last Sunday of
             // March to 01:00 UTC on the last Sunday of October, +1 h otherwise
};
// Tzdata when the zone could be loaded (once, on first use), EuRule otherwise.
PolishTimeRule PolishTimeRuleInUse();

// The offset of Polish time from UTC at a UTC second, in seconds.
int PolishUtcOffsetSeconds(std::int64_t utcSeconds, PolishTimeRule rule = PolishTimeRuleInUse());
// The Polish wall time at a UTC second.
DateTime PolishWallTime(std::int64_t utcSeconds, PolishTimeRule rule = PolishTimeRuleInUse());
// The UTC second of a Polish wall time (milliseconds dropped). A wall time of the hour
// that October's change repeats is the earlier instant (summer time); a wall time that
// March's change skips is taken as winter time.
std::int64_t UtcSecondOfPolish(DateTime wall, PolishTimeRule rule = PolishTimeRuleInUse());

// Polish time with its offset, ISO 8601: "2026-12-08T14:45:00+01:00".
std::string PolishIsoTime(std::int64_t utcSeconds);

}  // namespace serwer

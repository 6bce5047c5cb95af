#include "common/PolishTime.hpp"

#include <cctz/civil_time.h>
#include <cctz/time_zone.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace serwer {

namespace {

constexpr int kWinterOffset = 3600;
constexpr int kSummerOffset = 7200;

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

const std::optional<cctz::time_zone>& Warsaw() {
    static const std::optional<cctz::time_zone> zone = []() -> std::optional<cctz::time_zone> {
        cctz::time_zone tz;
        if (!cctz::load_time_zone("Europe/Warsaw", &tz)) return std::nullopt;
        return tz;
    }();
    return zone;
}

cctz::time_point<cctz::seconds> TimePoint(std::int64_t utcSeconds) {
    return cctz::time_point<cctz::seconds>(cctz::seconds(utcSeconds));
}

// 01:00 UTC on the last Sunday of a month, in UTC seconds.
std::int64_t ChangeOfMonth(int year, int month) {
    const DateTime last = DateTime::FromParts({year, month, DaysInMonth(year, month), 1, 0, 0, 0});
    return last.PlusDays(-last.DayOfWeek()).Ms() / DateTime::kMsPerSecond;
}

int EuRuleOffset(std::int64_t utcSeconds) {
    const int year = DateTime::FromMs(utcSeconds * DateTime::kMsPerSecond).Split().year;
    return utcSeconds >= ChangeOfMonth(year, 3) && utcSeconds < ChangeOfMonth(year, 10) ? kSummerOffset : kWinterOffset;
}

}  // namespace

PolishTimeRule PolishTimeRuleInUse() { return Warsaw() ? PolishTimeRule::Tzdata : PolishTimeRule::EuRule; }

int PolishUtcOffsetSeconds(std::int64_t utcSeconds, PolishTimeRule rule) {
    if (rule == PolishTimeRule::Tzdata && Warsaw()) return Warsaw()->lookup(TimePoint(utcSeconds)).offset;
    return EuRuleOffset(utcSeconds);
}

DateTime PolishWallTime(std::int64_t utcSeconds, PolishTimeRule rule) {
    return DateTime::FromMs((utcSeconds + PolishUtcOffsetSeconds(utcSeconds, rule)) * DateTime::kMsPerSecond);
}

std::int64_t UtcSecondOfPolish(DateTime wall, PolishTimeRule rule) {
    const std::int64_t wallSeconds = FloorDiv(wall.Ms(), DateTime::kMsPerSecond);
    if (rule == PolishTimeRule::Tzdata && Warsaw()) {
        const DateTime::Parts p = wall.Split();
        const cctz::civil_second civil(p.year, p.month, p.day, p.hour, p.minute, p.second);
        // pre: by the offset before the change, which is summer time in the repeated hour
        // and winter time in the skipped one.
        return Warsaw()->lookup(civil).pre.time_since_epoch().count();
    }
    const std::int64_t summer = wallSeconds - kSummerOffset;
    if (EuRuleOffset(summer) == kSummerOffset) return summer;
    return wallSeconds - kWinterOffset;
}

std::string PolishIsoTime(std::int64_t utcSeconds) {
    const DateTime::Parts p = PolishWallTime(utcSeconds).Split();
    const int offsetMinutes = PolishUtcOffsetSeconds(utcSeconds) / 60;
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", p.year, p.month, p.day, p.hour, p.minute,
                  p.second, offsetMinutes < 0 ? '-' : '+', std::abs(offsetMinutes) / 60, std::abs(offsetMinutes) % 60);
    return buf;
}

}  // namespace serwer

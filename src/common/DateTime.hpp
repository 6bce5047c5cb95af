#pragma once
#include <compare>
#include <cstdint>
#include <optional>
#include <string>

namespace serwer {

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);

// A local date and time as the server keeps it in the table and writes it to files:
// a civil wall-clock value with millisecond precision and no time zone attached.
// Time limits never use it; they run on std::chrono::steady_clock.
class DateTime {
public:
    static constexpr std::int64_t kMsPerSecond = 1000;
    static constexpr std::int64_t kMsPerMinute = 60 * kMsPerSecond;
    static constexpr std::int64_t kMsPerHour = 60 * kMsPerMinute;
    static constexpr std::int64_t kMsPerDay = 24 * kMsPerHour;

    struct Parts {
        int year = 1970, month = 1, day = 1;
        int hour = 0, minute = 0, second = 0, millisecond = 0;
    };

    DateTime() = default;

    // Nothing is checked: the caller passes a real date and a time of day in range.
    static DateTime FromParts(const Parts& p);
    // Returns nothing for an impossible date or time (30 February, hour 24, ...).
    static std::optional<DateTime> Make(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                                        int millisecond = 0);
    static DateTime FromMs(std::int64_t msSinceEpoch) {
        DateTime t;
        t.ms_ = msSinceEpoch;
        return t;
    }
    // The current local wall-clock time.
    static DateTime Now();

    std::int64_t Ms() const { return ms_; }
    Parts Split() const;
    DateTime Date() const;             // the same day at 00:00:00.000
    std::int64_t TimeOfDayMs() const;  // 0 .. kMsPerDay-1
    int DayOfWeek() const;             // 0 = Sunday .. 6 = Saturday
    DateTime PlusMs(std::int64_t ms) const { return FromMs(ms_ + ms); }
    DateTime PlusHours(std::int64_t h) const { return PlusMs(h * kMsPerHour); }
    DateTime PlusDays(std::int64_t d) const { return PlusMs(d * kMsPerDay); }

    auto operator<=>(const DateTime&) const = default;

private:
    std::int64_t ms_ = 0;  // milliseconds since 1970-01-01 00:00 of the same wall clock
};

// The standard text form of a date-time, used for log time stamps and labels:
// "DD-MM-YYYY", then, unless the time of day is 00:00:00 (milliseconds ignored),
// a blank and the 24-hour time "hh:mm:ss".
std::string FormatDateTimeText(DateTime t);

// "yyyy_mm_dd_hh_mm_ss", the time stamp used in file names.
std::string FormatFileStamp(DateTime t);

}  // namespace serwer

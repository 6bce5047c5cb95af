#include "common/DateTime.hpp"

#include <cstdio>
#include <ctime>

namespace serwer {

namespace {

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2));
}

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

}  // namespace

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 0;
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

DateTime DateTime::FromParts(const Parts& p) {
    return FromMs(DaysFromCivil(p.year, p.month, p.day) * kMsPerDay + p.hour * kMsPerHour + p.minute * kMsPerMinute +
                  p.second * kMsPerSecond + p.millisecond);
}

std::optional<DateTime> DateTime::Make(int year, int month, int day, int hour, int minute, int second,
                                       int millisecond) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
        return std::nullopt;
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || millisecond < 0 ||
        millisecond > 999)
        return std::nullopt;
    return FromParts({year, month, day, hour, minute, second, millisecond});
}

DateTime DateTime::Now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    std::tm tm{};
    time_t secs = ts.tv_sec;
    localtime_r(&secs, &tm);
    return FromParts({tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                      tm.tm_sec > 59 ? 59 : tm.tm_sec, static_cast<int>(ts.tv_nsec / 1000000)});
}

DateTime::Parts DateTime::Split() const {
    Parts p;
    const std::int64_t days = FloorDiv(ms_, kMsPerDay);
    std::int64_t rest = ms_ - days * kMsPerDay;
    CivilFromDays(days, p.year, p.month, p.day);
    p.hour = static_cast<int>(rest / kMsPerHour);
    rest %= kMsPerHour;
    p.minute = static_cast<int>(rest / kMsPerMinute);
    rest %= kMsPerMinute;
    p.second = static_cast<int>(rest / kMsPerSecond);
    p.millisecond = static_cast<int>(rest % kMsPerSecond);
    return p;
}

DateTime DateTime::Date() const { return FromMs(FloorDiv(ms_, kMsPerDay) * kMsPerDay); }

std::int64_t DateTime::TimeOfDayMs() const { return ms_ - FloorDiv(ms_, kMsPerDay) * kMsPerDay; }

int DateTime::DayOfWeek() const {
    // 1970-01-01 was a Thursday (4).
    const std::int64_t days = FloorDiv(ms_, kMsPerDay);
    return static_cast<int>(((days % 7) + 7 + 4) % 7);
}

std::string FormatDateTimeText(DateTime t) {
    const DateTime::Parts p = t.Split();
    char buf[40];
    if (p.hour == 0 && p.minute == 0 && p.second == 0)
        std::snprintf(buf, sizeof buf, "%02d-%02d-%04d", p.day, p.month, p.year);
    else
        std::snprintf(buf, sizeof buf, "%02d-%02d-%04d %02d:%02d:%02d", p.day, p.month, p.year, p.hour, p.minute,
                      p.second);
    return buf;
}

std::string FormatFileStamp(DateTime t) {
    const DateTime::Parts p = t.Split();
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d_%02d_%02d_%02d_%02d_%02d", p.year, p.month, p.day, p.hour, p.minute, p.second);
    return buf;
}

}  // namespace serwer

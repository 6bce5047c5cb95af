#pragma once
#include <optional>
#include <string>

#include "common/DateTime.hpp"

namespace serwer {

// The daily removal of old .svi files from the data directory.
//
// The first call of a calendar day removes every file of the data directory itself
// (not of its subdirectories) whose name matches "*<Y>_<MM>_*.svi", where Y and MM are
// the year and month two months before today; January and February go back into
// November and December of the previous year. Every such run writes
// "Usuwamy stare pliki svi <Y>_<MM>_" to log.txt. Later calls on the same day do
// nothing. A missing directory, a read-only file or a name that cannot be deleted
// (a directory, say) is passed over silently; only a failure to write the log line
// reaches the caller, and the day counts as done all the same.
//
// Meant for the window's thread; it takes no lock.
class OldFileCleanup {
public:
    explicit OldFileCleanup(std::string dataDirectory);

    // today is the current local date-time (DateTime::Now() in the program).
    void CleanOldFiles(DateTime today);

    // "%.4d_%.2d_" of the year and month two months before the given date.
    static std::string PrefixFor(DateTime today);

private:
    std::string dataDirectory_;
    std::optional<DateTime> lastRunDate_;  // unset until the first run of this process
};

}  // namespace serwer

#include "logs/OldFileCleanup.hpp"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string_view>
#include <utility>
#include <vector>

#include "logs/EventLog.hpp"

namespace serwer {

namespace {

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The name matches "*<prefix>*.svi": the extension compared without regard to case,
// as the file search of the server's home system does, and the prefix anywhere before it.
bool MatchesOldFile(const std::string& name, const std::string& prefix) {
    static const std::string kExtension = ".svi";
    if (name.size() < kExtension.size()) return false;
    const std::size_t stemLength = name.size() - kExtension.size();
    for (std::size_t i = 0; i < kExtension.size(); ++i)
        if (LowerAscii(name[stemLength + i]) != kExtension[i]) return false;
    return std::string_view(name).substr(0, stemLength).find(prefix) != std::string_view::npos;
}

// The names in the directory that match; empty when the directory cannot be read.
std::vector<std::string> FindOldFiles(const std::string& directory, const std::string& prefix) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (MatchesOldFile(name, prefix)) names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

// Deletes one file; a directory or a read-only file (no write permission for its
// owner, the counterpart of the read-only attribute) stays, as does anything the
// system refuses to delete.
void DeleteQuietly(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) return;
    if (S_ISREG(st.st_mode) && (st.st_mode & S_IWUSR) == 0) return;
    ::unlink(path.c_str());
}

}  // namespace

OldFileCleanup::OldFileCleanup(std::string dataDirectory) : dataDirectory_(std::move(dataDirectory)) {}

std::string OldFileCleanup::PrefixFor(DateTime today) {
    const DateTime::Parts p = today.Split();
    int year = p.year;
    int month = p.month - 2;
    if (month < 1) {
        month += 12;
        --year;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.4d_%.2d_", year, month);
    return buf;
}

void OldFileCleanup::CleanOldFiles(DateTime today) {
    const DateTime date = today.Date();
    if (lastRunDate_ && *lastRunDate_ == date) return;
    // Recorded before any work, so a run that fails is not repeated the same day.
    lastRunDate_ = date;

    const std::string prefix = PrefixFor(today);
    WriteLog("Usuwamy stare pliki svi " + prefix, "log.txt");

    for (const std::string& name : FindOldFiles(dataDirectory_, prefix)) DeleteQuietly(dataDirectory_ + "/" + name);
}

}  // namespace serwer

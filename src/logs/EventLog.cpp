#include "logs/EventLog.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <iterator>
#include <mutex>

#include "common/DateTime.hpp"
#include "common/ServerError.hpp"

namespace serwer {

namespace {

[[noreturn]] void FailWithSystemError(int error) { throw ServerError(std::strerror(error)); }

// Writers of one file take turns, so its entries are in the order of their stamps;
// writers of different files mostly do not wait for each other. A file's turn is one
// of a fixed set of mutexes chosen by its name: no shared map to look the name up in,
// which every writer of every file would queue for.
std::mutex& FileTurn(const std::string& fileName) {
    static std::mutex turns[256];
    return turns[std::hash<std::string>{}(fileName) % std::size(turns)];
}

// Opens the file for appending, creating it when it does not exist yet. One more
// plain append-open is tried when that fails (a file that appeared in between).
int OpenForAppend(const std::string& fileName) {
    int fd;
    do {
        fd = ::open(fileName.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) return fd;
    do {
        fd = ::open(fileName.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) FailWithSystemError(errno);
    return fd;
}

// Writes all of data; returns 0 or the error number of the failed write.
int WriteAll(int fd, const std::string& data) {
    const char* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return 0;
}

}  // namespace

bool IsSafeFileName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (char c : name) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20) return false;
        switch (c) {
            case '\\':
            case '/':
            case ':':
            case '*':
            case '?':
            case '"':
            case '<':
            case '>':
            case '|':
                return false;
            default:
                break;
        }
    }
    return true;
}

std::string LogTimeStamp() { return FormatDateTimeText(DateTime::Now()); }

void WriteLog(const std::string& message, const std::string& fileName) {
    // Refused before the file system is touched: such a name could reach outside the
    // working directory, and on the server's home system it is no file name at all.
    if (!IsSafeFileName(fileName)) FailWithSystemError(EINVAL);

    std::lock_guard<std::mutex> turn(FileTurn(fileName));
    const int fd = OpenForAppend(fileName);

    // The stamp is taken once this writer has the file, so the entries of a file are
    // in the order of their stamps. The entry goes out as one buffer.
    const std::string stamp = LogTimeStamp();
    std::string entry;
    entry.reserve(stamp.size() + 1 + message.size() + 2);
    entry += stamp;
    entry += '\n';
    entry += message;
    entry += "\r\n";

    const int writeError = WriteAll(fd, entry);
    const int closeResult = ::close(fd);
    const int closeError = closeResult != 0 && errno != EINTR ? errno : 0;
    if (writeError != 0) FailWithSystemError(writeError);
    if (closeError != 0) FailWithSystemError(closeError);
}

}  // namespace serwer

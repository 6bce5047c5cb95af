#include "common/DurableFile.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace serwer {

namespace {

constexpr std::string_view kTemporaryMark = ".tmp";
constexpr int kNameAttempts = 100;

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool AllDigits(std::string_view text) {
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return !text.empty();
}

// A file being written under a temporary name; closed and removed when it goes,
// unless it was given its final name.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& finalPath) : finalPath_(finalPath) {}
    ~TemporaryFile() {
        if (fd_ >= 0) ::close(fd_);
        if (created_ && !placed_) ::unlink(name_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    DurableWriteResult Create() {
        static std::atomic<unsigned long> serial{0};
        const auto processId = static_cast<unsigned long>(::getpid());
        for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
            name_ = TemporaryFileName(finalPath_, processId, serial++);
            fd_ = ::open(name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd_ >= 0) {
                created_ = true;
                return {};
            }
            if (errno != EEXIST) return Failed(DurableStep::Create);
        }
        return {DurableStep::NoFreeName, EEXIST, false};
    }

    DurableWriteResult WriteAll(std::string_view content) {
        std::size_t done = 0;
        while (done < content.size()) {
            const ssize_t n = ::write(fd_, content.data() + done, content.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return Failed(DurableStep::Write);
            done += static_cast<std::size_t>(n);
        }
        return {};
    }

    DurableWriteResult SyncAndClose() {
        if (::fsync(fd_) != 0) return Failed(DurableStep::Sync);
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) return Failed(DurableStep::Close);
        return {};
    }

    DurableWriteResult Place(Placement placement) {
        if (placement == Placement::Replace) {
            if (::rename(name_.c_str(), finalPath_.c_str()) != 0) return Failed(DurableStep::Place);
            placed_ = true;
            return {};
        }
        if (::renameat2(AT_FDCWD, name_.c_str(), AT_FDCWD, finalPath_.c_str(), RENAME_NOREPLACE) == 0) {
            placed_ = true;
            return {};
        }
        if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return Failed(DurableStep::Place);
        // A file system without an exclusive rename: a hard link is exclusive too.
        if (::link(name_.c_str(), finalPath_.c_str()) != 0) return Failed(DurableStep::Place);
        placed_ = true;
        ::unlink(name_.c_str());
        return {};
    }

private:
    DurableWriteResult Failed(DurableStep step) const { return {step, errno, placed_}; }

    std::string finalPath_;
    std::string name_;
    int fd_ = -1;
    bool created_ = false;
    bool placed_ = false;
};

DurableWriteResult SyncDirectoryOf(const std::string& path) {
    const int fd = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return {DurableStep::SyncDirectory, errno, true};
    const int result = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    if (result != 0) return {DurableStep::SyncDirectory, error, true};
    return {DurableStep::None, 0, true};
}

}  // namespace

DurableWriteResult WriteDurableFile(const std::string& path, std::string_view content, Placement placement) {
    {
        TemporaryFile file(path);
        DurableWriteResult result = file.Create();
        if (result.Ok()) result = file.WriteAll(content);
        if (result.Ok()) result = file.SyncAndClose();
        if (result.Ok()) result = file.Place(placement);
        if (!result.Ok()) return result;
    }
    return SyncDirectoryOf(path);
}

std::string TemporaryFileName(const std::string& finalName, unsigned long processId, unsigned long serial) {
    return finalName + std::string(kTemporaryMark) + std::to_string(processId) + "_" + std::to_string(serial);
}

std::optional<std::string> FinalNameOfTemporary(std::string_view name) {
    const std::size_t at = name.rfind(kTemporaryMark);
    if (at == std::string_view::npos || at == 0) return std::nullopt;
    const std::string_view serials = name.substr(at + kTemporaryMark.size());
    const std::size_t underscore = serials.find('_');
    if (underscore == std::string_view::npos || !AllDigits(serials.substr(0, underscore)) ||
        !AllDigits(serials.substr(underscore + 1)))
        return std::nullopt;
    return std::string(name.substr(0, at));
}

}  // namespace serwer

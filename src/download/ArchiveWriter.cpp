#include "download/ArchiveWriter.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <system_error>

#include "common/ServerError.hpp"
#include "common/Win1250.hpp"

#ifdef SERWER_HAVE_LIBZIP
#include <zip.h>
#endif

const std::string kArchiveWriterMissingMessage = Cp1250("Brak biblioteki libzip, kontynuacja pracy niemożliwa !");

std::string ArchiveFileName(const std::string& directory, const std::string& registrationText, DateTime when) {
    std::string name = directory;
    if (!name.empty() && name.back() != '/') name += '/';
    return name + registrationText + FormatFileStamp(when) + ".sve";
}

std::string ArchiveSavedLogLine(const std::string& registrationText, std::size_t bytes) {
    char text[64];
    std::snprintf(text, sizeof text, "zapisano %zu bajtow danych w pliku sve", bytes);
    return registrationText + text;
}

namespace {
const char* const kEntryName = "SOURCE";
constexpr int kCompressionLevel = 9;

[[noreturn]] void Fail(const std::string& path, const std::string& reason) {
    throw ServerError("Blad zapisu pliku sve " + path + " : " + reason);
}

#ifdef SERWER_HAVE_LIBZIP
std::string SystemErrorText(int error) {
    return std::system_category().message(error);
}

// The ZIP format's DOS date and time of a local date-time (two-second resolution,
// years 1980 to 2107).
void DosDateTime(DateTime when, zip_uint16_t& dosTime, zip_uint16_t& dosDate) {
    DateTime::Parts p = when.Split();
    if (p.year < 1980) p = DateTime::Parts{1980, 1, 1, 0, 0, 0, 0};
    if (p.year > 2107) p = DateTime::Parts{2107, 12, 31, 23, 59, 58, 0};
    dosTime = static_cast<zip_uint16_t>((p.hour << 11) | (p.minute << 5) | (p.second / 2));
    dosDate = static_cast<zip_uint16_t>(((p.year - 1980) << 9) | (p.month << 5) | p.day);
}

// The whole archive, built in memory. Returns nothing and sets error on failure.
std::optional<Bytes> BuildArchive(const Bytes& content, DateTime entryTime, std::string& error) {
    zip_error_t zipError;
    zip_error_init(&zipError);
    zip_source_t* archiveBuffer = zip_source_buffer_create(nullptr, 0, 0, &zipError);
    if (archiveBuffer == nullptr) {
        error = zip_error_strerror(&zipError);
        zip_error_fini(&zipError);
        return std::nullopt;
    }
    zip_t* archive = zip_open_from_source(archiveBuffer, ZIP_CREATE | ZIP_TRUNCATE, &zipError);
    if (archive == nullptr) {
        error = zip_error_strerror(&zipError);
        zip_error_fini(&zipError);
        zip_source_free(archiveBuffer);
        return std::nullopt;
    }
    zip_error_fini(&zipError);
    zip_source_keep(archiveBuffer);  // still needed after the archive is closed

    auto abandon = [&](const std::string& text) -> std::optional<Bytes> {
        error = text;
        zip_discard(archive);
        zip_source_free(archiveBuffer);
        return std::nullopt;
    };

    zip_source_t* entry = zip_source_buffer(archive, content.data(), content.size(), 0);
    if (entry == nullptr) return abandon(zip_strerror(archive));
    const zip_int64_t index = zip_file_add(archive, kEntryName, entry, ZIP_FL_ENC_GUESS);
    if (index < 0) {
        zip_source_free(entry);
        return abandon(zip_strerror(archive));
    }
    zip_uint16_t dosTime = 0, dosDate = 0;
    DosDateTime(entryTime, dosTime, dosDate);
    const auto i = static_cast<zip_uint64_t>(index);
    if (zip_set_file_compression(archive, i, ZIP_CM_DEFLATE, kCompressionLevel) != 0 ||
        zip_file_set_dostime(archive, i, dosTime, dosDate, 0) != 0 ||
        zip_file_set_external_attributes(archive, i, 0, ZIP_OPSYS_DOS, 0) != 0) {
        return abandon(zip_strerror(archive));
    }
    if (zip_close(archive) != 0) return abandon(zip_strerror(archive));

    // Read the finished archive back out of its buffer.
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_source_stat(archiveBuffer, &stat) != 0 || (stat.valid & ZIP_STAT_SIZE) == 0 ||
        zip_source_open(archiveBuffer) != 0) {
        error = zip_error_strerror(zip_source_error(archiveBuffer));
        zip_source_free(archiveBuffer);
        return std::nullopt;
    }
    Bytes bytes(static_cast<std::size_t>(stat.size), '\0');
    const zip_int64_t got = zip_source_read(archiveBuffer, bytes.data(), stat.size);
    if (got != static_cast<zip_int64_t>(stat.size)) error = zip_error_strerror(zip_source_error(archiveBuffer));
    zip_source_close(archiveBuffer);
    zip_source_free(archiveBuffer);
    if (got != static_cast<zip_int64_t>(stat.size)) return std::nullopt;
    return bytes;
}

std::string DirectoryOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// A file being written under a temporary name; removed unless it was given its name.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& finalPath) : finalPath_(finalPath) {
        static std::atomic<unsigned> serial{0};
        for (int attempt = 0; attempt < 100; ++attempt) {
            name_ = finalPath + ".tmp" + std::to_string(::getpid()) + "_" + std::to_string(serial++);
            fd_ = ::open(name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd_ >= 0) return;
            if (errno != EEXIST) Fail(finalPath, SystemErrorText(errno));
        }
        Fail(finalPath, "brak wolnej nazwy tymczasowej");
    }
    ~TemporaryFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!placed_) ::unlink(name_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    void WriteAll(const Bytes& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) Fail(finalPath_, SystemErrorText(errno));
            done += static_cast<std::size_t>(n);
        }
    }

    void FlushAndClose() {
        if (::fsync(fd_) != 0) Fail(finalPath_, SystemErrorText(errno));
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) Fail(finalPath_, SystemErrorText(errno));
    }

    // Gives the file its final name, which must not exist yet.
    void PlaceWithoutReplacing() {
        if (::renameat2(AT_FDCWD, name_.c_str(), AT_FDCWD, finalPath_.c_str(), RENAME_NOREPLACE) == 0) {
            placed_ = true;
            return;
        }
        if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) FailPlacing(errno);
        // A file system without an exclusive rename: a hard link is exclusive too.
        if (::link(name_.c_str(), finalPath_.c_str()) != 0) FailPlacing(errno);
        placed_ = true;
        ::unlink(name_.c_str());
    }

private:
    [[noreturn]] void FailPlacing(int error) {
        Fail(finalPath_, error == EEXIST ? std::string("plik juz istnieje") : SystemErrorText(error));
    }

    std::string finalPath_;
    std::string name_;
    int fd_ = -1;
    bool placed_ = false;
};

void SyncDirectory(const std::string& path) {
    const int fd = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) Fail(path, SystemErrorText(errno));
    const int result = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    if (result != 0) Fail(path, SystemErrorText(error));
}
#endif
}  // namespace

void WriteArchive(const std::string& path, const Bytes& image, DateTime entryTime) {
#ifdef SERWER_HAVE_LIBZIP
    std::string error;
    const std::optional<Bytes> archive = BuildArchive(image, entryTime, error);
    if (!archive) Fail(path, error);
    {
        TemporaryFile file(path);
        file.WriteAll(*archive);
        file.FlushAndClose();
        file.PlaceWithoutReplacing();
    }
    SyncDirectory(path);
#else
    (void)image;
    (void)entryTime;
    Fail(path, kArchiveWriterMissingMessage);
#endif
}

bool ArchiveWriterUsable() {
#ifdef SERWER_HAVE_LIBZIP
    std::string error;
    return BuildArchive(Bytes(16, '\0'), DateTime::Now(), error).has_value();
#else
    return false;
#endif
}

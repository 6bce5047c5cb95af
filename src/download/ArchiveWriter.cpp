#include "download/ArchiveWriter.hpp"

#include <cerrno>
#include <cstdio>
#include <optional>
#include <system_error>

#include "common/DurableFile.hpp"
#include "common/ServerError.hpp"
#include "common/Win1250.hpp"

#ifdef SERWER_HAVE_LIBZIP
#include <zip.h>
#endif

namespace serwer {

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
std::string SystemErrorText(int error) { return std::system_category().message(error); }

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

// The reason of a failed write of the finished archive; a flushed directory is part of
// the write here, so its failure fails the write though the file is in place.
std::string WriteFailureReason(const DurableWriteResult& result) {
    if (result.failed == DurableStep::NoFreeName) return "brak wolnej nazwy tymczasowej";
    if (result.failed == DurableStep::Place && result.error == EEXIST) return "plik juz istnieje";
    return SystemErrorText(result.error);
}
#endif
}  // namespace

void WriteArchive(const std::string& path, const Bytes& image, DateTime entryTime) {
#ifdef SERWER_HAVE_LIBZIP
    std::string error;
    const std::optional<Bytes> archive = BuildArchive(image, entryTime, error);
    if (!archive) Fail(path, error);
    const DurableWriteResult written = WriteDurableFile(path, *archive, Placement::NoReplace);
    if (!written.Ok()) Fail(path, WriteFailureReason(written));
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

}  // namespace serwer

#pragma once
#include <cstddef>
#include <string>

#include "common/Bytes.hpp"
#include "common/DateTime.hpp"

namespace serwer {

// The archive of one completed memory read: a standard ZIP file holding the whole
// memory image as its single entry "SOURCE" (deflated at level 9, dated with the local
// time it was added, attributes 0, no password).

// Shown at start when no archive can be written; the server cannot work without it.
extern const std::string kArchiveWriterMissingMessage;

// directory + registrationText + "yyyy_mm_dd_hh_mm_ss" + ".sve". The directory is the
// data directory with its trailing "/" (one is added when it lacks it).
std::string ArchiveFileName(const std::string& directory, const std::string& registrationText, DateTime when);

// The line the vehicle's own log gets before the archive is written:
// registrationText + "zapisano 262144 bajtow danych w pliku sve".
std::string ArchiveSavedLogLine(const std::string& registrationText, std::size_t bytes);

// Writes the archive to path. The file appears complete or not at all: it is written
// under a temporary name in the same directory, flushed to disk and then given its
// name, which must not be taken yet (an existing archive is never replaced).
// Throws ServerError with the reason (no archive writer, directory missing or not
// writable, disk full, name taken); no temporary file is left behind.
void WriteArchive(const std::string& path, const Bytes& image, DateTime entryTime);

// True when archives can be written at all (checked once at start).
bool ArchiveWriterUsable();

}  // namespace serwer

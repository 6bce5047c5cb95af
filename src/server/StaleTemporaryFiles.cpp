#include "server/StaleTemporaryFiles.hpp"

#include <filesystem>
#include <optional>
#include <string_view>

#include "common/DurableFile.hpp"

namespace serwer {

namespace {
// A temporary name of a durable write whose final name is Aktualne.txt or an archive.
bool IsStaleTemporaryName(const std::string& name) {
    const std::optional<std::string> base = FinalNameOfTemporary(name);
    if (!base) return false;
    const std::string_view archiveExtension = ".sve";
    return *base == "Aktualne.txt" || (base->size() > archiveExtension.size() && base->ends_with(archiveExtension));
}

int RemoveStaleTemporaryFilesIn(const std::filesystem::path& directory, bool withSubdirectories) {
    namespace fs = std::filesystem;
    int removed = 0;
    std::error_code ec;
    fs::directory_iterator it(directory, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const fs::file_status status = it->symlink_status(ec);
        if (ec) {
            ec.clear();
            continue;
        }
        if (fs::is_directory(status)) {
            if (withSubdirectories) removed += RemoveStaleTemporaryFilesIn(it->path(), false);
        } else if (fs::is_regular_file(status) && IsStaleTemporaryName(it->path().filename().string())) {
            std::error_code removeError;
            if (fs::remove(it->path(), removeError)) ++removed;
        }
    }
    return removed;
}

}  // namespace

int RemoveStaleTemporaryFiles(const std::string& dataDirectory) {
    return RemoveStaleTemporaryFilesIn(dataDirectory, true);
}

}  // namespace serwer

#include "vehicles/TableLock.hpp"

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "common/DateTime.hpp"
#include "common/ServerError.hpp"
#include "vehicles/VehicleFile.hpp"

VehicleTable& TableLock::Acquire() {
    waitersAndHolders_.fetch_add(1);
    permit_.acquire();
    return table_;
}

void TableLock::Release() {
    const int left = waitersAndHolders_.fetch_sub(1) - 1;
    permit_.release();
    if (left == 0) waitersAndHolders_.notify_all();
}

void TableLock::WaitUntilFree() const {
    // Sleeps until the counter next drops to 0. Polling would wake every waiting
    // thread again and again, and with thousands of units waiting behind a long save
    // the wake-ups alone would take the processors from the lock's holder.
    for (int seen = waitersAndHolders_.load(); seen > 0; seen = waitersAndHolders_.load())
        waitersAndHolders_.wait(seen);
}

std::string VehicleFilePath(const std::string& dataDirectory) { return dataDirectory + "/Aktualne.txt"; }

namespace {
// "<final name>.tmp<digits>_<digits>", where the final name is Aktualne.txt or an archive.
bool IsStaleTemporaryName(const std::string& name) {
    const auto at = name.rfind(".tmp");
    if (at == std::string::npos) return false;
    const std::string base = name.substr(0, at);
    const std::string serials = name.substr(at + 4);
    const auto underscore = serials.find('_');
    if (underscore == std::string::npos || underscore == 0 || underscore + 1 == serials.size()) return false;
    for (std::size_t i = 0; i < serials.size(); ++i)
        if (i != underscore && (serials[i] < '0' || serials[i] > '9')) return false;
    const std::string archiveExtension = ".sve";
    return base == "Aktualne.txt" ||
           (base.size() > archiveExtension.size() &&
            base.compare(base.size() - archiveExtension.size(), archiveExtension.size(), archiveExtension) == 0);
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

void KeepCopyOfUnreadableFile(const std::string& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return;  // nothing to keep
    const std::string copy = path + FormatFileStamp(DateTime::Now()) + ".bak";
    std::error_code ec;
    std::filesystem::copy_file(path, copy, std::filesystem::copy_options::skip_existing, ec);
}
}  // namespace

int RemoveStaleTemporaryFiles(const std::string& dataDirectory) {
    return RemoveStaleTemporaryFilesIn(dataDirectory, true);
}

bool LoadVehicleTableAtStart(TableLock& lock, const std::string& dataDirectory) {
    int counter = 1;
    while (lock.IsBusy()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (++counter > 60) return false;
    }
    VehicleTable& table = lock.Acquire();
    struct Releaser {
        TableLock& l;
        ~Releaser() { l.Release(); }
    } releaser{lock};
    RemoveStaleTemporaryFiles(dataDirectory);
    const std::string path = VehicleFilePath(dataDirectory);
    try {
        LoadVehicleFile(table, path);
    } catch (const ServerError&) {
        KeepCopyOfUnreadableFile(path);
        throw;
    }
    return true;
}

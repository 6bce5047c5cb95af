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
    std::unique_lock<std::mutex> line(lineMutex_);
    if (!held_) {
        held_ = true;
        return table_;
    }
    Waiter me;
    if (last_)
        last_->next = &me;
    else
        first_ = &me;
    last_ = &me;
    me.turn.wait(line, [&] { return me.granted; });
    return table_;
}

void TableLock::Release() {
    std::lock_guard<std::mutex> line(lineMutex_);
    waitersAndHolders_.fetch_sub(1);
    if (!first_) {
        held_ = false;
        return;
    }
    // Hand over to the first in line. It is notified while the line's mutex is held,
    // so it cannot leave (and take its Waiter off the stack) before the notify is done.
    Waiter* next = first_;
    first_ = next->next;
    if (!first_) last_ = nullptr;
    next->granted = true;
    next->turn.notify_one();
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

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
    waitersAndHolders_.fetch_sub(1);
    permit_.release();
}

void TableLock::WaitUntilFree() const {
    while (IsBusy()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

std::string VehicleFilePath(const std::string& dataDirectory) { return dataDirectory + "/Aktualne.txt"; }

namespace {
void KeepCopyOfUnreadableFile(const std::string& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return;  // nothing to keep
    const std::string copy = path + FormatFileStamp(DateTime::Now()) + ".bak";
    std::error_code ec;
    std::filesystem::copy_file(path, copy, std::filesystem::copy_options::skip_existing, ec);
}
}  // namespace

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
    const std::string path = VehicleFilePath(dataDirectory);
    try {
        LoadVehicleFile(table, path);
    } catch (const ServerError&) {
        KeepCopyOfUnreadableFile(path);
        throw;
    }
    return true;
}

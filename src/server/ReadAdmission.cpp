#include "server/ReadAdmission.hpp"

#include <sys/statvfs.h>

#include "common/Win1250.hpp"
#include "download/DumpCollector.hpp"

namespace serwer {

namespace {

std::string Mib(std::uint64_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

}  // namespace

ReadAdmission::Ticket& ReadAdmission::Ticket::operator=(Ticket&& other) noexcept {
    if (this != &other) {
        Release();
        owner_ = other.owner_;
        bytes_ = other.bytes_;
        other.owner_ = nullptr;
    }
    return *this;
}

void ReadAdmission::Ticket::Release() {
    if (!owner_) return;
    std::lock_guard<std::mutex> lock(owner_->mutex_);
    owner_->inUse_ -= bytes_;
    owner_ = nullptr;
}

ReadAdmission::ReadAdmission(std::size_t memoryBudget, std::uint64_t diskReserve, std::vector<std::string> directories,
                             FreeSpace freeSpace)
    : memoryBudget_(memoryBudget),
      diskReserve_(diskReserve),
      directories_(std::move(directories)),
      freeSpace_(freeSpace ? std::move(freeSpace) : FreeSpace(FreeBytesOf)) {}

ReadAdmission::Decision ReadAdmission::Admit(const std::string& registration) {
    Decision d;
    // The disk first: a read refused for it takes nothing from the budget.
    std::optional<std::string> shortOf;
    std::uint64_t shortFree = 0;
    for (const std::string& dir : directories_) {
        const std::optional<std::uint64_t> free = freeSpace_(dir);
        if (free && *free < diskReserve_) {
            shortOf = dir;
            shortFree = *free;
            break;
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (shortOf) {
        if (!diskShort_)
            d.disk = Cp1250("Odczyty pamięci wstrzymane: za mało wolnego miejsca na dysku w ") + *shortOf +
                     Cp1250(" (wolne ") + Mib(shortFree) + ", rezerwa " + Mib(diskReserve_) + ")";
        diskShort_ = true;
        return d;
    }
    if (diskShort_)
        d.disk = Cp1250("Odczyty pamięci wznowione: wolnego miejsca na dysku jest więcej niż rezerwa (") +
                 Mib(diskReserve_) + ")";
    diskShort_ = false;
    if (inUse_ + kReadMemoryLimit > memoryBudget_) {
        d.deferred = registration + Cp1250(": odczyt pamięci odłożony, odczyty zajmują już ") + Mib(inUse_) +
                 Cp1250(" z ") + Mib(memoryBudget_) + " (PamiecOdczytowMB)";
        return d;
    }
    inUse_ += kReadMemoryLimit;
    d.ticket = Ticket(this, kReadMemoryLimit);
    return d;
}

std::size_t ReadAdmission::InUse() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return inUse_;
}

std::optional<std::uint64_t> FreeBytesOf(const std::string& directory) {
    struct statvfs s {};
    if (::statvfs(directory.c_str(), &s) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(s.f_bavail) * s.f_frsize;
}

}  // namespace serwer

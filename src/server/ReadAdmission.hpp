#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace serwer {

// Whether a memory read may start. All reads together may hold at most a memory budget
// (each takes kReadMemoryLimit from it for as long as it runs), and no read starts
// while a directory the server writes to has less free space than the disk reserve.
// Positions never wait for either.
class ReadAdmission {
public:
    // A read's share of the budget, given back when it ends.
    class Ticket {
    public:
        Ticket() = default;
        Ticket(Ticket&& other) noexcept : owner_(other.owner_), bytes_(other.bytes_) { other.owner_ = nullptr; }
        Ticket& operator=(Ticket&& other) noexcept;
        ~Ticket() { Release(); }
        explicit operator bool() const { return owner_ != nullptr; }

    private:
        friend class ReadAdmission;
        Ticket(ReadAdmission* owner, std::size_t bytes) : owner_(owner), bytes_(bytes) {}
        void Release();
        ReadAdmission* owner_ = nullptr;
        std::size_t bytes_ = 0;
    };

    // Free bytes of the file system of a directory; nothing when it cannot be told.
    using FreeSpace = std::function<std::optional<std::uint64_t>(const std::string& directory)>;

    // directories: where the server writes (its working directory and the data
    // directory). freeSpace: statvfs by default.
    ReadAdmission(std::size_t memoryBudget, std::uint64_t diskReserve, std::vector<std::string> directories,
                  FreeSpace freeSpace = {});

    // Lines for the logs are Windows-1250.
    struct Decision {
        Ticket ticket;                        // empty: the read does not start
        std::optional<std::string> deferred;  // the read waits for memory (every time)
        std::optional<std::string> disk;      // reads stop for want of disk space, or go on again (once each)
    };
    // For the read of vehicle `registration`: a ticket, or why not.
    Decision Admit(const std::string& registration);

    std::size_t InUse() const;

private:
    std::size_t memoryBudget_;
    std::uint64_t diskReserve_;
    std::vector<std::string> directories_;
    FreeSpace freeSpace_;
    mutable std::mutex mutex_;
    std::size_t inUse_ = 0;
    bool diskShort_ = false;
};

// statvfs: the bytes an unprivileged process may still write there.
std::optional<std::uint64_t> FreeBytesOf(const std::string& directory);

}  // namespace serwer

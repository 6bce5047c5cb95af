#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>

namespace serwer {

// Brute force held back: after kAccountFailures failed logins of one account, or
// kAddressFailures from one client address, within kWindowMs, attempts for that account
// or from that address are refused for a time that starts at kFirstLockMs and doubles
// with each lock after it, up to kLongestLockMs. A refused attempt is not tried and not
// counted. A successful login clears its account's record (never its address's). No
// clock of its own: every call is given the time. Not thread-safe.
class LoginGuard {
public:
    static constexpr int kAccountFailures = 5;
    static constexpr int kAddressFailures = 20;
    static constexpr std::int64_t kWindowMs = 15 * 60 * 1000;
    static constexpr std::int64_t kFirstLockMs = 60 * 1000;
    static constexpr std::int64_t kLongestLockMs = 60 * 60 * 1000;
    // Records kept at most, for accounts and addresses each; past it those that hold
    // nothing in force are dropped first, then the oldest.
    static constexpr std::size_t kMaxRecords = 100000;

    // Milliseconds until an attempt for the account from the address is taken; 0: now.
    std::int64_t LockedForMs(const std::string& account, const std::string& address, std::int64_t nowMs) const;
    void Failed(const std::string& account, const std::string& address, std::int64_t nowMs);
    void Succeeded(const std::string& account);

private:
    struct Record {
        std::deque<std::int64_t> failures;  // within the window
        std::int64_t lockedUntilMs = 0;
        int locks = 0;  // locks in a row, for the doubling
        std::int64_t lastMs = 0;
    };
    static std::int64_t LeftMs(const Record& r, std::int64_t nowMs);
    void Fail(std::unordered_map<std::string, Record>& records, const std::string& key, int limit, std::int64_t nowMs);

    std::unordered_map<std::string, Record> accounts_, addresses_;
};

}  // namespace serwer

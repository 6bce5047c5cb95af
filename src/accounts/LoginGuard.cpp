#include "accounts/LoginGuard.hpp"

#include <algorithm>

namespace serwer {

namespace {

// Whether a record still holds anything: a lock in force, a failure within the window,
// or a lock whose quiet quarter hour after it has not passed (the next lock doubles).
template <typename Record>
bool HoldsSomething(const Record& r, std::int64_t nowMs) {
    return nowMs < r.lockedUntilMs + LoginGuard::kWindowMs ||
           (!r.failures.empty() && r.failures.back() > nowMs - LoginGuard::kWindowMs);
}

}  // namespace

std::int64_t LoginGuard::LeftMs(const Record& r, std::int64_t nowMs) { return std::max<std::int64_t>(0, r.lockedUntilMs - nowMs); }

std::int64_t LoginGuard::LockedForMs(const std::string& account, const std::string& address, std::int64_t nowMs) const {
    std::int64_t left = 0;
    if (const auto it = accounts_.find(account); it != accounts_.end()) left = LeftMs(it->second, nowMs);
    if (const auto it = addresses_.find(address); it != addresses_.end()) left = std::max(left, LeftMs(it->second, nowMs));
    return left;
}

void LoginGuard::Failed(const std::string& account, const std::string& address, std::int64_t nowMs) {
    Fail(accounts_, account, kAccountFailures, nowMs);
    Fail(addresses_, address, kAddressFailures, nowMs);
}

void LoginGuard::Succeeded(const std::string& account) { accounts_.erase(account); }

void LoginGuard::Fail(std::unordered_map<std::string, Record>& records, const std::string& key, int limit,
                      std::int64_t nowMs) {
    auto it = records.find(key);
    if (it == records.end()) {
        if (records.size() >= kMaxRecords) {
            std::erase_if(records, [nowMs](const auto& entry) { return !HoldsSomething(entry.second, nowMs); });
            if (records.size() >= kMaxRecords)
                records.erase(std::min_element(records.begin(), records.end(), [](const auto& a, const auto& b) {
                    return a.second.lastMs < b.second.lastMs;
                }));
        }
        it = records.emplace(key, Record{}).first;
    }
    Record& r = it->second;
    r.lastMs = nowMs;
    while (!r.failures.empty() && r.failures.front() <= nowMs - kWindowMs) r.failures.pop_front();
    // A quarter hour without a failure after the last lock ended: the doubling starts over.
    if (r.locks > 0 && nowMs - r.lockedUntilMs >= kWindowMs) r.locks = 0;
    r.failures.push_back(nowMs);
    if (static_cast<int>(r.failures.size()) > limit) r.failures.pop_front();  // the limit is all that counts
    // A failure while a lock is in force (an attempt let in just before it began) adds
    // no lock of its own.
    if (LeftMs(r, nowMs) > 0) return;
    // After a lock, the first failure before the quiet quarter hour locks again.
    if (static_cast<int>(r.failures.size()) >= limit || r.locks > 0) {
        r.lockedUntilMs = nowMs + std::min(kFirstLockMs << std::min(r.locks, 16), kLongestLockMs);
        ++r.locks;
    }
}

}  // namespace serwer

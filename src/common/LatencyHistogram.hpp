#pragma once
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace serwer {

// A histogram of durations kept in atomics, cheap enough for the hot paths of the
// server (one relaxed add per bucket, the sum and the count): bucket i counts the
// durations up to kBoundsUs[i] microseconds; durations above the last bound count only
// in the total. Readers may see a count that is one ahead of the sum for a moment.
class LatencyHistogram {
public:
    static constexpr std::array<std::int64_t, 12> kBoundsUs{100,   500,   1000,   2500,   5000,    10000,
                                                            25000, 50000, 100000, 250000, 1000000, 5000000};

    void Record(std::chrono::nanoseconds duration) {
        const std::int64_t us = std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
        for (std::size_t i = 0; i < kBoundsUs.size(); ++i)
            if (us <= kBoundsUs[i]) {
                buckets_[i].fetch_add(1, std::memory_order_relaxed);
                break;
            }
        sumUs_.fetch_add(us < 0 ? 0 : static_cast<std::uint64_t>(us), std::memory_order_relaxed);
        count_.fetch_add(1, std::memory_order_relaxed);
    }

    // The durations up to kBoundsUs[i] (not cumulative).
    std::uint64_t Bucket(std::size_t i) const { return buckets_[i].load(std::memory_order_relaxed); }
    std::uint64_t SumUs() const { return sumUs_.load(std::memory_order_relaxed); }
    std::uint64_t Count() const { return count_.load(std::memory_order_relaxed); }

private:
    std::array<std::atomic<std::uint64_t>, kBoundsUs.size()> buckets_{};
    std::atomic<std::uint64_t> sumUs_{0};
    std::atomic<std::uint64_t> count_{0};
};

// Records the time from its construction to its end into a histogram.
class ScopedLatency {
public:
    explicit ScopedLatency(LatencyHistogram& histogram)
        : histogram_(histogram), start_(std::chrono::steady_clock::now()) {}
    ~ScopedLatency() { histogram_.Record(std::chrono::steady_clock::now() - start_); }
    ScopedLatency(const ScopedLatency&) = delete;
    ScopedLatency& operator=(const ScopedLatency&) = delete;

private:
    LatencyHistogram& histogram_;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace serwer

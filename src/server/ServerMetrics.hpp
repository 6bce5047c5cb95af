#pragma once
#include <atomic>
#include <cstdint>

namespace serwer {

// The server's counters for /metrics, kept in relaxed atomics so that counting costs a
// handler next to nothing. The durations (table saves, history writes, the waits for
// the table lock) are kept where they are measured: TableLock and HistoryWriter.
struct ServerMetrics {
    std::atomic<std::uint64_t> positionsStored{0};
    std::atomic<std::uint64_t> newVehiclesRefused{0};  // positions of new vehicles beyond NowePojazdyNaGodzine
    // Memory reads by how they ended.
    std::atomic<std::uint64_t> readsArchived{0};       // the archive was written
    std::atomic<std::uint64_t> readsRepeatsFailed{0};  // the repeats of damaged pages gave up
    std::atomic<std::uint64_t> readsArchiveFailed{0};  // the archive could not be written
    std::atomic<std::uint64_t> readsTimedOut{0};       // the unit did not send its memory in time
    std::atomic<std::uint64_t> pagesAskedAgain{0};     // damaged pages asked for again

    static void Add(std::atomic<std::uint64_t>& counter, std::uint64_t n = 1) {
        counter.fetch_add(n, std::memory_order_relaxed);
    }
};

}  // namespace serwer

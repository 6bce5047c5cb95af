#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "events/EventService.hpp"
#include "history/HistoryWriter.hpp"
#include "notifications/NotificationService.hpp"
#include "server/ServerMetrics.hpp"
#include "vehicles/TableLock.hpp"

namespace serwer {

// The web service's own counters: answers by HTTP status, and connections refused
// because the service was full.
struct WebCounters {
    std::array<std::atomic<std::uint64_t>, 600> byStatus{};
    std::atomic<std::uint64_t> refusedConnections{0};

    void CountStatus(int status) {
        if (status >= 100 && status < 600) byStatus[status].fetch_add(1, std::memory_order_relaxed);
    }
};

// What /metrics shows.
struct MetricsSources {
    const ServerMetrics* server = nullptr;
    const TableLock* table = nullptr;
    const HistoryWriter* history = nullptr;  // none when no history is kept
    const WebCounters* web = nullptr;
    int openConnections = 0;
    std::size_t vehicles = 0;
    const EventService* events = nullptr;  // none when no events are raised
    std::optional<NotificationFigures> notifications;  // none when none are sent
};

// The Prometheus text exposition format (version 0.0.4) of the server's metrics.
std::string MetricsText(const MetricsSources& sources);

}  // namespace serwer

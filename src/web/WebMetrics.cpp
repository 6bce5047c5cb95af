#include "web/WebMetrics.hpp"

#include <algorithm>
#include <cstdio>

namespace serwer {

namespace {

void Head(std::string& out, const char* name, const char* help, const char* type) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void Value(std::string& out, const std::string& name, std::uint64_t value) {
    out += name;
    out += ' ';
    out += std::to_string(value);
    out += '\n';
}

std::string Seconds(std::uint64_t us) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6f", static_cast<double>(us) / 1e6);
    return buf;
}

void Histogram(std::string& out, const char* name, const char* help, const LatencyHistogram& h) {
    Head(out, name, help, "histogram");
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < LatencyHistogram::kBoundsUs.size(); ++i) {
        cumulative += h.Bucket(i);
        char le[32];
        std::snprintf(le, sizeof le, "%g", static_cast<double>(LatencyHistogram::kBoundsUs[i]) / 1e6);
        Value(out, std::string(name) + "_bucket{le=\"" + le + "\"}", cumulative);
    }
    const std::uint64_t count = h.Count();
    Value(out, std::string(name) + "_bucket{le=\"+Inf\"}", std::max(count, cumulative));
    out += std::string(name) + "_sum " + Seconds(h.SumUs()) + "\n";
    Value(out, std::string(name) + "_count", std::max(count, cumulative));
}

}  // namespace

std::string MetricsText(const MetricsSources& s) {
    std::string out;
    out.reserve(4096);
    Head(out, "serwer_open_connections", "Units connected now.", "gauge");
    Value(out, "serwer_open_connections", static_cast<std::uint64_t>(std::max(0, s.openConnections)));
    Head(out, "serwer_vehicles", "Rows of the vehicle table.", "gauge");
    Value(out, "serwer_vehicles", s.vehicles);
    if (s.server) {
        const ServerMetrics& m = *s.server;
        Head(out, "serwer_positions_stored_total", "Positions stored in the vehicle table.", "counter");
        Value(out, "serwer_positions_stored_total", m.positionsStored.load());
        Head(out, "serwer_new_vehicles_refused_total",
             "Positions of vehicles new to the table refused beyond NowePojazdyNaGodzine.", "counter");
        Value(out, "serwer_new_vehicles_refused_total", m.newVehiclesRefused.load());
        Head(out, "serwer_memory_reads_total", "Memory reads by how they ended.", "counter");
        Value(out, "serwer_memory_reads_total{outcome=\"archived\"}", m.readsArchived.load());
        Value(out, "serwer_memory_reads_total{outcome=\"repeats_failed\"}", m.readsRepeatsFailed.load());
        Value(out, "serwer_memory_reads_total{outcome=\"archive_failed\"}", m.readsArchiveFailed.load());
        Value(out, "serwer_memory_reads_total{outcome=\"timed_out\"}", m.readsTimedOut.load());
        Head(out, "serwer_pages_asked_again_total", "Damaged memory pages asked for again.", "counter");
        Value(out, "serwer_pages_asked_again_total", m.pagesAskedAgain.load());
    }
    if (s.table) {
        Histogram(out, "serwer_table_save_seconds", "Time of one save of Aktualne.txt.", s.table->SaveTimes());
        Histogram(out, "serwer_table_lock_wait_seconds", "Time waited for the vehicle table's lock.",
                  s.table->LockWaits());
    }
    if (s.history) {
        Histogram(out, "serwer_history_write_seconds", "Time of one write to the position history.",
                  s.history->WriteTimes());
        Head(out, "serwer_history_write_failures_total", "Failed writes to the position history.", "counter");
        Value(out, "serwer_history_write_failures_total", s.history->FailedWrites());
        Head(out, "serwer_history_rows_lost_total", "Positions that did not reach the history.", "counter");
        Value(out, "serwer_history_rows_lost_total", s.history->RowsLost());
        Head(out, "serwer_history_rows_written_total", "Positions written to the history.", "counter");
        Value(out, "serwer_history_rows_written_total", s.history->RowsWritten());
    }
    if (s.events) {
        Head(out, "serwer_events_total", "Events raised, by type (an interval counts when it starts).", "counter");
        for (int t = 0; t < kEventTypeCount; ++t) {
            const auto type = static_cast<EventType>(t);
            Value(out, "serwer_events_total{type=\"" + std::string(EventTypeName(type)) + "\"}", s.events->Count(type));
        }
    }
    if (s.history) {
        Head(out, "serwer_history_events_lost_total", "Events that did not reach the history.", "counter");
        Value(out, "serwer_history_events_lost_total", s.history->EventsLost());
    }
    if (s.notifications) {
        Head(out, "serwer_notifications_total", "Notifications by channel and outcome.", "counter");
        const char* const channels[] = {"email", "webhook"};
        const char* const outcomes[] = {"sent", "retried", "given_up"};
        for (std::size_t c = 0; c < 2; ++c)
            for (std::size_t o = 0; o < 3; ++o)
                Value(out,
                      std::string("serwer_notifications_total{channel=\"") + channels[c] + "\",outcome=\"" + outcomes[o] +
                          "\"}",
                      s.notifications->counts[c][o]);
        Head(out, "serwer_notifications_outbox", "Notifications waiting to be accepted.", "gauge");
        Value(out, "serwer_notifications_outbox", s.notifications->outbox);
    }
    if (s.web) {
        Head(out, "serwer_http_requests_total", "HTTP answers by status.", "counter");
        for (int status = 100; status < 600; ++status)
            if (const std::uint64_t n = s.web->byStatus[status].load())
                Value(out, "serwer_http_requests_total{status=\"" + std::to_string(status) + "\"}", n);
        Head(out, "serwer_http_connections_refused_total", "HTTP connections refused while the service was full.",
             "counter");
        Value(out, "serwer_http_connections_refused_total", s.web->refusedConnections.load());
    }
    return out;
}

}  // namespace serwer

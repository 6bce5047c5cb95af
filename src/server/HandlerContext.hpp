#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "download/DownloadTimings.hpp"
#include "history/HistoryWriter.hpp"
#include "server/ServerMetrics.hpp"
#include "server/StatusDisplay.hpp"
#include "vehicles/TableLock.hpp"

namespace serwer {

struct HandlerTimings {
    std::chrono::milliseconds closingWait{10000};
    std::chrono::milliseconds frameTimeLimit{std::chrono::minutes(5)};
    std::chrono::milliseconds downloadDeadline{std::chrono::minutes(20)};
    DownloadTimings download;
};

// What the handler reads: fixed settings, the switches the operator may change at any
// time (read at the moment of use), and the data shared by all connections.
struct HandlerContext {
    std::vector<std::string> allowList;
    bool serviceMode = false;
    std::string dataDirectory = ".";
    char decimalSeparator = '.';
    HandlerTimings timings;

    std::atomic<bool> readsEnabled{false};  // "Odbieraj dane"
    std::atomic<bool> eraseEnabled{true};   // "Kasuj dane po odebraniu"
    std::atomic<int> readHourIndex{0};      // index in "Godzina odbierania danych", -1 none

    std::atomic<std::int32_t> packetCounter{0};
    TableLock tableLock;
    StatusDisplay* display = nullptr;
    HistoryWriter* history = nullptr;  // none: positions are not kept in a history
    std::function<int()> openConnectionCount;
    ServerMetrics metrics;
};

}  // namespace serwer

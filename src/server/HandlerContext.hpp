#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "download/DownloadTimings.hpp"
#include "events/EventService.hpp"
#include "history/HistoryWriter.hpp"
#include "notifications/NotificationService.hpp"
#include "server/NewVehicleLimit.hpp"
#include "server/ReadAdmission.hpp"
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
    std::vector<std::string> ownerCodeAllowList;  // upper-case owner codes; empty admits every one
    int newVehiclesPerHour = 1000;                // rows the table may gain in any hour
    std::unique_ptr<ReadAdmission> readAdmission;  // none: every due read starts
    bool serviceMode = false;
    std::string dataDirectory = ".";
    char decimalSeparator = '.';
    HandlerTimings timings;

    std::atomic<bool> readsEnabled{false};  // "Odbieraj dane"
    std::atomic<bool> eraseEnabled{true};   // "Kasuj dane po odebraniu"
    std::atomic<int> readHourIndex{0};      // index in "Godzina odbierania danych", -1 none

    std::atomic<std::int32_t> packetCounter{0};
    TableLock tableLock;
    NewVehicleLimit newVehicleLimit;  // of newVehiclesPerHour; used under tableLock
    StatusDisplay* display = nullptr;
    HistoryWriter* history = nullptr;  // none: positions are not kept in a history
    EventService* events = nullptr;    // none: no events are raised
    NotificationService* notifications = nullptr;  // none: no event is told to anyone
    std::function<int()> openConnectionCount;
    ServerMetrics metrics;
};

}  // namespace serwer

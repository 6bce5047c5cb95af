#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/Bytes.hpp"
#include "download/DownloadTimings.hpp"
#include "link/UnitConnection.hpp"
#include "vehicles/TableLock.hpp"

// Where the connection threads show what they change: the operator window hands these
// to its own thread without waiting; the windowless server ignores them.
class StatusDisplay {
public:
    virtual ~StatusDisplay() = default;
    virtual void ShowPacketCount(std::int32_t) {}
    virtual void ShowOpenConnections(int) {}
    virtual void ShowPlannedRead(const std::string&) {}
    // A memory read whose archive could not be written (Windows-1250 text).
    virtual void ReportArchiveFailure(const std::string&) {}
};

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

    std::atomic<bool> readsEnabled{false};   // "Odbieraj dane"
    std::atomic<bool> eraseEnabled{true};    // "Kasuj dane po odebraniu"
    std::atomic<int> readHourIndex{0};       // index in "Godzina odbierania danych", -1 none

    std::atomic<std::int32_t> packetCounter{0};
    TableLock tableLock;
    StatusDisplay* display = nullptr;
    std::function<int()> openConnectionCount;
};

// The registration check: false for fewer than 2 characters or all characters equal;
// otherwise true when the allow-list is empty or holds the text (whole text, compared
// without regard to ASCII letter case).
bool CzPoprawnyNumer(const std::string& text, const std::vector<std::string>& allowList);

// One run per connection: reads the position frame, stores the vehicle's row under
// the TableLock, saves Aktualne.txt, reads the unit's memory when it is due, and always
// ends with the closing wait and the disconnect.
class ConnectionHandler {
public:
    explicit ConnectionHandler(HandlerContext& context) : ctx_(context) {}

    // The connect event: shows the packet counter and the planned read.
    void IdTCPServer1Connect(UnitConnection& connection);
    // One run of the handler. Errors it does not swallow leave it after its clean-up.
    void IdTCPServer1Execute(UnitConnection& connection);

private:
    struct Position;
    Bytes ReadPositionFrame(UnitConnection& connection);
    // The first lock section; returns whether the unit's memory is due for a read.
    bool StorePosition(Position& position);
    std::string ChooseArchiveDirectory(const std::string& ownerCodeText);
    void DownloadMemory(UnitConnection& connection, const Position& position,
                        std::chrono::steady_clock::time_point deadline);

    HandlerContext& ctx_;
};

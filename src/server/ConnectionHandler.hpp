#pragma once
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "common/Bytes.hpp"
#include "link/UnitConnection.hpp"
#include "server/HandlerContext.hpp"

namespace serwer {

// The registration check: false for fewer than 2 characters or all characters equal;
// otherwise true when the allow-list is empty or holds the text without its trailing
// 0x00 bytes (trailing blanks count; compared without regard to ASCII letter case).
bool CzPoprawnyNumer(const std::string& text, const std::vector<std::string>& allowList);

// The owner-code check (Licencje): true when the allow-list is empty or holds the code,
// the 16 hexadecimal digits of OwnerCodeText, in any letter case.
bool CzPoprawnaLicencja(const std::string& ownerCodeText, const std::vector<std::string>& ownerCodeAllowList);

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
    struct PositionCommit {
        bool readDue = false;
        std::uint64_t change = 0;  // the table's change that holds the row
        std::uint64_t historyTicket = 0;  // its history row's, when there is a history
        // A vehicle new to the table beyond NowePojazdyNaGodzine: nothing was stored.
        bool newVehicleRefused = false;
        bool firstRefusalOfRun = false;  // the first since the start or the last new vehicle added
        std::vector<Event> events;       // what the position raised (queued with its history row)
    };
    // Stores the position: the first lock section, then the wait for the save that
    // holds it (and the history row). A refused new vehicle is counted and, first of a
    // run, reported; nothing of it is saved or waited for.
    PositionCommit StorePosition(Position& position);
    // The first lock section: the row and the read decision, committed to the table;
    // or the refusal of a new vehicle beyond the hour's limit, with the table untouched.
    PositionCommit CommitPosition(Position& position);
    // Whether the due read of the position's vehicle may start (memory budget, disk
    // reserve); the ticket it takes stays with the position.
    bool AdmitRead(Position& position);
    std::string ChooseArchiveDirectory(const std::string& ownerCodeText);
    // The memory read, with its start and any failure shown as events.
    void DownloadMemory(UnitConnection& connection, const Position& position,
                        std::chrono::steady_clock::time_point deadline);
    void ReadMemory(UnitConnection& connection, const Position& position,
                    std::chrono::steady_clock::time_point deadline);
    void ShowEvent(const std::string& text);

    HandlerContext& ctx_;
};

}  // namespace serwer

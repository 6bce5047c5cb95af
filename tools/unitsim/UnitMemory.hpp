#pragma once
#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/Bytes.hpp"

namespace serwer {

class SimulatedUnit;

// What a simulated unit keeps in its data memory and how it behaves when the server
// reads it.
struct UnitMemory {
    enum class EraseReply { Confirm, Silent, HangUp };

    std::vector<Bytes> pages;                     // page i holds pages[i] (256 bytes each)
    int lastPage = 0;                             // reported in the end trailer
    std::set<int> damagedPages;                   // sent in the bulk transfer with a bad checksum
    std::set<int> missingPages;                   // left out of the bulk transfer
    std::set<int> badRepeatPages;                 // their repeat replies are damaged as well
    bool singleTrailer = false;                   // the end trailer once only
    std::optional<std::size_t> hangUpAfterBytes;  // hang up this far into the transfer
    bool hangUpAfterTrailer = false;              // hang up right after the bulk transfer
    EraseReply eraseReply = EraseReply::Confirm;

    // Generated pages 0..lastPage (every byte value occurs; the last page ends erased).
    static UnitMemory Generated(int lastPage);
    // A memory image file of up to 1024 pages of 256 bytes.
    static UnitMemory FromFile(const std::string& path, int lastPage);
};

// What happened on the unit's side of a download.
struct DownloadSession {
    bool dumpRequested = false;
    Bytes ownerCodeInRequest;  // the 8 owner-code bytes of the dump request, unstuffed
    std::vector<int> repeatsAsked;
    std::optional<int> eraseLastPage;  // the page number of an erase command
    bool closedByServer = false;
    bool hungUp = false;  // the unit ended the connection itself (as its options said)
};

// Serves the server's requests on a connection whose position has been sent: the dump
// request (with the bulk transfer), repeat requests (with the page's block) and the erase
// command (with "KKKKKK" and a hang-up, or silence, or a hang-up alone), until the server closes the
// connection, the unit hangs up, or `limit` has passed.
DownloadSession ServeDownload(SimulatedUnit& unit, const UnitMemory& memory, std::chrono::milliseconds limit);

}  // namespace serwer

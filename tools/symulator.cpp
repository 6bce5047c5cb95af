// symulator: a command-line tracking unit. It connects to the server, sends one
// position record built from the options, byte-stuffed as a unit sends it, and waits
// for the server to close the connection. Use it to check an installation.

#include <cmath>
#include <cstdlib>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "common/Win1250.hpp"
#include "link/Bcd.hpp"
#include "unitsim/PositionRecordBuilder.hpp"
#include "unitsim/SimulatedUnit.hpp"
#include "unitsim/UnitMemory.hpp"

using namespace serwer;

namespace {

void Usage() {
    std::cerr << "usage: symulator [options]\n"
                 "  --host H            server address (default 127.0.0.1)\n"
                 "  --port P            server port (default 4500)\n"
                 "  --rej TEXT          registration, up to 8 characters (default WA12345)\n"
                 "  --licencja HEX16    owner code as 16 hex digits (default 0011223344556677)\n"
                 "  --kierowca ABC      driver identifier, 3 characters (default none)\n"
                 "  --czas 'YYYY-MM-DD hh:mm'  UTC time of the fix (default now)\n"
                 "  --szer DEG          latitude in decimal degrees (default 52.2057500)\n"
                 "  --dlug DEG          longitude in decimal degrees (default 21.0205667)\n"
                 "  --pol N|S --wsch E|W  hemispheres (default N and E)\n"
                 "  --gps A|V           GPS status (default A)\n"
                 "  --predkosc KMH      speed in km/h (default 0)\n"
                 "  --paliwo-typ N      fuel sensor type, 3 = float (default 0, probe)\n"
                 "  --paliwo N          fuel sensor reading 0..255 (default 0)\n"
                 "  --silnik            engine running\n"
                 "  --wejscia 101       device inputs 1..3 as three digits (default 000)\n"
                 "  --przebieg N        odometer in hundreds of km, 0..9999 (default 0)\n"
                 "  --nowy              send the new record form\n"
                 "  --czekaj S          seconds to wait for the server to close (default 60; a memory\n"
                 "                      read with its waits takes about 40 s)\n"
                 "memory read (the unit answers the server's dump, repeat and erase requests):\n"
                 "  --pamiec FILE       memory image to send (pages of 256 bytes; default generated)\n"
                 "  --ostatnia N        last page number in the end trailer (default 1023)\n"
                 "  --uszkodz 5,17      pages sent with a bad checksum (repaired on request)\n"
                 "  --brak 3,4          pages left out of the transfer (sent on request)\n"
                 "  --zla-powtorka 5    pages whose repeat replies are damaged too\n"
                 "  --jedna-stopka      send the end trailer once only\n"
                 "  --rozlacz-w-trakcie N  hang up after N bytes of the transfer\n"
                 "  --rozlacz-po-stopce hang up right after the transfer\n"
                 "  --kasowanie potwierdz|milcz|rozlacz  answer to the erase command (default potwierdz)\n";
}

std::set<int> PageList(const std::string& text) {
    std::set<int> pages;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');)
        if (!item.empty()) pages.insert(std::stoi(item));
    return pages;
}

bool ParseUtcTime(const std::string& text, PositionOptions& o) {
    return std::sscanf(text.c_str(), "%d-%d-%d %d:%d", &o.year, &o.month, &o.day, &o.hour, &o.minute) == 5;
}

}  // namespace

int main(int argc, char** argv) {
    std::map<std::string, std::string> opt;
    for (int i = 1; i < argc; ++i) {
        std::string key = argv[i];
        if (key == "--help" || key == "-h") {
            Usage();
            return 0;
        }
        if (key == "--silnik" || key == "--nowy" || key == "--jedna-stopka" || key == "--rozlacz-po-stopce") {
            opt[key] = "1";
            continue;
        }
        if (key.rfind("--", 0) != 0 || i + 1 >= argc) {
            std::cerr << "symulator: bad option " << key << "\n";
            Usage();
            return 2;
        }
        opt[key] = argv[++i];
    }
    auto get = [&](const std::string& k, const std::string& def) { return opt.count(k) ? opt[k] : def; };

    // Every field is set from its option below, with the defaults --help names.
    PositionOptions o = SamplePosition();
    UnitMemory memory;
    try {
        const int lastPage = std::stoi(get("--ostatnia", "1023"));
        memory =
            opt.count("--pamiec") ? UnitMemory::FromFile(opt["--pamiec"], lastPage) : UnitMemory::Generated(lastPage);
        memory.damagedPages = PageList(get("--uszkodz", ""));
        memory.missingPages = PageList(get("--brak", ""));
        memory.badRepeatPages = PageList(get("--zla-powtorka", ""));
        memory.singleTrailer = opt.count("--jedna-stopka") > 0;
        memory.hangUpAfterTrailer = opt.count("--rozlacz-po-stopce") > 0;
        if (opt.count("--rozlacz-w-trakcie")) memory.hangUpAfterBytes = std::stoul(opt["--rozlacz-w-trakcie"]);
        const std::string erase = get("--kasowanie", "potwierdz");
        if (erase == "milcz")
            memory.eraseReply = UnitMemory::EraseReply::Silent;
        else if (erase == "rozlacz")
            memory.eraseReply = UnitMemory::EraseReply::HangUp;
        else if (erase != "potwierdz")
            throw std::invalid_argument("--kasowanie wants potwierdz, milcz or rozlacz");
        o.registration = Cp1250(get("--rej", "WA12345"));
        o.ownerCode = ParseOwnerCode(get("--licencja", "0011223344556677"));
        o.driverId = Cp1250(get("--kierowca", ""));
        if (!o.driverId.empty()) o.driverId.resize(3, ' ');
        if (opt.count("--czas")) {
            if (!ParseUtcTime(opt["--czas"], o)) throw std::invalid_argument("--czas wants 'YYYY-MM-DD hh:mm'");
        } else {
            const std::time_t now = std::time(nullptr);
            std::tm tm{};
            gmtime_r(&now, &tm);
            o.year = tm.tm_year + 1900, o.month = tm.tm_mon + 1, o.day = tm.tm_mday;
            o.hour = tm.tm_hour, o.minute = tm.tm_min;
        }
        o.latitude = CoordinateFromDegrees(std::stod(get("--szer", "52.20575")));
        o.longitude = CoordinateFromDegrees(std::stod(get("--dlug", "21.0205667")));
        o.hemisphere = (get("--wsch", "E") == "W" ? 1 : 0) | (get("--pol", "N") == "S" ? 2 : 0);
        o.gpsStatus = get("--gps", "A")[0];
        o.speedHundredths = static_cast<int>(std::lround(std::stod(get("--predkosc", "0")) * 100));
        o.fuelSensorType = static_cast<unsigned char>(std::stoi(get("--paliwo-typ", "0")));
        o.fuelReading = static_cast<unsigned char>(std::stoi(get("--paliwo", "0")));
        o.engine = opt.count("--silnik") > 0;
        const std::string inputs = get("--wejscia", "000");
        o.input1 = inputs.size() > 0 && inputs[0] == '1';
        o.input2 = inputs.size() > 1 && inputs[1] == '1';
        o.input3 = inputs.size() > 2 && inputs[2] == '1';
        o.odometerHundredsKm = std::stoi(get("--przebieg", "0"));
        o.newForm = opt.count("--nowy") > 0;
    } catch (const std::exception& e) {
        std::cerr << "symulator: " << e.what() << "\n";
        return 2;
    }

    try {
        SimulatedUnit unit(get("--host", "127.0.0.1"), std::stoi(get("--port", "4500")));
        unit.SendPosition(BuildPositionRecord(o));
        std::cout << "position of " << get("--rej", "WA12345") << " sent; waiting for the server to close" << std::endl;
        const DownloadSession session =
            ServeDownload(unit, memory, std::chrono::seconds(std::stoi(get("--czekaj", "60"))));
        if (session.dumpRequested) {
            std::cout << "memory read: dump request with owner code " << HexText(session.ownerCodeInRequest);
            if (!session.repeatsAsked.empty()) {
                std::cout << "; pages asked again:";
                for (int p : session.repeatsAsked) std::cout << ' ' << p;
            }
            if (session.eraseLastPage) std::cout << "; erase command up to page " << *session.eraseLastPage;
            std::cout << std::endl;
        }
        if (session.hungUp) {
            std::cout << "the unit hung up" << (session.eraseLastPage ? " after confirming the erase" : "")
                      << std::endl;
        } else if (session.closedByServer) {
            std::cout << "connection closed by the server" << std::endl;
        } else {
            std::cerr << "symulator: the server did not close the connection in time\n";
            return 1;
        }
    } catch (const std::exception& e) {
        std::cerr << "symulator: " << e.what() << "\n";
        return 1;
    }
    return 0;
}

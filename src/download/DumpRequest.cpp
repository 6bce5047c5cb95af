#include "download/DumpRequest.hpp"

#include <thread>

#include "link/ByteStuffing.hpp"
#include "link/UnitConnection.hpp"

namespace serwer {

namespace {
constexpr char kDumpRequestLead = static_cast<char>(0xAD);
}

Bytes BuildDumpRequest(const Bytes& ownerCode) {
    Bytes request(1, kDumpRequestLead);
    request += StuffBytes(ownerCode);
    return request;
}

void SendDumpRequest(UnitConnection& connection, const Bytes& ownerCode, const DownloadTimings& timings) {
    std::this_thread::sleep_for(timings.pauseBeforeDumpRequest);
    connection.Send(BuildDumpRequest(ownerCode));
    std::this_thread::sleep_for(timings.pauseAfterDumpRequest);
}

}  // namespace serwer

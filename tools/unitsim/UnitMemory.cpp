#include "unitsim/UnitMemory.hpp"

#include <fstream>
#include <iterator>
#include <stdexcept>

#include "link/Bcd.hpp"
#include "link/ByteStuffing.hpp"
#include "unitsim/BulkTransferBuilder.hpp"
#include "unitsim/SimulatedUnit.hpp"

namespace serwer {

namespace {

constexpr unsigned char kDumpRequest = 0xAD;
constexpr unsigned char kRepeatRequest = 0xAC;
constexpr unsigned char kEraseFirst = 0xDC, kEraseSecond = 0xBA;

// Reads the server's messages from the bytes it has sent so far.
class RequestReader {
public:
    void Add(const Bytes& bytes) { pending_ += bytes; }

    // Takes `count` stuffed data bytes that follow position `from`; returns the index
    // after them, or npos when they have not all arrived.
    std::size_t TakeStuffed(std::size_t from, std::size_t count, Bytes& out) const {
        out.clear();
        std::size_t i = from;
        while (out.size() < count) {
            if (i >= pending_.size()) return Bytes::npos;
            if (pending_[i] == 0x1B) {
                if (i + 1 >= pending_.size()) return Bytes::npos;
                out += UnstuffBytes(pending_.substr(i, 2));
                i += 2;
            } else {
                out += pending_[i++];
            }
        }
        return i;
    }

    enum class Kind { None, Dump, Repeat, Erase };
    // The next whole message, if there is one; bytes that start no message are skipped.
    Kind Next(Bytes& data) {
        while (!pending_.empty()) {
            const auto lead = static_cast<unsigned char>(pending_[0]);
            std::size_t end = Bytes::npos;
            Kind kind = Kind::None;
            if (lead == kDumpRequest) {
                end = TakeStuffed(1, 8, data);
                kind = Kind::Dump;
            } else if (lead == kRepeatRequest) {
                end = TakeStuffed(1, 2, data);
                kind = Kind::Repeat;
            } else if (lead == kEraseFirst) {
                if (pending_.size() < 2) return Kind::None;
                if (static_cast<unsigned char>(pending_[1]) == kEraseSecond) {
                    end = TakeStuffed(2, 2, data);
                    kind = Kind::Erase;
                } else {
                    pending_.erase(0, 1);
                    continue;
                }
            } else {
                pending_.erase(0, 1);
                continue;
            }
            if (end == Bytes::npos) return Kind::None;
            pending_.erase(0, end);
            return kind;
        }
        return Kind::None;
    }

private:
    Bytes pending_;
};

Bytes PageData(const UnitMemory& m, int page) {
    return page < static_cast<int>(m.pages.size()) ? m.pages[page] : Bytes(256, '\xFF');
}

}  // namespace

UnitMemory UnitMemory::Generated(int lastPage) {
    UnitMemory m;
    m.lastPage = lastPage;
    for (int p = 0; p <= lastPage; ++p) m.pages.push_back(PatternPage(p, p == lastPage));
    return m;
}

UnitMemory UnitMemory::FromFile(const std::string& path, int lastPage) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    const Bytes all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    UnitMemory m;
    m.lastPage = lastPage;
    for (std::size_t at = 0; at < all.size() && m.pages.size() < 1024; at += 256)
        m.pages.push_back(all.substr(at, 256));
    return m;
}

DownloadSession ServeDownload(SimulatedUnit& unit, const UnitMemory& memory, std::chrono::milliseconds limit) {
    DownloadSession session;
    RequestReader reader;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        reader.Add(unit.Receive(std::min(left, std::chrono::milliseconds(200))));
        if (unit.Closed()) {
            session.closedByServer = true;
            return session;
        }
        Bytes data;
        for (auto kind = reader.Next(data); kind != RequestReader::Kind::None; kind = reader.Next(data)) {
            if (kind == RequestReader::Kind::Dump) {
                session.dumpRequested = true;
                session.ownerCodeInRequest = data;
                BulkTransferOptions options;
                options.damagedPages = memory.damagedPages;
                options.missingPages = memory.missingPages;
                options.singleTrailer = memory.singleTrailer;
                const Bytes transfer = BuildBulkTransfer(memory.pages, memory.lastPage, options);
                if (memory.hangUpAfterBytes && *memory.hangUpAfterBytes < transfer.size()) {
                    unit.SendRaw(transfer.substr(0, *memory.hangUpAfterBytes));
                    unit.Close();
                    session.hungUp = true;
                    return session;
                }
                unit.SendRaw(transfer);
                if (memory.hangUpAfterTrailer) {
                    unit.Close();
                    session.hungUp = true;
                    return session;
                }
            } else if (kind == RequestReader::Kind::Repeat) {
                const int page = static_cast<int>(DecodeBcdNumber(data));
                session.repeatsAsked.push_back(page);
                Bytes block = BuildPageBlock(page, PageData(memory, page));
                if (memory.badRepeatPages.count(page)) block = WithBadChecksum(block);
                unit.SendRaw(StuffBytes(block));
            } else if (kind == RequestReader::Kind::Erase) {
                session.eraseLastPage = static_cast<int>(DecodeBcdNumber(data));
                if (memory.eraseReply == UnitMemory::EraseReply::Confirm) {
                    // A unit confirms and hangs up: the server waits for more otherwise.
                    unit.SendRaw("KKKKKK");
                    unit.Close();
                    session.hungUp = true;
                    return session;
                } else if (memory.eraseReply == UnitMemory::EraseReply::HangUp) {
                    unit.Close();
                    session.hungUp = true;
                    return session;
                }
            }
        }
    }
    return session;
}

}  // namespace serwer

#include "server/ConnectionHandler.hpp"
#include "server/FillRow.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <thread>
#include <vector>

#include "common/DateTime.hpp"
#include "common/ServerError.hpp"
#include "common/Win1250.hpp"
#include "download/ArchiveWriter.hpp"
#include "download/DumpCollector.hpp"
#include "download/EraseCommand.hpp"
#include "download/MemoryImage.hpp"
#include "download/RepeatRequest.hpp"
#include "history/HistoryRecord.hpp"
#include "link/ByteStuffing.hpp"
#include "link/DecodedPosition.hpp"
#include "link/PositionFrame.hpp"
#include "link/PositionRecord.hpp"
#include "logs/EventLog.hpp"
#include "vehicles/ReadSchedule.hpp"
#include "vehicles/VehicleFile.hpp"
#include "vehicles/VehicleRow.hpp"

namespace serwer {

namespace {

std::string AsciiUpper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// The disconnect that ends every run, with its log line. Nothing may escape: a failing
// log line ends the clean-up without the disconnect, and the server closes the socket.
void CloseUnit(UnitConnection& connection, const std::string& registrationText) noexcept {
    try {
        if (!connection.IsConnected()) return;
        WriteLog(registrationText + " rozlaczamy poloczenie", registrationText + "log.txt");
        try {
            connection.Disconnect();
        } catch (const std::exception& e) {
            WriteLog(registrationText + "Problem : " + e.what(), "err.txt");
        }
    } catch (...) {
    }
}

// The closing of every run, whatever ended it: the closing wait, then CloseUnit. Where
// the server allows it, the wait and the close are handed to the server, so the thread
// is free for the next unit meanwhile; the unit sees the same either way.
class ClosingGuard {
public:
    ClosingGuard(UnitConnection& connection, const std::string& registrationText, std::chrono::milliseconds wait)
        : connection_(connection), registrationText_(registrationText), wait_(wait) {}
    ~ClosingGuard() {
        try {
            if (connection_.DeferClosing(wait_, [name = registrationText_](UnitConnection& c) { CloseUnit(c, name); }))
                return;
        } catch (...) {
            // No memory for the request: this thread waits.
        }
        std::this_thread::sleep_for(wait_);
        CloseUnit(connection_, registrationText_);
    }
    ClosingGuard(const ClosingGuard&) = delete;
    ClosingGuard& operator=(const ClosingGuard&) = delete;

private:
    UnitConnection& connection_;
    const std::string& registrationText_;  // filled in once the record is known
    std::chrono::milliseconds wait_;
};

// A lock section of the handler: entry line in lock.txt once the lock is held, and the
// exit line written just before the lock is released, on every way out.
class LockSection {
public:
    LockSection(TableLock& lock, const std::string& registrationText) : guard_(lock), name_(registrationText) {}
    ~LockSection() {
        try {
            WriteLog(name_ + " wyjscie z blokady", "lock.txt");
        } catch (...) {
        }
    }
    void LogEntry() { WriteLog(name_ + " wejscie do blokady", "lock.txt"); }
    VehicleTable& Table() { return guard_.Table(); }

private:
    TableLockGuard guard_;  // released after the exit line (members die after the body)
    std::string name_;
};

}  // namespace

struct ConnectionHandler::Position {
    DecodedPosition decoded;  // the record decoded once (its 128 bytes as they came, and the old form)
    Bytes registrationBytes;  // the 8 raw bytes
    std::string registrationText;
    std::string archiveDirectory;  // chosen while the position is stored
    ReadAdmission::Ticket readTicket;  // the read's share of the memory budget, while it runs
};

bool CzPoprawnyNumer(const std::string& text, const std::vector<std::string>& allowList) {
    if (text.size() < 2) return false;
    if (text.find_first_not_of(text[0]) == std::string::npos) return false;
    if (allowList.empty()) return true;
    // A unit pads a short registration with 0x00 bytes, which no entry can hold: they
    // take no part in the comparison. Trailing blanks do.
    const std::string upper = AsciiUpper(text.substr(0, text.find_last_not_of('\0') + 1));
    for (const std::string& item : allowList)
        if (AsciiUpper(item) == upper) return true;
    return false;
}

bool CzPoprawnaLicencja(const std::string& ownerCodeText, const std::vector<std::string>& ownerCodeAllowList) {
    if (ownerCodeAllowList.empty()) return true;
    const std::string upper = AsciiUpper(ownerCodeText);
    for (const std::string& item : ownerCodeAllowList)
        if (AsciiUpper(item) == upper) return true;
    return false;
}

void ConnectionHandler::IdTCPServer1Connect(UnitConnection&) {
    if (!ctx_.display) return;
    ctx_.display->ShowPacketCount(ctx_.packetCounter.load());
    ctx_.display->ShowPlannedRead(ShowPlannedRead(ReadHourOfIndex(ctx_.readHourIndex.load()), DateTime::Now()));
}

Bytes ConnectionHandler::ReadPositionFrame(UnitConnection& connection) {
    // A unit that connects and stays silent must not hold its thread for ever.
    connection.SetReadDeadline(std::chrono::steady_clock::now() + ctx_.timings.frameTimeLimit);
    struct ClearDeadline {
        UnitConnection& c;
        ~ClearDeadline() { c.SetReadDeadline(std::nullopt); }
    } clearDeadline{connection};

    PositionFrame frame;
    for (;;) {
        switch (frame.Add(connection.ReadExact(frame.BytesWanted()))) {
            case PositionFrame::State::Complete:
                return frame.Frame();
            case PositionFrame::State::TooLong:
                throw ServerError("nie doczekalismy sie pozycji");
            case PositionFrame::State::Incomplete:
                break;
        }
    }
}

void ConnectionHandler::IdTCPServer1Execute(UnitConnection& connection) {
    const auto deadline = std::chrono::steady_clock::now() + ctx_.timings.downloadDeadline;
    WriteLog("przychodzi pozycja ", "log.txt");

    Position position;
    ClosingGuard closing(connection, position.registrationText, ctx_.timings.closingWait);

    const Bytes frame = UnstuffBytes(ReadPositionFrame(connection));
    if (frame.size() != kRecordSize) {
        WriteLog("Bledna pozycja  : " + frame, "err.txt");
        return;
    }
    ctx_.packetCounter.fetch_add(1);
    position.decoded = DecodePosition(frame, ctx_.decimalSeparator);
    WriteLog((position.decoded.newForm ? "nowy string :" : "stary string :") + frame, "stringi.txt");
    position.registrationBytes = RegistrationField(position.decoded.record);
    position.registrationText = position.decoded.registration;
    // A registration that cannot be a file name fails here (the log refuses the name),
    // so it never reaches a path.
    WriteLog("nrrej :" + position.registrationBytes, position.registrationText + "log.txt");
    if (!CzPoprawnyNumer(position.registrationBytes, ctx_.allowList)) {
        WriteLog("wywalam podejzany wpis nrrej :" + position.registrationBytes, "log.txt");
        ShowEvent(Cp1250("Odrzucony numer rejestracyjny: ") + position.registrationText);
        return;
    }
    const std::string& ownerCode = position.decoded.ownerCode;
    if (!CzPoprawnaLicencja(ownerCode, ctx_.ownerCodeAllowList)) {
        WriteLog("odrzucona licencja spoza listy Licencje : " + ownerCode + " nrrej : " + position.registrationBytes,
                 "log.txt");
        ShowEvent(Cp1250("Odrzucona licencja spoza listy Licencje: ") + ownerCode + Cp1250(", pojazd ") +
                  position.registrationText);
        return;
    }

    const PositionCommit stored = StorePosition(position);
    if (stored.newVehicleRefused) return;
    const bool readDue = stored.readDue;
    ServerMetrics::Add(ctx_.metrics.positionsStored);
    ShowEvent(position.registrationText + Cp1250(": pozycja zapisana"));
    for (const Event& e : stored.events) {
        ShowEvent(EventLine(e));
        if (ctx_.display) ctx_.display->ShowVehicleEvent(e);
    }
    if (ctx_.notifications) ctx_.notifications->Offer(stored.events);
    if (readDue) {
        // The read's share of the memory budget goes back when the read ends, not after
        // the closing wait.
        const ReadAdmission::Ticket ticket = std::move(position.readTicket);
        DownloadMemory(connection, position, deadline);
    }
}

std::string ConnectionHandler::ChooseArchiveDirectory(const std::string& ownerCodeText) {
    if (!ctx_.serviceMode) return ctx_.dataDirectory + "/";
    const std::string dir = ctx_.dataDirectory + "/" + ownerCodeText + "/";
    if (::mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST)
        throw ServerError("Blad przy tworzeniu katalogu licencji : " + dir);
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw ServerError("Blad przy tworzeniu katalogu licencji : " + dir);
    return dir;
}

ConnectionHandler::PositionCommit ConnectionHandler::StorePosition(Position& position) {
    const PositionCommit commit = CommitPosition(position);
    if (commit.newVehicleRefused) {
        ServerMetrics::Add(ctx_.metrics.newVehiclesRefused);
        if (commit.firstRefusalOfRun) {
            const std::string report = Cp1250("Przekroczony limit nowych pojazdów (NowePojazdyNaGodzine=") +
                                       std::to_string(ctx_.newVehiclesPerHour) +
                                       Cp1250("): odrzucono pozycję pojazdu ") + position.registrationText;
            WriteLog(report, "err2.txt");
            ShowEvent(report);
        }
        return commit;
    }
    // The history row was queued with the table's change, so the save that holds the
    // change is followed by the history write that holds the row; the handler goes on
    // only when both its save and its row are done (a failed row is reported by the
    // writer, never thrown).
    HistoryWriter* history = ctx_.history;
    const std::uint64_t ticket = commit.historyTicket;
    try {
        ctx_.tableLock.WaitUntilSaved(commit.change, VehicleFilePath(ctx_.dataDirectory));
    } catch (...) {
        if (history) history->WaitUntilWritten(ticket);
        throw;
    }
    if (history) history->WaitUntilWritten(ticket);
    return commit;
}

ConnectionHandler::PositionCommit ConnectionHandler::CommitPosition(Position& position) {
    const DecodedPosition& decoded = position.decoded;
    const std::string& name = position.registrationText;
    const std::int64_t receivedUtc = UtcNowSeconds();
    std::optional<HistoryRecord> historyRow;
    if (ctx_.history) historyRow = MakeHistoryRecord(decoded, receivedUtc);
    LockSection section(ctx_.tableLock, name);
    section.LogEntry();
    if (ctx_.display && ctx_.openConnectionCount) ctx_.display->ShowOpenConnections(ctx_.openConnectionCount());

    VehicleTable& table = section.Table();
    // The row is edited as a copy and committed at once below: a run that fails
    // before the commit leaves the table as it was.
    const auto index = table.Find(name);
    if (!index) {
        // A vehicle new to the table takes a place in the hour's limit; beyond it the
        // position is not stored at all, and nothing is made for it.
        const NewVehicleLimit::Verdict verdict =
            ctx_.newVehicleLimit.Admit(ctx_.newVehiclesPerHour, NewVehicleLimit::Clock::now());
        if (verdict != NewVehicleLimit::Verdict::Admitted) {
            PositionCommit refused;
            refused.newVehicleRefused = true;
            refused.firstRefusalOfRun = verdict == NewVehicleLimit::Verdict::FirstRefused;
            return refused;
        }
    }
    VehicleRow row = index ? table.Row(*index) : VehicleRow{};
    row.NAZWA = name;
    FillRow(row, decoded, ctx_.decimalSeparator);
    position.archiveDirectory = ChooseArchiveDirectory(*row.LICENCJA);

    try {
        if (index)
            table.Post(*index, std::move(row));
        else
            table.Append(std::move(row));
    } catch (const std::exception& e) {
        WriteLog(e.what(), "err2.txt");
        throw;
    }
    PositionCommit commit;
    // The vehicle's detectors see its positions in the order they are committed; the
    // events go to the history with the position's row.
    if (ctx_.events) commit.events = ctx_.events->OnPosition(decoded, receivedUtc);
    // The attempt stamp of a due read goes into the same save as the position. A read
    // that may not start now is not stamped: the vehicle stays due.
    const bool readsEnabled = ctx_.readsEnabled.load();
    const std::optional<int> readHour = ReadHourOfIndex(ctx_.readHourIndex.load());
    const DateTime now = DateTime::Now();
    if (IsReadDue(table, name, readsEnabled, readHour, now) && AdmitRead(position))
        commit.readDue = DecideRead(table, name, readsEnabled, readHour, now);
    commit.change = table.ChangeCount();
    // Queued under the lock: every change a save holds has its row queued before the
    // save began, and so in the history write that follows it.
    if (historyRow) commit.historyTicket = ctx_.history->Submit(std::move(*historyRow), commit.events);
    return commit;
}

bool ConnectionHandler::AdmitRead(Position& position) {
    if (!ctx_.readAdmission) return true;
    ReadAdmission::Decision decision = ctx_.readAdmission->Admit(position.registrationText);
    if (decision.disk) {
        WriteLog(*decision.disk, "err2.txt");
        ShowEvent(*decision.disk);
    }
    if (decision.deferred) WriteLog(*decision.deferred, "log.txt");
    position.readTicket = std::move(decision.ticket);
    return static_cast<bool>(position.readTicket);
}

void ConnectionHandler::DownloadMemory(UnitConnection& connection, const Position& position,
                                       std::chrono::steady_clock::time_point deadline) {
    const std::string& name = position.registrationText;
    ShowEvent(name + Cp1250(": odczyt pamięci rozpoczęty"));
    try {
        ReadMemory(connection, position, deadline);
    } catch (const std::exception& e) {
        ShowEvent(name + Cp1250(": odczyt pamięci przerwany: ") + e.what());
        throw;
    }
}

void ConnectionHandler::ReadMemory(UnitConnection& connection, const Position& position,
                                   std::chrono::steady_clock::time_point deadline) {
    const std::string& name = position.registrationText;
    const DownloadTimings& timings = ctx_.timings.download;

    // The bulk transfer is received without the lock.
    std::optional<CollectedDump> dump;
    try {
        dump = DumpCollector(connection, OwnerCodeField(position.decoded.record), position.registrationBytes, name, deadline,
                             timings);
    } catch (...) {
        ServerMetrics::Add(ctx_.metrics.readsTimedOut);
        throw;
    }
    if (!dump) {
        ServerMetrics::Add(ctx_.metrics.readsTimedOut);
        ShowEvent(name + Cp1250(": odczyt pamięci przerwany: niepełne dane z urządzenia"));
        return;
    }

    // Each read has an image of its own, so the page repeats, the archive and the
    // erase step run without the lock; only recording the read takes it.
    const auto image = std::make_unique<MemoryImage>();
    std::vector<int> repeated;
    try {
        repeated = RepeatCycle(connection, dump->data, *image, timings);
    } catch (...) {
        ServerMetrics::Add(ctx_.metrics.readsRepeatsFailed);
        throw;
    }
    ServerMetrics::Add(ctx_.metrics.pagesAskedAgain, repeated.size());
    if (!repeated.empty()) {
        std::string pages;
        for (int page : repeated) pages += (pages.empty() ? "" : ", ") + std::to_string(page);
        ShowEvent(name + Cp1250(": ponownie pobrane strony ") + pages);
    }

    const DateTime now = DateTime::Now();
    const std::string archive = ArchiveFileName(position.archiveDirectory, name, now);
    WriteLog(ArchiveSavedLogLine(name, MemoryImage::kImageSize), name + "log.txt");
    try {
        WriteArchive(archive, image->Contents(), now);
    } catch (const std::exception& e) {
        // The erase command tells the unit its data are safe; without the archive they
        // are not. The read is not recorded, so the unit is read again next time.
        const std::string report = name + " nie zapisano pliku sve : " + e.what();
        WriteLog(report, "err2.txt");
        WriteLog(report, name + "log.txt");
        ServerMetrics::Add(ctx_.metrics.readsArchiveFailed);
        if (ctx_.display) ctx_.display->ReportArchiveFailure(report);
        ShowEvent(name + Cp1250(": odczyt pamięci przerwany: nie zapisano archiwum"));
        return;
    }
    ServerMetrics::Add(ctx_.metrics.readsArchived);
    ShowEvent(name + Cp1250(": zapisano archiwum ") + archive.substr(archive.rfind('/') + 1));

    std::uint64_t change = 0;
    {
        LockSection section(ctx_.tableLock, name);
        section.LogEntry();
        RecordCompletedRead(section.Table(), name, DateTime::Now());
        change = section.Table().ChangeCount();
    }
    // The erase command goes only after the archive and the recorded read are durable.
    ctx_.tableLock.WaitUntilSaved(change, VehicleFilePath(ctx_.dataDirectory));
    if (ctx_.eraseEnabled.load()) {
        SendEraseCommand(connection, dump->lastPage, timings);
        ShowEvent(name + Cp1250(": odczyt pamięci zakończony, pamięć urządzenia skasowana"));
    } else {
        ShowEvent(name + Cp1250(": odczyt pamięci zakończony bez kasowania"));
    }
}

void ConnectionHandler::ShowEvent(const std::string& text) {
    if (ctx_.display) ctx_.display->ShowEvent(text);
}

}  // namespace serwer

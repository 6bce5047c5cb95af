// A unit connects and sends its position: what reaches the vehicle file and the logs.
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <future>
#include <memory>
#include <regex>
#include <thread>

#include "common/ServerError.hpp"
#include "common/Win1250.hpp"
#include "e2e/ServerFixture.hpp"
#include "link/ByteStuffing.hpp"
#include "vehicles/VehicleFile.hpp"

using namespace serwer;

namespace {

const std::string kHeader = Cp1250(
    "\"Nazwa\";\"Grupa Kategoria Infomation\";\"Data-godzina\";\"Kierowca\";\"Prędkość\";\"GPS\";\"Silnik\";"
    "\"Punkty\";\"Vgraniczna\";\"Licencja\";\"Paliwo\";\"Licznik\";\"Szerokość geograficzna Latitude\";"
    "\"Długość geograficzna Longitude\";\"Odczyt\";\"PROBA_ODCZYTU\";\"URZ1\";\"URZ2\";\"URZ3\";\"Przebieg\"\r\n");

const std::string kSampleRow = Cp1250(
    "\"WA12345\";\"Jazda\";\"2026.12.08-14:45\";\"Brak ID\";\"12.34 Km/h\";\"OK\";\"ZAŁ\";;;"
    "\"001A2B3C4D5E6F70\";\"Sonda-42 %%\";\"0\";\"52.2057500N\";\"21.0205667E\";;;\"True\";\"False\";\"False\";"
    "\"123400\"\r\n");

// The messages of a log file, in order, each checked to have the entry layout
// "stamp LF message CR LF".
std::vector<std::string> Messages(const std::string& content) {
    static const std::regex stamp(R"(^\d\d-\d\d-\d{4}( \d\d:\d\d:\d\d)?$)");
    std::vector<std::string> out;
    std::size_t pos = 0;
    while (pos < content.size()) {
        const auto lf = content.find('\n', pos);
        EXPECT_NE(lf, std::string::npos);
        EXPECT_TRUE(std::regex_match(content.substr(pos, lf - pos), stamp)) << content.substr(pos, lf - pos);
        // Messages may hold CR LF themselves; entries are split at the next stamp.
        auto end = lf + 1;
        std::size_t next = std::string::npos;
        for (auto crlf = content.find("\r\n", end); crlf != std::string::npos; crlf = content.find("\r\n", crlf + 1)) {
            const auto after = crlf + 2;
            const auto nl = content.find('\n', after);
            if (after == content.size() ||
                (nl != std::string::npos && std::regex_match(content.substr(after, nl - after), stamp))) {
                next = crlf;
                break;
            }
        }
        EXPECT_NE(next, std::string::npos);
        out.push_back(content.substr(end, next - end));
        pos = next + 2;
    }
    return out;
}

}  // namespace

using PositionRun = ServerFixture;

TEST_F(PositionRun, StoresTheDecodedRowInTheVehicleFileExactly) {
    StartServer();
    SendPosition(BuildPositionRecord(SamplePosition()));
    WaitForIdle();
    EXPECT_EQ(Read("Aktualne.txt"), kHeader + kSampleRow);
    EXPECT_EQ(context_.packetCounter.load(), 1);
    const auto history = server_->History()->Query({"WA12345", 0, 2000000000});
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0].raw, BuildPositionRecord(SamplePosition()));
}

namespace {
// A history store whose writes wait until they are let through.
class GateStore : public HistoryStore {
public:
    std::promise<void> open;
    std::shared_future<void> opened = open.get_future().share();
    std::atomic<std::size_t> kept{0};
    void Append(const std::vector<HistoryRecord>& rows) override {
        opened.wait();
        kept += rows.size();
    }
    std::vector<HistoryRecord> Query(const HistoryQuery&) override { return {}; }
    int Prune(int, std::int64_t) override { return 0; }
    void AppendEvents(const std::vector<Event>&) override {}
    std::vector<Event> QueryEvents(const EventQuery&) override { return {}; }
    void RemoveEvents(const EventQuery&) override {}
};
}  // namespace

TEST_F(PositionRun, AHandlerGoesOnOnlyOnceItsTableSaveAndItsHistoryRowAreDone) {
    GateStore store;
    HistoryWriter writer(store, {});
    context_.history = &writer;
    StartServer();
    auto sent = std::async(std::launch::async, [&] { return SendPosition(BuildPositionRecord(SamplePosition())); });
    for (int i = 0; i < 400 && Read("Aktualne.txt").find("WA12345") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(Read("Aktualne.txt"), kHeader + kSampleRow);  // the table's save is done ...
    EXPECT_EQ(sent.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);  // ... the handler waits
    EXPECT_EQ(Read("log.txt").find("rozlaczamy"), std::string::npos);
    store.open.set_value();
    sent.get();
    WaitForIdle();
    EXPECT_EQ(store.kept.load(), 1u);
}

TEST_F(PositionRun, TheDailyCleanUpDropsHistoryMonthsOlderThanTheDaysKeptOncePerDay) {
    HistoryRecord old = MakeHistoryRecord(BuildPositionRecord(SamplePosition()), 1577836800);  // January 2020
    server_->History()->Append({old});
    server_->PruneHistory(DateTime::Now(), PositioningServer::PruneOn::OwnThread);
    for (int i = 0; i < 500 && std::filesystem::exists("historia/pozycje-2020-01.db"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(std::filesystem::exists("historia/pozycje-2020-01.db"));
    server_->History()->Append({old});
    server_->PruneHistory(DateTime::Now());  // the same day: nothing more
    server_.reset();
    EXPECT_TRUE(std::filesystem::exists("historia/pozycje-2020-01.db"));
    EXPECT_EQ(Messages(Read("log.txt")),
              std::vector<std::string>{Cp1250("Historia pozycji: usunięto pliki miesięcy starszych niż 365 dni: 1")});
}

TEST_F(PositionRun, AFailingHistoryCostsNoPositionAndIsLoggedOncePerRunOfFailures) {
    std::ofstream("historia") << "not a directory";
    StartServer();
    for (const char* name : {"AAA111", "BBB222", "CCC333"}) SendPosition(BuildPositionRecord(SamplePosition(name)));
    WaitForIdle();
    const std::string table = Read("Aktualne.txt");
    for (const char* name : {"AAA111", "BBB222", "CCC333"}) EXPECT_NE(table.find(name), std::string::npos);
    EXPECT_EQ(context_.packetCounter.load(), 3);
    const auto failures = Messages(Read("err2.txt"));
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_TRUE(failures[0].starts_with(Cp1250("Historia pozycji: błąd zapisu: "))) << failures[0];

    std::filesystem::remove("historia");
    SendPosition(BuildPositionRecord(SamplePosition("DDD444")));
    WaitForIdle();
    EXPECT_EQ(Messages(Read("err2.txt")).back(),
              Cp1250("Historia pozycji: zapis wznowiony; 3 pozycji nie trafiło do historii"));
    EXPECT_EQ(server_->History()->Query({std::nullopt, 0, 2000000000}).size(), 1u);
}

TEST_F(PositionRun, WritesEveryLogLineOfARunWithItsExactBytes) {
    StartServer();
    const Bytes record = BuildPositionRecord(SamplePosition());
    SendPosition(record);
    WaitForIdle();
    const Bytes reg = record.substr(31, 8);
    EXPECT_EQ(Messages(Read("log.txt")), std::vector<std::string>{"przychodzi pozycja "});
    EXPECT_EQ(Messages(Read("stringi.txt")), std::vector<std::string>{"stary string :" + record});
    EXPECT_EQ(Messages(Read("WA12345log.txt")),
              (std::vector<std::string>{"nrrej :" + reg, "WA12345 rozlaczamy poloczenie"}));
    EXPECT_EQ(Messages(Read("lock.txt")),
              (std::vector<std::string>{"WA12345 wejscie do blokady", "WA12345 wyjscie z blokady"}));
}

TEST_F(PositionRun, NewFormRecordIsConvertedAndLoggedAsReceived) {
    StartServer();
    PositionOptions o = SamplePosition();
    o.newForm = true;
    const Bytes record = BuildPositionRecord(o);
    SendPosition(record);
    WaitForIdle();
    EXPECT_EQ(Messages(Read("stringi.txt")), std::vector<std::string>{"nowy string :" + record});
    EXPECT_EQ(Read("Aktualne.txt"), kHeader + kSampleRow);
}

TEST_F(PositionRun, FrameThatUnstuffsToAnotherLengthIsLoggedAsBledna) {
    StartServer();
    // 0x10 in the owner code is stuffed; a "$" right after 128 stuffed bytes cuts the frame.
    PositionOptions o = SamplePosition();
    o.ownerCode = Bytes(8, '\x10');
    Bytes stuffed = StuffBytes(BuildPositionRecord(o));
    stuffed[127] = '$';
    const Bytes cut = stuffed.substr(0, 128);
    SendRawAndWait(cut);
    WaitForIdle();
    EXPECT_EQ(Messages(Read("err.txt")), std::vector<std::string>{"Bledna pozycja  : " + UnstuffBytes(cut)});
    EXPECT_EQ(Messages(Read("log.txt")), (std::vector<std::string>{"przychodzi pozycja ", " rozlaczamy poloczenie"}));
    EXPECT_FALSE(std::filesystem::exists("Aktualne.txt"));
    EXPECT_EQ(context_.packetCounter.load(), 0);
}

TEST_F(PositionRun, StuffingOfUpToNineBytesIsAcceptedAndTenIsNot) {
    StartServer();
    PositionOptions nine = SamplePosition("NINE1");
    nine.ownerCode = Bytes(8, '\x10');
    // with the 0x10 of the sample's longitude: nine escape pairs
    const Bytes nineRecord = BuildPositionRecord(nine);
    ASSERT_EQ(StuffBytes(nineRecord).size(), 137u);
    SendPosition(nineRecord);

    PositionOptions ten = nine;
    ten.registration = "TEN10";
    ten.driverId = Bytes("\x10\x00\x00", 3);
    const Bytes tenRecord = BuildPositionRecord(ten);
    ASSERT_EQ(StuffBytes(tenRecord).size(), 138u);
    SendPosition(tenRecord);
    WaitForIdle();

    const std::string file = Read("Aktualne.txt");
    EXPECT_NE(file.find("\"NINE1\""), std::string::npos);
    EXPECT_EQ(file.find("\"TEN10\""), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists("err.txt"));  // "nie doczekalismy sie pozycji" is not logged
}

TEST_F(PositionRun, ImplausibleRegistrationIsThrownOut) {
    StartServer();
    PositionOptions o = SamplePosition("        ");
    const Bytes record = BuildPositionRecord(o);
    SendPosition(record);
    WaitForIdle();
    EXPECT_EQ(
        Messages(Read("log.txt")),
        (std::vector<std::string>{"przychodzi pozycja ", "nrrej :" + record.substr(31, 8),
                                  "wywalam podejzany wpis nrrej :" + record.substr(31, 8), " rozlaczamy poloczenie"}));
    EXPECT_FALSE(std::filesystem::exists("Aktualne.txt"));
}

TEST_F(PositionRun, AllowListComparesTheWholeFieldWithoutRegardToCase) {
    context_.allowList = {"WA12345A", "KR99999B"};
    StartServer();
    SendPosition(BuildPositionRecord(SamplePosition("wa12345a")));
    SendPosition(BuildPositionRecord(SamplePosition("WA12345B")));
    WaitForIdle();
    const std::string file = Read("Aktualne.txt");
    EXPECT_NE(file.find("\"wa12345a\""), std::string::npos);
    EXPECT_EQ(file.find("WA12345B"), std::string::npos);
}

TEST_F(PositionRun, AnAllowListEntryAdmitsItsZeroPaddedRegistrationButNotABlankPaddedOne) {
    context_.allowList = {"WA12345", "KR99999"};
    StartServer();
    SendPosition(BuildPositionRecord(SamplePosition("WA12345")));   // padded with one 0x00
    SendPosition(BuildPositionRecord(SamplePosition("KR99999 ")));  // padded with a blank
    WaitForIdle();
    const std::string file = Read("Aktualne.txt");
    EXPECT_NE(file.find("\"WA12345\""), std::string::npos);
    EXPECT_EQ(file.find("KR99999"), std::string::npos);
    EXPECT_NE(Read("log.txt").find("wywalam podejzany wpis nrrej :KR99999 \r\n"), std::string::npos);
}

TEST_F(PositionRun, RegistrationThatCannotBeAFileNameNeverReachesAPath) {
    StartServer();
    for (const char* bad : {"../../x", "A/B", "C:\\D", "x?y", "a\x01z", "<a>|\"b"}) {
        SendPosition(BuildPositionRecord(SamplePosition(bad)));
    }
    WaitForIdle();
    EXPECT_FALSE(std::filesystem::exists("Aktualne.txt"));
    int files = 0;
    for (auto& e : std::filesystem::directory_iterator(".")) {
        const std::string n = e.path().filename().string();
        EXPECT_TRUE(n == "log.txt" || n == "stringi.txt") << n;
        ++files;
    }
    EXPECT_EQ(files, 2);
    EXPECT_FALSE(std::filesystem::exists(dir_.parent_path().parent_path() / "xlog.txt"));
}

TEST_F(PositionRun, KnownVehicleIsUpdatedInPlaceAndANewOneAppended) {
    StartServer();
    SendPosition(BuildPositionRecord(SamplePosition("AAA111")));
    SendPosition(BuildPositionRecord(SamplePosition("BBB222")));
    PositionOptions again = SamplePosition("AAA111");
    again.speedHundredths = 5;
    again.gpsStatus = 'X';  // neither A nor V: GPS keeps "OK"
    SendPosition(BuildPositionRecord(again));
    WaitForIdle();
    const std::string file = Read("Aktualne.txt");
    const auto first =
        file.find("\"AAA111\";" + Cp1250("\"Postój\";") + "\"2026.12.08-14:45\";\"Brak ID\";\"0.05 Km/h\";\"OK\"");
    const auto second = file.find("\"BBB222\"");
    EXPECT_NE(first, std::string::npos) << file;
    EXPECT_NE(second, std::string::npos);
    EXPECT_LT(first, second);
    EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 3);
}

TEST_F(PositionRun, UndecodableSpeedLeavesTableAndFileAsTheyWereAndTheLockFree) {
    StartServer();
    SendPosition(BuildPositionRecord(SamplePosition("AAA111")));
    WaitForIdle();
    const std::string before = Read("Aktualne.txt");
    Bytes bad = BuildPositionRecord(SamplePosition("AAA111"));
    bad[20] = '\x0A';  // a BCD nibble above 9 in the speed
    SendPosition(bad);
    bad = BuildPositionRecord(SamplePosition("CCC333"));
    bad[51] = '\xA0';  // and in the odometer
    SendPosition(bad);
    WaitForIdle();
    EXPECT_EQ(Read("Aktualne.txt"), before);
    EXPECT_EQ(context_.tableLock.TableUnlocked().Size(), 1u);
    EXPECT_FALSE(context_.tableLock.IsBusy());
    SendPosition(BuildPositionRecord(SamplePosition("DDD444")));
    WaitForIdle();
    EXPECT_NE(Read("Aktualne.txt").find("DDD444"), std::string::npos);
}

TEST_F(PositionRun, DueVehicleIsAskedForItsMemoryWithItsAttemptStamped) {
    context_.readsEnabled = true;
    StartServer();
    SimulatedUnit unit("127.0.0.1", server_->Port());
    unit.SendPosition(BuildPositionRecord(SamplePosition("AAA111")));
    Bytes request;
    for (int i = 0; i < 100 && request.size() < 9; ++i) request += unit.Receive(std::chrono::milliseconds(100));
    EXPECT_EQ(request, "\xAD" + StuffBytes(ParseOwnerCode("001A2B3C4D5E6F70")));
    unit.Close();  // a unit that hangs up instead of sending its memory
    WaitForIdle();
    const VehicleRow& row = context_.tableLock.TableUnlocked().Row(0);
    ASSERT_TRUE(row.PROBA_ODCZYTU.has_value());
    EXPECT_FALSE(row.ODCZYT.has_value());
    EXPECT_EQ(Messages(Read("err2.txt")), std::vector<std::string>{"AAA111 dane odebrane nie maja DCBA "});
    // The stamp reaches the file with the same save as the position.
    const std::optional<DateTime> saved = ReadVehicleFile("Aktualne.txt").rows.at(0).PROBA_ODCZYTU;
    ASSERT_TRUE(saved.has_value());
    EXPECT_EQ(FormatDateTimeText(*saved), FormatDateTimeText(*row.PROBA_ODCZYTU));
}

TEST_F(PositionRun, ReadsDisabledNeverStampAnAttempt) {
    StartServer();
    SendPosition(BuildPositionRecord(SamplePosition("AAA111")));
    WaitForIdle();
    EXPECT_FALSE(context_.tableLock.TableUnlocked().Row(0).PROBA_ODCZYTU.has_value());
}

TEST_F(PositionRun, ServiceModeCreatesTheOwnersDirectory) {
    context_.serviceMode = true;
    StartServer();
    SendPosition(BuildPositionRecord(SamplePosition()));
    WaitForIdle();
    EXPECT_TRUE(std::filesystem::is_directory("001A2B3C4D5E6F70"));
    EXPECT_TRUE(std::filesystem::exists("Aktualne.txt"));
}

TEST_F(PositionRun, OwnersDirectoryThatCannotBeCreatedLeavesTheRowUnposted) {
    context_.serviceMode = true;
    StartServer();
    std::ofstream("001A2B3C4D5E6F70") << "a file in the way";
    SendPosition(BuildPositionRecord(SamplePosition()));
    WaitForIdle();
    EXPECT_FALSE(std::filesystem::exists("Aktualne.txt"));
    EXPECT_EQ(context_.tableLock.TableUnlocked().Size(), 0u);
    EXPECT_EQ(Messages(Read("lock.txt")).size(), 2u);
}

TEST_F(PositionRun, ManyUnitsAtOnceAreStoredOneAfterTheOther) {
    StartServer();
    constexpr int kUnits = 60;
    std::vector<std::thread> units;
    for (int i = 0; i < kUnits; ++i)
        units.emplace_back(
            [this, i] { SendPosition(BuildPositionRecord(SamplePosition("U" + std::to_string(1000 + i)))); });
    for (auto& t : units) t.join();
    WaitForIdle();
    EXPECT_EQ(context_.tableLock.TableUnlocked().Size(), static_cast<std::size_t>(kUnits));
    EXPECT_EQ(context_.packetCounter.load(), kUnits);
    // In lock.txt every entry line is followed by the exit line of the same unit.
    const auto lines = Messages(Read("lock.txt"));
    ASSERT_EQ(lines.size(), 2u * kUnits);
    for (std::size_t i = 0; i < lines.size(); i += 2) {
        const std::string name = lines[i].substr(0, lines[i].find(' '));
        EXPECT_EQ(lines[i], name + " wejscie do blokady");
        EXPECT_EQ(lines[i + 1], name + " wyjscie z blokady");
    }
}

// While a read holds the lock, a unit that reports every few seconds queues several
// positions; once the lock is free they must be stored in the order they came, so the
// row ends with the newest position and not with whichever waiter won a race.
TEST_F(PositionRun, PositionsWaitingBehindALockSectionAreStoredInTheOrderTheyCame) {
    StartServer();
    context_.tableLock.Acquire();  // a long section, as a memory read would hold it
    constexpr int kPositions = 8;
    std::vector<std::unique_ptr<SimulatedUnit>> connections;
    for (int i = 0; i < kPositions; ++i) {
        PositionOptions o = SamplePosition("AAA111");
        o.speedHundredths = 1001 + i;  // 10.01 .. 10.08 Km/h
        connections.push_back(std::make_unique<SimulatedUnit>("127.0.0.1", server_->Port()));
        connections.back()->SendPosition(BuildPositionRecord(o));
        // Counted once the frame is read; then the handler goes on to wait for the lock.
        for (int k = 0; k < 2000 && context_.packetCounter.load() < i + 1; ++k)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    EXPECT_EQ(context_.packetCounter.load(), kPositions);
    EXPECT_EQ(Read("lock.txt"), "");  // nothing stored while the lock is held
    context_.tableLock.Release();
    for (auto& c : connections) c->WaitForClose(std::chrono::seconds(20));
    WaitForIdle();
    const VehicleTable& table = context_.tableLock.TableUnlocked();
    ASSERT_EQ(table.Size(), 1u);
    EXPECT_EQ(table.Row(0).PREDKOSC.value_or(""), "10.08 Km/h");
    EXPECT_NE(Read("Aktualne.txt").find("\"10.08 Km/h\""), std::string::npos);
    EXPECT_EQ(Messages(Read("lock.txt")).size(), 2u * kPositions);
}

TEST_F(PositionRun, SilentUnitIsDroppedAfterTheFrameTimeLimit) {
    context_.timings.frameTimeLimit = std::chrono::milliseconds(200);
    StartServer();
    SimulatedUnit unit("127.0.0.1", server_->Port());
    unit.SendRaw("only a few bytes");
    unit.WaitForClose(std::chrono::seconds(20));
    EXPECT_TRUE(unit.Closed());
    WaitForIdle();
    EXPECT_EQ(server_->OpenConnectionCount(), 0);
}

TEST_F(PositionRun, StopWaitsForTheClosingWaitOfEveryHandler) {
    context_.timings.closingWait = std::chrono::milliseconds(1500);
    StartServer();
    SimulatedUnit unit("127.0.0.1", server_->Port());
    unit.SendPosition(BuildPositionRecord(SamplePosition()));
    // Wait until the position is stored, so the handler is in its closing wait.
    for (int i = 0; i < 2000 && Read("lock.txt").find("wyjscie") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const auto start = std::chrono::steady_clock::now();
    server_->Stop();
    const auto stopTook = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(server_->OpenConnectionCount(), 0);
    // The handler was in its 1.5 s closing wait; Stop returned only after it.
    EXPECT_GE(stopTook, std::chrono::milliseconds(1000));
    // Stop closed the connection, so the handler found it closed: no disconnect line.
    EXPECT_EQ(Read("WA12345log.txt").find("rozlaczamy"), std::string::npos);
}

TEST_F(PositionRun, DecimalSeparatorOfTheLocaleIsUsedInSpeedAndCoordinates) {
    context_.decimalSeparator = ',';
    StartServer();
    SendPosition(BuildPositionRecord(SamplePosition()));
    WaitForIdle();
    const std::string file = Read("Aktualne.txt");
    EXPECT_NE(file.find("\"12,34 Km/h\""), std::string::npos) << file;
    EXPECT_NE(file.find("\"52,2057500N\";\"21,0205667E\""), std::string::npos);
}

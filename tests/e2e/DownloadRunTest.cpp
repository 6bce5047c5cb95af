// A unit due for a memory read, served by the simulated unit: the archive, the table,
// the erase command and the log lines of the whole read.
#include <zip.h>

#include <mutex>
#include <regex>
#include <thread>

#include "common/Win1250.hpp"
#include "download/MemoryImage.hpp"
#include "e2e/ServerFixture.hpp"
#include "unitsim/UnitMemory.hpp"

using namespace serwer;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The "SOURCE" entry of the only archive in dir (empty when there is none).
Bytes ArchivedImage(const fs::path& dir, std::string* name = nullptr) {
    for (auto& e : fs::directory_iterator(dir)) {
        if (e.path().extension() != ".sve") continue;
        if (name) *name = e.path().filename().string();
        int error = 0;
        zip_t* z = zip_open(e.path().c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
        if (!z) return "";
        Bytes content;
        if (zip_get_num_entries(z, 0) == 1 && std::string(zip_get_name(z, 0, 0)) == "SOURCE") {
            content.resize(300000);
            zip_file_t* f = zip_fopen(z, "SOURCE", 0);
            content.resize(static_cast<std::size_t>(zip_fread(f, content.data(), content.size())));
            zip_fclose(f);
        }
        zip_close(z);
        return content;
    }
    return "";
}

Bytes ImageOf(const UnitMemory& m) {
    Bytes image;
    for (int p = 0; p < MemoryImage::kPages; ++p)
        image += p < static_cast<int>(m.pages.size()) ? m.pages[p] : Bytes(256, '\xFF');
    return image;
}

}  // namespace

class DownloadRun : public ServerFixture {
protected:
    void SetUp() override {
        ServerFixture::SetUp();
        context_.readsEnabled = true;  // a new vehicle is due at once
    }

    // The unit sends its position, then answers the server until the connection ends.
    DownloadSession Run(const UnitMemory& memory, const std::string& registration = "WA12345") {
        SimulatedUnit unit("127.0.0.1", server_->Port());
        unit.SendPosition(BuildPositionRecord(SamplePosition(registration)));
        DownloadSession session = ServeDownload(unit, memory, std::chrono::seconds(60));
        unit.WaitForClose(std::chrono::seconds(20));
        WaitForIdle();
        return session;
    }

    std::string Lines(const std::string& file) {
        // Messages only, one per line (the log entries' stamps dropped).
        static const std::regex stamp(R"(\d\d-\d\d-\d{4}( \d\d:\d\d:\d\d)?\n)");
        return std::regex_replace(Read(file), stamp, "");
    }
};

TEST_F(DownloadRun, CleanFullReadIsArchivedRecordedAndErased) {
    StartServer();
    const UnitMemory memory = UnitMemory::Generated(1023);
    const DownloadSession session = Run(memory);

    EXPECT_TRUE(session.dumpRequested);
    EXPECT_EQ(session.ownerCodeInRequest, ParseOwnerCode("001A2B3C4D5E6F70"));
    EXPECT_TRUE(session.repeatsAsked.empty());
    EXPECT_EQ(session.eraseLastPage, 1023);

    std::string name;
    EXPECT_EQ(ArchivedImage(".", &name), ImageOf(memory));
    EXPECT_TRUE(std::regex_match(name, std::regex(R"(WA12345\d{4}_\d\d_\d\d_\d\d_\d\d_\d\d\.sve)"))) << name;

    const VehicleRow& row = context_.tableLock.TableUnlocked().Row(0);
    ASSERT_TRUE(row.ODCZYT.has_value());
    EXPECT_EQ(row.ODCZYT, row.PROBA_ODCZYTU);
    EXPECT_EQ(row.LICZNIK_ODCZYTOW, 1);
    EXPECT_NE(Read("Aktualne.txt").find("\"1\";\"52.2057500N\""), std::string::npos);

    EXPECT_EQ(Lines("lock.txt"),
              "WA12345 wejscie do blokady\r\nWA12345 wyjscie z blokady\r\n"
              "WA12345 wejscie do blokady\r\nWA12345 wyjscie z blokady\r\n");
    EXPECT_EQ(Lines("log.txt"), "przychodzi pozycja \r\npoczatek analizy\r\n1023\r\nMam potwierdzenie skasowania.\r\n");
    const Bytes reg = BuildPositionRecord(SamplePosition()).substr(31, 8);
    EXPECT_EQ(Lines("WA12345log.txt"), "nrrej :" + reg + "\r\n" + Cp1250("pytamy licencją : ") + reg +
                                           "\r\nWA12345zapisano 262144 bajtow danych w pliku sve\r\n");
    EXPECT_EQ(Read("surowe.txt").find("WA12345:"), Read("surowe.txt").find('\n') + 1);
}

TEST_F(DownloadRun, DamagedPagesAreAskedForAgainAndRepaired) {
    StartServer();
    UnitMemory memory = UnitMemory::Generated(40);
    memory.damagedPages = {5, 17};
    memory.missingPages = {3};
    const DownloadSession session = Run(memory);
    EXPECT_EQ(session.repeatsAsked, (std::vector<int>{3, 5, 17}));
    EXPECT_EQ(ArchivedImage("."), ImageOf(memory));
    EXPECT_EQ(Lines("log.txt"),
              "przychodzi pozycja \r\npoczatek analizy\r\nRepeta strony : 0003\r\n"
              "Repeta strony : 0005\r\nRepeta strony : 0017\r\n0040\r\n"
              "Mam potwierdzenie skasowania.\r\n");
    EXPECT_EQ(context_.tableLock.TableUnlocked().Row(0).LICZNIK_ODCZYTOW, 1);
}

TEST_F(DownloadRun, PageThatStaysDamagedEndsTheReadWithoutArchiveOrErase) {
    StartServer();
    UnitMemory memory = UnitMemory::Generated(40);
    memory.damagedPages = {5};
    memory.badRepeatPages = {5};
    const DownloadSession session = Run(memory);
    EXPECT_EQ(session.repeatsAsked, (std::vector<int>{5, 5}));
    EXPECT_FALSE(session.eraseLastPage.has_value());
    EXPECT_EQ(ArchivedImage("."), "");
    const VehicleRow& row = context_.tableLock.TableUnlocked().Row(0);
    EXPECT_FALSE(row.ODCZYT.has_value());
    EXPECT_TRUE(row.PROBA_ODCZYTU.has_value());
    EXPECT_EQ(row.LICZNIK_ODCZYTOW, 0);
    // The repeats run without the lock: a read that fails in them never takes it again.
    EXPECT_EQ(Lines("lock.txt"), "WA12345 wejscie do blokady\r\nWA12345 wyjscie z blokady\r\n");
    EXPECT_FALSE(context_.tableLock.IsBusy());
}

TEST_F(DownloadRun, UnitThatHangsUpAfterItsTrailerIsNotArchived) {
    StartServer();
    UnitMemory memory = UnitMemory::Generated(10);
    memory.hangUpAfterTrailer = true;
    Run(memory);
    EXPECT_EQ(Lines("err2.txt"), "WA12345 przerwane polaczenie \r\n");
    EXPECT_EQ(ArchivedImage("."), "");
    EXPECT_EQ(context_.tableLock.TableUnlocked().Row(0).LICZNIK_ODCZYTOW, 0);
}

TEST_F(DownloadRun, SingleTrailerIsNeverAccepted) {
    StartServer();
    UnitMemory memory = UnitMemory::Generated(10);
    memory.singleTrailer = true;
    memory.hangUpAfterTrailer = true;
    Run(memory);
    const std::string err2 = Lines("err2.txt");
    EXPECT_EQ(err2.rfind("WA12345 dane odebrane nie maja DCBA ", 0), 0u);
    EXPECT_EQ(ArchivedImage("."), "");
}

TEST_F(DownloadRun, UnconfirmedEraseTimesOutButTheReadStaysRecorded) {
    context_.timings.download.eraseDeadline = std::chrono::milliseconds(400);
    StartServer();
    UnitMemory memory = UnitMemory::Generated(10);
    memory.eraseReply = UnitMemory::EraseReply::Silent;
    const DownloadSession session = Run(memory);
    EXPECT_EQ(session.eraseLastPage, 10);
    EXPECT_EQ(Lines("log.txt").find("Mam potwierdzenie"), std::string::npos);
    EXPECT_NE(ArchivedImage("."), "");
    EXPECT_EQ(context_.tableLock.TableUnlocked().Row(0).LICZNIK_ODCZYTOW, 1);
    EXPECT_FALSE(context_.tableLock.IsBusy());
}

TEST_F(DownloadRun, EraseIsNotSentWhenErasingIsOff) {
    context_.eraseEnabled = false;
    StartServer();
    const DownloadSession session = Run(UnitMemory::Generated(10));
    EXPECT_FALSE(session.eraseLastPage.has_value());
    EXPECT_NE(ArchivedImage("."), "");
}

TEST_F(DownloadRun, ServiceModeArchivesIntoTheOwnersDirectory) {
    context_.serviceMode = true;
    StartServer();
    const UnitMemory memory = UnitMemory::Generated(3);
    Run(memory);
    EXPECT_EQ(ArchivedImage("001A2B3C4D5E6F70"), ImageOf(memory));
    EXPECT_EQ(ArchivedImage("."), "");
}

TEST_F(DownloadRun, ArchiveThatCannotBeWrittenMeansNoRecordAndNoErase) {
    StartServer();
    // Every name the archive could get in the next seconds is already taken.
    const DateTime now = DateTime::Now();
    for (int s = -2; s < 30; ++s)
        std::ofstream("WA12345" + FormatFileStamp(now.PlusMs(s * 1000)) + ".sve") << "an older archive";
    const DownloadSession session = Run(UnitMemory::Generated(3));
    EXPECT_FALSE(session.eraseLastPage.has_value());
    const VehicleRow& row = context_.tableLock.TableUnlocked().Row(0);
    EXPECT_FALSE(row.ODCZYT.has_value());
    EXPECT_EQ(row.LICZNIK_ODCZYTOW, 0);
    EXPECT_EQ(Lines("err2.txt").rfind("WA12345 nie zapisano pliku sve : ", 0), 0u);
    for (auto& e : fs::directory_iterator(".")) {
        if (e.path().extension() == ".sve") {
            EXPECT_EQ(Read(e.path().string()), "an older archive");
        }
    }
}

TEST_F(DownloadRun, AnotherVehicleIsStoredWhileAReadWaitsToErase) {
    context_.timings.download.erasePause = std::chrono::seconds(2);
    StartServer();
    std::thread read([&] { Run(UnitMemory::Generated(3)); });
    // The archive is written just before the pause that precedes the erase command.
    for (int i = 0; i < 1000 && ArchivedImage(".").empty(); ++i) std::this_thread::sleep_for(5ms);
    context_.readsEnabled = false;
    SendPosition(BuildPositionRecord(SamplePosition("KR99999")));
    // Stored and closed before the read's erase command was even sent.
    EXPECT_EQ(Read("log.txt").find("Mam potwierdzenie skasowania."), std::string::npos);
    EXPECT_NE(Read("Aktualne.txt").find("\"KR99999\""), std::string::npos);
    read.join();
    // Each vehicle's lock sections stay whole and in order.
    EXPECT_EQ(std::regex_replace(Lines("lock.txt"), std::regex("KR99999 .*\r\n"), ""),
              "WA12345 wejscie do blokady\r\nWA12345 wyjscie z blokady\r\n"
              "WA12345 wejscie do blokady\r\nWA12345 wyjscie z blokady\r\n");
}

TEST_F(DownloadRun, ReadWhoseRecordCannotBeSavedGetsNoEraseCommand) {
    context_.timings.download.pauseBeforeDumpRequest = std::chrono::milliseconds(500);
    StartServer();
    SimulatedUnit unit("127.0.0.1", server_->Port());
    unit.SendPosition(BuildPositionRecord(SamplePosition()));
    for (int i = 0; i < 400 && !fs::exists("Aktualne.txt"); ++i) std::this_thread::sleep_for(5ms);
    // The vehicle file can no longer be replaced: a directory with something in it.
    fs::remove("Aktualne.txt");
    fs::create_directories("Aktualne.txt/x");
    const DownloadSession session = ServeDownload(unit, UnitMemory::Generated(3), std::chrono::seconds(60));
    WaitForIdle();
    EXPECT_NE(ArchivedImage("."), "");
    EXPECT_FALSE(session.eraseLastPage.has_value());
}

TEST_F(DownloadRun, TheDisplayHearsOfThePositionTheReadItsRepeatsAndItsArchive) {
    struct Recorder : StatusDisplay {
        std::mutex m;
        std::vector<std::string> events;
        void ShowEvent(const std::string& text) override {
            std::lock_guard<std::mutex> lock(m);
            events.push_back(Cp1250ToUtf8(text));
        }
    } recorder;
    context_.display = &recorder;
    StartServer();
    UnitMemory memory = UnitMemory::Generated(40);
    memory.damagedPages = {5, 17};
    Run(memory);
    context_.display = nullptr;
    ASSERT_EQ(recorder.events.size(), 5u);
    EXPECT_EQ(recorder.events[0], "WA12345: pozycja zapisana");
    EXPECT_EQ(recorder.events[1], "WA12345: odczyt pamięci rozpoczęty");
    EXPECT_EQ(recorder.events[2], "WA12345: ponownie pobrane strony 5, 17");
    EXPECT_TRUE(
        std::regex_match(recorder.events[3], std::regex(R"(WA12345: zapisano archiwum WA12345\d{4}(_\d\d){5}\.sve)")))
        << recorder.events[3];
    EXPECT_EQ(recorder.events[4], "WA12345: odczyt pamięci zakończony, pamięć urządzenia skasowana");
}

TEST_F(DownloadRun, SecondConnectionOfTheDayIsNotReadAgain) {
    StartServer();
    Run(UnitMemory::Generated(3));
    const DownloadSession second = Run(UnitMemory::Generated(3));
    EXPECT_FALSE(second.dumpRequested);
    EXPECT_EQ(context_.tableLock.TableUnlocked().Row(0).LICZNIK_ODCZYTOW, 1);
}

// The whole read with the real waits (1 s before the request, 10 s before the erase
// command, the 10 s closing wait).
TEST_F(DownloadRun, WholeReadWithTheRealWaits) {
    context_.timings = HandlerTimings{};
    StartServer();
    const UnitMemory memory = UnitMemory::Generated(1023);
    const auto start = std::chrono::steady_clock::now();
    const DownloadSession session = Run(memory);
    EXPECT_EQ(session.eraseLastPage, 1023);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(11));
    EXPECT_EQ(ArchivedImage("."), ImageOf(memory));
    EXPECT_NE(Lines("log.txt").find("Mam potwierdzenie skasowania."), std::string::npos);
}

// The command-line simulator, as an installer runs it against the server.
TEST_F(DownloadRun, CommandLineSimulatorDeliversAWholeRead) {
    StartServer();
    const std::string command = std::string(SERWER_BIN_DIR) + "/symulator --port " + std::to_string(server_->Port()) +
                                " --rej KR55555 --ostatnia 20 --uszkodz 7 --czekaj 30 2>&1";
    FILE* p = popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string output;
    char buf[256];
    while (fgets(buf, sizeof buf, p)) output += buf;
    EXPECT_EQ(pclose(p), 0) << output;
    EXPECT_NE(output.find("pages asked again: 7"), std::string::npos) << output;
    EXPECT_NE(output.find("erase command up to page 20"), std::string::npos) << output;
    WaitForIdle();
    std::string name;
    EXPECT_EQ(ArchivedImage(".", &name).size(), 262144u);
    EXPECT_EQ(name.rfind("KR55555", 0), 0u);
}

// The built historia against a history written by the store, found through serwer.ini:
// the month files of the data directory, or the database [Historia] Baza names.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/HistoryBackends.hpp"
#include "support/ProgramRun.hpp"
#include "support/TestDirectory.hpp"
#include "unitsim/PositionRecordBuilder.hpp"

using namespace serwer;

namespace {

class HistoryExportProgram : public OnEachHistoryBackend {
protected:
    HistoryExportProgram() : OnEachHistoryBackend("dane/historia") {}
    void SetUp() override {
        OnEachHistoryBackend::SetUp();
        if (IsSkipped()) return;
        std::filesystem::create_directory(Directory() / "dane");
        if (!OnSqlite()) database_ = "[Historia]\nBaza=" + DatabaseUri() + "\n";
        WriteIni("");
        PositionOptions o = SamplePosition("WA12345");  // 8 Dec 2026 13:45 UTC, 12.34 km/h
        std::vector<HistoryRecord> rows = {MakeHistoryRecord(BuildPositionRecord(o), 1796737600)};
        o.minute = 55;
        o.latitude.minutes += 6;  // 0.1 degree further north
        rows.push_back(MakeHistoryRecord(BuildPositionRecord(o), 1796738200));
        o.day = 9;  // another day, outside the span asked for
        rows.push_back(MakeHistoryRecord(BuildPositionRecord(o), 1796824600));
        rows.push_back(MakeHistoryRecord(BuildPositionRecord(SamplePosition("KR9999A")), 1796737600));
        store().Append(rows);
    }
    // serwer.ini: the data directory, the history's database if any, and more.
    void WriteIni(const std::string& more) {
        std::ofstream(Directory() / "serwer.ini") << "[Ustawienia]\nKatalog=dane\n" << database_ << more;
    }

    // Runs historia with the arguments; its outputs land in out_ and err_.
    int Run(const std::string& arguments) {
        const ProgramRun run = RunProgramIn(Directory(), "LC_ALL=C '" SERWER_BIN_DIR "/historia' " + arguments);
        out_ = run.out;
        err_ = run.err;
        return run.code;
    }

    std::string database_, out_, err_;
};
INSTANTIATE_TEST_SUITE_P(Backends, HistoryExportProgram, kHistoryBackends, HistoryBackendName);

TEST_P(HistoryExportProgram, ExportsOneVehiclesDayAndPrintsItsSummary) {
    ASSERT_EQ(Run("--ini serwer.ini --pojazd WA12345 --od 2026-12-08 --do '2026-12-09 00:00' --plik trasa.csv"), 0)
        << err_;
    EXPECT_EQ(out_,
              "pojazd   dzień       pozycji    km  pierwsza  ostatnia  maks. km/h  w ruchu  postój\n"
              "WA12345  2026-12-08        2  11.1     14:45     14:55        12.3     0:10    0:00\n"
              "Zapisano do trasa.csv, pozycji: 2\n");
    const std::string csv = ReadFile(Directory() / "trasa.csv");
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 3);  // the header and two rows
}

TEST_P(HistoryExportProgram, SummaryOnStandardErrorBesideTheExportAndExitCodes) {
    ASSERT_EQ(Run("--ini serwer.ini --od 2026-12-08 --do 2026-12-10 --format geojson"), 0) << err_;
    EXPECT_EQ(std::count(out_.begin(), out_.end(), '\n'), 6);  // a line per feature, an opening and a closing
    EXPECT_NE(err_.find("\nKR9999A  2026-12-08        1"), std::string::npos) << err_;
    EXPECT_NE(err_.find("\nWA12345  2026-12-09        1"), std::string::npos) << err_;
    EXPECT_EQ(Run("--ini serwer.ini --format xls"), 2);
    EXPECT_EQ(err_.rfind("historia: nieznany format: xls", 0), 0u) << err_;
    std::ofstream(Directory() / "inny.ini") << "[Ustawienia]\nKatalog=/nonexistent\n";
    EXPECT_EQ(Run("--ini inny.ini --format gpx"), 1);
    EXPECT_EQ(err_.rfind("historia: nie ma katalogu historii /nonexistent/historia", 0), 0u) << err_;
}

// Events computed again replace the stored ones of their types in the span (an overdue
// read, which the positions cannot tell, stays), and --zdarzenia lists what is stored.
TEST_P(HistoryExportProgram, EventsComputedAgainReplaceTheStoredOnesOfTheSpan) {
    WriteIni("[Zdarzenia]\nPredkosc=10\n");
    Event stale, overdue;
    stale.id = 1, stale.type = EventType::Zaplon, stale.registration = "WA12345", stale.startUtc = 1796737000;
    overdue.id = 2, overdue.type = EventType::ZaleglyOdczyt, overdue.registration = "WA12345";
    overdue.startUtc = 1796737100, overdue.text = "odczyt";
    store().AppendEvents({stale, overdue});
    ASSERT_EQ(Run("--ini serwer.ini --przelicz-zdarzenia --pojazd WA12345 --od 2026-12-08 --do 2026-12-08"), 0) << err_;
    EXPECT_EQ(err_, "Obliczono na nowo zdarzeń: 1\n");
    ASSERT_EQ(Run("--ini serwer.ini --zdarzenia --od 2026-12-08 --do 2026-12-08 --format csv"), 0) << err_;
    const std::string speeding = "przekroczenie_predkosci,WA12345,2026-12-08T14:45:00+01:00,";
    EXPECT_NE(out_.find(speeding), std::string::npos) << out_;
    EXPECT_NE(out_.find(",zalegly_odczyt,WA12345,"), std::string::npos) << out_;
    EXPECT_EQ(out_.find("zaplon"), std::string::npos) << out_;
    EXPECT_EQ(std::count(out_.begin(), out_.end(), '\n'), 3);  // the header and two events
    EXPECT_EQ(Run("--ini serwer.ini --przelicz-zdarzenia"), 2);
}

}  // namespace

TEST_P(HistoryExportProgram, ReportsGoToTheStandardOutputOrAFileAndXlsxOnlyToAFile) {
    WriteIni("[Raporty]\nTrasaMinKm=20\n");
    ASSERT_EQ(Run("--ini serwer.ini --raport trasy --od 2026-12-08 --do 2026-12-08 --format csv"), 0) << err_;
    EXPECT_EQ(out_.substr(0, out_.find("\r\n")),
              "pojazd,kierowca,poczatek,miejsce_poczatku,koniec,miejsce_konca,km,czas_s,predkosc_maks,"
              "predkosc_srednia,paliwo_proc,paliwo_l");
    EXPECT_EQ(std::count(out_.begin(), out_.end(), '\n'), 1);  // 11 km is under TrasaMinKm
    EXPECT_EQ(err_, "Trasy: wierszy 0\n");
    ASSERT_EQ(Run("--ini serwer.ini --raport podsumowanie --pojazd WA12345,KR9999A --od 2026-12-08 --plik m.xlsx"), 0)
        << err_;
    EXPECT_EQ(out_, "Podsumowanie floty: wierszy 2, zapisano do m.xlsx\n");
    EXPECT_EQ(ReadFile(Directory() / "m.xlsx").substr(0, 2), "PK");
    EXPECT_EQ(Run("--ini serwer.ini --raport podsumowanie --format xlsx"), 2);
    EXPECT_EQ(err_.rfind("historia: format xlsx wymaga --plik", 0), 0u) << err_;
}

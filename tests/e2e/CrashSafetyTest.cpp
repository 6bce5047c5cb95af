// serwerd killed with SIGKILL at random moments while units send positions and have
// their memory read, and started again on the same data directory each time. After
// every kill the data directory must hold a whole, loadable Aktualne.txt that still
// has every vehicle it ever had, only complete archives, and, once serwerd has started
// again, no temporary file of an interrupted save or archive write.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "e2e/IncompressibleMemory.hpp"
#include "e2e/ServerdChild.hpp"
#include "history/SqliteHistoryStore.hpp"
#include "support/TestDirectory.hpp"
#include "unitsim/PositionRecordBuilder.hpp"
#include "unitsim/SimulatedUnit.hpp"
#include "unitsim/UnitMemory.hpp"
#include "vehicles/VehicleFile.hpp"
#include "vehicles/VehicleTable.hpp"

#ifdef SERWER_HAVE_LIBZIP
#include <zip.h>
#endif

using namespace serwer;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr int kKills = 200;
constexpr int kPositionUnits = 3;
constexpr int kReadingUnits = 3;
constexpr int kPositionRegistrations = 40;
constexpr std::size_t kImageSize = 262144;

Bytes Position(const std::string& registration, const std::string& ownerHex, int speedHundredths, int odometer) {
    PositionOptions o = SamplePosition(registration);
    o.ownerCode = ParseOwnerCode(ownerHex);
    o.hour = 12, o.minute = 30;
    o.latitude = {52, 14, 120};
    o.longitude = {21, 0, 450};
    o.speedHundredths = speedHundredths;
    o.fuelReading = 0;
    o.odometerHundredsKm = odometer;
    o.engine = speedHundredths > 0;
    o.input1 = false;
    return BuildPositionRecord(o);
}

#ifdef SERWER_HAVE_LIBZIP
// Empty when the archive is a ZIP file with the single entry SOURCE holding `image`.
std::string ArchiveProblem(const fs::path& path, const Bytes& image) {
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
    if (archive == nullptr) return "not a ZIP archive (libzip error " + std::to_string(error) + ")";
    struct Closer {
        zip_t* z;
        ~Closer() { zip_discard(z); }
    } closer{archive};
    if (zip_get_num_entries(archive, 0) != 1) return "entries: " + std::to_string(zip_get_num_entries(archive, 0));
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(archive, 0, 0, &stat) != 0) return "entry unreadable";
    if (std::string(stat.name) != "SOURCE") return std::string("entry named ") + stat.name;
    if (stat.size != kImageSize) return "entry of " + std::to_string(stat.size) + " bytes";
    if (stat.comp_method != ZIP_CM_DEFLATE) return "entry not deflated";
    zip_file_t* entry = zip_fopen_index(archive, 0, 0);
    if (entry == nullptr) return "entry cannot be opened";
    Bytes data(kImageSize + 1, '\0');
    zip_int64_t got = 0, n = 0;
    while ((n = zip_fread(entry, data.data() + got, data.size() - static_cast<std::size_t>(got))) > 0) got += n;
    const bool readError = n < 0;  // a damaged stream or a wrong CRC
    zip_fclose(entry);
    if (readError) return "entry data damaged";
    data.resize(static_cast<std::size_t>(got));
    if (data != image) return "entry data differ from the unit's memory";
    return "";
}
#endif

// What the units do while one serwerd lives: some send positions of a fixed set of
// vehicles and hang up at once, some send the position of a new vehicle (due for a
// read at once) and serve the memory read that follows.
class Traffic {
public:
    Traffic(int port, const UnitMemory& memory, std::atomic<int>& nextReading, unsigned seed)
        : port_(port), memory_(memory), nextReading_(nextReading) {
        for (int i = 0; i < kPositionUnits; ++i) threads_.emplace_back([this, seed, i] { SendPositions(seed + i); });
        for (int i = 0; i < kReadingUnits; ++i) threads_.emplace_back([this, i] { ServeReads(i); });
    }
    ~Traffic() { Stop(); }

    void Stop() {
        stop_ = true;
        for (std::thread& t : threads_)
            if (t.joinable()) t.join();
    }

    int positions = 0;
    int dumpsServed = 0;

private:
    void SendPositions(unsigned seed) {
        std::mt19937 random(seed);
        int sent = 0;
        while (!stop_) {
            const int vehicle = static_cast<int>(random() % kPositionRegistrations);
            char name[16];
            std::snprintf(name, sizeof name, "PK%03d", vehicle);
            try {
                SimulatedUnit unit("127.0.0.1", port_);
                unit.SendPosition(Position(name, "0011223344556677", static_cast<int>(random() % 12000),
                                           static_cast<int>(random() % 9000)));
                ++sent;
            } catch (const std::exception&) {
                // serwerd is gone; the round is ending
            }
            for (int pause = 2 + static_cast<int>(random() % 6); pause > 0 && !stop_; --pause)
                std::this_thread::sleep_for(5ms);
        }
        std::lock_guard<std::mutex> lock(countMutex_);
        positions += sent;
    }

    void ServeReads(int unitIndex) {
        static const char* const kOwners[] = {"00000000000000A1", "00000000000000B2", "00000000000000C3"};
        int served = 0;
        while (!stop_) {
            char name[16];
            std::snprintf(name, sizeof name, "RD%05d", nextReading_.fetch_add(1));
            try {
                SimulatedUnit unit("127.0.0.1", port_);
                unit.SendPosition(Position(name, kOwners[unitIndex % 3], 0, 100));
                // The unit hangs up well after its transfer, without waiting for the
                // erase pause or the closing wait.
                const DownloadSession session = ServeDownload(unit, memory_, 1600ms);
                if (session.dumpRequested) ++served;
            } catch (const std::exception&) {
                std::this_thread::sleep_for(2ms);
            }
        }
        std::lock_guard<std::mutex> lock(countMutex_);
        dumpsServed += served;
    }

    int port_;
    const UnitMemory& memory_;
    std::atomic<int>& nextReading_;
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
    std::mutex countMutex_;
};

class CrashSafety : public ::testing::Test {
protected:
    void SetUp() override {
        // Reads on, read hour "00" (a new vehicle is due at once), erasing off in
        // service mode so that reads there end without the erase pause.
        ServerdChild::Install(dir_, "Port=0\nKatalog=dane\nOdpytywac=1\nGodzina=23\nKasowac=0\n");
    }

    // Files in the data directory (and one level below) whose name marks a write that
    // did not finish, and files that have no business there at all.
    struct Listing {
        std::vector<fs::path> archives;
        std::vector<fs::path> temporary;
        std::vector<fs::path> unexpected;
        std::vector<fs::path> history;  // the position history's month files
    };
    Listing List() const {
        Listing listing;
        auto sort = [&](const fs::path& p) {
            const std::string name = p.filename().string();
            if (name.find(".tmp") != std::string::npos)
                listing.temporary.push_back(p);
            else if (p.extension() == ".sve")
                listing.archives.push_back(p);
            else if (p.parent_path() == data_ / "historia" && name.starts_with("pozycje-"))
                listing.history.push_back(p);
            else if (p != data_ / "Aktualne.txt")
                listing.unexpected.push_back(p);
        };
        if (!fs::exists(data_)) return listing;
        for (const fs::directory_entry& e : fs::directory_iterator(data_)) {
            if (e.is_directory()) {
                for (const fs::directory_entry& inner : fs::directory_iterator(e.path())) sort(inner.path());
            } else {
                sort(e.path());
            }
        }
        return listing;
    }

    bool WritingArchive() const {
        for (const fs::path& p : List().temporary)
            if (p.filename().string().find(".sve.tmp") != std::string::npos) return true;
        return false;
    }

    // Aktualne.txt after a kill: whole (it reads and writes back to the same bytes),
    // loadable, and holding every vehicle any earlier file held.
    void CheckVehicleFile(int kill) {
        const fs::path path = data_ / "Aktualne.txt";
        if (!fs::exists(path)) {
            EXPECT_TRUE(names_.empty()) << "Aktualne.txt vanished after kill " << kill;
            return;
        }
        const Bytes content = ReadFile(path);
        const Bytes header = FormatVehicleFile({});
        ASSERT_EQ(content.substr(0, header.size()), header) << "after kill " << kill;
        const VehicleFileContent parsed = ParseVehicleFile(content);
        EXPECT_FALSE(parsed.error.has_value()) << "after kill " << kill << ": " << parsed.error.value_or("");
        EXPECT_TRUE(FormatVehicleFile(parsed.rows) == content) << "Aktualne.txt not whole after kill " << kill;
        VehicleTable table;
        EXPECT_NO_THROW(LoadVehicleFile(table, path.string())) << "after kill " << kill;
        std::set<std::string> names;
        for (const VehicleRow& row : table.Rows())
            if (row.NAZWA) names.insert(*row.NAZWA);
        for (const std::string& name : names_)
            EXPECT_TRUE(names.count(name)) << name << " lost from Aktualne.txt after kill " << kill;
        names_ = std::move(names);
    }

    void CheckArchives(const Listing& listing, const Bytes& image, int kill) {
#ifdef SERWER_HAVE_LIBZIP
        for (const fs::path& archive : listing.archives) {
            if (validArchives_.count(archive)) continue;
            const std::string problem = ArchiveProblem(archive, image);
            EXPECT_EQ(problem, "") << archive << " after kill " << kill;
            validArchives_.insert(archive);
        }
#else
        (void)listing, (void)image, (void)kill;
#endif
    }

    TestDirectory tmp_;
    const fs::path dir_ = tmp_.Path();
    const fs::path data_ = dir_ / "dane";
    std::set<std::string> names_;
    std::set<fs::path> validArchives_;
};

}  // namespace

TEST_F(CrashSafety, KilledServerLeavesAWholeVehicleFileCompleteArchivesAndNoTemporaryFilesAfterRestart) {
#ifndef SERWER_HAVE_LIBZIP
    GTEST_SKIP() << "serwerd cannot write archives without libzip";
#endif
    // Writing its archive takes a while, a fair target for a kill.
    const UnitMemory memory = IncompressibleMemory(20261208);
    Bytes image;
    for (const Bytes& page : memory.pages) image += page;
    ASSERT_EQ(image.size(), kImageSize);

    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    std::cout << "[ seed     ] " << seed << std::endl;
    std::atomic<int> nextReading{1};
    int temporaryAfterKill = 0, archiveTemporaryAfterKill = 0, killsInStartUp = 0, killsWhileArchiving = 0;
    int positions = 0, dumps = 0;

    ServerdChild serwerd;
    for (int kill = 1; kill <= kKills + 1; ++kill) {
        const bool last = kill == kKills + 1;
        const bool serviceMode = random() % 2 == 0 || last;
        ASSERT_TRUE(serwerd.Start(dir_, serviceMode ? "sv" : ""));

        const unsigned kind = random() % 100;
        if (!last && kind < 8) {
            // Killed while starting: loading the table, clearing old temporary files.
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 15000));
            ++killsInStartUp;
        } else {
            const int port = serwerd.WaitForPort(20s);
            ASSERT_GT(port, 0) << "serwerd did not start before kill " << kill;
            const Listing started = List();
            EXPECT_TRUE(started.temporary.empty())
                << started.temporary.size() << " temporary file(s) left after the start before kill " << kill
                << ", e.g. " << started.temporary.front();

            Traffic traffic(port, memory, nextReading, seed + static_cast<unsigned>(kill) * 16);
            if (last) {
                // One read is seen through to its archive, so that an archive is
                // checked whatever the random moments were.
                const std::size_t before = List().archives.size();
                for (int i = 0; i < 1000 && List().archives.size() <= before; ++i) std::this_thread::sleep_for(10ms);
            } else if (kind < 86) {
                // Positions being stored and reads starting.
                std::this_thread::sleep_for(std::chrono::milliseconds(15 + random() % 200));
            } else if (kind < 93) {
                // Reads being collected, archived and recorded.
                std::this_thread::sleep_for(std::chrono::milliseconds(1000 + random() % 500));
            } else {
                // An archive being written: killed as soon as its temporary file is seen.
                const auto end = std::chrono::steady_clock::now() + 3s;
                while (std::chrono::steady_clock::now() < end && !WritingArchive())
                    std::this_thread::sleep_for(std::chrono::microseconds(300));
                ++killsWhileArchiving;
            }
            serwerd.Kill();
            traffic.Stop();
            positions += traffic.positions;
            dumps += traffic.dumpsServed;
        }
        serwerd.Kill();

        const Listing listing = List();
        temporaryAfterKill += static_cast<int>(listing.temporary.size());
        for (const fs::path& p : listing.temporary)
            if (p.string().find(".sve.tmp") != std::string::npos) ++archiveTemporaryAfterKill;
        EXPECT_TRUE(listing.unexpected.empty()) << listing.unexpected.front() << " after kill " << kill;
        CheckVehicleFile(kill);
        CheckArchives(listing, image, kill);
        // The history opens and reads after every kill, and no month file was set aside.
        EXPECT_NO_THROW(SqliteHistoryStore((data_ / "historia").string()).Query({std::nullopt, 0, 4000000000}));
        for (const fs::path& p : listing.history)
            EXPECT_EQ(p.string().find("uszkodzony"), std::string::npos) << p << " after kill " << kill;
        if (HasFatalFailure() || ::testing::Test::HasFailure()) break;
    }

    // The start after the last kill clears what that kill left.
    ASSERT_TRUE(serwerd.Start(dir_, ""));
    ASSERT_GT(serwerd.WaitForPort(20s), 0);
    EXPECT_TRUE(List().temporary.empty());
    serwerd.Kill();

    EXPECT_FALSE(names_.empty());
    EXPECT_FALSE(validArchives_.empty());
    std::cout << "[ kills    ] " << kKills + 1 << " (" << killsInStartUp << " while starting, " << killsWhileArchiving
              << " aimed at an archive write), positions sent " << positions << ", dumps served " << dumps
              << ", archives checked " << validArchives_.size() << ", vehicles in Aktualne.txt " << names_.size()
              << ", temporary files found after kills " << temporaryAfterKill << " (" << archiveTemporaryAfterKill
              << " of archives)" << std::endl;
}

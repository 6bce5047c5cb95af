#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "common/ServerError.hpp"
#include "common/Win1250.hpp"
#include "support/TestDirectory.hpp"
#include "vehicles/TableLock.hpp"
#include "vehicles/VehicleFile.hpp"

using namespace serwer;

TEST(TableLock, IsBusyWhileHeldAndWhileAThreadWaits) {
    TableLock lock;
    EXPECT_FALSE(lock.IsBusy());
    lock.Acquire();
    EXPECT_TRUE(lock.IsBusy());
    std::atomic<bool> got{false};
    std::thread waiter([&] {
        lock.Acquire();
        got = true;
        lock.Release();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(got.load());
    lock.Release();  // released from another thread than the waiter: the lock has no owner
    waiter.join();
    EXPECT_TRUE(got.load());
    EXPECT_FALSE(lock.IsBusy());
}

TEST(TableLock, GuardedSectionsNeverOverlap) {
    TableLock lock;
    std::atomic<int> inside{0}, overlaps{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                TableLockGuard g(lock);
                if (inside.fetch_add(1) != 0) overlaps++;
                inside.fetch_sub(1);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_FALSE(lock.IsBusy());
}

// Every waiter must get in once the holder leaves, also those that began to wait
// while others were being handed the lock.
TEST(TableLock, EveryWaiterGetsInAfterTheHolderLeaves) {
    TableLock lock;
    lock.Acquire();
    std::atomic<int> entered{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 64; ++t)
        threads.emplace_back([&] {
            TableLockGuard g(lock);
            entered++;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(entered.load(), 0);
    lock.Release();
    for (auto& t : threads) t.join();
    EXPECT_EQ(entered.load(), 64);
    EXPECT_FALSE(lock.IsBusy());
}

// Takers that wait behind a long section get the lock in the order they came, so the
// later of two positions of one vehicle is stored last.
TEST(TableLock, WaitersGetTheLockInTheOrderTheyCame) {
    TableLock lock;
    lock.Acquire();
    std::vector<int> order;  // written only by the holder of the lock
    std::vector<std::thread> threads;
    constexpr int kWaiters = 24;
    for (int t = 0; t < kWaiters; ++t) {
        std::atomic<bool> started{false};
        threads.emplace_back([&, t] {
            started = true;
            TableLockGuard g(lock);
            order.push_back(t);
        });
        while (!started) std::this_thread::yield();
        // Give it time to join the line before the next one comes.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    lock.Release();
    for (auto& t : threads) t.join();
    std::vector<int> expected(kWaiters);
    for (int t = 0; t < kWaiters; ++t) expected[static_cast<std::size_t>(t)] = t;
    EXPECT_EQ(order, expected);
    EXPECT_FALSE(lock.IsBusy());
}

class StartupLoad : public ::testing::Test {
protected:
    int BakFiles() {
        int n = 0;
        for (auto& e : std::filesystem::directory_iterator(dir_))
            if (e.path().extension() == ".bak") ++n;
        return n;
    }
    TestDirectory tmp_;
    const std::string dir_ = tmp_.Path().string();
};

TEST_F(StartupLoad, MissingFileGivesAnEmptyTableAndNoCopy) {
    TableLock lock;
    EXPECT_ANY_THROW(LoadVehicleTableAtStart(lock, dir_));
    EXPECT_EQ(lock.TableUnlocked().Size(), 0u);
    EXPECT_FALSE(lock.IsBusy());
    EXPECT_EQ(BakFiles(), 0);
}

TEST_F(StartupLoad, BadLineKeepsTheOtherRowsAndACopyOfTheFile) {
    const std::string content =
        "\"Nazwa\";\"Licznik\"\r\n\"AA1\";\"1\"\r\n\"BB2\";\"x\"\r\n\"CC3\";\"3\"\r\n\"AA1\";\"9\"\r\n";
    std::ofstream(VehicleFilePath(dir_), std::ios::binary) << content;
    TableLock lock;
    EXPECT_ANY_THROW(LoadVehicleTableAtStart(lock, dir_));
    const VehicleTable& t = lock.TableUnlocked();
    ASSERT_EQ(t.Size(), 2u);
    EXPECT_EQ(t.Row(0).NAZWA, "AA1");
    EXPECT_EQ(t.Row(0).LICZNIK_ODCZYTOW, 1);  // the first AA1 is kept
    EXPECT_EQ(t.Row(1).NAZWA, "CC3");
    ASSERT_EQ(BakFiles(), 1);
    for (auto& e : std::filesystem::directory_iterator(dir_))
        if (e.path().extension() == ".bak") {
            EXPECT_EQ(e.path().filename().string().rfind("Aktualne.txt", 0), 0u);
            std::ifstream in(e.path(), std::ios::binary);
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), content);
        }
}

TEST_F(StartupLoad, GoodFileLoadsWithoutACopy) {
    VehicleTable t;
    VehicleRow r;
    r.NAZWA = "AA1";
    t.Append(r);
    SaveVehicleFile(t, VehicleFilePath(dir_));
    TableLock lock;
    EXPECT_TRUE(LoadVehicleTableAtStart(lock, dir_));
    EXPECT_EQ(lock.TableUnlocked().Size(), 1u);
    EXPECT_EQ(BakFiles(), 0);
}

namespace {
std::uint64_t AppendVehicle(TableLock& lock, const std::string& name) {
    TableLockGuard guard(lock);
    VehicleRow row;
    row.NAZWA = name;
    guard.Table().Append(std::move(row));
    return guard.Table().ChangeCount();
}
}  // namespace

TEST_F(StartupLoad, AFailedSaveFailsEveryWriterWhoseChangeItHeldAndTheNextSaveHoldsThemAll) {
    TableLock lock;
    const std::string blocked = dir_ + "/brak/Aktualne.txt";  // no such directory
    const std::uint64_t first = AppendVehicle(lock, "WA1");
    const std::uint64_t second = AppendVehicle(lock, "WA2");
    // The first writer to wait makes the save, which holds both changes and fails.
    try {
        lock.WaitUntilSaved(second, blocked);
        FAIL() << "the save cannot succeed";
    } catch (const ServerError& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot create file " + blocked);
    }
    EXPECT_THROW(lock.WaitUntilSaved(first, blocked), ServerError);
    EXPECT_FALSE(lock.IsBusy());

    std::filesystem::create_directory(dir_ + "/brak");
    const std::uint64_t third = AppendVehicle(lock, "WA3");
    lock.WaitUntilSaved(third, blocked);
    std::vector<std::string> names;
    for (const VehicleRow& row : ReadVehicleFile(blocked).rows) names.push_back(*row.NAZWA);
    EXPECT_EQ(names, (std::vector<std::string>{"WA1", "WA2", "WA3"}));
    EXPECT_NO_THROW(lock.WaitUntilSaved(first, blocked));  // now durable
}

// Writers that come together share paced saves: fewer saves than writers, at least the
// interval apart, and none of them goes on before the file holds its row.
TEST_F(StartupLoad, ABurstSharesPacedSavesAndNoWriterGoesOnBeforeTheFileHoldsItsRow) {
    TableLock lock;
    lock.SetSaveInterval(std::chrono::milliseconds(40));
    const std::string path = VehicleFilePath(dir_);
    constexpr int kWriters = 32;
    std::atomic<int> missing{0}, beforeHook{0};
    // What the hook after a save makes durable (there: the rows it finds in the file) is
    // durable for every writer the save held when it goes on.
    std::mutex hookedMutex;
    std::set<std::string> hooked;
    lock.SetAfterSave([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        std::lock_guard<std::mutex> guard(hookedMutex);
        for (const VehicleRow& row : ReadVehicleFile(path).rows) hooked.insert(*row.NAZWA);
    });
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w)
        writers.emplace_back([&, w] {
            std::this_thread::sleep_for(std::chrono::milliseconds(4 * w));  // spread over three intervals
            const std::string name = "WA" + std::to_string(w);
            lock.WaitUntilSaved(AppendVehicle(lock, name), path);
            {
                std::lock_guard<std::mutex> guard(hookedMutex);
                if (!hooked.count(name)) beforeHook++;
            }
            bool found = false;
            for (const VehicleRow& row : ReadVehicleFile(path).rows) found = found || *row.NAZWA == name;
            if (!found) missing++;
        });
    for (auto& t : writers) t.join();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(missing.load(), 0);
    EXPECT_EQ(beforeHook.load(), 0);
    const auto saves = static_cast<int>(lock.SaveCount());
    EXPECT_LT(saves, kWriters / 4);
    EXPECT_GE(elapsed, std::chrono::milliseconds(40) * (saves - 1));
    EXPECT_EQ(ReadVehicleFile(path).rows.size(), std::size_t{kWriters});
    EXPECT_FALSE(lock.IsBusy());
}

// Enough writers waiting start the next save before its interval is over; fewer wait it out.
TEST_F(StartupLoad, EnoughWaitingChangesStartTheSaveBeforeTheIntervalIsOver) {
    TableLock lock;
    lock.SetSaveInterval(std::chrono::milliseconds(600));
    lock.SetEarlySaveChanges(8);
    const std::string path = VehicleFilePath(dir_);
    lock.WaitUntilSaved(AppendVehicle(lock, "WA0"), path);  // after a quiet spell: at once
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> writers;
    for (int w = 1; w <= 8; ++w)
        writers.emplace_back([&, w] { lock.WaitUntilSaved(AppendVehicle(lock, "WA" + std::to_string(w)), path); });
    for (auto& t : writers) t.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_EQ(ReadVehicleFile(path).rows.size(), 9u);

    const auto one = std::chrono::steady_clock::now();
    lock.WaitUntilSaved(AppendVehicle(lock, "WA9"), path);  // one alone waits for the interval
    EXPECT_GE(std::chrono::steady_clock::now() - one, std::chrono::milliseconds(200));
}

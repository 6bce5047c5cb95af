// Whether a memory read may start: the memory budget of all reads together, and the
// disk reserve with its two log lines.
#include <gtest/gtest.h>

#include <map>

#include "common/Win1250.hpp"
#include "download/DumpCollector.hpp"
#include "server/ReadAdmission.hpp"

using namespace serwer;

TEST(ReadAdmissionTest, ReadsTakeTheirShareOfTheBudgetUntilItIsSpentAndGiveItBack) {
    ReadAdmission admission(3 * kReadMemoryLimit + kReadMemoryLimit / 2, 0, {"."});
    std::vector<ReadAdmission::Ticket> running;
    for (int i = 0; i < 3; ++i) {
        ReadAdmission::Decision d = admission.Admit("WA1");
        ASSERT_TRUE(d.ticket);
        EXPECT_FALSE(d.deferred || d.disk);
        running.push_back(std::move(d.ticket));
    }
    EXPECT_EQ(admission.InUse(), 3 * kReadMemoryLimit);
    const ReadAdmission::Decision refused = admission.Admit("WA4");
    EXPECT_FALSE(refused.ticket);
    EXPECT_EQ(refused.deferred, Cp1250("WA4: odczyt pamięci odłożony, odczyty zajmują już 9 MiB z 11 MiB (PamiecOdczytowMB)"));
    running.pop_back();
    EXPECT_TRUE(admission.Admit("WA4").ticket);  // taken and given back at once
    EXPECT_EQ(admission.InUse(), 2 * kReadMemoryLimit);
}

TEST(ReadAdmissionTest, ShortOfDiskNoReadStartsAndTheStopAndTheResumeAreSaidOnce) {
    std::map<std::string, std::uint64_t> free{{".", 5u << 20}, {"dane", 2u << 20}};
    ReadAdmission admission(1u << 30, 3u << 20, {".", "dane"},
                            [&](const std::string& dir) -> std::optional<std::uint64_t> { return free.at(dir); });
    const ReadAdmission::Decision first = admission.Admit("WA1");
    EXPECT_FALSE(first.ticket);
    EXPECT_EQ(first.disk,
              Cp1250("Odczyty pamięci wstrzymane: za mało wolnego miejsca na dysku w dane (wolne 2 MiB, rezerwa 3 MiB)"));
    const ReadAdmission::Decision second = admission.Admit("WA2");
    EXPECT_FALSE(second.ticket || second.disk);
    EXPECT_EQ(admission.InUse(), 0u);
    free["dane"] = 3u << 20;
    const ReadAdmission::Decision resumed = admission.Admit("WA3");
    EXPECT_TRUE(resumed.ticket);
    EXPECT_EQ(resumed.disk, Cp1250("Odczyty pamięci wznowione: wolnego miejsca na dysku jest więcej niż rezerwa (3 MiB)"));
    EXPECT_FALSE(admission.Admit("WA4").disk);
}

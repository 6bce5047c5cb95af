#include "server/NewVehicleLimit.hpp"

#include <gtest/gtest.h>

using namespace serwer;
using namespace std::chrono_literals;
using Verdict = NewVehicleLimit::Verdict;

namespace {

const NewVehicleLimit::Clock::time_point kStart{5h};
constexpr NewVehicleLimit::Clock::duration kTick{1};

TEST(NewVehicleLimit, TheThousandthOfAnHourIsAdmittedTheNextOnlyOnceTheFirstIsAnHourOld) {
    NewVehicleLimit limit;
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(limit.Admit(1000, kStart + i * 1s), Verdict::Admitted) << i;
    EXPECT_EQ(limit.Admit(1000, kStart + 1h - kTick), Verdict::FirstRefused);
    EXPECT_EQ(limit.Admit(1000, kStart + 1h - kTick), Verdict::Refused);
    EXPECT_EQ(limit.Admit(1000, kStart + 1h), Verdict::Admitted);  // the first is an hour old
    // The second addition is not, yet: a new run of refusals.
    EXPECT_EQ(limit.Admit(1000, kStart + 1h + 1s - kTick), Verdict::FirstRefused);
    EXPECT_EQ(limit.Admit(1000, kStart + 1h + 1s), Verdict::Admitted);
}

TEST(NewVehicleLimit, ZeroAdmitsNoNewVehicleInOneRunOfRefusals) {
    NewVehicleLimit limit;
    EXPECT_EQ(limit.Admit(0, kStart), Verdict::FirstRefused);
    EXPECT_EQ(limit.Admit(0, kStart + 2h), Verdict::Refused);
}

}  // namespace

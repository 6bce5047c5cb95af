#include <gtest/gtest.h>
#include <sys/resource.h>

#include "app/ProcessLimits.hpp"

using namespace serwer;

TEST(RaiseDescriptorLimit, RaisesTheSoftLimitToTheHardOne) {
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
    if (before.rlim_max == RLIM_INFINITY || before.rlim_max <= 256) GTEST_SKIP() << "no finite hard limit above 256";
    rlimit lowered = before;
    lowered.rlim_cur = 256;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);

    EXPECT_EQ(RaiseDescriptorLimit(), static_cast<std::uint64_t>(before.rlim_max));
    rlimit after{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &after), 0);
    EXPECT_EQ(after.rlim_cur, before.rlim_max);
    EXPECT_EQ(after.rlim_max, before.rlim_max);

    // Already at the hard limit: nothing changes.
    EXPECT_EQ(RaiseDescriptorLimit(), static_cast<std::uint64_t>(before.rlim_max));
}

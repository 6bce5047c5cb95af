#include <gtest/gtest.h>

#include "events/AlarmList.hpp"

using namespace serwer;

namespace {

Event Speeding(std::uint64_t id, std::optional<std::int64_t> end = std::nullopt) {
    Event e;
    e.id = id;
    e.type = EventType::PrzekroczeniePredkosci;
    e.registration = "WA12345";
    e.interval = true;
    e.endUtc = end;
    return e;
}

}  // namespace

TEST(AlarmList, TakesTheChosenTypesAndUpdatesAnIntervalInPlaceUntilAcknowledged) {
    AlarmList alarms(DefaultAlarmTypes(), 3);
    Event ignition = Speeding(9);
    ignition.type = EventType::Zaplon;
    EXPECT_FALSE(alarms.Add(ignition));  // not a default alarm

    EXPECT_TRUE(alarms.Add(Speeding(1)));
    EXPECT_TRUE(alarms.Add(Speeding(2)));
    EXPECT_TRUE(alarms.Add(Speeding(1, 100)));  // the end of the first
    ASSERT_EQ(alarms.Pending().size(), 2u);
    EXPECT_EQ(alarms.Pending()[0].endUtc, 100);

    EXPECT_TRUE(alarms.Acknowledge(2));
    EXPECT_FALSE(alarms.Acknowledge(2));
    EXPECT_FALSE(alarms.Add(Speeding(2, 200)));  // an acknowledged interval's end stays away
    ASSERT_EQ(alarms.Pending().size(), 1u);

    // Beyond the capacity the oldest goes.
    for (std::uint64_t id = 10; id < 13; ++id) alarms.Add(Speeding(id));
    ASSERT_EQ(alarms.Pending().size(), 3u);
    EXPECT_EQ(alarms.Pending().front().id, 10u);
}

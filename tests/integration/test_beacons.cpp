/* Beacons heard by the simulated radio become BeaconReceived events. */
#include <gtest/gtest.h>

#include "daemon_fixture.h"

using kt::DaemonTest;
using kt::kIdA;
using kt::kIdB;

namespace {

const char kTopic[] = "tns1:Device/tnsvemo:Bluetooth/tnsvemo:BeaconReceived";

class Beacons : public ::testing::Test {
 protected:
  void SetUp() override {
    t.start_device();
    ASSERT_TRUE(t.wait_monitors(1));
  }
  /* A marker beacon that must become an event: whatever was injected
   * before it on the same adapter has been handled once it arrives. */
  void sync_with_marker(const std::string &systemid, guint8 sequence) {
    size_t before = t.events.size();
    t.inject_beacon(systemid, 2, sequence, "hci0", "C0:FF:EE:00:00:99");
    ASSERT_TRUE(t.wait_events(before + 1)) << t.kavrod->log();
  }
  DaemonTest t;
};

TEST_F(Beacons, RecordingStartedBecomesExactlyOneEvent) {
  const gint64 before = g_get_real_time();
  t.inject_beacon(kIdA, 2, 1);
  ASSERT_TRUE(t.wait_events(1)) << t.kavrod->log();
  EXPECT_EQ(t.events[0].producer, "kavrod");
  EXPECT_EQ(t.events[0].topic, kTopic);
  EXPECT_EQ(t.events[0].uuid, kIdA);
  EXPECT_GE(t.events[0].time_us, before);
  EXPECT_TRUE(t.kavrod->wait_for_log("'RECORDING_STARTED' event was triggered"));

  // The radio repeats an advertisement: one report per sequence number.
  t.inject_beacon(kIdA, 2, 1);
  t.inject_beacon(kIdA, 2, 2);
  ASSERT_TRUE(t.wait_events(2));
  sync_with_marker(kIdA, 200);
  EXPECT_EQ(t.events.size(), 3u);
}

TEST_F(Beacons, OtherEventNumbersAreOnlyLogged) {
  // Each from a sender of its own: a new device's data replaced within a
  // bus round trip of its first advertisement may not be seen.
  t.inject_beacon(kIdA, 0, 10, "hci0", "C0:FF:EE:00:00:10");
  t.inject_beacon(kIdA, 1, 11, "hci0", "C0:FF:EE:00:00:11");
  t.inject_beacon(kIdA, 7, 12, "hci0", "C0:FF:EE:00:00:12");
  t.inject_beacon(kIdA, 255, 13, "hci0", "C0:FF:EE:00:00:13");
  sync_with_marker(kIdA, 14);
  EXPECT_EQ(t.events.size(), 1u);
  // The log travels by another pipe than the event: wait for it.
  ASSERT_TRUE(t.kavrod->wait_for_log("'RECORDING_STARTED' event was triggered"));
  EXPECT_EQ(t.kavrod->count("Event type was HELLO!"), 1u);
  EXPECT_EQ(t.kavrod->count("Event type was LIGHTBAR_ACTIVE!"), 1u);
  EXPECT_EQ(t.kavrod->count("Unlisted event: 7"), 1u);
  EXPECT_EQ(t.kavrod->count("Unlisted event: 255"), 1u);
}

/* Only beacons of the System ID in force are heard, and the filter moves
 * with a new one. */
TEST_F(Beacons, OnlyTheCurrentSystemIdIsHeard) {
  t.inject_beacon(kIdB, 2, 1, "hci0", "C0:FF:EE:00:00:02");
  sync_with_marker(kIdA, 2);
  ASSERT_EQ(t.events.size(), 1u);
  EXPECT_EQ(t.events[0].uuid, kIdA);

  t.add_rule(9, kIdB);
  ASSERT_TRUE(t.wait_systemid(kIdB));
  ASSERT_TRUE(t.wait_monitors(1));
  t.inject_beacon(kIdA, 2, 1, "hci0", "C0:FF:EE:00:00:03");
  sync_with_marker(kIdB, 2);
  ASSERT_EQ(t.events.size(), 2u);
  EXPECT_EQ(t.events[1].uuid, kIdB);
}

TEST_F(Beacons, BluezRestartReestablishesMonitoring) {
  g_variant_unref(t.bluez_control("Leave", nullptr));
  ASSERT_TRUE(t.kavrod->wait_for_log("Bluetooth vanished!"));
  g_variant_unref(t.bluez_control("Return", nullptr));
  ASSERT_TRUE(t.wait_monitors(1));
  t.inject_beacon(kIdA, 2, 5);
  EXPECT_TRUE(t.wait_events(1));
}

TEST_F(Beacons, PausedMonitorTurnsNothingIntoEvents) {
  ASSERT_EQ(t.control("Pause"), "");
  t.inject_beacon(kIdA, 2, 1);
  t.inject_beacon(kIdA, 2, 2);
  ASSERT_EQ(t.control("Resume"), "");
  ASSERT_TRUE(t.wait_monitors(1));
  sync_with_marker(kIdA, 3);
  EXPECT_EQ(t.events.size(), 1u);

  // A pause survives a change of System ID.
  ASSERT_EQ(t.control("Pause"), "");
  t.add_rule(9, kIdB);
  ASSERT_TRUE(t.wait_systemid(kIdB));
  t.inject_beacon(kIdB, 2, 4);
  ASSERT_EQ(t.control("Resume"), "");
  ASSERT_TRUE(t.wait_monitors(1));
  sync_with_marker(kIdB, 5);
  EXPECT_EQ(t.events.size(), 2u);
  EXPECT_EQ(t.events.back().uuid, kIdB);
}

}  // namespace

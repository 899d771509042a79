/* Beacons heard by the simulated radio become BeaconReceived events. */
#include <gtest/gtest.h>

#include "advwatch-utils.h"
#include "config.h"
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

/* ---- signed beacons -------------------------------------------------------- */

std::vector<guint8> test_key(guint8 first) {
  std::vector<guint8> key(ADVWATCH_KEY_LENGTH);
  for (size_t i = 0; i < key.size(); i++)
    key[i] = static_cast<guint8>(first + i);
  return key;
}

gint64 now_s() { return g_get_real_time() / G_USEC_PER_SEC; }

std::vector<guint8> signed_beacon(const std::vector<guint8> &key, guint8 sequence, gint64 clock) {
  auto payload = th::beacon_bytes(kIdA, 2, sequence);
  payload.resize(ADVWATCH_BEACON_SIGNED_LENGTH);
  advwatch_beacon_sign(BEACON_COMPANY_ID, payload.data(), static_cast<guint64>(clock), key.data());
  return payload;
}

/* One value of kavrod's Status, as text ("<none>" when absent). */
std::string status_value(DaemonTest &t, const char *key) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply =
      th::call(t.bus.connection(), "com.vemo.bt.ReceiveVemoBeacon", "/com/vemo/bt/ReceiveVemoBeacon",
               "com.vemo.bt.ReceiveVemoBeacon.Diagnostics", "Status", nullptr, "(a{sv})", &error);
  if (reply == nullptr)
    return std::string("<error: ") + error->message + ">";
  g_autoptr(GVariant) dict = g_variant_get_child_value(reply, 0);
  g_autoptr(GVariant) value = g_variant_lookup_value(dict, key, nullptr);
  if (value == nullptr)
    return "<none>";
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING))
    return g_variant_get_string(value, nullptr);
  g_autofree gchar *text = g_variant_print(value, TRUE);
  return text;
}

void restart_kavrod(DaemonTest &t, std::map<std::string, std::string> env) {
  if (t.kavrod != nullptr) {
    ASSERT_EQ(t.kavrod->stop(SIGTERM), 0) << t.kavrod->log();
  }
  ASSERT_TRUE(t.wait_monitors(0));
  t.start_kavrod({}, env);
  ASSERT_TRUE(t.wait_monitors(1)) << t.kavrod->log();
  ASSERT_TRUE(th::wait_until([&] {
    auto list = t.monitors();
    return !list.empty() && list[0].second;
  }));
}

/* With the installation key only genuine, fresh, first-heard signed beacons
 * become events; every other kind is dropped and counted. */
TEST(SignedBeacons, OnlyGenuineFreshBeaconsBecomeEventsAndTheRestIsCounted) {
  DaemonTest t;
  t.start_bluez();
  t.start_engine(kt::rule(3, kIdA));
  const auto key = test_key(0x40), other = test_key(0x90);
  th::Credentials credentials;
  credentials.put("beacon-key", key);
  restart_kavrod(t, {{"CREDENTIALS_DIRECTORY", credentials.path()}});
  EXPECT_EQ(status_value(t, "auth"), "required");

  const auto genuine = signed_beacon(key, 1, now_s());
  t.inject_payload(genuine, "C0:FF:EE:00:00:01");
  ASSERT_TRUE(t.wait_events(1)) << t.kavrod->log();

  // The same bytes from another address: a replay. From the same address:
  // a repeat, as without a key.
  t.inject_payload(genuine, "C0:FF:EE:00:00:02");
  ASSERT_TRUE(th::wait_until([&] { return status_value(t, "replayed") == "uint64 1"; })) << t.kavrod->log();
  auto wrong_tag = signed_beacon(key, 2, now_s());
  wrong_tag[ADVWATCH_BEACON_TAG_OFFSET] ^= 0x01;
  t.inject_payload(wrong_tag, "C0:FF:EE:00:00:03");
  t.inject_payload(signed_beacon(other, 3, now_s()), "C0:FF:EE:00:00:04");
  ASSERT_TRUE(th::wait_until([&] { return status_value(t, "forged") == "uint64 2"; })) << t.kavrod->log();
  t.inject_payload(signed_beacon(key, 4, now_s() - 40), "C0:FF:EE:00:00:05");
  t.inject_payload(signed_beacon(key, 5, now_s() + 40), "C0:FF:EE:00:00:06");
  ASSERT_TRUE(th::wait_until([&] { return status_value(t, "stale") == "uint64 2"; })) << t.kavrod->log();
  t.inject_beacon(kIdA, 2, 6, "hci0", "C0:FF:EE:00:00:07");
  auto truncated = signed_beacon(key, 7, now_s());
  truncated.resize(ADVWATCH_BEACON_SIGNED_LENGTH - 1);
  t.inject_payload(truncated, "C0:FF:EE:00:00:08");
  ASSERT_TRUE(th::wait_until([&] { return status_value(t, "unsigned") == "uint64 2"; })) << t.kavrod->log();

  // A refused beacon remembers nothing: the genuine beacon with the
  // address and sequence number of the forged one still counts.
  t.inject_payload(signed_beacon(key, 2, now_s()), "C0:FF:EE:00:00:03");
  ASSERT_TRUE(t.wait_events(2)) << t.kavrod->log();
  t.inject_payload(genuine, "C0:FF:EE:00:00:01");
  t.inject_payload(signed_beacon(key, 8, now_s()), "C0:FF:EE:00:00:09");
  ASSERT_TRUE(t.wait_events(3)) << t.kavrod->log();
  EXPECT_EQ(t.events.size(), 3u);
  EXPECT_EQ(status_value(t, "replayed"), "uint64 1");
  EXPECT_EQ(status_value(t, "forged"), "uint64 2");
  EXPECT_EQ(status_value(t, "stale"), "uint64 2");
  EXPECT_EQ(status_value(t, "unsigned"), "uint64 2");
  // The first of each kind is a warning naming it and the sender; the
  // second of a kind within the minute is only counted.
  EXPECT_TRUE(t.kavrod->wait_for_log("replayed beacon from C0:FF:EE:00:00:02 dropped"));
  EXPECT_TRUE(t.kavrod->wait_for_log("forged beacon from C0:FF:EE:00:00:03 dropped"));
  EXPECT_TRUE(t.kavrod->wait_for_log("stale beacon from C0:FF:EE:00:00:05 dropped"));
  EXPECT_TRUE(t.kavrod->wait_for_log("unsigned beacon from C0:FF:EE:00:00:07 dropped"));
  EXPECT_EQ(t.kavrod->count("forged beacon from"), 1u);
  // The key itself is never logged.
  std::string key_text;
  for (guint8 b : key) {
    char pair[3];
    g_snprintf(pair, sizeof pair, "%02x", b);
    key_text += pair;
  }
  EXPECT_EQ(t.kavrod->log().find(key_text.substr(0, 16)), std::string::npos);

  // During a rotation the key given as "beacon-key-next" verifies too.
  th::Credentials rotation;
  rotation.put("beacon-key", other);
  rotation.put("beacon-key-next", key);
  restart_kavrod(t, {{"CREDENTIALS_DIRECTORY", rotation.path()}});
  t.inject_payload(signed_beacon(key, 20, now_s()), "C0:FF:EE:00:00:20");
  ASSERT_TRUE(t.wait_events(4)) << t.kavrod->log();
  t.inject_payload(signed_beacon(other, 21, now_s()), "C0:FF:EE:00:00:21");
  ASSERT_TRUE(t.wait_events(5)) << t.kavrod->log();

  // Without a key: today's beacons, and signed ones with their extra bytes
  // ignored.
  restart_kavrod(t, {});
  EXPECT_EQ(status_value(t, "auth"), "off");
  t.inject_beacon(kIdA, 2, 30, "hci0", "C0:FF:EE:00:00:30");
  ASSERT_TRUE(t.wait_events(6)) << t.kavrod->log();
  t.inject_payload(signed_beacon(other, 31, now_s() - 1000), "C0:FF:EE:00:00:31");
  ASSERT_TRUE(t.wait_events(7)) << t.kavrod->log();
  EXPECT_EQ(status_value(t, "unsigned"), "uint64 0");
}

}  // namespace

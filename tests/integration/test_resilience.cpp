/* kavrod under faults: hostile bus peers, BlueZ refusing, releasing,
 * restarting or renaming its adapter, and an engine that floods or hangs.
 * In each case kavrod must keep listening, or listen again by itself. */
#include <gtest/gtest.h>

#include "daemon_fixture.h"

using kt::DaemonTest;
using kt::kIdA;
using kt::kIdB;

namespace {

/* Short back-off steps, so that retries show within a test's patience. */
const std::map<std::string, std::string> kFastRetry = {{"KAVROD_RETRY_MS", "200,800"}};

std::string unique_name_of(DaemonTest &t, const char *name) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply =
      th::call(t.bus.connection(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
               "GetNameOwner", g_variant_new("(s)", name), "(s)", &error);
  if (reply == nullptr)
    return "";
  const gchar *owner;
  g_variant_get(reply, "(&s)", &owner);
  return owner;
}

/* The bus client that holds the (single) registered monitor. */
std::string monitor_client(DaemonTest &t) {
  g_autoptr(GVariant) reply = t.bluez_control("ListMonitors", nullptr, "(a(sosb))");
  g_autoptr(GVariantIter) iter = nullptr;
  g_variant_get(reply, "(a(sosb))", &iter);
  const gchar *client, *path, *adapter;
  gboolean activated;
  std::string found;
  while (g_variant_iter_next(iter, "(&s&o&sb)", &client, &path, &adapter, &activated))
    found = client;
  return found;
}

/* One own beacon heard on @adapter becomes exactly one event. */
void expect_beacon_becomes_event(DaemonTest &t, const char *systemid, guint8 sequence, const char *adapter = "hci0") {
  const size_t before = t.events.size();
  t.inject_beacon(systemid, 2, sequence, adapter);
  ASSERT_TRUE(t.wait_events(before + 1)) << t.kavrod->log();
  EXPECT_EQ(t.events.back().uuid, systemid);
}

void expect_no_event(DaemonTest &t, const char *systemid, guint8 sequence) {
  const size_t before = t.events.size();
  t.inject_beacon(systemid, 2, sequence);
  th::wait_until([] { return false; }, 300);
  EXPECT_EQ(t.events.size(), before);
}

/* Pause or Resume as root; fails the test when the call fails. */
/* BlueZ leaves and returns with adapter @from replaced by @to. */
void return_renamed(DaemonTest &t, const char *from, const char *to, bool monitor_manager) {
  g_variant_unref(t.bluez_control("Leave", nullptr));
  g_variant_unref(t.bluez_control("RemoveAdapter", g_variant_new("(s)", from)));
  g_variant_unref(t.bluez_control("AddAdapter", g_variant_new("(sbb)", to, monitor_manager, TRUE), "(o)"));
  g_variant_unref(t.bluez_control("Return", nullptr));
}

size_t readings(DaemonTest &t) { return t.kavrod->count("System ID: " + std::string(kIdA) + " from rule"); }

TEST(Resilience, NoBusPeerCanStallTheConfigurationReading) {
  DaemonTest t;
  t.start_device();
  ASSERT_TRUE(t.wait_systemid(kIdA));
  const std::string kavrod_name = unique_name_of(t, "com.vemo.bt.ReceiveVemoBeacon");
  ASSERT_FALSE(kavrod_name.empty());

  // A peer that is not the engine: broadcast and sent straight to kavrod.
  // None of it makes kavrod read the rules, and beacons still become
  // events while it floods.
  const size_t before = readings(t);
  GDBusConnection *peer = t.bus.connection();
  for (int i = 0; i < 5000; i++) {
    GVariant *changed = g_variant_new_parsed("('com.vemo.Event.ActionEngine.ActionRule', @a{sv} {}, @as [])");
    g_dbus_connection_emit_signal(peer, i % 2 == 0 ? nullptr : kavrod_name.c_str(), "/com/vemo/Event/ActionEngine",
                                  "org.freedesktop.DBus.Properties", "PropertiesChanged", changed, nullptr);
  }
  expect_beacon_becomes_event(t, kIdA, 1);
  EXPECT_EQ(readings(t), before);
  EXPECT_TRUE(t.kavrod->running());

  // The engine itself, slow to answer, announcing many changes at once:
  // one reading runs, at most one more follows, and beacons go on. The
  // changes are asked for without waiting for each answer, so that they
  // all fall within the first reading however slowly this machine runs;
  // the last call, answered after all others, tells they were made.
  t.set_list_fault("delay", 1000);
  for (int i = 0; i < 199; i++) {
    g_autoptr(GDBusMessage) emit = g_dbus_message_new_method_call(
        "com.vemo.Event.ActionEngine.User", "/com/vemo/Event/ActionEngine", "com.vemo.Sim.ActionEngine1", "EmitChanged");
    g_dbus_message_set_flags(emit, G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED);
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(g_dbus_connection_send_message(t.bus.connection(), emit, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr,
                                               &error))
        << error->message;
  }
  g_variant_unref(t.engine_call("com.vemo.Sim.ActionEngine1", "EmitChanged", nullptr));
  expect_beacon_becomes_event(t, kIdA, 2);
  ASSERT_TRUE(th::wait_until([&] { return readings(t) >= before + 2; }, 5000));
  th::wait_until([] { return false; }, 1500);
  EXPECT_LE(readings(t), before + 3);

  // An engine that never answers freezes nothing either.
  t.set_list_fault("noreply");
  g_variant_unref(t.engine_call("com.vemo.Sim.ActionEngine1", "EmitChanged", nullptr));
  g_variant_unref(t.engine_call("com.vemo.Sim.ActionEngine1", "EmitChanged", nullptr));
  expect_beacon_becomes_event(t, kIdA, 3);
  EXPECT_EQ(t.list_systemid(), kIdA);
  EXPECT_EQ(t.kavrod->stop(SIGTERM), 0);
}

TEST(Resilience, BluezRefusingOrReleasingTheMonitorIsAskedAgain) {
  DaemonTest t;
  t.start_bluez();
  t.start_engine(kt::rule(3, kIdA));
  g_variant_unref(t.bluez_control("FailNextRegisterMonitor", g_variant_new("(u)", 2)));
  t.start_kavrod({}, kFastRetry);

  // Refused twice, then accepted: one warning per attempt, not per beacon.
  ASSERT_TRUE(t.wait_monitors(1, 8000)) << t.kavrod->log();
  EXPECT_EQ(t.kavrod->count("BlueZ refused it"), 2u);
  expect_beacon_becomes_event(t, kIdA, 1);

  // Released by BlueZ: registered again, and listening again.
  size_t mark = t.kavrod->log_size();
  g_variant_unref(t.bluez_control("ReleaseMonitors", g_variant_new("(s)", monitor_client(t).c_str())));
  ASSERT_TRUE(t.kavrod->wait_for_log("BlueZ released it", 5000, mark));
  ASSERT_TRUE(t.wait_monitors(1, 8000));
  expect_beacon_becomes_event(t, kIdA, 2);

  EXPECT_EQ(t.kavrod->stop(SIGTERM), 0);
}

TEST(Resilience, BluezReturningFindsTheMonitorAsItShouldBe) {
  DaemonTest t;
  t.start_device();
  ASSERT_TRUE(t.wait_systemid(kIdA));

  // The System ID changes while BlueZ is away: the new one is monitored
  // once BlueZ is back.
  g_variant_unref(t.bluez_control("Leave", nullptr));
  ASSERT_TRUE(t.kavrod->wait_for_log("Bluetooth vanished!"));
  t.add_rule(9, kIdB);
  ASSERT_TRUE(t.kavrod->wait_for_log("System ID: " + std::string(kIdB)));
  g_variant_unref(t.bluez_control("Return", nullptr));
  ASSERT_TRUE(t.wait_monitors(1));
  ASSERT_TRUE(t.wait_systemid(kIdB));
  expect_beacon_becomes_event(t, kIdB, 1);

  // A pause outlives BlueZ leaving and coming back; Resume ends it.
  ASSERT_EQ(t.control("Pause"), "");
  g_variant_unref(t.bluez_control("Leave", nullptr));
  g_variant_unref(t.bluez_control("Return", nullptr));
  ASSERT_TRUE(t.wait_systemid(kIdB));
  ASSERT_TRUE(t.wait_monitors(0));
  expect_no_event(t, kIdB, 2);
  ASSERT_EQ(t.control("Resume"), "");
  ASSERT_TRUE(t.wait_monitors(1));
  expect_beacon_becomes_event(t, kIdB, 3);

  // Back with the controller under another name: the search finds it.
  size_t mark = t.kavrod->log_size();
  return_renamed(t, "hci0", "hci1", true);
  ASSERT_TRUE(t.wait_monitors(1));
  EXPECT_EQ(t.monitors()[0].first, "hci1");
  EXPECT_TRUE(t.kavrod->wait_for_log("moves from adapter /org/bluez/hci0 to /org/bluez/hci1", 1000, mark));
  expect_beacon_becomes_event(t, kIdB, 4, "hci1");

  EXPECT_EQ(t.kavrod->stop(SIGTERM), 0);
}

/* The Status dictionary, read as root. */
GVariant *status(DaemonTest &t) {
  g_autoptr(GError) error = nullptr;
  GVariant *reply = th::call(t.bus.connection(), "com.vemo.bt.ReceiveVemoBeacon", "/com/vemo/bt/ReceiveVemoBeacon",
                             "com.vemo.bt.ReceiveVemoBeacon.Diagnostics", "Status", nullptr, "(a{sv})", &error);
  if (reply == nullptr)
    return nullptr;
  GVariant *dict = g_variant_get_child_value(reply, 0);
  g_variant_unref(reply);
  return dict;
}

std::string state_of(DaemonTest &t) {
  g_autoptr(GVariant) dict = status(t);
  const gchar *state = "(no answer)";
  if (dict != nullptr)
    g_variant_lookup(dict, "state", "&s", &state);
  return state;
}

guint64 counter(DaemonTest &t, const char *key) {
  g_autoptr(GVariant) dict = status(t);
  guint64 value = G_MAXUINT64;
  if (dict != nullptr)
    g_variant_lookup(dict, key, "t", &value);
  return value;
}

bool wait_state(DaemonTest &t, const std::string &state, int timeout_ms = 5000) {
  return th::wait_until([&] { return state_of(t) == state; }, timeout_ms);
}

TEST(Resilience, StatusTellsTheTruthInEveryState) {
  DaemonTest t;
  t.start_bluez();
  t.start_engine("");
  t.start_kavrod({}, kFastRetry);
  ASSERT_TRUE(wait_state(t, "waiting-for-system-id"));

  t.add_rule(3, kIdA);
  ASSERT_TRUE(wait_state(t, "listening"));
  ASSERT_EQ(t.monitors().size(), 1u);
  EXPECT_TRUE(t.monitors()[0].second) << "listening before BlueZ activated the monitor";

  // An own beacon, its repeat, and a foreign one (heard because another
  // client runs discovery).
  expect_beacon_becomes_event(t, kIdA, 1);
  t.inject_beacon(kIdA, 2, 1);
  g_autoptr(GVariant) discovering = th::call(t.bus.connection(), "org.bluez", "/org/bluez/hci0", "org.bluez.Adapter1",
                                             "StartDiscovery", nullptr, nullptr, nullptr);
  ASSERT_NE(discovering, nullptr);
  t.inject_beacon(kIdB, 2, 1, "hci0", "C0:FF:EE:00:00:02");
  ASSERT_TRUE(th::wait_until([&] { return counter(t, "foreign") == 1 && counter(t, "repeats") >= 1; }))
      << "foreign " << counter(t, "foreign") << ", repeats " << counter(t, "repeats");
  EXPECT_EQ(counter(t, "beacons"), 1 + counter(t, "foreign") + counter(t, "repeats"));
  EXPECT_EQ(counter(t, "own_beacons"), 1u);
  EXPECT_EQ(counter(t, "events"), 1u);

  ASSERT_EQ(t.control("Pause"), "");
  EXPECT_EQ(state_of(t), "paused");
  ASSERT_EQ(t.control("Resume"), "");
  ASSERT_TRUE(wait_state(t, "listening"));

  // Refused on every attempt for a while: backing off, never listening
  // while BlueZ holds no monitor of ours, then listening again.
  g_variant_unref(t.bluez_control("FailNextRegisterMonitor", g_variant_new("(u)", 3)));
  g_variant_unref(t.bluez_control("ReleaseMonitors", g_variant_new("(s)", monitor_client(t).c_str())));
  // One answer that says backing-off also says when the next try is.
  GVariant *backing_off = nullptr;
  ASSERT_TRUE(th::wait_until([&] {
    GVariant *dict = status(t);
    const gchar *state = "";
    if (dict != nullptr && g_variant_lookup(dict, "state", "&s", &state) && g_str_equal(state, "backing-off")) {
      backing_off = dict;
      return true;
    }
    if (dict != nullptr)
      g_variant_unref(dict);
    return false;
  }));
  {
    g_autoptr(GVariant) dict = backing_off;
    guint32 retry_ms = 0;
    EXPECT_TRUE(g_variant_lookup(dict, "retry_in_ms", "u", &retry_ms));
    EXPECT_LE(retry_ms, 800u);
    const gchar *last_error = "";
    g_variant_lookup(dict, "last_error", "&s", &last_error);
    EXPECT_NE(std::string(last_error).find("BlueZ"), std::string::npos) << last_error;
  }
  bool false_listening = false;
  ASSERT_TRUE(th::wait_until([&] {
    const std::string state = state_of(t);
    auto held = t.monitors();
    if (state == "listening" && (held.empty() || !held[0].second))
      false_listening = true;
    return state == "listening";
  }, 8000));
  EXPECT_FALSE(false_listening);
  EXPECT_EQ(counter(t, "registration_failures"), 4u);

  // No capable adapter after BlueZ returns.
  size_t mark = t.kavrod->log_size();
  return_renamed(t, "hci0", "hci2", false);
  ASSERT_TRUE(wait_state(t, "no-adapter"));
  EXPECT_TRUE(t.kavrod->wait_for_log("no adapter offers org.bluez.AdvertisementMonitorManager1", 5000, mark));
  EXPECT_EQ(t.monitors().size(), 0u);
  EXPECT_EQ(t.kavrod->stop(SIGTERM), 0);
}

TEST(Resilience, MalformedObjectManagerSignalsFromBluezAreSurvived) {
  DaemonTest t;
  t.start_device();
  for (const char *member : {"InterfacesAdded", "InterfacesRemoved"})
    g_variant_unref(t.bluez_control("EmitMalformedObjectManagerSignal", g_variant_new("(s)", member)));
  expect_beacon_becomes_event(t, kIdA, 1);
  EXPECT_TRUE(t.kavrod->running());
  EXPECT_EQ(t.kavrod->stop(SIGTERM), 0);
}

}  // namespace

/* kavrod under faults: hostile bus peers, BlueZ refusing, releasing,
 * restarting or renaming its adapter, and an engine that floods or hangs.
 * In each case kavrod must keep listening, or listen again by itself. */
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <regex>

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
  EXPECT_EQ(t.kavrod->count("BlueZ refused the monitor"), 2u);
  expect_beacon_becomes_event(t, kIdA, 1);

  // Released by BlueZ: registered again, and listening again.
  size_t mark = t.kavrod->log_size();
  g_variant_unref(t.bluez_control("ReleaseMonitors", g_variant_new("(s)", monitor_client(t).c_str())));
  ASSERT_TRUE(t.kavrod->wait_for_log("BlueZ released the monitor", 5000, mark));
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

/* A datagram socket in the place of systemd's notification socket. */
class NotifySocket {
 public:
  NotifySocket() {
    g_autofree gchar *dir = g_dir_make_tmp("notify-XXXXXX", nullptr);
    dir_ = dir;
    path_ = dir_ + "/notify";
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    g_strlcpy(address.sun_path, path_.c_str(), sizeof address.sun_path);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<struct sockaddr *>(&address), sizeof address) != 0)
      g_error("notification socket %s: %s", path_.c_str(), g_strerror(errno));
  }
  ~NotifySocket() {
    close(fd_);
    g_unlink(path_.c_str());
    g_rmdir(dir_.c_str());
  }
  const std::string &path() const { return path_; }
  /* Every datagram received so far, in order. */
  const std::vector<std::string> &messages() {
    char buffer[4096];
    ssize_t n;
    while ((n = recv(fd_, buffer, sizeof buffer, 0)) >= 0)
      messages_.emplace_back(buffer, static_cast<size_t>(n));
    return messages_;
  }
  size_t count(const std::string &message) {
    size_t n = 0;
    for (const auto &m : messages())
      n += m == message;
    return n;
  }
  bool wait_count(const std::string &message, size_t n) {
    return th::wait_until([&] { return count(message) >= n; });
  }

 private:
  std::string dir_, path_;
  int fd_ = -1;
  std::vector<std::string> messages_;
};

TEST(Resilience, SystemdHearsReadinessEveryStateTheWatchdogAndTheStop) {
  NotifySocket notify;
  DaemonTest t;
  t.start_bluez();
  t.start_engine(kt::rule(3, kIdA));
  auto env = kFastRetry;
  env["NOTIFY_SOCKET"] = notify.path();
  env["WATCHDOG_USEC"] = "200000";
  t.start_kavrod({}, env);

  const std::string listening = "STATUS=listening on /org/bluez/hci0";
  ASSERT_TRUE(notify.wait_count("READY=1", 1)) << t.kavrod->log();
  ASSERT_TRUE(notify.wait_count(listening, 1)) << t.kavrod->log();
  ASSERT_EQ(t.control("Pause"), "");
  ASSERT_TRUE(notify.wait_count("STATUS=paused", 1));
  ASSERT_EQ(t.control("Resume"), "");
  ASSERT_TRUE(notify.wait_count(listening, 2));

  // Released, then refused once: backing off with the reason and the time
  // of the next try, then listening again.
  g_variant_unref(t.bluez_control("FailNextRegisterMonitor", g_variant_new("(u)", 1)));
  g_variant_unref(t.bluez_control("ReleaseMonitors", g_variant_new("(s)", monitor_client(t).c_str())));
  ASSERT_TRUE(notify.wait_count(listening, 3)) << t.kavrod->log();
  const std::regex backing_off("STATUS=backing-off: BlueZ (released|refused) the monitor \\(.*\\); next try at "
                               "[0-2][0-9]:[0-5][0-9]:[0-6][0-9]");
  std::vector<std::string> reasons;
  for (const auto &m : notify.messages())
    if (m.rfind("STATUS=backing-off", 0) == 0) {
      EXPECT_TRUE(std::regex_match(m, backing_off)) << m;
      reasons.push_back(m.substr(0, m.find(" the monitor")));
    }
  EXPECT_EQ(reasons, (std::vector<std::string>{"STATUS=backing-off: BlueZ released",
                                               "STATUS=backing-off: BlueZ refused"}));

  // Pinged from the loop at half the interval, as long as it turns.
  EXPECT_EQ(t.kavrod->count("Feeding the systemd watchdog every 100 ms"), 1u);
  const size_t pings = notify.count("WATCHDOG=1");
  ASSERT_TRUE(notify.wait_count("WATCHDOG=1", pings + 2));

  ASSERT_EQ(t.kavrod->stop(SIGTERM), 0);
  const auto &all = notify.messages();
  EXPECT_EQ(all.back(), "STOPPING=1");
  EXPECT_EQ(notify.count("READY=1"), 1u);
  EXPECT_EQ(notify.count("STOPPING=1"), 1u);
  for (const auto &m : all)
    EXPECT_TRUE(m == "READY=1" || m == "WATCHDOG=1" || m == "STOPPING=1" || m.rfind("STATUS=", 0) == 0) << m;
  // A state line per change, never the same twice running.
  std::string previous;
  for (const auto &m : all)
    if (m.rfind("STATUS=", 0) == 0) {
      EXPECT_NE(m, previous);
      previous = m;
    }

  // Without $NOTIFY_SOCKET nothing is sent and no watchdog timer runs.
  const size_t before = notify.messages().size();
  env["NOTIFY_SOCKET"] = "";
  t.start_kavrod({}, env);
  ASSERT_TRUE(wait_state(t, "listening"));
  ASSERT_EQ(t.kavrod->stop(SIGTERM), 0);
  EXPECT_EQ(notify.messages().size(), before);
  EXPECT_EQ(t.kavrod->count("systemd watchdog"), 0u);
}

}  // namespace

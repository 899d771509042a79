/* libadvwatch against bluez-sim on a private bus: registration, beacons,
 * repeats, filtering, pause and resume, BlueZ leaving, cleanup.
 *
 * "Nothing was reported" is only observable against a later event, so the
 * negative checks use a barrier: a second monitor, or a later beacon, that
 * must be reported. The library's connection receives BlueZ's messages in
 * order, so once the barrier arrived everything before it was handled. */
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <mutex>
#include <atomic>
#include <vector>

#include "advwatch-test.h"
#include "advwatch-utils.h"
#include "advwatch.h"
#include "config.h"

namespace {

using advtest::call;
using advtest::library_name;
using advtest::payload;

advtest::BusEnvironment *const environment = advtest::environment();

const char kSystemId[] = "6F1C2D3E-4A5B-4C6D-8E9F-A0B1C2D3E4F5";  // configured in upper case
const char kForeignId[] = "00112233-4455-6677-8899-aabbccddeeff";
const char kSimName[] = "com.vemo.Sim.BlueZ";
const char kSimPath[] = "/com/vemo/Sim/BlueZ";
const char kSimInterface[] = "com.vemo.Sim.BlueZ1";

struct Seen {
  std::string address;
  std::string system_id;
  guint8 event;
  guint8 sequence;
  gint16 rssi;
  std::thread::id thread;
};

struct Collector {
  std::vector<Seen> seen;
  AdvwatchMonitor *cleanup_on_first = nullptr;  // exercises cleanup from within the callback

  std::vector<int> sequences() const {
    std::vector<int> out;
    for (const auto &s : seen)
      out.push_back(s.sequence);
    return out;
  }
};

void collect(AdvwatchBeacon *beacon, gpointer data) {
  auto *collector = static_cast<Collector *>(data);
  collector->seen.push_back({advwatch_beacon_get_address(beacon), advwatch_beacon_get_system_id(beacon),
                             advwatch_beacon_get_event_number(beacon),
                             advwatch_beacon_get_sequence_number(beacon), advwatch_beacon_get_rssi(beacon),
                             std::this_thread::get_id()});
  if (collector->cleanup_on_first != nullptr)
    advwatch_monitor_cleanup(std::exchange(collector->cleanup_on_first, nullptr));
}

class AdvwatchSim : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_ = std::make_unique<th::Process>(std::vector<std::string>{th::env_path("BLUEZ_SIM_BIN")});
    ASSERT_TRUE(environment->bus->wait_for_name("org.bluez"));
    ASSERT_TRUE(environment->bus->wait_for_name(kSimName));
  }

  void TearDown() override {
    for (AdvwatchMonitor *monitor : monitors_)
      advwatch_monitor_cleanup(monitor);
    monitors_.clear();
    // Each sim runs its own bluez; let the library see this one go before
    // the next test starts another.
    th::wait_until([] { return false; }, 50);
    EXPECT_EQ(sim_->stop(SIGTERM), 0) << sim_->log();
    th::wait_until([] { return !environment->bus->has_owner("org.bluez"); });
  }

  /* (monitor path, activated) of this process's monitors in the sim. */
  std::vector<std::pair<std::string, bool>> sim_monitors() {
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = call(kSimName, kSimPath, kSimInterface, "ListMonitors", nullptr, "(a(sosb))", &error);
    EXPECT_NE(reply, nullptr) << error->message;
    std::vector<std::pair<std::string, bool>> out;
    if (reply == nullptr)
      return out;
    g_autoptr(GVariantIter) iter = nullptr;
    g_variant_get(reply, "(a(sosb))", &iter);
    const gchar *client, *path, *adapter;
    gboolean activated;
    while (g_variant_iter_next(iter, "(&s&o&sb)", &client, &path, &adapter, &activated))
      if (library_name() == client && g_str_equal(adapter, "hci0"))
        out.emplace_back(path, activated != FALSE);
    return out;
  }

  std::set<std::string> active_paths() {
    std::set<std::string> out;
    for (const auto &m : sim_monitors())
      if (m.second)
        out.insert(m.first);
    return out;
  }

  /* Waits until BlueZ activated one more monitor of ours; returns its path. */
  std::string wait_activated(const std::set<std::string> &before) {
    std::string found;
    th::wait_until([&] {
      for (const auto &path : active_paths())
        if (before.count(path) == 0)
          found = path;
      return !found.empty();
    });
    return found;
  }

  /* Starts a monitor for @system_ids (none: every beacon) and waits until
   * BlueZ activated it. */
  AdvwatchMonitor *start(std::vector<std::string> system_ids, Collector *collector, std::string *path = nullptr) {
    auto before = active_paths();
    g_autoptr(GPtrArray) patterns = advwatch_patterns_new();
    for (const auto &id : system_ids)
      EXPECT_TRUE(advwatch_pattern_add(patterns, ADVWATCH_PATTERN_SYSTEM_ID, id.c_str(), nullptr));
    gchar adapter[] = "/org/bluez/hci0";
    gchar system_id[] = "any";
    AdvwatchMonitorConfig config = {adapter, system_id, ADVWATCH_MONITOR_OPTIONS_NONE, collect, collector, patterns};
    g_autoptr(GError) error = nullptr;
    AdvwatchMonitor *monitor = advwatch_monitor_init(&config, &error);
    EXPECT_NE(monitor, nullptr) << (error != nullptr ? error->message : "");
    if (monitor == nullptr)
      return nullptr;
    monitors_.push_back(monitor);
    std::string activated = wait_activated(before);
    EXPECT_FALSE(activated.empty()) << "BlueZ did not activate the monitor\n" << sim_->log();
    EXPECT_TRUE(g_str_has_prefix(activated.c_str(), "/com/vemo/advwatch/")) << activated;
    if (path != nullptr)
      *path = activated;
    return monitor;
  }

  void cleanup(AdvwatchMonitor *monitor) {
    monitors_.erase(std::find(monitors_.begin(), monitors_.end(), monitor));
    advwatch_monitor_cleanup(monitor);
  }

  void sim_call(const char *method, GVariant *args) {
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = call(kSimName, kSimPath, kSimInterface, method, args, nullptr, &error);
    ASSERT_NE(reply, nullptr) << method << ": " << error->message;
  }

  void inject(const std::string &address, const std::vector<guint8> &data, gint16 rssi = -50,
              guint16 company = BEACON_COMPANY_ID) {
    sim_call("InjectAdvertisement",
             g_variant_new("(ssq@ayn)", "hci0", address.c_str(), company,
                           g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, data.data(), data.size(), 1), rssi));
  }

  std::unique_ptr<th::Process> sim_;
  std::vector<AdvwatchMonitor *> monitors_;
};

TEST_F(AdvwatchSim, ReportsEachBeaconOnceWithItsFields) {
  Collector got;
  ASSERT_NE(start({kSystemId}, &got), nullptr);

  inject("AA:BB:CC:00:00:01", payload(kSystemId, 42, 7), -61);
  ASSERT_TRUE(th::wait_until([&] { return got.seen.size() == 1; }));
  const Seen &first = got.seen[0];
  EXPECT_EQ(first.address, "AA:BB:CC:00:00:01");
  EXPECT_EQ(first.system_id, advtest::lower(kSystemId));
  EXPECT_EQ(first.event, 42);
  EXPECT_EQ(first.sequence, 7);
  EXPECT_EQ(first.rssi, -61);

  // The radio hears the same advertisement again (also at another RSSI):
  // nothing new. A new sequence number is a new beacon.
  inject("AA:BB:CC:00:00:01", payload(kSystemId, 42, 7), -61);
  inject("AA:BB:CC:00:00:01", payload(kSystemId, 42, 7), -70);
  inject("AA:BB:CC:00:00:01", payload(kSystemId, 43, 8), -55);
  ASSERT_TRUE(th::wait_until([&] { return got.seen.size() >= 2; }));
  // Another sender may use the same sequence number.
  inject("AA:BB:CC:00:00:02", payload(kSystemId, 1, 8, 1, {0xde, 0xad}), -80);
  ASSERT_TRUE(th::wait_until([&] { return got.seen.size() >= 3; }));
  // A sender with two advertisements on air alternates between them.
  inject("AA:BB:CC:00:00:01", payload(kSystemId, 42, 7), -61);
  inject("AA:BB:CC:00:00:01", payload(kSystemId, 43, 8), -61);
  inject("AA:BB:CC:00:00:01", payload(kSystemId, 44, 9), -61);
  ASSERT_TRUE(th::wait_until([&] { return got.seen.size() >= 4; }));
  th::wait_until([] { return false; }, 100);

  ASSERT_EQ(got.sequences(), (std::vector<int>{7, 8, 8, 9}));
  EXPECT_EQ(got.seen[1].event, 43);
  EXPECT_EQ(got.seen[1].rssi, -55);
  EXPECT_EQ(got.seen[2].address, "AA:BB:CC:00:00:02");
  EXPECT_EQ(got.seen[2].event, 1);
  EXPECT_EQ(got.seen[2].rssi, -80);
  EXPECT_EQ(got.seen[3].event, 44);
}

TEST_F(AdvwatchSim, ManyBeaconsOnAirFromOneSenderAreEachReportedOnce) {
  Collector got;
  ASSERT_NE(start({kSystemId}, &got), nullptr);
  // An adapter with many advertising instances cycles through all of its
  // beacons on air; every round repeats each of them.
  for (int round = 0; round < 3; round++)
    for (int sequence = 0; sequence < 100; sequence++)
      inject("AA:BB:CC:00:00:01", payload(kSystemId, 2, static_cast<guint8>(sequence)));
  inject("AA:BB:CC:00:00:09", payload(kSystemId, 2, 0));
  ASSERT_TRUE(th::wait_until([&] {
    return !got.seen.empty() && got.seen.back().address == "AA:BB:CC:00:00:09";
  }, 10000));
  EXPECT_EQ(got.seen.size(), 101u);
}

TEST_F(AdvwatchSim, MonitorsFilterIndependently) {
  Collector ours, any;
  ASSERT_NE(start({kSystemId}, &ours), nullptr);
  // A monitor without patterns makes BlueZ report every beacon, so ours
  // also sees signals for devices it did not ask for.
  ASSERT_NE(start({}, &any), nullptr);

  inject("AA:BB:CC:00:00:10", payload(kForeignId, 5, 1));
  inject("AA:BB:CC:00:00:12", payload(kSystemId, 5, 1, 2));
  std::vector<guint8> short_beacon = payload(kSystemId, 5, 1);
  short_beacon.pop_back();
  inject("AA:BB:CC:00:00:13", short_beacon);
  inject("AA:BB:CC:00:00:14", payload(kSystemId, 6, 2), -50, 0x004C);
  inject("AA:BB:CC:00:00:15", payload(kSystemId, 7, 3));
  ASSERT_TRUE(th::wait_until([&] { return ours.seen.size() == 1 && any.seen.size() == 2; }));
  th::wait_until([] { return false; }, 100);

  ASSERT_EQ(ours.seen.size(), 1u);
  EXPECT_EQ(ours.seen[0].address, "AA:BB:CC:00:00:15");
  ASSERT_EQ(any.seen.size(), 2u);
  EXPECT_EQ(any.seen[0].address, "AA:BB:CC:00:00:10");
  EXPECT_EQ(any.seen[0].system_id, kForeignId);
  EXPECT_EQ(any.seen[1].address, "AA:BB:CC:00:00:15");
}

TEST_F(AdvwatchSim, PauseStopsReportingAndResumeStartsAgain) {
  Collector paused, witness;
  std::string first_path;
  AdvwatchMonitor *monitor = start({kSystemId}, &paused, &first_path);
  ASSERT_NE(monitor, nullptr);
  ASSERT_NE(start({kSystemId}, &witness), nullptr);

  g_autoptr(GError) error = nullptr;
  ASSERT_TRUE(advwatch_monitor_pause(monitor, &error)) << error->message;
  // BlueZ forgets it: the radio may idle.
  ASSERT_TRUE(th::wait_until([&] { return active_paths().count(first_path) == 0; }));
  inject("AA:BB:CC:00:00:20", payload(kSystemId, 9, 1));
  ASSERT_TRUE(th::wait_until([&] { return witness.seen.size() == 1; }));

  auto before = active_paths();
  ASSERT_TRUE(advwatch_monitor_resume(monitor, &error)) << error->message;
  EXPECT_FALSE(wait_activated(before).empty());
  inject("AA:BB:CC:00:00:20", payload(kSystemId, 9, 2));
  ASSERT_TRUE(th::wait_until([&] { return paused.seen.size() == 1 && witness.seen.size() == 2; }));
  th::wait_until([] { return false; }, 100);
  EXPECT_EQ(paused.sequences(), std::vector<int>{2});
  EXPECT_EQ(witness.sequences(), (std::vector<int>{1, 2}));
}

/* BlueZ ends the registration on its side, by Release() (the adapter went
 * away) or by leaving the bus (a restart): a warning, then silence, even
 * when the signals a newer monitor causes reach the old one. */
TEST_F(AdvwatchSim, MonitorEndedByBluezWarnsAndStaysSilent) {
  struct Case {
    const char *what;
    std::function<void()> end, restore;
    const char *state;
  };
  const std::vector<Case> cases = {
      {"Release", [&] { sim_call("RemoveAdapter", g_variant_new("(s)", "hci0")); },
       [&] { sim_call("AddAdapter", g_variant_new("(sbb)", "hci0", TRUE, TRUE)); }, "released by BlueZ"},
      {"restart", [&] { sim_call("Leave", nullptr); },
       [&] {
         sim_call("Return", nullptr);
         ASSERT_TRUE(environment->bus->wait_for_name("org.bluez"));
       },
       "BlueZ left the bus"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    th::LogCapture log;
    Collector ended, witness;
    AdvwatchMonitor *monitor = start({kSystemId}, &ended);
    ASSERT_NE(monitor, nullptr);

    c.end();
    ASSERT_TRUE(th::wait_until([&] { return log.count(G_LOG_LEVEL_WARNING, "reports no beacons") == 1; }));
    c.restore();
    ASSERT_NE(start({kSystemId}, &witness), nullptr);
    inject("AA:BB:CC:00:00:30", payload(kSystemId, 3, 1));
    ASSERT_TRUE(th::wait_until([&] { return witness.seen.size() == 1; }));
    th::wait_until([] { return false; }, 100);
    EXPECT_TRUE(ended.seen.empty());
    EXPECT_EQ(log.count(G_LOG_LEVEL_WARNING, "reports no beacons"), 1u);

    for (auto action : {advwatch_monitor_pause, advwatch_monitor_resume}) {
      g_autoptr(GError) error = nullptr;
      EXPECT_FALSE(action(monitor, &error));
      ASSERT_NE(error, nullptr);
      EXPECT_TRUE(g_error_matches(error, ADVWATCH_ERROR, ADVWATCH_ERROR_STATE)) << error->message;
      EXPECT_NE(std::string(error->message).find(c.state), std::string::npos) << error->message;
    }
    for (AdvwatchMonitor *m : std::vector<AdvwatchMonitor *>(monitors_))
      cleanup(m);
  }
}

TEST_F(AdvwatchSim, NothingIsReportedAfterCleanup) {
  Collector late, inside, witness;
  AdvwatchMonitor *monitor = start({kSystemId}, &late);
  ASSERT_NE(monitor, nullptr);
  inside.cleanup_on_first = start({kSystemId}, &inside);
  ASSERT_NE(inside.cleanup_on_first, nullptr);
  monitors_.erase(std::find(monitors_.begin(), monitors_.end(), inside.cleanup_on_first));
  ASSERT_NE(start({kSystemId}, &witness), nullptr);

  // A burst of beacons, sent without waiting: most are still in flight
  // (in the sim, on the bus, or queued in this process) at cleanup. Each
  // from a sender of its own: a new device's changes reach a monitor only
  // once it follows the device, so a burst from one new sender may lose
  // beacons superseded before that.
  const int burst = 20;
  for (int i = 0; i < burst; i++) {
    auto data = payload(kSystemId, 1, static_cast<guint8>(i));
    g_autofree gchar *address = g_strdup_printf("AA:BB:CC:00:00:%02X", 0x40 + i);
    g_dbus_connection_call(environment->bus->connection(), kSimName, kSimPath, kSimInterface, "InjectAdvertisement",
                           g_variant_new("(ssq@ayn)", "hci0", address, static_cast<guint16>(BEACON_COMPANY_ID),
                                         g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, data.data(), data.size(), 1),
                                         static_cast<gint16>(-40)),
                           nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
  }
  ASSERT_TRUE(th::wait_until([&] { return !late.seen.empty(); }));
  cleanup(monitor);
  const size_t at_cleanup = late.seen.size();

  ASSERT_TRUE(th::wait_until([&] { return witness.seen.size() == static_cast<size_t>(burst); }))
      << ::testing::PrintToString(witness.sequences());
  th::wait_until([] { return false; }, 100);
  EXPECT_EQ(late.seen.size(), at_cleanup);
  EXPECT_EQ(inside.seen.size(), 1u);
}

TEST_F(AdvwatchSim, DevicesKnownBeforeStartAreReadFromBluez) {
  Collector early, later;
  ASSERT_NE(start({kSystemId}, &early), nullptr);
  inject("AA:BB:CC:00:00:50", payload(kSystemId, 12, 5), -45);
  ASSERT_TRUE(th::wait_until([&] { return early.seen.size() == 1; }));

  // Same data again: BlueZ emits no change, only DeviceFound; the new
  // monitor never saw this device and must ask BlueZ for it.
  ASSERT_NE(start({kSystemId}, &later), nullptr);
  inject("AA:BB:CC:00:00:50", payload(kSystemId, 12, 5), -45);
  ASSERT_TRUE(th::wait_until([&] { return later.seen.size() == 1; }));
  EXPECT_EQ(later.seen[0].address, "AA:BB:CC:00:00:50");
  EXPECT_EQ(later.seen[0].event, 12);
  EXPECT_EQ(later.seen[0].sequence, 5);
  EXPECT_EQ(later.seen[0].rssi, -45);
  EXPECT_EQ(early.seen.size(), 1u);
}

TEST_F(AdvwatchSim, ControllerFilteringStillReportsEveryNewBeacon) {
  sim_call("SetControllerFiltering", g_variant_new("(b)", TRUE));
  Collector got;
  ASSERT_NE(start({kSystemId}, &got), nullptr);
  // DeviceFound only for the first; the rest arrive as data changes.
  for (guint8 sequence : {1, 2, 3})
    inject("AA:BB:CC:00:00:60", payload(kSystemId, 2, sequence));
  ASSERT_TRUE(th::wait_until([&] { return got.seen.size() == 3; }));
  EXPECT_EQ(got.sequences(), (std::vector<int>{1, 2, 3}));
}

/* The bus routes a device's changes to the monitor only while it follows
 * the device (a match rule of its own); the rules, as the bus daemon
 * reports them, that name @path. */
size_t rules_naming(const std::string &path) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.Debug.Stats",
                                   "GetAllMatchRules", nullptr, "(a{sas})", &error);
  EXPECT_NE(reply, nullptr) << (error != nullptr ? error->message : "");
  if (reply == nullptr)
    return 0;
  size_t count = 0;
  g_autoptr(GVariantIter) iter = nullptr;
  g_variant_get(reply, "(a{sas})", &iter);
  const gchar *connection;
  GVariantIter *rules;
  while (g_variant_iter_next(iter, "{&sas}", &connection, &rules)) {
    const gchar *rule;
    while (g_variant_iter_next(rules, "&s", &rule))
      count += std::string(rule).find("path='" + path + "'") != std::string::npos ? 1 : 0;
    g_variant_iter_free(rules);
  }
  return count;
}

TEST_F(AdvwatchSim, FollowedDevicesKeepEveryBeaconUntilTheyGo) {
  // BlueZ as it runs on a device: DeviceFound once per device, devices
  // removed after a silence.
  EXPECT_EQ(sim_->stop(SIGTERM), 0);
  ASSERT_TRUE(th::wait_until([] { return !environment->bus->has_owner("org.bluez"); }));
  // The silence is scaled as the waits are: a slow build must not lose the
  // devices between two of their beacons.
  sim_ = std::make_unique<th::Process>(std::vector<std::string>{th::env_path("BLUEZ_SIM_BIN"), "--device-timeout",
                                                                std::to_string(th::scaled(2000) / 1000),
                                                                "--controller-filtering"});
  ASSERT_TRUE(environment->bus->wait_for_name("org.bluez"));
  ASSERT_TRUE(environment->bus->wait_for_name(kSimName));
  Collector got, other;
  ASSERT_NE(start({kSystemId}, &got), nullptr);
  const std::string known = "/org/bluez/hci0/dev_AA_BB_CC_00_00_70";
  const std::string fresh = "/org/bluez/hci0/dev_AA_BB_CC_00_00_71";

  // A device BlueZ knew before (no InterfacesAdded) and one it did not:
  // each one's first beacon, and the next ones as mere data changes.
  sim_call("AddDevice", g_variant_new("(ss)", "hci0", "AA:BB:CC:00:00:70"));
  for (guint8 sequence : {1, 2, 3}) {
    inject("AA:BB:CC:00:00:70", payload(kSystemId, 2, sequence));
    inject("AA:BB:CC:00:00:71", payload(kSystemId, 2, sequence));
    ASSERT_TRUE(th::wait_until([&] { return got.seen.size() == 2u * sequence; }))
        << ::testing::PrintToString(got.sequences());
  }
  EXPECT_EQ(rules_naming(fresh), 1u);
  // Devices with beacons the monitor does not want are not followed.
  inject("AA:BB:CC:00:00:72", payload(kForeignId, 2, 1));
  EXPECT_EQ(rules_naming("/org/bluez/hci0/dev_AA_BB_CC_00_00_72"), 0u);

  // The fresh one goes silent and BlueZ removes it: its rule goes too.
  ASSERT_TRUE(th::wait_until([&] { return rules_naming(fresh) == 0; }, 8000));
  // Back again, it is a new device whose beacons all count.
  for (guint8 sequence : {4, 5}) {
    inject("AA:BB:CC:00:00:71", payload(kSystemId, 2, sequence));
    ASSERT_TRUE(th::wait_until([&] { return !got.seen.empty() && got.seen.back().sequence == sequence; }))
        << ::testing::PrintToString(got.sequences());
  }
  EXPECT_EQ(rules_naming(fresh), 1u);
  EXPECT_EQ(got.seen.size(), 8u);
}

TEST_F(AdvwatchSim, CallbacksRunOnTheContextThatWasThreadDefaultAtInit) {
  struct Threads {
    std::mutex mutex;
    std::vector<std::thread::id> ids;
  } threads;
  auto record = [](AdvwatchBeacon *, gpointer data) {
    auto *t = static_cast<Threads *>(data);
    std::lock_guard<std::mutex> lock(t->mutex);
    t->ids.push_back(std::this_thread::get_id());
  };
  auto count = [&] {
    std::lock_guard<std::mutex> lock(threads.mutex);
    return threads.ids.size();
  };

  GMainContext *context = g_main_context_new();
  GMainLoop *loop = g_main_loop_new(context, FALSE);
  std::atomic<AdvwatchMonitor *> monitor{nullptr};
  std::atomic<bool> started{false};
  std::thread::id worker_id;
  std::thread worker([&] {
    g_main_context_push_thread_default(context);
    gchar adapter[] = "/org/bluez/hci0";
    AdvwatchMonitorConfig config = {adapter, nullptr, ADVWATCH_MONITOR_OPTIONS_NONE, record, &threads, nullptr};
    monitor = advwatch_monitor_init(&config, nullptr);
    started = true;
    g_main_loop_run(loop);
    advwatch_monitor_cleanup(monitor);
    // What cleanup left behind (destroy notifies) runs on this context.
    while (g_main_context_iteration(context, FALSE)) {
    }
    g_main_context_pop_thread_default(context);
  });
  worker_id = worker.get_id();
  ASSERT_TRUE(th::wait_until([&] { return started.load(); }));
  EXPECT_NE(monitor.load(), nullptr);
  EXPECT_FALSE(wait_activated({}).empty());

  inject("AA:BB:CC:00:00:70", payload(kForeignId, 4, 1));
  EXPECT_TRUE(th::wait_until([&] { return count() == 1; }));
  // Quit from the loop's own context: a quit before it runs would be lost.
  g_main_context_invoke(context, [](gpointer l) {
    g_main_loop_quit(static_cast<GMainLoop *>(l));
    return G_SOURCE_REMOVE;
  }, loop);
  worker.join();
  ASSERT_EQ(threads.ids.size(), 1u);
  EXPECT_EQ(threads.ids[0], worker_id);
  g_main_loop_unref(loop);
  g_main_context_unref(context);
}

}  // namespace

/* kavrod's start-up, adapter choice, System ID tracking, BlueZ presence and
 * shutdown, on a private bus with the simulators. */
#include <gtest/gtest.h>

#include <fstream>

#include <sys/stat.h>

#include "daemon_fixture.h"

using kt::DaemonTest;
using kt::kIdA;
using kt::kIdB;

namespace {

const char kUsage[] = "\nUsage: [opts]\n\nOptions:\n  --help          -h        kavrod Help\n";

TEST(Startup, FailuresAreReportedWithExitStatusOne) {
  DaemonTest t;
  // No BlueZ at all.
  t.start_engine(kt::rule(1, kIdA));
  t.start_kavrod({}, {}, false);
  EXPECT_EQ(t.kavrod->wait_exit(), 1);
  EXPECT_EQ(t.kavrod->count("Could not find a valid adapter"), 1u);
  EXPECT_EQ(t.kavrod->count("Could not initialize application: Could not initialize monitor handler: "
                            "Could not find a compatible adapter"),
            1u);

  // BlueZ whose only adapter lacks the monitor manager, with a device below it.
  t.start_bluez({"--adapter", "hci0:nomonitor"});
  g_variant_unref(t.bluez_control("AddDevice", g_variant_new("(ss)", "hci0", "AA:BB:CC:DD:EE:FF")));
  t.start_kavrod({}, {}, false);
  EXPECT_EQ(t.kavrod->wait_exit(), 1);
  EXPECT_EQ(t.kavrod->count("Could not find a compatible adapter"), 1u);

  // An access policy that cannot be read: fail closed.
  gchar *policy = nullptr;
  int fd = g_file_open_tmp("vesk-XXXXXX.conf", &policy, nullptr);
  close(fd);
  std::ofstream(policy) << "[com.vemo.bt.receivevemobeacon.list]\nthis line is not a key\n";
  t.start_kavrod({}, {{"VESK_POLICY", policy}}, false);
  EXPECT_EQ(t.kavrod->wait_exit(), 1);
  EXPECT_EQ(t.kavrod->count("Failed to initialize VESK lib: "), 1u);
  EXPECT_EQ(t.kavrod->count("kavrod initialized"), 0u);
  g_unlink(policy);

  // A FIFO in its place must not hold start-up: refused at once.
  ASSERT_EQ(mkfifo(policy, 0600), 0);
  t.start_kavrod({}, {{"VESK_POLICY", policy}}, false);
  EXPECT_EQ(t.kavrod->wait_exit(), 1);
  EXPECT_EQ(t.kavrod->count("is a FIFO, not a regular file"), 1u) << t.kavrod->log();
  g_unlink(policy);
  g_free(policy);

  // A beacon key of the wrong size, or only the next key of a rotation.
  {
    th::Credentials short_key;
    short_key.put("beacon-key", std::vector<guint8>(31, 0x5a));
    t.start_kavrod({}, {{"CREDENTIALS_DIRECTORY", short_key.path()}}, false);
    EXPECT_EQ(t.kavrod->wait_exit(), 1);
    EXPECT_EQ(t.kavrod->count("Refusing to start: The credential " + short_key.path() +
                              "/beacon-key holds 31 bytes; a beacon key is exactly 32 random bytes"),
              1u)
        << t.kavrod->log();
    th::Credentials long_key;
    long_key.put("beacon-key", std::vector<guint8>(64, 0x5a));
    t.start_kavrod({}, {{"CREDENTIALS_DIRECTORY", long_key.path()}}, false);
    EXPECT_EQ(t.kavrod->wait_exit(), 1);
    EXPECT_EQ(t.kavrod->count("holds more than 32 bytes"), 1u) << t.kavrod->log();
    th::Credentials next_only;
    next_only.put("beacon-key-next", std::vector<guint8>(32, 0x5a));
    t.start_kavrod({}, {{"CREDENTIALS_DIRECTORY", next_only.path()}}, false);
    EXPECT_EQ(t.kavrod->wait_exit(), 1);
    EXPECT_EQ(t.kavrod->count("Refusing to start: The credential beacon-key-next is given without beacon-key"), 1u)
        << t.kavrod->log();
    EXPECT_EQ(t.kavrod->count("kavrod initialized"), 0u);
  }

  // No system bus.
  t.start_kavrod({}, {{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bus"}}, false);
  EXPECT_EQ(t.kavrod->wait_exit(), 1);
  EXPECT_EQ(t.kavrod->count("Could not initialize application: "), 1u);
}

TEST(Startup, HelpIsPrintedPerOptionAndStartGoesOn) {
  DaemonTest t;
  t.start_bluez();
  t.start_engine(kt::rule(1, kIdA));
  t.start_kavrod({"--help", "-h", "--bogus", "ignored-argument"});
  std::string log = t.kavrod->log();
  size_t n = 0;
  for (size_t pos = log.find(kUsage); pos != std::string::npos; pos = log.find(kUsage, pos + 1))
    n++;
  EXPECT_EQ(n, 3u);
  EXPECT_NE(log.find("unrecognized option '--bogus'"), std::string::npos);
  EXPECT_EQ(t.kavrod->stop(SIGTERM), 0);
}

TEST(Startup, FirstCapableAdapterIsChosen) {
  DaemonTest t;
  t.start_bluez({"--adapter", "hci0:nomonitor", "--adapter", "hci1", "--adapter", "hci2"});
  t.start_engine(kt::rule(1, kIdA));
  t.start_kavrod();
  ASSERT_TRUE(t.wait_monitors(1));
  EXPECT_EQ(t.monitors()[0].first, "hci1");
  EXPECT_EQ(t.wait_systemid(kIdA), true);
}

TEST(Shutdown, QuitSignalsStopCleanly) {
  for (int sig : {SIGINT, SIGTERM}) {
    DaemonTest t;
    t.start_bluez();
    t.start_engine(kt::rule(1, kIdA));
    t.start_kavrod();
    ASSERT_TRUE(t.wait_monitors(1));
    EXPECT_EQ(t.kavrod->stop(sig), 0) << t.kavrod->log();
    EXPECT_EQ(t.kavrod->count("Caught interrupt/termination signal, shutting down"), 1u);
    EXPECT_EQ(t.kavrod->count("Running kavrod cleanup: app_cleanup:113"), 1u);
    EXPECT_EQ(t.kavrod->count("Deactivate the beacon monitor"), 1u);
  }
}

TEST(SystemId, FollowsTheActionConfiguration) {
  DaemonTest t;
  t.start_device();
  ASSERT_TRUE(t.wait_systemid(kIdA));
  ASSERT_TRUE(t.wait_monitors(1));
  EXPECT_TRUE(t.kavrod->wait_for_log("Start bluetooth beacon monitoring process"));
  EXPECT_EQ(t.kavrod->count("Start bluetooth beacon monitoring process"), 1u);

  // A change that leaves the System ID as it is: one read, no monitor call.
  size_t mark = t.kavrod->log_size();
  g_variant_unref(t.engine_call("com.vemo.Sim.ActionEngine1", "EmitChanged", nullptr));
  t.add_rule(2, kIdB);  // lower rule id: not chosen
  EXPECT_TRUE(t.kavrod->wait_for_log("System ID: " + std::string(kIdB), 5000, mark));
  EXPECT_EQ(t.list_systemid(), kIdA);
  EXPECT_EQ(t.kavrod->log().find("Start bluetooth beacon monitoring process", mark), std::string::npos);

  // A higher rule id brings a new System ID, and a monitor filtering on it.
  t.add_rule(9, kIdB);
  ASSERT_TRUE(t.wait_systemid(kIdB));
  EXPECT_TRUE(t.kavrod->wait_for_log("Start bluetooth beacon monitoring process", 5000, mark));
  ASSERT_TRUE(t.wait_monitors(1));

  // No System ID any more: the monitor goes and the stored ID is cleared.
  mark = t.kavrod->log_size();
  t.remove_rule(9);
  t.remove_rule(3);
  t.remove_rule(2);
  ASSERT_TRUE(t.wait_systemid(""));
  EXPECT_TRUE(t.kavrod->wait_for_log("Deactivate the beacon monitor", 5000, mark));
  EXPECT_TRUE(t.wait_monitors(0));
}

TEST(SystemId, FailedReadingsKeepTheSystemIdAndTheMonitor) {
  DaemonTest t;
  t.start_device();
  ASSERT_TRUE(t.wait_systemid(kIdA));
  ASSERT_TRUE(t.wait_monitors(1));

  for (const char *mode : {"error", "short", "badtypes", "empty-reply"}) {
    SCOPED_TRACE(mode);
    size_t mark = t.kavrod->log_size();
    t.set_list_fault(mode);
    g_variant_unref(t.engine_call("com.vemo.Sim.ActionEngine1", "EmitChanged", nullptr));
    EXPECT_TRUE(t.kavrod->wait_for_log("Could not read the System ID", 5000, mark));
    t.set_list_fault("none");
    EXPECT_EQ(t.list_systemid(), kIdA);
    EXPECT_EQ(t.monitors().size(), 1u);
    EXPECT_EQ(t.kavrod->log().find("Deactivate the beacon monitor", mark), std::string::npos);
  }
}

TEST(SystemId, AReadingThatTimesOutChangesNothing) {
  DaemonTest t;
  t.start_device();
  ASSERT_TRUE(t.wait_systemid(kIdA));
  size_t mark = t.kavrod->log_size();
  t.set_list_fault("noreply");
  g_variant_unref(t.engine_call("com.vemo.Sim.ActionEngine1", "EmitChanged", nullptr));
  EXPECT_TRUE(t.kavrod->wait_for_log("Failed to get action rule: ", 8000, mark));
  EXPECT_TRUE(t.kavrod->wait_for_log("Could not read the System ID", 1000, mark));
  t.set_list_fault("none");
  EXPECT_EQ(t.list_systemid(), kIdA);
  EXPECT_EQ(t.monitors().size(), 1u);
}

TEST(SystemId, EngineStartingAfterTheDaemonIsRead) {
  DaemonTest t;
  t.start_bluez();
  t.start_kavrod();
  EXPECT_EQ(t.kavrod->count("Failed to get action rule: "), 1u);
  ASSERT_TRUE(t.wait_systemid(""));
  EXPECT_EQ(t.monitors().size(), 0u);

  t.start_engine(kt::rule(4, kIdA));
  ASSERT_TRUE(t.wait_systemid(kIdA));
  EXPECT_TRUE(t.wait_monitors(1));

  // An engine restart with another configuration is followed too, and so
  // are the new engine's later changes.
  t.engine.reset();
  t.start_engine(kt::rule(4, kIdB));
  EXPECT_TRUE(t.wait_systemid(kIdB));
  t.add_rule(9, kIdA);
  EXPECT_TRUE(t.wait_systemid(kIdA));
}

TEST(Bluez, LeavingAndReturningRestoresMonitorAndControl) {
  DaemonTest t;
  t.start_device();
  ASSERT_TRUE(t.wait_monitors(1));
  ASSERT_TRUE(t.wait_systemid(kIdA));

  size_t mark = t.kavrod->log_size();
  g_variant_unref(t.bluez_control("Leave", nullptr));
  ASSERT_TRUE(t.kavrod->wait_for_log("Bluetooth vanished! Waiting for reappearance...", 5000, mark));
  EXPECT_TRUE(t.kavrod->wait_for_log("Deactivate the beacon monitor", 5000, mark));
  EXPECT_TRUE(th::wait_until([&] { return !t.bus.has_owner("com.vemo.bt.ReceiveVemoBeacon"); }));

  g_variant_unref(t.bluez_control("Return", nullptr));
  EXPECT_TRUE(t.wait_monitors(1));
  EXPECT_TRUE(t.wait_systemid(kIdA));
  EXPECT_EQ(t.kavrod->count("Bluetooth vanished! Waiting for reappearance..."), 1u);

  // A whole bluetoothd restart (process gone) is the same to the daemon.
  mark = t.kavrod->log_size();
  t.bluez.reset();
  EXPECT_TRUE(t.kavrod->wait_for_log("Bluetooth vanished!", 5000, mark));
  t.start_bluez();
  EXPECT_TRUE(t.wait_monitors(1));
  EXPECT_EQ(t.kavrod->stop(SIGTERM), 0);
}

TEST(Bluez, AbsentAtStartNoSystemIdMeansNoMonitorUntilConfigured) {
  DaemonTest t;
  t.start_bluez();
  t.start_engine("");
  t.start_kavrod();
  ASSERT_TRUE(t.wait_systemid(""));  // control service up without a System ID
  EXPECT_EQ(t.monitors().size(), 0u);
  t.add_rule(1, kIdA);
  EXPECT_TRUE(t.wait_monitors(1));
}

}  // namespace

/* The control service: List, Pause and Resume behind the access check, on a
 * bus with the stock default-deny policy plus ours. */
#include <gtest/gtest.h>

#include <fstream>

#include <sys/stat.h>

#include "daemon_fixture.h"

using kt::DaemonTest;
using kt::kIdA;

namespace {

const char kDest[] = "com.vemo.bt.ReceiveVemoBeacon";
const char kPath[] = "/com/vemo/bt/ReceiveVemoBeacon";

std::vector<std::string> as_nobody(std::vector<std::string> argv) {
  std::vector<std::string> full = {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
  full.insert(full.end(), argv.begin(), argv.end());
  return full;
}

std::vector<std::string> gdbus_call(const char *method) {
  return {"gdbus", "call", "--system", "--dest", kDest, "--object-path", kPath,
          "--method", std::string("com.vemo.bt.ReceiveVemoBeacon.") + method};
}

class Control : public ::testing::Test {
 protected:
  Control() : t(th::Bus::Policy::System, {th::env_path("BUS_POLICY_FILE")}) {}
  void SetUp() override {
    gchar *path = nullptr;
    int fd = g_file_open_tmp("vesk-XXXXXX.conf", &path, nullptr);
    close(fd);
    policy_ = path;
    g_free(path);
    write_policy("[com.vemo.bt.receivevemobeacon.list]\nusers=nobody\n");
    chmod(policy_.c_str(), 0644);
    t.start_bluez();
    t.start_engine(kt::rule(3, kIdA));
    t.start_kavrod({}, {{"VESK_POLICY", policy_}});
    ASSERT_TRUE(t.wait_systemid(kIdA));
    ASSERT_TRUE(t.wait_monitors(1));
  }
  void TearDown() override { g_unlink(policy_.c_str()); }
  void write_policy(const std::string &text) { std::ofstream(policy_) << text; }

  /* Runs @argv to its end and returns its exit status; output in @out. */
  int run(const std::vector<std::string> &argv, std::string *out) {
    th::Process p(argv, {{"G_DEBUG", ""}});
    int status = p.wait_exit(10000);
    *out = p.log();
    return status;
  }

  DaemonTest t;
  std::string policy_;
};

TEST_F(Control, ListGivesExactlyOneElement) {
  EXPECT_EQ(t.list_systemid(), kIdA);  // root: always allowed
  std::string out;
  EXPECT_EQ(run(as_nobody(gdbus_call("List")), &out), 0) << out;
  EXPECT_NE(out.find(std::string("(['") + kIdA + "'],)"), std::string::npos) << out;

  t.remove_rule(3);
  ASSERT_TRUE(t.wait_systemid(""));
  EXPECT_EQ(run(as_nobody(gdbus_call("List")), &out), 0);
  EXPECT_NE(out.find("([''],)"), std::string::npos) << out;
}

TEST_F(Control, RefusedCallerGetsUnauthorizedAndChangesNothing) {
  std::string out;
  EXPECT_NE(run(as_nobody(gdbus_call("Pause")), &out), 0);
  EXPECT_NE(out.find("com.vemo.bt.ReceiveVemoBeacon.Error.Unauthorized"), std::string::npos) << out;
  EXPECT_NE(out.find("Unauthorized Access"), std::string::npos) << out;
  EXPECT_TRUE(t.kavrod->wait_for_log("Unauthorized access of 'com.vemo.bt.receivevemobeacon.pause' by ':"));
  EXPECT_EQ(t.kavrod->count("Unauthorized access of"), 1u);

  // The monitor still reports.
  t.inject_beacon(kIdA, 2, 1);
  EXPECT_TRUE(t.wait_events(1));
}

TEST_F(Control, PolicyChangesTakeEffectAtTheNextCall) {
  std::string out;
  EXPECT_NE(run(as_nobody(gdbus_call("Pause")), &out), 0);
  write_policy("[com.vemo.bt.receivevemobeacon.pause]\nusers=nobody\n"
               "[com.vemo.bt.receivevemobeacon.resume]\ngroups=nogroup\n");
  EXPECT_EQ(run(as_nobody(gdbus_call("Pause")), &out), 0) << out;
  t.inject_beacon(kIdA, 2, 1);
  EXPECT_EQ(run(as_nobody(gdbus_call("Resume")), &out), 0) << out;
  ASSERT_TRUE(t.wait_monitors(1));
  t.inject_beacon(kIdA, 2, 2);
  ASSERT_TRUE(t.wait_events(1));
  EXPECT_EQ(t.events.size(), 1u);
}

TEST_F(Control, FailingCheckIsAnInternalErrorWithoutWarning) {
  write_policy("[com.vemo.bt.receivevemobeacon.list]\nnot a key value pair\n");
  std::string out;
  EXPECT_NE(run(as_nobody(gdbus_call("List")), &out), 0);
  EXPECT_NE(out.find("com.vemo.bt.ReceiveVemoBeacon.Error.Internal"), std::string::npos) << out;
  EXPECT_NE(out.find(policy_), std::string::npos) << "the library's message names the file: " << out;

  // A FIFO put in its place later: the call is refused, not held.
  g_unlink(policy_.c_str());
  ASSERT_EQ(mkfifo(policy_.c_str(), 0600), 0);
  EXPECT_NE(run(as_nobody(gdbus_call("List")), &out), 0);
  EXPECT_NE(out.find("com.vemo.bt.ReceiveVemoBeacon.Error.Internal"), std::string::npos) << out;
  EXPECT_NE(out.find("is a FIFO, not a regular file"), std::string::npos) << out;
  EXPECT_EQ(t.list_systemid().find(kIdA), std::string::npos) << "root is refused as well";
  EXPECT_EQ(t.kavrod->count("Unauthorized access of"), 0u);
}

TEST_F(Control, OnlyTheDaemonsUserMayOwnTheName) {
  std::string out;
  EXPECT_NE(run(as_nobody({th::env_path("NAME_CLAIMER_BIN"), "com.vemo.bt.ReceiveVemoBeacon"}), &out), 0);
  EXPECT_NE(out.find("denied: "), std::string::npos) << out;
  EXPECT_NE(out.find("AccessDenied"), std::string::npos) << out;
}

TEST_F(Control, ObjectAndNameFollowBluez) {
  g_variant_unref(t.bluez_control("Leave", nullptr));
  ASSERT_TRUE(th::wait_until([&] { return !t.bus.has_owner(kDest); }));
  EXPECT_NE(t.list_systemid().find("<error:"), std::string::npos);
  g_variant_unref(t.bluez_control("Return", nullptr));
  EXPECT_TRUE(t.wait_systemid(kIdA));
  std::string out;
  EXPECT_EQ(run(as_nobody(gdbus_call("List")), &out), 0) << out;
}

TEST_F(Control, KavrodctlReportsAndExitsAsDocumented) {
  const std::string ctl = th::env_path("KAVRODCTL_BIN");
  std::string out;
  // nobody may List, hence read the status, but not pause.
  ASSERT_TRUE(th::wait_until([&] {
    return run(as_nobody({ctl, "--json", "status"}), &out) == 0 && out.find("\"state\":\"listening\"") != std::string::npos;
  }));
  for (const char *key : {"\"adapter\":\"/org/bluez/hci0\"", "\"engine\":true", "\"system_id_known\":true",
                          "\"events\":0", "\"last_event_age_s\":null", "\"retry_in_s\":null", "\"last_error\":null",
                          "\"auth\":\"off\"", "\"unsigned\":0", "\"forged\":0", "\"stale\":0", "\"replayed\":0"})
    EXPECT_NE(out.find(key), std::string::npos) << key << " in " << out;
  // The object is the last line; GLib's debug lines may come before it here.
  const std::string object = out.substr(out.rfind("\n{") == std::string::npos ? 0 : out.rfind("\n{") + 1);
  std::string checked;
  EXPECT_EQ(run({"python3", "-c", "import json,sys; d=json.loads(sys.argv[1]); assert type(d) is dict", object},
                &checked),
            0)
      << "not one JSON object: " << object << checked;
  t.inject_beacon(kIdA, 2, 1);
  ASSERT_TRUE(t.wait_events(1));
  EXPECT_EQ(run(as_nobody({ctl, "status"}), &out), 0);
  EXPECT_NE(out.find("Events published:      1"), std::string::npos) << out;
  EXPECT_NE(out.find("s ago"), std::string::npos) << out;
  EXPECT_NE(out.find("Signed beacons:        off"), std::string::npos) << out;
  EXPECT_EQ(run(as_nobody({ctl, "--json", "list"}), &out), 0);
  EXPECT_NE(out.find(std::string("{\"system_id\":\"") + kIdA + "\"}"), std::string::npos) << out;

  // Refused: exit 1, the service's error on standard error, nothing changed.
  EXPECT_EQ(run(as_nobody({ctl, "pause"}), &out), 1);
  EXPECT_NE(out.find("com.vemo.bt.ReceiveVemoBeacon.Error.Unauthorized: Unauthorized Access"), std::string::npos)
      << out;
  EXPECT_EQ(t.monitors().size(), 1u);
  write_policy("[com.vemo.bt.receivevemobeacon.pause]\nusers=nobody\n");
  EXPECT_EQ(run(as_nobody({ctl, "status"}), &out), 1) << "Status follows the List grant: " << out;

  // A new installation key: 32 random bytes, root-only, never overwriting.
  {
    th::Credentials store;
    const std::string key_path = store.path() + "/beacon-key";
    EXPECT_EQ(run({ctl, "new-key", key_path}, &out), 0) << out;
    gchar *bytes = nullptr;
    gsize length = 0;
    ASSERT_TRUE(g_file_get_contents(key_path.c_str(), &bytes, &length, nullptr));
    const std::string first(bytes, length);
    g_free(bytes);
    EXPECT_EQ(length, 32u);
    struct stat info;
    ASSERT_EQ(stat(key_path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(run({ctl, "new-key", key_path}, &out), 1);
    EXPECT_NE(out.find("never overwritten"), std::string::npos) << out;
    ASSERT_TRUE(g_file_get_contents(key_path.c_str(), &bytes, &length, nullptr));
    EXPECT_EQ(std::string(bytes, length), first);
    g_free(bytes);
    const std::string second_path = store.path() + "/beacon-key-next";
    EXPECT_EQ(run({ctl, "new-key", second_path}, &out), 0) << out;
    ASSERT_TRUE(g_file_get_contents(second_path.c_str(), &bytes, &length, nullptr));
    EXPECT_NE(std::string(bytes, length), first);
    g_free(bytes);
    g_unlink(second_path.c_str());
    g_unlink(key_path.c_str());
  }

  // Usage mistakes and a daemon that is not there.
  EXPECT_EQ(run({ctl}, &out), 2);
  EXPECT_EQ(run({ctl, "frobnicate"}, &out), 2);
  EXPECT_EQ(run({ctl, "--timeout", "0", "status"}, &out), 2);
  ASSERT_EQ(t.kavrod->stop(SIGTERM), 0);
  EXPECT_EQ(run({ctl, "status"}, &out), 3);
  EXPECT_NE(out.find("kavrod is not running, or BlueZ is absent"), std::string::npos) << out;
}

TEST(ControlName, AlreadyOwnedNameIsLostButTheDaemonRuns) {
  DaemonTest t;
  t.start_bluez();
  t.start_engine(kt::rule(3, kIdA));
  g_autoptr(GVariant) owned = th::call(t.bus.connection(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                       "org.freedesktop.DBus", "RequestName",
                                       g_variant_new("(su)", kDest, 4u), "(u)", nullptr);
  ASSERT_NE(owned, nullptr);
  t.start_kavrod();
  EXPECT_TRUE(t.kavrod->wait_for_log("Lost the D-Bus name com.vemo.bt.ReceiveVemoBeacon"));
  EXPECT_TRUE(t.wait_monitors(1));
  EXPECT_TRUE(t.kavrod->running());
  EXPECT_EQ(t.kavrod->stop(SIGTERM), 0);
}

}  // namespace

/* The whole device: an action sends a beacon through libtelvo and the
 * beacon-sending service, the simulated radio carries it from one adapter
 * to the other, kavrod turns it into a BeaconReceived event, and the
 * action-rule engine fires the rule that waits for it. */
#include <gtest/gtest.h>

#include <algorithm>

#include "daemon_fixture.h"

using kt::DaemonTest;
using kt::kIdA;
using kt::kIdB;

namespace {

const char kTopic[] = "topic=tns1:Device/tnsvemo:Bluetooth/tnsvemo:BeaconReceived;UUID,value=";

std::string sending_rule(int id, const std::string &systemid) {
  return "[rule " + std::to_string(id) + "]\nname=Send " + std::to_string(id) +
         "\nenabled=true\nstart_event=topic=tns1:Device/tnsvemo:Manual/tnsvemo:Trigger;\nsofile=" +
         th::env_path("TELVO_PLUGIN") + "\nparam_message_type=2\nparam_system_id=" + systemid + "\n\n";
}

std::string receiving_rule(int id, const std::string &systemid) {
  return "[rule " + std::to_string(id) + "]\nname=Heard " + std::to_string(id) + "\nenabled=true\nstart_event=" +
         kTopic + systemid + ";\n\n";
}

const GDBusInterfaceVTable advertisement_vtable = {
    nullptr,
    [](GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *property_name, GError **,
       gpointer) -> GVariant * {
      if (g_strcmp0(property_name, "Type") == 0)
        return g_variant_new_string("broadcast");
      const guint8 data[] = {0x01, 0x02};
      GVariantBuilder b;
      g_variant_builder_init(&b, G_VARIANT_TYPE("a{qv}"));
      g_variant_builder_add(&b, "{qv}", static_cast<guint16>(0x1234),
                            g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, data, sizeof data, 1));
      return g_variant_builder_end(&b);
    },
    nullptr,
    {nullptr}};

class Chain : public ::testing::Test {
 protected:
  void SetUp() override {
    rule_subscription_ = g_dbus_connection_signal_subscribe(
        t.bus.connection(), nullptr, "com.vemo.Sim.ActionEngine1", "RuleFired", nullptr, nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *, GVariant *parameters,
           gpointer data) {
          gint32 id;
          g_variant_get(parameters, "(i)", &id);
          static_cast<Chain *>(data)->fired.push_back(id);
        },
        this, nullptr);
  }
  void TearDown() override { g_dbus_connection_signal_unsubscribe(t.bus.connection(), rule_subscription_); }

  void start_device(std::vector<std::string> bluez_args = {"--adapter", "hci0:nomonitor", "--adapter", "hci1"}) {
    t.start_bluez(bluez_args);
    t.start_engine(sending_rule(1, kIdA) + receiving_rule(2, kIdA) + sending_rule(3, kIdB));
    sender = std::make_unique<th::Process>(
        std::vector<std::string>{th::env_path("BEACON_SENDER_BIN"), "--adapter", "hci0"});
    ASSERT_TRUE(t.bus.wait_for_name("com.vemo.bt.SendVemoBeacon"));
    t.start_kavrod();
    ASSERT_TRUE(t.wait_monitors(1));
    ASSERT_EQ(t.monitors()[0].first, "hci1");
  }
  void trigger(int rule) {
    g_variant_unref(t.engine_call("com.vemo.Event.ActionEngine.ActionRule", "Trigger", g_variant_new("(i)", rule)));
  }
  /* Triggers @rule again once the send it started before is over. The
   * plug-in ignores a start while a send runs, and a send still runs for a
   * moment after its beacon became an event (its reply travels another
   * way) and after the plug-in logged its outcome: a start refused in that
   * moment is triggered again. */
  void trigger_again(int rule) {
    const char kSendStep[] = "Performing D-Bus call to send Bluetooth beacon";
    const char kRefused[] = "Aborted 'send beacon' action, one is already in progress";
    ASSERT_TRUE(th::wait_until([&] {
      return t.engine->count("Successfully sent a Bluetooth beacon") +
                 t.engine->count("D-Bus call to send beacon failed: ") ==
             t.engine->count(kSendStep);
    }, 10000)) << t.engine->log();
    for (int attempt = 0; attempt < 20; attempt++) {
      const size_t sends = t.engine->count(kSendStep);
      const size_t refusals = t.engine->count(kRefused);
      trigger(rule);
      ASSERT_TRUE(th::wait_until([&] {
        return t.engine->count(kSendStep) > sends || t.engine->count(kRefused) > refusals;
      })) << t.engine->log();
      if (t.engine->count(kSendStep) > sends)
        return;
    }
    FAIL() << "every start was refused:\n" << t.engine->log();
  }
  /* Events kavrod has published, by its own count. */
  guint64 published() {
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply =
        th::call(t.bus.connection(), "com.vemo.bt.ReceiveVemoBeacon", "/com/vemo/bt/ReceiveVemoBeacon",
                 "com.vemo.bt.ReceiveVemoBeacon.Diagnostics", "Status", nullptr, "(a{sv})", &error);
    guint64 events = 0;
    if (reply == nullptr) {
      ADD_FAILURE() << error->message;
      return 0;
    }
    g_autoptr(GVariant) dict = g_variant_get_child_value(reply, 0);
    EXPECT_TRUE(g_variant_lookup(dict, "events", "t", &events));
    return events;
  }
  size_t fired_count(int rule) { return static_cast<size_t>(std::count(fired.begin(), fired.end(), rule)); }
  bool wait_fired(int rule, size_t n) {
    return th::wait_until([&] { return fired_count(rule) >= n; }, 10000);
  }
  bool no_advertisements() {
    g_autoptr(GVariant) ads = t.bluez_control("ListAdvertisements", nullptr, "(a(sos))");
    g_autoptr(GVariant) list = g_variant_get_child_value(ads, 0);
    return g_variant_n_children(list) == 0;
  }
  DaemonTest t;
  std::unique_ptr<th::Process> sender;
  std::vector<gint32> fired;
  guint rule_subscription_ = 0;
};

TEST_F(Chain, OneSendBecomesOneEventAndOneRuleFiring) {
  start_device();
  trigger(1);
  ASSERT_TRUE(t.wait_events(1, 10000)) << t.kavrod->log();
  EXPECT_EQ(t.events[0].uuid, kIdA);
  ASSERT_TRUE(wait_fired(2, 1)) << t.engine->log();

  // The advertisement stays on air for seconds: a second action is the
  // marker that everything of the first has been counted.
  ASSERT_NO_FATAL_FAILURE(trigger_again(1));
  ASSERT_TRUE(t.wait_events(2, 10000));
  ASSERT_TRUE(wait_fired(2, 2));
  EXPECT_TRUE(th::wait_until([&] { return no_advertisements(); }, 15000));
  EXPECT_EQ(t.events.size(), 2u);
  EXPECT_EQ(fired_count(2), 2u);
  EXPECT_TRUE(sender->wait_for_log("on air on /org/bluez/hci0"));
}

TEST_F(Chain, BeaconsOfAnotherSystemFireNothing) {
  start_device();
  trigger(3);  // System ID B: kavrod filters on A
  ASSERT_TRUE(sender->wait_for_log(std::string("for ") + kIdB + " on air", 10000));
  trigger(1);
  ASSERT_TRUE(wait_fired(2, 1));
  EXPECT_TRUE(th::wait_until([&] { return no_advertisements(); }, 15000));
  EXPECT_EQ(t.events.size(), 1u);
  EXPECT_EQ(fired_count(2), 1u);
}

TEST_F(Chain, PausedDaemonTurnsNothingIntoEvents) {
  start_device();
  ASSERT_EQ(t.control("Pause"), "");
  trigger(1);
  ASSERT_TRUE(sender->wait_for_log("on air on /org/bluez/hci0", 10000));
  // Resume only once that advertisement is off the air.
  ASSERT_TRUE(th::wait_until([&] { return no_advertisements(); }, 15000));
  ASSERT_EQ(t.control("Resume"), "");
  ASSERT_TRUE(t.wait_monitors(1));
  ASSERT_NO_FATAL_FAILURE(trigger_again(1));
  ASSERT_TRUE(t.wait_events(1, 10000));
  ASSERT_TRUE(wait_fired(2, 1));
  EXPECT_TRUE(th::wait_until([&] { return no_advertisements(); }, 15000));
  EXPECT_EQ(t.events.size(), 1u);
  EXPECT_EQ(fired_count(2), 1u);
}

TEST_F(Chain, FullAdvertisingTableIsReportedByThePlugin) {
  start_device({"--adapter", "hci0:nomonitor", "--adapter", "hci1", "--advertising-instances", "1"});
  // Someone else holds the adapter's only advertising instance.
  g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(
      "<node><interface name='org.bluez.LEAdvertisement1'>"
      "<method name='Release'/><property name='Type' type='s' access='read'/>"
      "<property name='ManufacturerData' type='a{qv}' access='read'/></interface></node>",
      nullptr);
  guint registration = g_dbus_connection_register_object(t.bus.connection(), "/test/advertisement",
                                                         node->interfaces[0], &advertisement_vtable, nullptr,
                                                         nullptr, nullptr);
  ASSERT_NE(registration, 0u);
  GVariant *options = g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0);
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) registered = nullptr;
  // The simulator reads our properties before it answers: call asynchronously
  // and keep our connection's dispatch going.
  bool done = false;
  g_dbus_connection_call(t.bus.connection(), "org.bluez", "/org/bluez/hci0", "org.bluez.LEAdvertisingManager1",
                         "RegisterAdvertisement", g_variant_new("(o@a{sv})", "/test/advertisement", options),
                         G_VARIANT_TYPE("()"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
                         [](GObject *source, GAsyncResult *result, gpointer data) {
                           g_autoptr(GVariant) r = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result,
                                                                                  nullptr);
                           *static_cast<bool *>(data) = r != nullptr;
                         },
                         &done);
  ASSERT_TRUE(th::wait_until([&] { return done; }));

  trigger(1);
  EXPECT_TRUE(t.engine->wait_for_log("D-Bus call to send beacon failed: ", 10000)) << t.engine->log();
  EXPECT_TRUE(t.engine->wait_for_log("NotPermitted", 1000)) << t.engine->log();
  EXPECT_TRUE(t.events.empty());
  g_dbus_connection_unregister_object(t.bus.connection(), registration);
}

TEST_F(Chain, BluezRestartInTheMiddleRecovers) {
  start_device();
  trigger(1);
  ASSERT_TRUE(t.wait_events(1, 10000));
  g_variant_unref(t.bluez_control("Leave", nullptr));
  ASSERT_TRUE(t.kavrod->wait_for_log("Bluetooth vanished!"));
  g_variant_unref(t.bluez_control("Return", nullptr));
  ASSERT_TRUE(t.wait_monitors(1));
  ASSERT_NO_FATAL_FAILURE(trigger_again(1));
  ASSERT_TRUE(t.wait_events(2, 15000)) << sender->log();
  EXPECT_TRUE(wait_fired(2, 2));
}

/* Bursts of Sends on the modelled air (bluez-sim --air), heard by kavrod
 * on hci1: on a legacy controller (hci0, one set shared by rotation, each
 * turn from a fresh address) and on one with four hardware sets (hci2),
 * every beacon is one event. Registering them all at once on the legacy
 * controller, as the sender once did, loses beacons: the check can fail.
 * The scanner listens all the time and nothing is lost, so what is heard
 * depends on who holds the air only; air times are short to keep it quick. */
TEST_F(Chain, EveryBeaconOfABurstIsOneEventOnTheModelledAir) {
  t.start_bluez({"--adapter", "hci0:nomonitor:sets=0", "--adapter", "hci1", "--adapter", "hci2:nomonitor:sets=4",
                 "--advertising-instances", "5", "--air", "--scan-interval", "60", "--scan-window", "60",
                 "--seed", "18", "--rotation-interval", "200"});
  t.start_engine(receiving_rule(2, kIdA));
  t.start_kavrod();
  ASSERT_TRUE(t.wait_monitors(1));
  struct Case {
    const char *adapter;
    int burst;
    bool all_at_once;
  };
  int marker = 0;
  for (const Case &c : {Case{"hci0", 5, false}, Case{"hci0", 20, false}, Case{"hci2", 5, false},
                        Case{"hci2", 20, false}, Case{"hci0", 20, true}}) {
    SCOPED_TRACE(std::string(c.adapter) + " burst " + std::to_string(c.burst) + (c.all_at_once ? " all at once" : ""));
    std::vector<std::string> args = {th::env_path("BEACON_SENDER_BIN"), "--adapter", c.adapter, "--air-time", "300"};
    if (c.all_at_once)
      args.push_back("--all-at-once");
    sender = std::make_unique<th::Process>(args);
    ASSERT_TRUE(t.bus.wait_for_name("com.vemo.bt.SendVemoBeacon")) << sender->log();
    const guint64 before = published();
    int answered = 0, succeeded = 0;
    struct Answer {
      int *answered, *succeeded;
    } answer{&answered, &succeeded};
    for (int i = 0; i < c.burst; i++)
      g_dbus_connection_call(t.bus.connection(), "com.vemo.bt.SendVemoBeacon", "/com/vemo/bt/SendVemoBeacon",
                             "com.vemo.bt.SendVemoBeacon", "Send",
                             g_variant_new("(y@a{sv}sa{sv})", 2, g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0),
                                           kIdA, nullptr),
                             G_VARIANT_TYPE("()"), G_DBUS_CALL_FLAGS_NONE, 10000, nullptr,
                             [](GObject *source, GAsyncResult *result, gpointer data) {
                               auto *a = static_cast<Answer *>(data);
                               g_autoptr(GVariant) r =
                                   g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
                               ++*a->answered;
                               *a->succeeded += r != nullptr;
                             },
                             &answer);
    ASSERT_TRUE(th::wait_until([&] { return answered == c.burst; }, 10000)) << sender->log();
    EXPECT_EQ(succeeded, c.burst) << sender->log();
    // Every beacon had its air time and is off the air again.
    ASSERT_TRUE(th::wait_until([&] {
      return sender->count(" on air on /org/bluez/") == static_cast<size_t>(c.burst) && no_advertisements();
    }, 30000)) << sender->log();
    // A HELLO beacon heard after them all, which kavrod turns into no
    // event: once it is through, so is every beacon of the burst.
    const size_t hellos = t.kavrod->count("Event type was HELLO!");
    t.inject_beacon(kIdA, 0, 0, "hci1", ("C0:FF:EE:00:01:" + std::to_string(10 + marker++)).c_str());
    ASSERT_TRUE(th::wait_until([&] { return t.kavrod->count("Event type was HELLO!") > hellos; }, 10000));
    const guint64 heard = published() - before;
    if (c.all_at_once)
      EXPECT_LT(heard, static_cast<guint64>(c.burst)) << t.bluez->log();
    else
      EXPECT_EQ(heard, static_cast<guint64>(c.burst)) << t.bluez->log();
    EXPECT_EQ(sender->count("lost"), 0u) << sender->log();
    EXPECT_EQ(sender->stop(SIGTERM), 0);
  }
}

}  // namespace

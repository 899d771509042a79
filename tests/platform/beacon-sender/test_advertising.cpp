/* beacon-sender against the BlueZ simulator: each Send becomes one
 * broadcast advertisement carrying the beacon, registered with the
 * adapter's LEAdvertisingManager1 and unregistered after a few seconds. */
#include <gtest/gtest.h>

#include <algorithm>

#include "advwatch-utils.h"
#include "harness.h"

namespace {

constexpr const char kService[] = "com.vemo.bt.SendVemoBeacon";
constexpr const char kPath[] = "/com/vemo/bt/SendVemoBeacon";
constexpr const char kSystemId[] = "6c1f2a9e-3b5d-4e8f-a0b1-c2d3e4f5a6b7";
constexpr guint8 kSystemIdBytes[] = {0x6c, 0x1f, 0x2a, 0x9e, 0x3b, 0x5d, 0x4e, 0x8f,
                                     0xa0, 0xb1, 0xc2, 0xd3, 0xe4, 0xf5, 0xa6, 0xb7};
constexpr const char kSim[] = "com.vemo.Sim.BlueZ";
constexpr const char kSimPath[] = "/com/vemo/Sim/BlueZ";
constexpr const char kSimInterface[] = "com.vemo.Sim.BlueZ1";

struct Advertisement {
  std::string client, path, adapter;
};

class Advertising : public ::testing::Test {
 protected:
  void start(std::vector<std::string> sim_args, std::vector<std::string> sender_args,
             std::map<std::string, std::string> sender_env = {}) {
    sim_args.insert(sim_args.begin(), th::env_path("BLUEZ_SIM_BIN"));
    sim_ = std::make_unique<th::Process>(sim_args);
    ASSERT_TRUE(bus_.wait_for_name("org.bluez")) << sim_->log();
    ASSERT_TRUE(bus_.wait_for_name(kSim)) << sim_->log();
    sender_args.insert(sender_args.begin(), th::env_path("BEACON_SENDER_BIN"));
    sender_ = std::make_unique<th::Process>(sender_args, sender_env);
    ASSERT_TRUE(bus_.wait_for_name(kService)) << sender_->log();
  }
  void TearDown() override {
    if (sender_ != nullptr) {
      EXPECT_EQ(sender_->stop(SIGTERM), 0) << sender_->log();
    }
    if (sim_ != nullptr) {
      EXPECT_EQ(sim_->stop(SIGTERM), 0) << sim_->log();
    }
  }
  static GVariant *send_params(guint8 type) {
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&b, "{sv}", "bad_time", g_variant_new_boolean(TRUE));
    return g_variant_new("(y@a{sv}sa{sv})", type, g_variant_builder_end(&b), kSystemId, nullptr);
  }
  GVariant *send(guint8 type, GError **error) {
    return th::call(bus_.connection(), kService, kPath, kService, "Send", send_params(type), "()", error);
  }
  void send_async(guint8 type, GAsyncResult **out) {
    g_dbus_connection_call(bus_.connection(), kService, kPath, kService, "Send", send_params(type),
                           G_VARIANT_TYPE("()"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
                           [](GObject *, GAsyncResult *result, gpointer data) {
                             *static_cast<GAsyncResult **>(data) = G_ASYNC_RESULT(g_object_ref(result));
                           },
                           out);
  }
  std::vector<Advertisement> advertisements() {
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = th::call(bus_.connection(), kSim, kSimPath, kSimInterface, "ListAdvertisements",
                                         nullptr, "(a(sos))", &error);
    std::vector<Advertisement> list;
    if (reply == nullptr) {
      ADD_FAILURE() << error->message;
      return list;
    }
    g_autoptr(GVariant) items = g_variant_get_child_value(reply, 0);
    GVariantIter iter;
    const gchar *client, *path, *adapter;
    g_variant_iter_init(&iter, items);
    while (g_variant_iter_next(&iter, "(&s&o&s)", &client, &path, &adapter))
      list.push_back({client, path, adapter});
    return list;
  }
  /* The beacon payload our advertisement at @ad offers BlueZ. */
  std::vector<guint8> payload(const Advertisement &ad, guint16 *company) {
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply =
        th::call(bus_.connection(), ad.client.c_str(), ad.path.c_str(), "org.freedesktop.DBus.Properties", "GetAll",
                 g_variant_new("(s)", "org.bluez.LEAdvertisement1"), "(a{sv})", &error);
    std::vector<guint8> bytes;
    if (reply == nullptr) {
      ADD_FAILURE() << error->message;
      return bytes;
    }
    g_autoptr(GVariant) props = g_variant_get_child_value(reply, 0);
    const gchar *type = nullptr;
    EXPECT_TRUE(g_variant_lookup(props, "Type", "&s", &type));
    EXPECT_STREQ(type, "broadcast");
    guint16 timeout = 0;
    EXPECT_TRUE(g_variant_lookup(props, "Timeout", "q", &timeout));
    EXPECT_GT(timeout, 0);
    g_autoptr(GVariant) data = g_variant_lookup_value(props, "ManufacturerData", G_VARIANT_TYPE("a{qv}"));
    if (data == nullptr || g_variant_n_children(data) != 1) {
      ADD_FAILURE() << "ManufacturerData missing or not one entry";
      return bytes;
    }
    g_autoptr(GVariant) value = nullptr;
    g_variant_get_child(data, 0, "{qv}", company, &value);
    gsize n = 0;
    const auto *raw = static_cast<const guint8 *>(g_variant_get_fixed_array(value, &n, 1));
    bytes.assign(raw, raw + n);
    return bytes;
  }

  th::Bus bus_;
  std::unique_ptr<th::Process> sim_;
  std::unique_ptr<th::Process> sender_;
};

TEST_F(Advertising, EachSendGoesOnAirWithTheNextSequenceNumber) {
  start({"--adapter", "hci0", "--adapter", "hci1"}, {});
  std::vector<guint8> sequences;
  for (guint8 type : {7, 200}) {
    SCOPED_TRACE(type);
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = send(type, &error);
    ASSERT_NE(reply, nullptr) << error->message << "\n" << sender_->log();
    /* Answered once BlueZ accepted it: it is on air now. */
    auto ads = advertisements();
    ASSERT_EQ(ads.size(), 1u);
    EXPECT_EQ(ads[0].adapter, "hci0"); /* the first adapter that can advertise */
    guint16 company = 0;
    std::vector<guint8> bytes = payload(ads[0], &company);
    EXPECT_EQ(company, BEACON_COMPANY_ID_FOR_TESTS);
    ASSERT_EQ(bytes.size(), 19u);
    EXPECT_EQ(bytes[0], 1);
    EXPECT_EQ(std::vector<guint8>(bytes.begin() + 1, bytes.begin() + 17),
              std::vector<guint8>(std::begin(kSystemIdBytes), std::end(kSystemIdBytes)));
    EXPECT_EQ(bytes[17], type);
    sequences.push_back(bytes[18]);
    /* ...and off air again after a few seconds, unregistered by us. */
    EXPECT_TRUE(th::wait_until([&] { return advertisements().empty(); }, 10000));
  }
  EXPECT_EQ(static_cast<guint8>(sequences[0] + 1), sequences[1]);
  EXPECT_EQ(sender_->count("BlueZ released"), 0u);
}

/* With the installation key every beacon carries the clock byte and a tag
 * that verifies under that key; "bad_time" still signs and says so. */
TEST_F(Advertising, WithAKeyEveryBeaconIsSigned) {
  th::Credentials credentials;
  std::vector<guint8> key(ADVWATCH_KEY_LENGTH);
  for (size_t i = 0; i < key.size(); i++)
    key[i] = static_cast<guint8>(0xA0 + i);
  credentials.put("beacon-key", key);
  start({"--adapter", "hci0", "--adapter", "hci1"}, {}, {{"CREDENTIALS_DIRECTORY", credentials.path()}});
  g_autoptr(GError) error = nullptr;
  const gint64 before = g_get_real_time() / G_USEC_PER_SEC;
  g_autoptr(GVariant) reply = send(2, &error);
  ASSERT_NE(reply, nullptr) << error->message << "\n" << sender_->log();
  const gint64 after = g_get_real_time() / G_USEC_PER_SEC;
  auto ads = advertisements();
  ASSERT_EQ(ads.size(), 1u);
  guint16 company = 0;
  std::vector<guint8> bytes = payload(ads[0], &company);
  ASSERT_EQ(bytes.size(), static_cast<size_t>(ADVWATCH_BEACON_SIGNED_LENGTH));
  EXPECT_EQ(bytes[17], 2);
  const gint64 clock = advwatch_beacon_full_clock(bytes[ADVWATCH_BEACON_CLOCK_OFFSET], after);
  EXPECT_GE(clock, before);
  EXPECT_LE(clock, after);
  guint8 tag[ADVWATCH_BEACON_TAG_LENGTH];
  advwatch_beacon_compute_tag(company, bytes.data(), static_cast<guint64>(clock), key.data(), tag);
  EXPECT_EQ(std::vector<guint8>(tag, tag + sizeof tag),
            std::vector<guint8>(bytes.begin() + ADVWATCH_BEACON_TAG_OFFSET, bytes.end()));
  EXPECT_TRUE(sender_->wait_for_log("refuse it as stale")) << sender_->log();

  // The next key of a rotation never signs: alone it is refused.
  th::Credentials next_only;
  next_only.put("beacon-key-next", key);
  th::Process refused({th::env_path("BEACON_SENDER_BIN"), "--no-bluez"}, {{"CREDENTIALS_DIRECTORY", next_only.path()}});
  EXPECT_EQ(refused.wait_exit(), 1);
  EXPECT_EQ(refused.count("beacon-key-next is given without beacon-key"), 1u) << refused.log();
}

TEST_F(Advertising, ChosenAdapterAndQueueingBeyondItsInstances) {
  start({"--adapter", "hci0", "--adapter", "hci1", "--advertising-instances", "1"}, {"--adapter", "hci1"});
  GAsyncResult *first = nullptr;
  GAsyncResult *second = nullptr;
  send_async(1, &first);
  send_async(2, &second);
  /* The second is answered once admitted to the queue, the first once on
   * air; the second goes on air only after the first is off. */
  ASSERT_TRUE(th::wait_until([&] { return first != nullptr && second != nullptr; }, 10000));
  for (GAsyncResult *result : {first, second}) {
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = g_dbus_connection_call_finish(bus_.connection(), result, &error);
    EXPECT_NE(reply, nullptr) << error->message;
    g_object_unref(result);
  }
  EXPECT_TRUE(sender_->wait_for_log("queued, place 1")) << sender_->log();
  size_t most = 0;
  ASSERT_TRUE(th::wait_until([&] {
    auto ads = advertisements();
    most = std::max(most, ads.size());
    for (const auto &ad : ads)
      EXPECT_EQ(ad.adapter, "hci1");
    return sender_->count("on air on /org/bluez/hci1") == 2 && ads.empty();
  }, 15000)) << sender_->log();
  EXPECT_EQ(most, 1u);
}

/* No silent success: a Send whose turn would come more than a minute
 * later is refused; admitted beacons that then cannot go on air (the
 * adapter goes away) are warned about and counted. */
TEST_F(Advertising, TooLateIsRefusedAndLostIsCounted) {
  start({"--adapter", "hci0", "--advertising-instances", "1"}, {"--air-time", "25000"});
  std::vector<GAsyncResult *> results(4, nullptr);
  for (size_t i = 0; i < results.size(); i++)
    send_async(static_cast<guint8>(i), &results[i]);
  ASSERT_TRUE(th::wait_until([&] {
    return std::all_of(results.begin(), results.end(), [](GAsyncResult *r) { return r != nullptr; });
  }, 10000)) << sender_->log();
  std::vector<std::string> errors;
  for (GAsyncResult *result : results) {
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = g_dbus_connection_call_finish(bus_.connection(), result, &error);
    errors.push_back(reply != nullptr ? "" : error->message);
    g_object_unref(result);
  }
  // On air, then 25 s and 50 s away; the fourth would wait 75 s.
  EXPECT_EQ(errors[0], "");
  EXPECT_EQ(errors[1], "");
  EXPECT_EQ(errors[2], "");
  EXPECT_NE(errors[3].find("Too many beacons waiting"), std::string::npos) << errors[3];
  EXPECT_TRUE(sender_->wait_for_log("queued, place 2")) << sender_->log();

  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) removed = th::call(bus_.connection(), kSim, kSimPath, kSimInterface, "RemoveAdapter",
                                         g_variant_new("(s)", "hci0"), "()", &error);
  ASSERT_NE(removed, nullptr) << error->message;
  EXPECT_TRUE(sender_->wait_for_log("before its air time was over")) << sender_->log();
  EXPECT_TRUE(sender_->wait_for_log("lost (2 lost since start)")) << sender_->log();
  EXPECT_EQ(sender_->count(" lost ("), 2u);
}

/* Another client holds the adapter's only instance: BlueZ says NotPermitted
 * and the Send fails naming it. */
TEST_F(Advertising, NotPermittedFailsTheSend) {
  start({"--adapter", "hci0", "--advertising-instances", "1"}, {});
  static const char xml[] =
      "<node><interface name='org.bluez.LEAdvertisement1'><method name='Release'/>"
      "<property name='Type' type='s' access='read'/></interface></node>";
  g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(xml, nullptr);
  static const GDBusInterfaceVTable vtable = {
      [](GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *, GVariant *,
         GDBusMethodInvocation *invocation, gpointer) { g_dbus_method_invocation_return_value(invocation, nullptr); },
      [](GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *, GError **,
         gpointer) -> GVariant * { return g_variant_new_string("broadcast"); },
      nullptr,
      {nullptr}};
  GDBusConnection *own = bus_.connection();
  guint id = g_dbus_connection_register_object(own, "/test/other", node->interfaces[0], &vtable, nullptr, nullptr,
                                               nullptr);
  ASSERT_NE(id, 0u);
  GAsyncResult *occupied = nullptr;
  g_dbus_connection_call(own, "org.bluez", "/org/bluez/hci0", "org.bluez.LEAdvertisingManager1",
                         "RegisterAdvertisement",
                         g_variant_new("(o@a{sv})", "/test/other", g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0)),
                         nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
                         [](GObject *, GAsyncResult *result, gpointer data) {
                           *static_cast<GAsyncResult **>(data) = G_ASYNC_RESULT(g_object_ref(result));
                         },
                         &occupied);
  ASSERT_TRUE(th::wait_until([&] { return occupied != nullptr; }));
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) ok = g_dbus_connection_call_finish(own, occupied, &error);
  g_object_unref(occupied);
  ASSERT_NE(ok, nullptr) << error->message;

  g_autoptr(GVariant) reply = send(3, &error);
  EXPECT_EQ(reply, nullptr);
  ASSERT_NE(error, nullptr);
  EXPECT_NE(std::string(error->message).find("org.bluez.Error.NotPermitted"), std::string::npos) << error->message;
  g_dbus_connection_unregister_object(own, id);
}

/* Nothing can go on air: the Send says so rather than succeeding. */
TEST_F(Advertising, WithoutBlueZTheSendFails) {
  th::Process sender({th::env_path("BEACON_SENDER_BIN")});
  ASSERT_TRUE(bus_.wait_for_name(kService)) << sender.log();
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = send(5, &error);
  EXPECT_EQ(reply, nullptr);
  ASSERT_NE(error, nullptr);
  EXPECT_NE(std::string(error->message).find("BlueZ is not running"), std::string::npos) << error->message;
  EXPECT_EQ(sender.stop(SIGTERM), 0);
}

TEST_F(Advertising, MissingAdapterFailsTheSend) {
  start({"--adapter", "hci0:noadvertising"}, {});
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = send(5, &error);
  EXPECT_EQ(reply, nullptr);
  ASSERT_NE(error, nullptr);
  EXPECT_NE(std::string(error->message).find("No Bluetooth adapter offers LE advertising"), std::string::npos)
      << error->message;
}

}  // namespace

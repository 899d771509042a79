/* The adapter search over one GetManagedObjects reply chooses the adapter
 * that a search through GDBus's object manager client chooses, against
 * bluez-sim with many adapters, some without the monitor manager. */
#include <gtest/gtest.h>

#include <random>

#include "harness.h"
#include "utils.h"

namespace {

const char kIface[] = "org.bluez.AdvertisementMonitorManager1";

TEST(AdapterSearch, ChoosesWhatTheObjectManagerClientWould) {
  th::Bus bus;
  std::mt19937 random(20261208);
  int differs_from_reply_order = 0;
  for (int round = 0; round < 12; round++) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::vector<std::string> args = {th::env_path("BLUEZ_SIM_BIN")};
    const int adapters = 2 + static_cast<int>(random() % 15);
    std::string first_in_reply;
    for (int i = 0; i < adapters; i++) {
      const bool capable = random() % 3 == 0 || i == adapters - 1;
      args.push_back("--adapter");
      args.push_back("hci" + std::to_string(random() % 64) + "x" + std::to_string(i) + (capable ? "" : ":nomonitor"));
      if (capable && first_in_reply.empty())
        first_in_reply = "/org/bluez/" + args.back();
    }
    th::Process bluez(args);
    // The adapters follow org.bluez, as bluetoothd's do; the control name
    // comes once they are all there.
    ASSERT_TRUE(bus.wait_for_name("org.bluez")) << bluez.log();
    ASSERT_TRUE(bus.wait_for_name("com.vemo.Sim.BlueZ")) << bluez.log();

    g_autoptr(GError) error = nullptr;
    g_autoptr(GDBusObjectManager) manager = g_dbus_object_manager_client_new_sync(
        bus.connection(), G_DBUS_OBJECT_MANAGER_CLIENT_FLAGS_NONE, "org.bluez", "/", nullptr, nullptr, nullptr,
        nullptr, &error);
    ASSERT_NE(manager, nullptr) << error->message;
    g_autofree gchar *by_client = utils_lookup_adapter_with_iface(manager, kIface, &error);
    ASSERT_NE(by_client, nullptr) << error->message;

    g_autoptr(GVariant) objects = utils_get_bluez_objects(bus.connection(), &error);
    ASSERT_NE(objects, nullptr) << error->message;
    g_autofree gchar *by_reply = utils_lookup_adapter_in_objects(objects, kIface, &error);
    ASSERT_NE(by_reply, nullptr) << error->message;
    EXPECT_STREQ(by_reply, by_client);
    differs_from_reply_order += first_in_reply != by_client;
    bluez.stop();
    th::wait_until([&] { return !bus.has_owner("org.bluez") && !bus.has_owner("com.vemo.Sim.BlueZ"); });
  }
  // Otherwise the rounds would not tell the two orders apart.
  EXPECT_GT(differs_from_reply_order, 0);
}

TEST(AdapterSearch, BluezAbsentListsNothingAndBadRepliesAreRefused) {
  th::Bus bus;
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) objects = utils_get_bluez_objects(bus.connection(), &error);
  ASSERT_NE(objects, nullptr) << error->message;
  g_autofree gchar *none = utils_lookup_adapter_in_objects(objects, kIface, &error);
  EXPECT_EQ(none, nullptr);
  ASSERT_NE(error, nullptr);
  EXPECT_STREQ(error->message, "Could not find a compatible adapter");
  g_clear_error(&error);

  g_autoptr(GVariant) wrong = g_variant_ref_sink(g_variant_new("(s)", "/org/bluez/hci0"));
  EXPECT_EQ(utils_lookup_adapter_in_objects(wrong, kIface, &error), nullptr);
  ASSERT_NE(error, nullptr);
  EXPECT_NE(strstr(error->message, "has type (s)"), nullptr) << error->message;
}

}  // namespace

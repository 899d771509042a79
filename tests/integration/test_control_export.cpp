/* The control object that cannot be exported stops the daemon with a
 * failure status, in process against the access-control fake. */
#include <gtest/gtest.h>

#include "btreceive_dbus.h"
#include "harness.h"

namespace {

const GDBusInterfaceVTable no_methods = {nullptr, nullptr, nullptr, {nullptr}};

TEST(ControlExport, FailedExportQuitsWithFailure) {
  th::Bus bus;
  th::LogCapture log;
  g_autoptr(GError) error = nullptr;
  g_autoptr(GDBusConnection) con = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
  ASSERT_NE(con, nullptr) << error->message;
  g_dbus_connection_set_exit_on_close(con, FALSE);

  // Someone in the process already serves the interface at that path.
  g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(
      "<node><interface name='com.vemo.bt.ReceiveVemoBeacon'/></node>", nullptr);
  guint registration = g_dbus_connection_register_object(con, BTRECEIVE_OBJECT_PATH, node->interfaces[0],
                                                         &no_methods, nullptr, nullptr, &error);
  ASSERT_NE(registration, 0u) << error->message;

  AppCtx ctx{};
  ctx.loop = g_main_loop_new(nullptr, FALSE);
  ctx.con = con;
  ASSERT_TRUE(btreceive_dbus_init(&ctx, nullptr));
  guint timeout = g_timeout_add_seconds(static_cast<guint>(th::scaled(10000) / 1000), [](gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop *>(loop));
    return G_SOURCE_REMOVE;
  }, ctx.loop);
  g_main_loop_run(ctx.loop);

  EXPECT_EQ(ctx.exit_status, 1);
  EXPECT_EQ(log.count(G_LOG_LEVEL_WARNING, "D-Bus skeleton export failed: "), 1u);
  ASSERT_NE(btreceive_dbus_g, nullptr);
  EXPECT_EQ(btreceive_dbus_g->skeleton, nullptr);
  EXPECT_NE(btreceive_dbus_g->owner_id, 0u);

  g_source_remove(timeout);
  btreceive_dbus_teardown();
  btreceive_dbus_teardown();  // down already: nothing happens
  EXPECT_EQ(btreceive_dbus_g, nullptr);
  g_dbus_connection_unregister_object(con, registration);
  g_main_loop_unref(ctx.loop);
}

}  // namespace

/* bare-method: a bus method of the same shape as kavrod's control List,
 * with plain GDBus and no access check. control-bench sets kavrod's
 * control service against it.
 *
 * Run (on the bus DBUS_SYSTEM_BUS_ADDRESS names):
 *   bare-method [--name com.vemo.Bench.BareMethod] [--value TEXT]
 * Exports /com/vemo/Bench/BareMethod with interface
 * com.vemo.Bench.BareMethod1, method List -> (as) answering one string
 * (default: a fixed System ID). Exits 0 on SIGINT/SIGTERM, 1 when the
 * name cannot be owned or the bus is lost. */
#include "bare.h"

namespace {

constexpr char kObjectPath[] = "/com/vemo/Bench/BareMethod";
constexpr char kIntrospection[] =
    "<node>"
    "  <interface name='com.vemo.Bench.BareMethod1'>"
    "    <method name='List'><arg name='ids' type='as' direction='out'/></method>"
    "  </interface>"
    "</node>";

struct Server : bare::Life {
  const gchar *value = nullptr;
};

void on_method_call(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *method_name,
                    GVariant *, GDBusMethodInvocation *invocation, gpointer user_data) {
  auto *server = static_cast<Server *>(user_data);
  if (!g_str_equal(method_name, "List")) {
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD,
                                          "unknown method %s", method_name);
    return;
  }
  const gchar *ids[] = {server->value, nullptr};
  g_dbus_method_invocation_return_value(invocation, g_variant_new("(^as)", ids));
}

const GDBusInterfaceVTable kVtable = {on_method_call, nullptr, nullptr, {nullptr}};

}  // namespace

int main(int argc, char **argv) {
  g_autofree gchar *name = nullptr;
  g_autofree gchar *value = nullptr;
  const GOptionEntry entries[] = {
      {"name", 0, 0, G_OPTION_ARG_STRING, &name, "Bus name to own (default com.vemo.Bench.BareMethod)", "NAME"},
      {"value", 0, 0, G_OPTION_ARG_STRING, &value, "The string List answers", "TEXT"},
      {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr},
  };
  bare::parse_options(&argc, &argv, "bare-method", "- a bare List method", entries);
  if (name == nullptr)
    name = g_strdup("com.vemo.Bench.BareMethod");
  if (!g_dbus_is_name(name) || g_dbus_is_unique_name(name)) {
    g_printerr("bare-method: \"%s\" is not a well-known bus name\n", name);
    return 2;
  }

  Server server;
  server.value = value != nullptr ? value : "5b0c9a3e-1f2d-4c6b-8e7a-9d0f1e2a3b4c";
  if (!bare::begin(&server, "bare-method"))
    return 1;
  g_autoptr(GError) error = nullptr;
  g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(kIntrospection, &error);
  g_assert_no_error(error);
  const guint registration = g_dbus_connection_register_object(server.connection, kObjectPath, node->interfaces[0],
                                                               &kVtable, &server, nullptr, &error);
  if (registration == 0) {
    g_printerr("bare-method: cannot export %s: %s\n", kObjectPath, error->message);
    server.exit_status = 1;
  } else {
    server.pending++;
    const guint owner = g_bus_own_name_on_connection(server.connection, name, G_BUS_NAME_OWNER_FLAGS_NONE, nullptr,
                                                     bare::on_name_lost, static_cast<bare::Life *>(&server),
                                                     bare::release);
    g_message("bare-method owning %s, run main loop...", name);
    g_main_loop_run(server.loop);
    server.stopping = true;
    g_bus_unown_name(owner);
    g_dbus_connection_unregister_object(server.connection, registration);
  }
  bare::end(&server);
  return server.exit_status;
}

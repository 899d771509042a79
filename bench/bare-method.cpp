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
#include <gio/gio.h>
#include <glib-unix.h>

#include <csignal>

namespace {

constexpr char kObjectPath[] = "/com/vemo/Bench/BareMethod";
constexpr char kIntrospection[] =
    "<node>"
    "  <interface name='com.vemo.Bench.BareMethod1'>"
    "    <method name='List'><arg name='ids' type='as' direction='out'/></method>"
    "  </interface>"
    "</node>";

struct Server {
  GMainLoop *loop = nullptr;
  const gchar *value = nullptr;
  int exit_status = 0;
  bool stopping = false;
  guint pending = 0;  // the name owner's callbacks may run until released
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

void fail(Server *server, const char *why) {
  if (server->stopping)
    return;
  g_warning("%s", why);
  server->exit_status = 1;
  g_main_loop_quit(server->loop);
}

void on_name_lost(GDBusConnection *, const gchar *, gpointer user_data) {
  fail(static_cast<Server *>(user_data), "lost or could not own the bus name");
}

void on_closed(GDBusConnection *, gboolean, GError *, gpointer user_data) {
  fail(static_cast<Server *>(user_data), "system bus connection closed");
}

void release(gpointer user_data) { static_cast<Server *>(user_data)->pending--; }

gboolean on_signal(gpointer user_data) {
  g_main_loop_quit(static_cast<Server *>(user_data)->loop);
  return G_SOURCE_CONTINUE;
}

}  // namespace

int main(int argc, char **argv) {
  g_autofree gchar *name = nullptr;
  g_autofree gchar *value = nullptr;
  const GOptionEntry entries[] = {
      {"name", 0, 0, G_OPTION_ARG_STRING, &name, "Bus name to own (default com.vemo.Bench.BareMethod)", "NAME"},
      {"value", 0, 0, G_OPTION_ARG_STRING, &value, "The string List answers", "TEXT"},
      {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr},
  };
  g_autoptr(GOptionContext) options = g_option_context_new("- a bare List method");
  g_option_context_add_main_entries(options, entries, nullptr);
  g_autoptr(GError) error = nullptr;
  if (!g_option_context_parse(options, &argc, &argv, &error)) {
    g_printerr("bare-method: %s\n", error->message);
    return 2;
  }
  if (name == nullptr)
    name = g_strdup("com.vemo.Bench.BareMethod");
  if (!g_dbus_is_name(name) || g_dbus_is_unique_name(name)) {
    g_printerr("bare-method: \"%s\" is not a well-known bus name\n", name);
    return 2;
  }

  Server server;
  server.value = value != nullptr ? value : "5b0c9a3e-1f2d-4c6b-8e7a-9d0f1e2a3b4c";
  g_autoptr(GDBusConnection) connection = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
  if (connection == nullptr) {
    g_printerr("bare-method: cannot connect to the system bus: %s\n", error->message);
    return 1;
  }
  g_dbus_connection_set_exit_on_close(connection, FALSE);
  server.loop = g_main_loop_new(nullptr, FALSE);
  const gulong closed_handler = g_signal_connect(connection, "closed", G_CALLBACK(on_closed), &server);
  g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(kIntrospection, &error);
  g_assert_no_error(error);
  const guint registration =
      g_dbus_connection_register_object(connection, kObjectPath, node->interfaces[0], &kVtable, &server, nullptr,
                                        &error);
  if (registration == 0) {
    g_printerr("bare-method: cannot export %s: %s\n", kObjectPath, error->message);
    server.exit_status = 1;
  } else {
    server.pending++;
    const guint owner = g_bus_own_name_on_connection(connection, name, G_BUS_NAME_OWNER_FLAGS_NONE, nullptr,
                                                     on_name_lost, &server, release);
    const guint sigint = g_unix_signal_add(SIGINT, on_signal, &server);
    const guint sigterm = g_unix_signal_add(SIGTERM, on_signal, &server);
    g_message("bare-method owning %s, run main loop...", name);
    g_main_loop_run(server.loop);
    server.stopping = true;
    g_source_remove(sigint);
    g_source_remove(sigterm);
    g_bus_unown_name(owner);
    g_dbus_connection_unregister_object(connection, registration);
    while (server.pending > 0)
      g_main_context_iteration(nullptr, TRUE);
  }
  g_signal_handler_disconnect(connection, closed_handler);
  g_main_loop_unref(server.loop);
  return server.exit_status;
}

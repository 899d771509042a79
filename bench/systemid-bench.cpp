/* Prints how long choosing the System ID takes over List replies of 10,
 * 1,000 and 100,000 rules received through a real bus call, against a bare
 * walk over the same reply.
 *
 * A server thread of this program answers List on a private bus (it starts
 * its own dbus-daemon); the reply is read as GDBus hands it over, built as
 * a tree of values from the message, which is what kavrod gets from the
 * engine. Printed per size: the call (send, the server's reply, GDBus
 * reading the message), kavrod's choice over the received reply, a bare
 * walk over it, and the ratio of the two.
 *
 * Run: bench/systemid-bench (from a build directory) */
#include <gio/gio.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "bench.h"
#include "harness.h"
#include "systemid_handler.h"

namespace {

constexpr char kName[] = "com.vemo.Bench.Rules";
constexpr char kPath[] = "/com/vemo/Bench/Rules";
constexpr char kInterface[] = "com.vemo.Bench.Rules1";
constexpr char kXml[] =
    "<node><interface name='com.vemo.Bench.Rules1'>"
    "<method name='List'><arg name='count' type='i' direction='in'/>"
    "<arg name='rules' type='a(isbaysa{ss})' direction='out'/></method>"
    "</interface></node>";

GVariant *make_reply(int rules) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a(isbaysa{ss})"));
  for (int i = 1; i <= rules; i++) {
    g_autofree gchar *start = g_strdup_printf(
        "topic=tns1:Device/tnsvemo:Bluetooth/tnsvemo:BeaconReceived;UUID,value=%08x-2222-3333-4444-555555555555;", i);
    GVariant *bytes = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, start, strlen(start), 1);
    g_variant_builder_add(&builder, "(isb@aysa{ss})", i, "rule", i % 2 == 0, bytes, "<action/>", nullptr);
  }
  return g_variant_new("(a(isbaysa{ss}))", &builder);
}

void on_method(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *, GVariant *parameters,
               GDBusMethodInvocation *invocation, gpointer) {
  gint32 count = 0;
  g_variant_get(parameters, "(i)", &count);
  g_dbus_method_invocation_return_value(invocation, make_reply(count));
}

/* Answers List on its own connection and thread until stopped. */
class Server {
 public:
  explicit Server(const std::string &address) {
    g_autoptr(GError) error = nullptr;
    connection_ = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (connection_ == nullptr)
      throw std::runtime_error(std::string("server cannot connect: ") + error->message);
    context_ = g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
    node_ = g_dbus_node_info_new_for_xml(kXml, nullptr);
    thread_ = std::thread([this] {
      g_main_context_push_thread_default(context_);
      static const GDBusInterfaceVTable vtable = {on_method, nullptr, nullptr, {nullptr}};
      registration_ =
          g_dbus_connection_register_object(connection_, kPath, node_->interfaces[0], &vtable, nullptr, nullptr, nullptr);
      g_autoptr(GVariant) owned = g_dbus_connection_call_sync(
          connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
          g_variant_new("(su)", kName, 4u), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
      g_main_loop_run(loop_);
      g_dbus_connection_unregister_object(connection_, registration_);
      g_main_context_pop_thread_default(context_);
    });
  }
  ~Server() {
    g_main_context_invoke(
        context_, [](gpointer loop) -> gboolean {
          g_main_loop_quit(static_cast<GMainLoop *>(loop));
          return G_SOURCE_REMOVE;
        },
        loop_);
    thread_.join();
    g_dbus_node_info_unref(node_);
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
    g_dbus_connection_close_sync(connection_, nullptr, nullptr);
    g_object_unref(connection_);
  }
  Server(const Server &) = delete;
  Server &operator=(const Server &) = delete;

 private:
  GDBusConnection *connection_ = nullptr;
  GMainContext *context_ = nullptr;
  GMainLoop *loop_ = nullptr;
  GDBusNodeInfo *node_ = nullptr;
  guint registration_ = 0;
  std::thread thread_;
};

/* The least any reader must do: visit each rule's four members. */
gsize bare_walk(GVariant *reply) {
  gsize sum = 0;
  g_autoptr(GVariant) rules = g_variant_get_child_value(reply, 0);
  const gsize n = g_variant_n_children(rules);
  for (gsize i = 0; i < n; i++) {
    g_autoptr(GVariant) rule = g_variant_get_child_value(rules, i);
    g_autoptr(GVariant) enabled = g_variant_get_child_value(rule, 2);
    if (!g_variant_get_boolean(enabled))
      continue;
    g_autoptr(GVariant) id = g_variant_get_child_value(rule, 0);
    g_autoptr(GVariant) name = g_variant_get_child_value(rule, 1);
    g_autoptr(GVariant) start = g_variant_get_child_value(rule, 3);
    gsize len;
    g_variant_get_fixed_array(start, &len, 1);
    sum += len + static_cast<gsize>(g_variant_get_int32(id)) + strlen(g_variant_get_string(name, nullptr));
  }
  return sum;
}

/* Seconds per run of @fn, over at least 0.5 s and 3 runs. */
double seconds_per_run(const std::function<void()> &fn) {
  int runs = 0;
  gint64 start = g_get_monotonic_time(), now;
  do {
    fn();
    runs++;
    now = g_get_monotonic_time();
  } while (now - start < 500000 || runs < 3);
  return (now - start) / 1e6 / runs;
}

}  // namespace

int main() {
  // The per-rule debug line would dominate; operators run without it.
  g_log_set_handler(nullptr, G_LOG_LEVEL_DEBUG, [](const gchar *, GLogLevelFlags, const gchar *, gpointer) {}, nullptr);
  try {
    th::Bus bus;
    Server server(bus.address());
    if (!bus.wait_for_name(kName, 10000))
      throw std::runtime_error("the List server did not start");
    printf("List replies received over a private bus; reading = kavrod's choice of the System ID\n\n");
    printf("%-10s %12s %14s %14s %8s\n", "rules", "call (us)", "reading (us)", "bare walk (us)", "ratio");
    for (int n : {10, 1000, 100000}) {
      g_autoptr(GVariant) reply = nullptr;
      const double call = seconds_per_run([&] {
        g_autoptr(GError) error = nullptr;
        g_clear_pointer(&reply, g_variant_unref);
        reply = g_dbus_connection_call_sync(bus.connection(), kName, kPath, kInterface, "List", g_variant_new("(i)", n),
                                            G_VARIANT_TYPE("(a(isbaysa{ss}))"), G_DBUS_CALL_FLAGS_NONE, 60000, nullptr,
                                            &error);
        if (reply == nullptr)
          throw std::runtime_error(std::string("List failed: ") + error->message);
      });
      volatile gsize sink = 0;
      const double reading = seconds_per_run([&] {
        gchar *id = nullptr;
        systemid_handler_choose_from_reply(reply, &id, nullptr);
        sink = sink + (id != nullptr);
        g_free(id);
      });
      const double bare = seconds_per_run([&] { sink = sink + bare_walk(reply); });
      printf("%-10d %12.1f %14.1f %14.1f %8.2f\n", n, call * 1e6, reading * 1e6, bare * 1e6,
             bench::ratio(reading, bare));
      fflush(stdout);
    }
  } catch (const std::exception &e) {
    g_printerr("systemid-bench: %s\n", e.what());
    return 1;
  }
  return 0;
}

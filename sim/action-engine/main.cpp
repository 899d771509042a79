/* action-engine-sim: the device's action-rule engine as far as our
 * components can tell: rules on the bus, events firing them, and a host for
 * action plug-ins.  See sim/README.md. */
#include <glib-unix.h>
#include <gio/gio.h>

#include <csignal>
#include <cstdlib>
#include <exception>
#include <memory>
#include <unistd.h>

#include "engine.h"

namespace {

constexpr char kBusName[] = "com.vemo.Event.ActionEngine.User";

struct App {
  GMainLoop *loop = nullptr;
  ae::Engine *engine = nullptr;
  int status = EXIT_SUCCESS;
};

gboolean on_quit_signal(gpointer data) {
  auto *app = static_cast<App *>(data);
  g_message("signal received; shutting down");
  g_main_loop_quit(app->loop);
  return G_SOURCE_CONTINUE;
}

gboolean on_hangup(gpointer data) {
  auto *app = static_cast<App *>(data);
  g_autoptr(GError) error = nullptr;
  try {
    if (!app->engine->reload(&error))
      g_warning("reload failed, keeping the current rules: %s", error->message);
  } catch (const std::exception &e) {
    g_warning("reload failed: %s", e.what());
  }
  return G_SOURCE_CONTINUE;
}

void on_name_acquired(GDBusConnection *, const gchar *name, gpointer) {
  g_message("owning %s", name);
}

void on_name_lost(GDBusConnection *, const gchar *name, gpointer data) {
  auto *app = static_cast<App *>(data);
  g_warning("cannot own %s (taken by another process or the bus refused it)", name);
  app->status = EXIT_FAILURE;
  g_main_loop_quit(app->loop);
}

void on_closed(GDBusConnection *, gboolean remote_peer_vanished, GError *error, gpointer data) {
  auto *app = static_cast<App *>(data);
  g_warning("lost the system bus%s%s", remote_peer_vanished ? ": " : "",
            error != nullptr ? error->message : "");
  app->status = EXIT_FAILURE;
  g_main_loop_quit(app->loop);
}

/* A private connection: plug-ins in this process may use the shared system
 * bus connection as they please (even close it) without cutting ours. */
GDBusConnection *connect_system_bus(GError **error) {
  g_autofree gchar *address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, error);
  if (address == nullptr)
    return nullptr;
  GDBusConnection *connection = g_dbus_connection_new_for_address_sync(
      address,
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, error);
  if (connection == nullptr)
    g_prefix_error(error, "cannot connect to the system bus at %s: ", address);
  return connection;
}

}  // namespace

int main(int argc, char **argv) {
  g_autofree gchar *rules_path = nullptr;
  gint teardown_timeout_ms = 5000;
  const GOptionEntry entries[] = {
      {"rules", 'r', 0, G_OPTION_ARG_FILENAME, &rules_path,
       "Rules file (key file, one [rule N] group per rule); reloaded on SIGHUP", "FILE"},
      {"teardown-timeout", 0, 0, G_OPTION_ARG_INT, &teardown_timeout_ms,
       "At exit, how long plug-in instances may take to stop and free themselves (default 5000; "
       "negative: no limit)",
       "MS"},
      {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr},
  };
  g_autoptr(GOptionContext) options = g_option_context_new("- action-rule engine and plug-in host");
  g_option_context_set_summary(options,
                               "Owns com.vemo.Event.ActionEngine.User on the system bus, lists and "
                               "fires rules, and runs their action plug-ins.");
  g_option_context_add_main_entries(options, entries, nullptr);
  g_autoptr(GError) error = nullptr;
  if (!g_option_context_parse(options, &argc, &argv, &error)) {
    g_printerr("%s: %s\n", g_get_prgname(), error->message);
    return EXIT_FAILURE;
  }
  if (argc > 1) {
    g_printerr("%s: unexpected argument \"%s\"\n", g_get_prgname(), argv[1]);
    return EXIT_FAILURE;
  }

  g_autoptr(GDBusConnection) connection = connect_system_bus(&error);
  if (connection == nullptr) {
    g_printerr("%s: %s\n", g_get_prgname(), error->message);
    return EXIT_FAILURE;
  }
  g_dbus_connection_set_exit_on_close(connection, FALSE);

  App app;
  g_autoptr(GMainLoop) loop = g_main_loop_new(nullptr, FALSE);
  app.loop = loop;
  auto engine = std::make_unique<ae::Engine>(connection, rules_path);
  app.engine = engine.get();
  if (!engine->start(&error)) {
    g_printerr("%s: %s\n", g_get_prgname(), error->message);
    return EXIT_FAILURE;
  }

  guint sources[] = {
      g_unix_signal_add(SIGINT, on_quit_signal, &app),
      g_unix_signal_add(SIGTERM, on_quit_signal, &app),
      g_unix_signal_add(SIGHUP, on_hangup, &app),
  };
  gulong closed_handler = g_signal_connect(connection, "closed", G_CALLBACK(on_closed), &app);
  guint owner = g_bus_own_name_on_connection(connection, kBusName, G_BUS_NAME_OWNER_FLAGS_NONE,
                                             on_name_acquired, on_name_lost, &app, nullptr);

  g_main_loop_run(loop);

  g_bus_unown_name(owner);
  g_signal_handler_disconnect(connection, closed_handler);
  for (guint source : sources)
    g_source_remove(source);
  /* Plug-in instances report their teardown through the connection; let
   * those signals out before it goes. */
  if (!engine->stop(teardown_timeout_ms)) {
    /* A plug-in hangs in one of its entry points; its thread still refers
     * to the engine, so the engine cannot go away before the process. */
    g_dbus_connection_flush_sync(connection, nullptr, nullptr);
    g_warning("leaving plug-in instances behind that did not stop");
    _exit(app.status);
  }
  engine.reset();
  g_dbus_connection_flush_sync(connection, nullptr, nullptr);
  g_dbus_connection_close_sync(connection, nullptr, nullptr);
  g_message("stopped");
  return app.status;
}

/* What the bare programs share: the life of a small server on the system
 * bus (the one DBUS_SYSTEM_BUS_ADDRESS names). Plain GLib and GIO only:
 * these programs are the baseline the benches set kavrod against. */
#pragma once

#include <gio/gio.h>
#include <glib-unix.h>

#include <csignal>
#include <cstdlib>

namespace bare {

/* A main loop that SIGINT and SIGTERM end with 0, and losing the bus or
 * the name with 1. @pending counts callbacks still due (the name owner,
 * calls, subscriptions): the server must outlive them. */
struct Life {
  GDBusConnection *connection = nullptr;
  GMainLoop *loop = nullptr;
  int exit_status = 0;
  bool stopping = false;
  guint pending = 0;
  gulong closed_handler = 0;
  guint sigint = 0, sigterm = 0;
};

inline void quit_with(Life *life, int status) {
  if (life->stopping)
    return;
  if (life->exit_status == 0)
    life->exit_status = status;
  g_main_loop_quit(life->loop);
}

inline void on_name_lost(GDBusConnection *, const gchar *name, gpointer life) {
  g_warning("lost or could not own the bus name %s", name);
  quit_with(static_cast<Life *>(life), 1);
}

inline void release(gpointer life) { static_cast<Life *>(life)->pending--; }

/* Parses the command line; exits 2 with "@program: message" on a bad one. */
inline void parse_options(int *argc, char ***argv, const char *program, const char *parameter,
                          const GOptionEntry *entries) {
  GOptionContext *context = g_option_context_new(parameter);
  g_option_context_add_main_entries(context, entries, nullptr);
  GError *error = nullptr;
  if (!g_option_context_parse(context, argc, argv, &error)) {
    g_printerr("%s: %s\n", program, error->message);
    exit(2);
  }
  g_option_context_free(context);
}

/* Connects to the system bus (losing it ends the loop, not the process)
 * and catches SIGINT and SIGTERM; false, printed, when it cannot. */
inline bool begin(Life *life, const char *program) {
  GError *error = nullptr;
  life->connection = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
  if (life->connection == nullptr) {
    g_printerr("%s: cannot connect to the system bus: %s\n", program, error->message);
    g_error_free(error);
    return false;
  }
  g_dbus_connection_set_exit_on_close(life->connection, FALSE);
  life->loop = g_main_loop_new(nullptr, FALSE);
  life->closed_handler = g_signal_connect(
      life->connection, "closed", G_CALLBACK(+[](GDBusConnection *, gboolean, GError *error, gpointer data) {
        g_warning("system bus connection closed: %s", error != nullptr ? error->message : "by us");
        quit_with(static_cast<Life *>(data), 1);
      }),
      life);
  auto on_signal = +[](gpointer data) -> gboolean {
    g_message("stopping on signal");
    g_main_loop_quit(static_cast<Life *>(data)->loop);
    return G_SOURCE_CONTINUE;
  };
  life->sigint = g_unix_signal_add(SIGINT, on_signal, life);
  life->sigterm = g_unix_signal_add(SIGTERM, on_signal, life);
  return true;
}

/* After the loop: waits for the callbacks still due, then lets all go. */
inline void end(Life *life) {
  life->stopping = true;
  while (life->pending > 0)
    g_main_context_iteration(nullptr, TRUE);
  g_source_remove(life->sigint);
  g_source_remove(life->sigterm);
  g_signal_handler_disconnect(life->connection, life->closed_handler);
  g_clear_pointer(&life->loop, g_main_loop_unref);
  g_clear_object(&life->connection);
}

}  // namespace bare

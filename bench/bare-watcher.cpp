/* The smallest GLib bus client: connects to the system bus, watches a name
 * and runs a loop. kavrod's start-up time and idle RSS are set against it. */
#include <gio/gio.h>
#include <glib-unix.h>

#include <csignal>

int main() {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GDBusConnection) con = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
  if (con == nullptr) {
    g_warning("no bus: %s", error->message);
    return 1;
  }
  GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
  guint watch = g_bus_watch_name_on_connection(con, "org.bluez", G_BUS_NAME_WATCHER_FLAGS_NONE, nullptr, nullptr,
                                               nullptr, nullptr);
  g_unix_signal_add(SIGTERM, [](gpointer l) {
    g_main_loop_quit(static_cast<GMainLoop *>(l));
    return G_SOURCE_REMOVE;
  }, loop);
  g_message("watching, run main loop...");
  g_main_loop_run(loop);
  g_bus_unwatch_name(watch);
  g_main_loop_unref(loop);
  return 0;
}

/* Test helper: a bus client that stays connected until SIGTERM/SIGINT and
 * prints its unique name, so tests can ask who it is (run it as another
 * user with setpriv). */
#include <gio/gio.h>
#include <glib-unix.h>
#include <stdio.h>

static gboolean on_signal(gpointer loop) {
  g_main_loop_quit(loop);
  return G_SOURCE_REMOVE;
}

int main(void) {
  g_autoptr(GError) error = NULL;
  g_autofree gchar *address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, NULL, &error);
  if (address == NULL) {
    g_printerr("bus-peer: no system bus address: %s\n", error->message);
    return 1;
  }
  g_autoptr(GDBusConnection) connection = g_dbus_connection_new_for_address_sync(
      address, G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION,
      NULL, NULL, &error);
  if (connection == NULL) {
    g_printerr("bus-peer: cannot connect to %s: %s\n", address, error->message);
    return 1;
  }
  g_autoptr(GMainLoop) loop = g_main_loop_new(NULL, FALSE);
  g_unix_signal_add(SIGTERM, on_signal, loop);
  g_unix_signal_add(SIGINT, on_signal, loop);
  printf("unique-name=%s\n", g_dbus_connection_get_unique_name(connection));
  fflush(stdout);
  g_main_loop_run(loop);
  g_dbus_connection_close_sync(connection, NULL, NULL);
  return 0;
}

/* Test helper: asks the system bus for a name and prints the outcome
 * ("owned", "denied: <error>" or "queued"). Exit status 0 when owned. */
#include <gio/gio.h>

#include <cstdio>

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s NAME\n", argv[0]);
    return 2;
  }
  g_autoptr(GError) error = nullptr;
  g_autoptr(GDBusConnection) con = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
  if (con == nullptr) {
    printf("no bus: %s\n", error->message);
    return 2;
  }
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      con, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
      g_variant_new("(su)", argv[1], 4u /* DBUS_NAME_FLAG_DO_NOT_QUEUE */), G_VARIANT_TYPE("(u)"),
      G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
  if (reply == nullptr) {
    printf("denied: %s\n", error->message);
    return 1;
  }
  guint32 result;
  g_variant_get(reply, "(u)", &result);
  printf("%s\n", result == 1 ? "owned" : "not owned");
  fflush(stdout);
  return result == 1 ? 0 : 1;
}

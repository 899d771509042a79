/* Small helpers of the daemon: adapter search and byte-sequence search. */
#pragma once

#include <gio/gio.h>

G_BEGIN_DECLS

#define UTILS_ERROR (utils_error_quark())
/* Bound on a call to BlueZ, so that a hung bluetoothd cannot stall us for
 * GDBus's default 25 s. */
#define UTILS_BLUEZ_TIMEOUT_MS 5000
GQuark utils_error_quark(void);

/* Object path of the first object below "/org/bluez/hci" (in @mgr's order)
 * that offers @iface; newly allocated. NULL with @err set when there is
 * none or @iface is not an interface name. */
gchar *utils_lookup_adapter_with_iface(GDBusObjectManager *mgr, const gchar *iface, GError **err);

/* The same search over a GetManagedObjects reply of BlueZ ("(a{oa{sa{sv}}})"),
 * taking objects in the order an object manager client built from that
 * reply would list them, so both searches choose the same adapter. */
gchar *utils_lookup_adapter_in_objects(GVariant *reply, const gchar *iface, GError **err);

/* Reads BlueZ's objects with one GetManagedObjects call; NULL with @err set
 * when the call fails or the reply has another type. */
GVariant *utils_get_bluez_objects(GDBusConnection *con, GError **err);

/* The same reading without blocking; @callback calls
 * utils_get_bluez_objects_finish(). */
void utils_get_bluez_objects_async(GDBusConnection *con, GCancellable *cancellable, GAsyncReadyCallback callback,
                                   gpointer user_data);
GVariant *utils_get_bluez_objects_finish(GDBusConnection *con, GAsyncResult *result, GError **err);

/* TRUE when @subarray occurs in @array, with the offset of its first
 * occurrence in @index; FALSE otherwise, @index untouched. An empty
 * @subarray is found at 0. */
gboolean utils_is_subarray(const guint8 *array, gsize array_len, const guint8 *subarray,
                           gsize subarray_len, guint32 *index);

G_END_DECLS

#include "utils.h"

#include <cstring>

GQuark utils_error_quark(void) {
  static GQuark quark = 0;
  if (quark == 0)
    quark = g_quark_from_static_string("utils");
  return quark;
}

gchar *utils_lookup_adapter_with_iface(GDBusObjectManager *mgr, const gchar *iface, GError **err) {
  g_return_val_if_fail(mgr != NULL, NULL);
  g_return_val_if_fail(iface != NULL, NULL);
  g_return_val_if_fail(err == NULL || *err == NULL, NULL);

  if (!g_dbus_is_interface_name(iface)) {
    g_set_error(err, UTILS_ERROR, -1, "String '%s' is not a valid interface name", iface);
    return NULL;
  }

  GList *objects = g_dbus_object_manager_get_objects(mgr);
  gchar *found = NULL;
  for (GList *l = objects; l != NULL && found == NULL; l = l->next) {
    GDBusObject *object = G_DBUS_OBJECT(l->data);
    const gchar *path = g_dbus_object_get_object_path(object);
    // A substring test, not a prefix test: what BlueZ puts in front of the
    // adapter part is not ours to assume.
    if (g_strstr_len(path, -1, "/org/bluez/hci") == NULL)
      continue;
    g_autoptr(GDBusInterface) interface = g_dbus_object_get_interface(object, iface);
    if (interface != NULL)
      found = g_strdup(path);
  }
  g_list_free_full(objects, g_object_unref);

  if (found == NULL)
    g_set_error_literal(err, UTILS_ERROR, -1, "Could not find a compatible adapter");
  return found;
}

gboolean utils_is_subarray(const guint8 *array, gsize array_len, const guint8 *subarray,
                           gsize subarray_len, guint32 *index) {
  g_assert(array);
  g_assert(subarray);
  g_assert(index);

  if (subarray_len > array_len)
    return FALSE;
  if (subarray_len == 0) {
    *index = 0;
    return TRUE;
  }
  for (gsize i = 0; i <= array_len - subarray_len; i++) {
    gsize j = 0;
    while (j < subarray_len && array[i + j] == subarray[j])
      j++;
    if (j == subarray_len) {
      *index = static_cast<guint32>(i);
      return TRUE;
    }
  }
  return FALSE;
}

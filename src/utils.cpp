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

gchar *utils_lookup_adapter_in_objects(GVariant *reply, const gchar *iface, GError **err) {
  g_return_val_if_fail(reply != NULL, NULL);
  g_return_val_if_fail(iface != NULL, NULL);
  g_return_val_if_fail(err == NULL || *err == NULL, NULL);

  if (!g_dbus_is_interface_name(iface)) {
    g_set_error(err, UTILS_ERROR, -1, "String '%s' is not a valid interface name", iface);
    return NULL;
  }
  if (!g_variant_is_of_type(reply, G_VARIANT_TYPE("(a{oa{sa{sv}}})"))) {
    g_set_error(err, UTILS_ERROR, -1, "BlueZ's object list has type %s, not (a{oa{sa{sv}}})",
                g_variant_get_type_string(reply));
    return NULL;
  }

  // The object manager client keeps its objects in a string-keyed hash
  // table filled in reply order and lists them in the table's order; the
  // same table filled the same way gives the same order, hence the same
  // first match, without holding a proxy per object.
  g_autoptr(GHashTable) offers = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, NULL);
  g_autoptr(GVariant) objects = g_variant_get_child_value(reply, 0);
  const gsize n_objects = g_variant_n_children(objects);
  for (gsize i = 0; i < n_objects; i++) {
    g_autoptr(GVariant) entry = g_variant_get_child_value(objects, i);
    g_autoptr(GVariant) path_value = g_variant_get_child_value(entry, 0);
    g_autoptr(GVariant) interfaces = g_variant_get_child_value(entry, 1);
    const gchar *path = g_variant_get_string(path_value, NULL);
    g_autoptr(GVariant) properties = g_variant_lookup_value(interfaces, iface, NULL);
    const gboolean offered = properties != NULL;
    gpointer known = NULL;
    if (g_hash_table_lookup_extended(offers, path, NULL, &known))
      g_hash_table_replace(offers, g_strdup(path), GINT_TO_POINTER(offered || GPOINTER_TO_INT(known)));
    else
      g_hash_table_insert(offers, g_strdup(path), GINT_TO_POINTER(offered));
  }

  GList *paths = g_hash_table_get_keys(offers);
  gchar *found = NULL;
  for (GList *l = paths; l != NULL && found == NULL; l = l->next) {
    const auto *path = static_cast<const gchar *>(l->data);
    // A substring test, as in the object manager search.
    if (g_strstr_len(path, -1, "/org/bluez/hci") != NULL && GPOINTER_TO_INT(g_hash_table_lookup(offers, path)))
      found = g_strdup(path);
  }
  g_list_free(paths);

  if (found == NULL)
    g_set_error_literal(err, UTILS_ERROR, -1, "Could not find a compatible adapter");
  return found;
}

namespace {

/* BlueZ not on the bus lists no objects, as an object manager client of an
 * absent name would. */
GVariant *objects_or_error(GVariant *reply, GError *error, GError **err) {
  if (reply != NULL)
    return reply;
  if (g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
      g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER)) {
    g_error_free(error);
    return g_variant_ref_sink(g_variant_new_parsed("(@a{oa{sa{sv}}} {},)"));
  }
  g_propagate_error(err, error);
  return NULL;
}

}  // namespace

GVariant *utils_get_bluez_objects(GDBusConnection *con, GError **err) {
  g_return_val_if_fail(con != NULL, NULL);
  g_return_val_if_fail(err == NULL || *err == NULL, NULL);
  GError *error = NULL;
  GVariant *reply = g_dbus_connection_call_sync(con, "org.bluez", "/", "org.freedesktop.DBus.ObjectManager",
                                                "GetManagedObjects", NULL, G_VARIANT_TYPE("(a{oa{sa{sv}}})"),
                                                G_DBUS_CALL_FLAGS_NO_AUTO_START, UTILS_BLUEZ_TIMEOUT_MS, NULL, &error);
  return objects_or_error(reply, error, err);
}

void utils_get_bluez_objects_async(GDBusConnection *con, GCancellable *cancellable, GAsyncReadyCallback callback,
                                   gpointer user_data) {
  g_return_if_fail(con != NULL);
  g_dbus_connection_call(con, "org.bluez", "/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects", NULL,
                         G_VARIANT_TYPE("(a{oa{sa{sv}}})"), G_DBUS_CALL_FLAGS_NO_AUTO_START, UTILS_BLUEZ_TIMEOUT_MS,
                         cancellable, callback, user_data);
}

GVariant *utils_get_bluez_objects_finish(GDBusConnection *con, GAsyncResult *result, GError **err) {
  g_return_val_if_fail(con != NULL, NULL);
  g_return_val_if_fail(err == NULL || *err == NULL, NULL);
  GError *error = NULL;
  GVariant *reply = g_dbus_connection_call_finish(con, result, &error);
  return objects_or_error(reply, error, err);
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

/* libadvwatch: device records and their keys, and reading devices from
 * BlueZ (Properties.GetAll of a device new to the monitor, Get of its data
 * once its rule is in place). A record keeps only what a beacon needs.
 * Called on the monitor's context, from BlueZ's signals and calls and from
 * the replies started here. */
#include "monitor-private.h"

namespace advwatch {
namespace {

/* Values are read child by child: g_variant_get() with '&' formats would
 * first turn GDBus's tree-form value into serialised form, all of it. */

/* Reads our company's bytes out of a ManufacturerData value, a{qv}. */
void apply_manufacturer_data(Device &device, GVariant *value) {
  bool found = false;
  const guint8 *raw = NULL;
  gsize length = 0;
  g_autoptr(GVariant) bytes = NULL;
  const gsize n = g_variant_n_children(value);
  for (gsize i = 0; i < n && !found; i++) {
    g_autoptr(GVariant) entry = g_variant_get_child_value(value, i);
    g_autoptr(GVariant) company = g_variant_get_child_value(entry, 0);
    if (g_variant_get_uint16(company) != BEACON_COMPANY_ID)
      continue;
    g_autoptr(GVariant) boxed = g_variant_get_child_value(entry, 1);
    bytes = g_variant_get_variant(boxed);
    if (!g_variant_is_of_type(bytes, G_VARIANT_TYPE_BYTESTRING)) {
      g_clear_pointer(&bytes, g_variant_unref);
      continue;
    }
    raw = static_cast<const guint8 *>(g_variant_get_fixed_array(bytes, &length, 1));
    found = true;
  }
  if (!found) {
    if (device.has_data)
      device.evaluated = false;
    device.has_data = false;
    device.data_length = 0;
    return;
  }
  length = MIN(length, kKeptDataBytes);
  // Unchanged bytes (BlueZ repeats the property with the RSSI) need no
  // second evaluation.
  if (device.has_data && device.data_length == length && (length == 0 || memcmp(device.data, raw, length) == 0))
    return;
  if (length > 0)
    memcpy(device.data, raw, length);
  device.data_length = static_cast<guint8>(length);
  device.has_data = true;
  device.evaluated = false;
}

struct FetchCall {
  AdvwatchMonitor *monitor;
  std::string path;
};

void on_device_fetched(GObject *source, GAsyncResult *result, gpointer data) {
  auto *call = static_cast<FetchCall *>(data);
  AdvwatchMonitor *monitor = call->monitor;
  g_autoptr(GError) error = NULL;
  g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
  guarded("reading a device's properties", [&] {
    if (monitor->closed)
      return;
    Device *found = find_device(monitor, call->path.c_str());
    if (found == NULL)
      return;  // removed meanwhile
    found->fetching = false;
    if (reply == NULL) {
      if (!g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
        g_debug("advwatch: cannot read the properties of %s: %s", call->path.c_str(), error->message);
      return;
    }
    g_autoptr(GVariant) properties = g_variant_get_child_value(reply, 0);
    apply_device_properties(*found, properties);
    evaluate(monitor, call->path.c_str());
  });
  monitor_unref(monitor);
  delete call;
}

void on_data_reread(GObject *source, GAsyncResult *result, gpointer data) {
  auto *call = static_cast<FetchCall *>(data);
  AdvwatchMonitor *monitor = call->monitor;
  g_autoptr(GError) error = NULL;
  g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
  guarded("reading a device's data", [&] {
    if (monitor->closed)
      return;
    Device *found = find_device(monitor, call->path.c_str());
    if (found == NULL)
      return;  // removed meanwhile
    if (reply == NULL) {
      if (!g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
        g_debug("advwatch: cannot read the data of %s: %s", call->path.c_str(), error->message);
      return;
    }
    g_autoptr(GVariant) boxed = g_variant_get_child_value(reply, 0);
    g_autoptr(GVariant) value = g_variant_get_variant(boxed);
    if (!g_variant_is_of_type(value, G_VARIANT_TYPE("a{qv}")))
      return;
    apply_manufacturer_data(*found, value);
    if (!found->evaluated)
      evaluate(monitor, call->path.c_str());
  });
  monitor_unref(monitor);
  delete call;
}
}  // namespace

/* Six hex pairs joined by @separator ("XX:XX:XX:XX:XX:XX") as a number;
 * FALSE for any other text, and for lower-case digits when @upper_only. */
bool parse_address(const gchar *text, gchar separator, bool upper_only, guint64 *value) {
  if (strlen(text) != 17)
    return false;
  guint64 result = 0;
  for (int i = 0; i < 6; i++) {
    const gchar *pair = text + 3 * i;
    const int hi = g_ascii_xdigit_value(pair[0]);
    const int lo = g_ascii_xdigit_value(pair[1]);
    if (hi < 0 || lo < 0 || (upper_only && (g_ascii_islower(pair[0]) || g_ascii_islower(pair[1]))) ||
        (i < 5 && pair[2] != separator))
      return false;
    result = result << 8 | static_cast<guint64>(hi << 4 | lo);
  }
  *value = result;
  return true;
}

/* The key of @path when it names a device of the adapter
 * ("<adapter>/dev_XX_XX_XX_XX_XX_XX", upper-case as BlueZ writes it, so
 * that device_path() gives the same path back). */
bool device_key(const AdvwatchMonitor *monitor, const gchar *path, DeviceKey *key) {
  if (!g_str_has_prefix(path, monitor->device_prefix.c_str()))
    return false;
  const gchar *name = path + monitor->device_prefix.size();
  return strncmp(name, "dev_", 4) == 0 && parse_address(name + 4, '_', true, key);
}

std::string device_path(const AdvwatchMonitor *monitor, DeviceKey key) {
  char name[4 + 17 + 1];
  g_snprintf(name, sizeof name, "dev_%02X_%02X_%02X_%02X_%02X_%02X", static_cast<unsigned>(key >> 40 & 0xff),
             static_cast<unsigned>(key >> 32 & 0xff), static_cast<unsigned>(key >> 24 & 0xff),
             static_cast<unsigned>(key >> 16 & 0xff), static_cast<unsigned>(key >> 8 & 0xff),
             static_cast<unsigned>(key & 0xff));
  return monitor->device_prefix + name;
}

Device *find_device(AdvwatchMonitor *monitor, const gchar *path) {
  DeviceKey key;
  if (!device_key(monitor, path, &key))
    return NULL;
  auto found = monitor->devices.find(key);
  return found == monitor->devices.end() ? NULL : &found->second;
}

/* @path's record, made when new; NULL when @path names no device of the
 * adapter. Records stay where they are while others come and go. */
Device *ensure_device(AdvwatchMonitor *monitor, const gchar *path) {
  DeviceKey key;
  if (!device_key(monitor, path, &key))
    return NULL;
  return &monitor->devices[key];
}

/* Applies Device1 properties (a{sv}); TRUE when they carried
 * ManufacturerData. Only Address, RSSI and ManufacturerData matter. */
bool apply_device_properties(Device &device, GVariant *properties) {
  bool data_seen = false;
  int wanted_left = 3;
  const gsize n = g_variant_n_children(properties);
  for (gsize i = 0; i < n && wanted_left > 0; i++) {
    g_autoptr(GVariant) entry = g_variant_get_child_value(properties, i);
    g_autoptr(GVariant) key = g_variant_get_child_value(entry, 0);
    const gchar *name = g_variant_get_string(key, NULL);
    const bool address = strcmp(name, "Address") == 0;
    const bool rssi = !address && strcmp(name, "RSSI") == 0;
    const bool data = !address && !rssi && strcmp(name, "ManufacturerData") == 0;
    if (!address && !rssi && !data)
      continue;
    wanted_left--;
    g_autoptr(GVariant) boxed = g_variant_get_child_value(entry, 1);
    g_autoptr(GVariant) value = g_variant_get_variant(boxed);
    if (address && g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)) {
      const gchar *text = g_variant_get_string(value, NULL);
      // BlueZ's addresses are "XX:XX:XX:XX:XX:XX"; anything else is no
      // sender the repeat suppression could tell apart.
      guint64 unused;
      if (parse_address(text, ':', false, &unused) && strcmp(device.address, text) != 0) {
        memcpy(device.address, text, sizeof device.address);
        device.evaluated = false;
      }
    } else if (rssi && g_variant_is_of_type(value, G_VARIANT_TYPE_INT16)) {
      device.rssi = g_variant_get_int16(value);
    } else if (data && g_variant_is_of_type(value, G_VARIANT_TYPE("a{qv}"))) {
      data_seen = true;
      apply_manufacturer_data(device, value);
    }
  }
  return data_seen;
}

/* Reads @path's data again once its new rule is in place: what BlueZ
 * changed between the data we have and the rule was not sent to us. */
void reread_data(AdvwatchMonitor *monitor, const std::string &path) {
  ContextScope scope(monitor->context);
  g_dbus_connection_call(monitor->connection, kBluezName, path.c_str(), kPropertiesInterface, "Get",
                         g_variant_new("(ss)", kDeviceInterface, "ManufacturerData"), G_VARIANT_TYPE("(v)"),
                         G_DBUS_CALL_FLAGS_NONE, -1, monitor->cancellable, on_data_reread,
                         new FetchCall{monitor_ref(monitor), path});
}

/* The device is new to us: ask BlueZ for its address and data, once its
 * rule is in place (so no change after the answer is missed). */
void fetch_device(AdvwatchMonitor *monitor, const std::string &path) {
  Device *device = ensure_device(monitor, path.c_str());
  if (device == NULL)
    return;
  device->fetching = true;
  ContextScope scope(monitor->context);
  g_dbus_connection_call(monitor->connection, kBluezName, path.c_str(), kPropertiesInterface, "GetAll",
                         g_variant_new("(s)", kDeviceInterface), G_VARIANT_TYPE("(a{sv})"),
                         G_DBUS_CALL_FLAGS_NONE, -1, monitor->cancellable, on_device_fetched,
                         new FetchCall{monitor_ref(monitor), path});
}

}  // namespace advwatch

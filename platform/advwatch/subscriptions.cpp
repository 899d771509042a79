/* libadvwatch: what the bus sends the monitor. Match rules (one per
 * followed device, or one for the whole adapter beyond kMaxDeviceRules),
 * the subscriptions to BlueZ's signals and their handlers, and following
 * org.bluez's owner. The handlers run on the monitor's context; subscribe
 * and unsubscribe are called from the public functions on that thread. */
#include "monitor-private.h"

namespace advwatch {
namespace {

/* ---- match rules -------------------------------------------------------- */

std::string device_rule(const std::string &path) {
  return std::string("type='signal',sender='") + kBluezName + "',interface='" + kPropertiesInterface +
         "',member='PropertiesChanged',path='" + path + "',arg0='" + kDeviceInterface + "'";
}

std::string wide_changed_rule(const AdvwatchMonitor *monitor) {
  return std::string("type='signal',sender='") + kBluezName + "',interface='" + kPropertiesInterface +
         "',member='PropertiesChanged',path_namespace='" + monitor->adapter_path + "',arg0='" + kDeviceInterface +
         "'";
}

std::string wide_added_rule(const AdvwatchMonitor *monitor) {
  return std::string("type='signal',sender='") + kBluezName + "',interface='" + kObjectManagerInterface +
         "',member='InterfacesAdded',path='/',arg0path='" + monitor->device_prefix + "'";
}

/* AddMatch/RemoveMatch without waiting for the answer: the rules stay far
 * below the bus's limit, and the bus handles them in order with our other
 * messages, so a rule added before a call is in place for its answer. */
void send_match(AdvwatchMonitor *monitor, const char *method, const std::string &rule) {
  g_dbus_connection_call(monitor->connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         method, g_variant_new("(s)", rule.c_str()), NULL, G_DBUS_CALL_FLAGS_NONE, -1, NULL, NULL,
                         NULL);
}

void add_device_rule(AdvwatchMonitor *monitor, const std::string &path, Device &device) {
  send_match(monitor, "AddMatch", device_rule(path));
  device.has_rule = true;
  monitor->device_rules++;
}

void remove_device_rule(AdvwatchMonitor *monitor, const std::string &path, Device &device) {
  if (!device.has_rule)
    return;
  send_match(monitor, "RemoveMatch", device_rule(path));
  device.has_rule = false;
  monitor->device_rules--;
}

/* Too many devices for a rule each: one rule for the adapter's changes. */
void widen(AdvwatchMonitor *monitor) {
  if (monitor->wide)
    return;
  monitor->wide = true;
  send_match(monitor, "AddMatch", wide_changed_rule(monitor));
  g_debug("advwatch: more than %zu devices reported on %s: following all of the adapter's devices", kMaxDeviceRules,
          monitor->adapter_path.c_str());
}

/* Back to a rule per followed device: theirs are added before the wide
 * one goes, so no change falls between. */
void narrow(AdvwatchMonitor *monitor) {
  if (!monitor->wide)
    return;
  for (auto entry = monitor->devices.begin(); entry != monitor->devices.end(); entry++)
    if (!entry->second.has_rule && entry->second.reported)
      add_device_rule(monitor, device_path(monitor, entry->first), entry->second);
  send_match(monitor, "RemoveMatch", wide_changed_rule(monitor));
  monitor->wide = false;
  // Devices the monitor does not follow were only kept for the wide mode.
  for (auto entry = monitor->devices.begin(); entry != monitor->devices.end();) {
    if (!entry->second.reported)
      entry = monitor->devices.erase(entry);
    else
      ++entry;
  }
  g_debug("advwatch: following each reported device of %s again", monitor->adapter_path.c_str());
}

/* ---- BlueZ's signals -------------------------------------------------- */

void on_interfaces_added(GDBusConnection *, const gchar *sender, const gchar *, const gchar *, const gchar *,
                         GVariant *parameters, gpointer data) {
  auto *monitor = static_cast<AdvwatchMonitor *>(data);
  Hold hold(monitor);
  guarded("tracking a new device", [&] {
    if (monitor->closed || !from_bluez(monitor, sender) ||
        !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(oa{sa{sv}})")))
      return;
    g_autoptr(GVariant) path_value = g_variant_get_child_value(parameters, 0);
    const gchar *path = g_variant_get_string(path_value, NULL);
    DeviceKey key;
    if (!device_key(monitor, path, &key))
      return;
    g_autoptr(GVariant) interfaces = g_variant_get_child_value(parameters, 1);
    g_autoptr(GVariant) properties = g_variant_lookup_value(interfaces, kDeviceInterface, G_VARIANT_TYPE_VARDICT);
    if (properties == NULL)
      return;
    auto found = monitor->devices.find(key);
    if (found != monitor->devices.end()) {
      if (apply_device_properties(found->second, properties))
        evaluate(monitor, path);
      return;
    }
    // A device new to us: followed at once when it carries a beacon the
    // monitor wants (BlueZ's DeviceFound may come after its next change),
    // forgotten otherwise (kept while the whole adapter is followed, if it
    // carries our company's data).
    Device device;
    if (!apply_device_properties(device, properties) || !device.has_data)
      return;
    monitor->devices.emplace(key, device);
    evaluate(monitor, path);
    if (monitor->closed)
      return;
    found = monitor->devices.find(key);
    if (found == monitor->devices.end())
      return;
    if (found->second.wanted_beacon) {
      if (follow_device(monitor, path, found->second))
        reread_data(monitor, path);
    } else if (!found->second.reported && !monitor->wide)
      monitor->devices.erase(found);
  });
}

void on_interfaces_removed(GDBusConnection *, const gchar *sender, const gchar *, const gchar *, const gchar *,
                           GVariant *parameters, gpointer data) {
  auto *monitor = static_cast<AdvwatchMonitor *>(data);
  Hold hold(monitor);
  guarded("forgetting a device", [&] {
    if (monitor->closed || !from_bluez(monitor, sender) || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(oas)")))
      return;
    g_autoptr(GVariant) path_value = g_variant_get_child_value(parameters, 0);
    const gchar *path = g_variant_get_string(path_value, NULL);
    if (find_device(monitor, path) == NULL)
      return;
    g_autoptr(GVariant) interfaces = g_variant_get_child_value(parameters, 1);
    const gsize n = g_variant_n_children(interfaces);
    for (gsize i = 0; i < n; i++) {
      g_autoptr(GVariant) interface = g_variant_get_child_value(interfaces, i);
      if (strcmp(g_variant_get_string(interface, NULL), kDeviceInterface) == 0) {
        forget_device(monitor, path);
        break;
      }
    }
  });
}

void on_properties_changed(GDBusConnection *, const gchar *sender, const gchar *path, const gchar *,
                           const gchar *, GVariant *parameters, gpointer data) {
  auto *monitor = static_cast<AdvwatchMonitor *>(data);
  Hold hold(monitor);
  guarded("tracking a device's properties", [&] {
    DeviceKey key;
    if (monitor->closed || !from_bluez(monitor, sender) || !device_key(monitor, path, &key) ||
        !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sa{sv}as)")))
      return;
    // Devices the monitor did not report are not followed (unless the
    // whole adapter is), whoever made the bus send their changes.
    auto found = monitor->devices.find(key);
    if (found == monitor->devices.end() && !monitor->wide)
      return;
    g_autoptr(GVariant) interface = g_variant_get_child_value(parameters, 0);
    if (strcmp(g_variant_get_string(interface, NULL), kDeviceInterface) != 0)
      return;
    g_autoptr(GVariant) changed = g_variant_get_child_value(parameters, 1);
    if (found == monitor->devices.end()) {
      // Following the whole adapter: only devices with our company's data
      // are worth a record.
      Device fresh;
      if (!apply_device_properties(fresh, changed) || !fresh.has_data)
        return;
      monitor->devices.emplace(key, fresh);
      evaluate(monitor, path);
      return;
    }
    Device &device = found->second;
    bool data_seen = apply_device_properties(device, changed);
    g_autoptr(GVariant) invalidated = g_variant_get_child_value(parameters, 2);
    const gsize n = g_variant_n_children(invalidated);
    for (gsize i = 0; i < n; i++) {
      g_autoptr(GVariant) name = g_variant_get_child_value(invalidated, i);
      if (strcmp(g_variant_get_string(name, NULL), "ManufacturerData") == 0) {
        device.has_data = false;
        device.data_length = 0;
        device.evaluated = false;
      }
    }
    if (data_seen)
      evaluate(monitor, path);
  });
}

void on_bluez_owner_changed(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *,
                            GVariant *parameters, gpointer data) {
  auto *monitor = static_cast<AdvwatchMonitor *>(data);
  Hold hold(monitor);
  guarded("following BlueZ on the bus", [&] {
    if (monitor->closed || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sss)")))
      return;
    const gchar *name, *old_owner, *new_owner;
    g_variant_get(parameters, "(&s&s&s)", &name, &old_owner, &new_owner);
    if (g_strcmp0(name, kBluezName) != 0)
      return;
    const bool left = *old_owner != '\0';
    monitor->bluez_owner = new_owner;
    if (!left)
      return;
    // Whatever BlueZ knew of us went with it; a new BlueZ starts empty.
    forget_devices(monitor);
    if (monitor->state == State::Registering || monitor->state == State::Active ||
        monitor->state == State::Paused) {
      const bool was_paused = monitor->state == State::Paused;
      monitor->registered = false;
      notify_state(monitor, State::BluezGone, NULL);
      if (monitor->closed)
        return;
      if (was_paused)
        g_message("advwatch: BlueZ left the bus while the beacon monitor on %s was paused; it cannot resume",
                  monitor->adapter_path.c_str());
      else
        g_warning("advwatch: BlueZ left the bus; the beacon monitor on %s reports no beacons until it is "
                  "started again",
                  monitor->adapter_path.c_str());
    }
  });
}

void seed_bluez_owner(AdvwatchMonitor *monitor) {
  g_autoptr(GError) error = NULL;
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      monitor->connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "GetNameOwner", g_variant_new("(s)", kBluezName), G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE,
      kBusDaemonTimeoutMs, NULL, &error);
  if (reply == NULL) {
    g_debug("advwatch: %s has no owner yet: %s", kBluezName, error->message);
    return;
  }
  const gchar *owner;
  g_variant_get(reply, "(&s)", &owner);
  monitor->bluez_owner = owner;
}
}  // namespace

/* From now on the bus sends us @path's property changes. TRUE when a rule
 * was added for it just now: changes before it took effect were not sent. */
bool follow_device(AdvwatchMonitor *monitor, const std::string &path, Device &device) {
  if (device.reported)
    return false;
  device.reported = true;
  monitor->reported_devices++;
  if (!monitor->wide && monitor->device_rules < kMaxDeviceRules) {
    add_device_rule(monitor, path, device);
    return true;
  }
  if (monitor->wide)
    return false;
  widen(monitor);
  return true;
}

void forget_device(AdvwatchMonitor *monitor, const std::string &path) {
  DeviceKey key;
  if (!device_key(monitor, path.c_str(), &key))
    return;
  auto found = monitor->devices.find(key);
  if (found == monitor->devices.end())
    return;
  remove_device_rule(monitor, path, found->second);
  if (found->second.reported)
    monitor->reported_devices--;
  monitor->devices.erase(found);
  if (monitor->wide && monitor->reported_devices <= kMaxDeviceRules / 2)
    narrow(monitor);
}

/* Forgets every device and its rule (BlueZ left, or the monitor ends). */
void forget_devices(AdvwatchMonitor *monitor) {
  for (auto &entry : monitor->devices)
    if (entry.second.has_rule)
      remove_device_rule(monitor, device_path(monitor, entry.first), entry.second);
  monitor->devices.clear();
  monitor->reported_devices = 0;
  if (monitor->wide) {
    send_match(monitor, "RemoveMatch", wide_changed_rule(monitor));
    monitor->wide = false;
  }
}

void subscribe(AdvwatchMonitor *monitor) {
  GDBusConnection *connection = monitor->connection;
  // Owner changes first, then the owner now: no change can slip between.
  monitor->owner_sub = g_dbus_connection_signal_subscribe(
      connection, "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged", "/org/freedesktop/DBus",
      kBluezName, G_DBUS_SIGNAL_FLAGS_NONE, on_bluez_owner_changed, monitor_ref(monitor), monitor_unref);
  seed_bluez_owner(monitor);
  // No arg0path filter: GLib before 2.80 only matches it against string
  // arguments, and the object path here is an 'o', so nothing would match.
  // The handlers keep to the adapter's devices themselves.
  // InterfacesAdded and PropertiesChanged come only as our own rules ask:
  // devices new below the adapter (arg0path, which GDBus's own rules
  // cannot express for an object path before GLib 2.80), and the changes
  // of each followed device or of the whole adapter (see widen()).
  monitor->added_sub = g_dbus_connection_signal_subscribe(
      connection, kBluezName, kObjectManagerInterface, "InterfacesAdded", "/", NULL,
      G_DBUS_SIGNAL_FLAGS_NO_MATCH_RULE, on_interfaces_added, monitor_ref(monitor), monitor_unref);
  send_match(monitor, "AddMatch", wide_added_rule(monitor));
  monitor->removed_sub = g_dbus_connection_signal_subscribe(
      connection, kBluezName, kObjectManagerInterface, "InterfacesRemoved", "/", NULL, G_DBUS_SIGNAL_FLAGS_NONE,
      on_interfaces_removed, monitor_ref(monitor), monitor_unref);
  monitor->changed_sub = g_dbus_connection_signal_subscribe(
      connection, kBluezName, kPropertiesInterface, "PropertiesChanged", NULL, kDeviceInterface,
      G_DBUS_SIGNAL_FLAGS_NO_MATCH_RULE, on_properties_changed, monitor_ref(monitor), monitor_unref);
}

void unsubscribe(AdvwatchMonitor *monitor) {
  if (monitor->added_sub != 0)
    send_match(monitor, "RemoveMatch", wide_added_rule(monitor));
  for (guint *id : {&monitor->owner_sub, &monitor->added_sub, &monitor->removed_sub, &monitor->changed_sub}) {
    if (*id != 0)
      g_dbus_connection_signal_unsubscribe(monitor->connection, *id);
    *id = 0;
  }
}

}  // namespace advwatch

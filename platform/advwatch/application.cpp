/* libadvwatch: the exported application (ObjectManager root and its
 * org.bluez.AdvertisementMonitor1 child), the calls BlueZ makes on it, and
 * its registration with the adapter's AdvertisementMonitorManager1. Every
 * registration exports under a new serial, so late calls for an earlier one
 * are told apart. Called on the monitor's context: BlueZ's calls and the
 * replies are dispatched there, and the public functions run there. */
#include "monitor-private.h"

namespace advwatch {
namespace {

constexpr const char kIntrospectionXml[] =
    "<node>"
    "  <interface name='org.freedesktop.DBus.ObjectManager'>"
    "    <method name='GetManagedObjects'>"
    "      <arg name='objects' type='a{oa{sa{sv}}}' direction='out'/>"
    "    </method>"
    "    <signal name='InterfacesAdded'>"
    "      <arg name='object' type='o'/><arg name='interfaces' type='a{sa{sv}}'/>"
    "    </signal>"
    "    <signal name='InterfacesRemoved'>"
    "      <arg name='object' type='o'/><arg name='interfaces' type='as'/>"
    "    </signal>"
    "  </interface>"
    "  <interface name='org.bluez.AdvertisementMonitor1'>"
    "    <method name='Release'/>"
    "    <method name='Activate'/>"
    "    <method name='DeviceFound'><arg name='device' type='o' direction='in'/></method>"
    "    <method name='DeviceLost'><arg name='device' type='o' direction='in'/></method>"
    "    <property name='Type' type='s' access='read'/>"
    "    <property name='Patterns' type='a(yyay)' access='read'/>"
    "  </interface>"
    "</node>";

GDBusNodeInfo *parse_introspection() {
  GError *error = NULL;
  GDBusNodeInfo *info = g_dbus_node_info_new_for_xml(kIntrospectionXml, &error);
  if (info == NULL)
    g_error("advwatch: built-in introspection data does not parse: %s", error->message);
  return info;
}

/* Parsed once per process and kept: interface infos are shared by every
 * exported object. */
GDBusNodeInfo *introspection() {
  static GDBusNodeInfo *const info = parse_introspection();
  return info;
}

std::string app_root_path(guint serial) {
  return std::string(kAppBasePath) + "/" + std::to_string(serial);
}

std::string app_monitor_path(guint serial) {
  return app_root_path(serial) + "/monitor0";
}

guint next_app_serial() {
  static gint counter;
  return static_cast<guint>(g_atomic_int_add(&counter, 1)) + 1;
}

/* User data of everything tied to one registration (exported objects,
 * RegisterMonitor reply). */
struct RegistrationRef {
  AdvwatchMonitor *monitor;
  guint serial;
};

gpointer registration_ref_new(AdvwatchMonitor *monitor) {
  return new RegistrationRef{monitor_ref(monitor), monitor->serial};
}

void registration_ref_free(gpointer data) {
  auto *ref = static_cast<RegistrationRef *>(data);
  monitor_unref(ref->monitor);
  delete ref;
}

bool is_current(const RegistrationRef *ref) {
  return !ref->monitor->closed && ref->serial == ref->monitor->serial;
}

/* ---- exported application --------------------------------------------- */

GVariant *managed_objects(AdvwatchMonitor *monitor, guint serial) {
  GVariantBuilder properties;
  g_variant_builder_init(&properties, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&properties, "{sv}", "Type", g_variant_new_string("or_patterns"));
  g_variant_builder_add(&properties, "{sv}", "Patterns", monitor->patterns_value);
  GVariantBuilder interfaces;
  g_variant_builder_init(&interfaces, G_VARIANT_TYPE("a{sa{sv}}"));
  g_variant_builder_add(&interfaces, "{sa{sv}}", kMonitorInterface, &properties);
  GVariantBuilder objects;
  g_variant_builder_init(&objects, G_VARIANT_TYPE("a{oa{sa{sv}}}"));
  g_variant_builder_add(&objects, "{oa{sa{sv}}}", app_monitor_path(serial).c_str(), &interfaces);
  return g_variant_new("(a{oa{sa{sv}}})", &objects);
}

void on_root_method(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *method,
                    GVariant *, GDBusMethodInvocation *invocation, gpointer data) {
  auto *ref = static_cast<RegistrationRef *>(data);
  if (g_strcmp0(method, "GetManagedObjects") == 0)
    g_dbus_method_invocation_return_value(invocation, managed_objects(ref->monitor, ref->serial));
  else
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD,
                                          "Unknown method %s", method);
}

/* BlueZ reports a device matching our patterns. A new one gets its rule
 * and is read once; a known one is current already. */
void found_device(AdvwatchMonitor *monitor, GVariant *parameters) {
  g_autoptr(GVariant) path_value = g_variant_get_child_value(parameters, 0);
  const gchar *path = g_variant_get_string(path_value, NULL);
  if (!reporting(monitor))
    return;
  Device *device = ensure_device(monitor, path);
  if (device == NULL)
    return;
  if (!device->reported)
    follow_device(monitor, path, *device);
  evaluate(monitor, path);
}

void handle_monitor_method(RegistrationRef *ref, const gchar *method, GVariant *parameters) {
  AdvwatchMonitor *monitor = ref->monitor;
  const std::string root = app_root_path(ref->serial);
  if (g_strcmp0(method, "Activate") == 0) {
    if (monitor->state == State::Registering) {
      g_message("advwatch: BlueZ activated beacon monitor %s on %s", root.c_str(), monitor->adapter_path.c_str());
      notify_state(monitor, State::Active, NULL);
    }
  } else if (g_strcmp0(method, "Release") == 0) {
    if (monitor->state == State::Registering || monitor->state == State::Active) {
      // BlueZ keeps the application registered after releasing its
      // monitor: cleanup still unregisters it.
      g_warning("advwatch: BlueZ released beacon monitor %s on %s; it reports no beacons until it is started "
                "again",
                root.c_str(), monitor->adapter_path.c_str());
      g_autoptr(GError) error = g_error_new(ADVWATCH_ERROR, ADVWATCH_ERROR_STATE,
                                            "BlueZ released beacon monitor %s on %s", root.c_str(),
                                            monitor->adapter_path.c_str());
      notify_state(monitor, State::Released, error);
    }
  } else if (g_strcmp0(method, "DeviceFound") == 0) {
    found_device(monitor, parameters);
  } else if (g_strcmp0(method, "DeviceLost") == 0) {
    g_autoptr(GVariant) path_value = g_variant_get_child_value(parameters, 0);
    const gchar *path = g_variant_get_string(path_value, NULL);
    g_debug("advwatch: BlueZ lost %s", path);
    forget_device(monitor, path);
  }
}

void on_monitor_method(GDBusConnection *, const gchar *sender, const gchar *, const gchar *, const gchar *method,
                       GVariant *parameters, GDBusMethodInvocation *invocation, gpointer data) {
  auto *ref = static_cast<RegistrationRef *>(data);
  AdvwatchMonitor *monitor = ref->monitor;
  Hold hold(monitor);
  if (!from_bluez(monitor, sender)) {
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_ACCESS_DENIED,
                                          "Only BlueZ (%s) may call %s.%s", kBluezName, kMonitorInterface, method);
    return;
  }
  guarded("handling a call from BlueZ", [&] {
    if (is_current(ref))
      handle_monitor_method(ref, method, parameters);
  });
  // BlueZ sends these without expecting a reply; GDBus then sends none.
  g_dbus_method_invocation_return_value(invocation, NULL);
}

GVariant *on_monitor_get_property(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                                  const gchar *property, GError **error, gpointer data) {
  auto *ref = static_cast<RegistrationRef *>(data);
  if (g_strcmp0(property, "Type") == 0)
    return g_variant_new_string("or_patterns");
  if (g_strcmp0(property, "Patterns") == 0)
    return g_variant_ref(ref->monitor->patterns_value);
  g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "Unknown property %s", property);
  return NULL;
}

const GDBusInterfaceVTable kRootVTable = {on_root_method, NULL, NULL, {NULL}};
const GDBusInterfaceVTable kMonitorVTable = {on_monitor_method, on_monitor_get_property, NULL, {NULL}};

/* Removes one application's objects from the bus. */
void unexport_objects(GDBusConnection *connection, guint serial, guint root_id, guint monitor_id) {
  if (monitor_id != 0) {
    g_dbus_connection_unregister_object(connection, monitor_id);
    const gchar *removed[] = {kMonitorInterface, NULL};
    g_dbus_connection_emit_signal(connection, NULL, app_root_path(serial).c_str(), kObjectManagerInterface,
                                  "InterfacesRemoved",
                                  g_variant_new("(o^as)", app_monitor_path(serial).c_str(), removed), NULL);
  }
  if (root_id != 0)
    g_dbus_connection_unregister_object(connection, root_id);
}

void unexport(AdvwatchMonitor *monitor) {
  unexport_objects(monitor->connection, monitor->serial, monitor->root_id, monitor->monitor_id);
  monitor->root_id = 0;
  monitor->monitor_id = 0;
}

/* An application being unregistered; its objects stay exported until
 * BlueZ answered, so that the Release() it sends first finds them. */
struct Retired {
  AdvwatchMonitor *monitor;
  guint serial;
  guint root_id;
  guint monitor_id;
};

void on_unregistered(GObject *source, GAsyncResult *result, gpointer data) {
  auto *retired = static_cast<Retired *>(data);
  g_autoptr(GError) error = NULL;
  g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
  if (reply == NULL)
    g_debug("advwatch: unregistering %s: %s", app_root_path(retired->serial).c_str(), error->message);
  unexport_objects(retired->monitor->connection, retired->serial, retired->root_id, retired->monitor_id);
  monitor_unref(retired->monitor);
  delete retired;
}

/* For a registration that was already withdrawn: the reply does not matter. */
void send_unregister(AdvwatchMonitor *monitor, guint serial) {
  g_dbus_connection_call(monitor->connection, kBluezName, monitor->adapter_path.c_str(), kManagerInterface,
                         "UnregisterMonitor", g_variant_new("(o)", app_root_path(serial).c_str()), NULL,
                         G_DBUS_CALL_FLAGS_NONE, -1, NULL, NULL, NULL);
}

void on_registered(GObject *source, GAsyncResult *result, gpointer data) {
  auto *ref = static_cast<RegistrationRef *>(data);
  AdvwatchMonitor *monitor = ref->monitor;
  g_autoptr(GError) error = NULL;
  g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
  const std::string root = app_root_path(ref->serial);
  guarded("registering with BlueZ", [&] {
    const bool current = is_current(ref) && monitor->registered;
    if (reply != NULL) {
      if (current) {
        g_debug("advwatch: BlueZ accepted beacon monitor %s on %s", root.c_str(), monitor->adapter_path.c_str());
      } else {
        // Paused or cleaned up while BlueZ was still registering us: the
        // earlier UnregisterMonitor may have come too early to find it.
        send_unregister(monitor, ref->serial);
      }
      return;
    }
    if (!current) {
      g_debug("advwatch: registration of %s ended after it was withdrawn: %s", root.c_str(), error->message);
      return;
    }
    monitor->registered = false;
    if (monitor->state == State::Registering || monitor->state == State::Active) {
      g_warning("advwatch: registering beacon monitor %s with BlueZ on %s failed: %s; it reports no beacons "
                "until it is started again",
                root.c_str(), monitor->adapter_path.c_str(), error->message);
      notify_state(monitor, State::Failed, error);
    }
  });
  registration_ref_free(ref);
}
}  // namespace

/* Ends the current registration without waiting: BlueZ forgets it and
 * its objects go once BlueZ answered (or at once when BlueZ holds none). */
void stop_registration(AdvwatchMonitor *monitor) {
  if (!monitor->registered) {
    unexport(monitor);
    return;
  }
  monitor->registered = false;
  auto *retired = new Retired{monitor_ref(monitor), monitor->serial, monitor->root_id, monitor->monitor_id};
  monitor->root_id = 0;
  monitor->monitor_id = 0;
  ContextScope scope(monitor->context);
  g_dbus_connection_call(monitor->connection, kBluezName, monitor->adapter_path.c_str(), kManagerInterface,
                         "UnregisterMonitor", g_variant_new("(o)", app_root_path(retired->serial).c_str()), NULL,
                         G_DBUS_CALL_FLAGS_NONE, -1, NULL, on_unregistered, retired);
}

/* Exports a new application and asks BlueZ to register it. */
bool start_registration(AdvwatchMonitor *monitor, GError **error) {
  ContextScope scope(monitor->context);
  monitor->serial = next_app_serial();
  const std::string root = app_root_path(monitor->serial);
  const std::string child = app_monitor_path(monitor->serial);
  GDBusNodeInfo *info = introspection();

  monitor->root_id = g_dbus_connection_register_object(
      monitor->connection, root.c_str(), g_dbus_node_info_lookup_interface(info, kObjectManagerInterface),
      &kRootVTable, registration_ref_new(monitor), registration_ref_free, error);
  if (monitor->root_id == 0) {
    g_prefix_error(error, "Cannot export the beacon monitor application %s: ", root.c_str());
    return false;
  }
  monitor->monitor_id = g_dbus_connection_register_object(
      monitor->connection, child.c_str(), g_dbus_node_info_lookup_interface(info, kMonitorInterface),
      &kMonitorVTable, registration_ref_new(monitor), registration_ref_free, error);
  if (monitor->monitor_id == 0) {
    g_prefix_error(error, "Cannot export the beacon monitor %s: ", child.c_str());
    unexport(monitor);
    return false;
  }

  monitor->state = State::Registering;
  monitor->registered = true;
  // Asynchronous: BlueZ calls GetManagedObjects on us before it answers.
  g_dbus_connection_call(monitor->connection, kBluezName, monitor->adapter_path.c_str(), kManagerInterface,
                         "RegisterMonitor", g_variant_new("(o)", root.c_str()), G_VARIANT_TYPE_UNIT,
                         G_DBUS_CALL_FLAGS_NONE, -1, NULL, on_registered, registration_ref_new(monitor));
  g_debug("advwatch: registering beacon monitor %s on %s", root.c_str(), monitor->adapter_path.c_str());
  return true;
}

}  // namespace advwatch

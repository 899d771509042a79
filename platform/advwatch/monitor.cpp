/* libadvwatch: a beacon monitor over BlueZ's Advertisement Monitor API.
 *
 * A monitor exports an application (an ObjectManager root with one
 * org.bluez.AdvertisementMonitor1 child) and registers it with the
 * adapter's AdvertisementMonitorManager1. BlueZ announces matching
 * advertisements as Device1 property changes and DeviceFound() calls; the
 * monitor tracks the devices' ManufacturerData, decodes beacons, filters
 * them against its own patterns (the signals also carry devices that other
 * clients asked for) and reports each (address, sequence number) once.
 *
 * Everything runs on the main context that was thread-default at init:
 * method calls, signal subscriptions and async replies are all dispatched
 * there. Each of those holds a reference on the monitor, so the object
 * outlives late deliveries; the `closed` flag and the registration serial
 * keep them from reporting anything after cleanup or a pause. */
#include <gio/gio.h>
#include <string.h>

#include <exception>
#include <list>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "advwatch-private.h"
#include "advwatch-utils.h"
#include "advwatch.h"
#include "config.h"

#if GLIB_SIZEOF_VOID_P == 8
G_STATIC_ASSERT(sizeof(AdvwatchMonitorConfig) == 48);
#endif

namespace {

constexpr const char kBluezName[] = "org.bluez";
constexpr const char kManagerInterface[] = "org.bluez.AdvertisementMonitorManager1";
constexpr const char kMonitorInterface[] = "org.bluez.AdvertisementMonitor1";
constexpr const char kDeviceInterface[] = "org.bluez.Device1";
constexpr const char kObjectManagerInterface[] = "org.freedesktop.DBus.ObjectManager";
constexpr const char kPropertiesInterface[] = "org.freedesktop.DBus.Properties";
constexpr const char kAppBasePath[] = "/com/vemo/advwatch";
constexpr guint8 kAdTypeManufacturerData = 0xFF;
/* What the controller reports when it has no RSSI for a packet. */
constexpr gint16 kRssiUnknown = 127;
/* Repeat suppression: senders remembered, recent sequence numbers kept per
 * sender, and how long a heard sequence number counts as a repeat. A sender
 * with several advertisements on air alternates between their numbers, so
 * one "last number" per sender is not enough. */
constexpr size_t kMaxSenders = 256;
/* Half the 8-bit sequence space: up to that many of one sender's beacons
 * may be on air at once without a repeat being taken for new, while a number
 * that comes round again after a wrap has long been forgotten. */
constexpr size_t kSequenceWindow = 128;
constexpr gint64 kRepeatWindowUs = 60 * G_USEC_PER_SEC;
/* Only the bus daemon is asked synchronously; it answers promptly. */
constexpr int kBusDaemonTimeoutMs = 5000;

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

enum class State {
  Registering, /* exported, RegisterMonitor sent or answered, not yet activated */
  Active,      /* BlueZ called Activate() */
  Paused,      /* unregistered by advwatch_monitor_pause() */
  Released,    /* BlueZ called Release() */
  Failed,      /* RegisterMonitor failed */
  BluezGone,   /* org.bluez left the bus */
};

const char *state_name(State state) {
  switch (state) {
    case State::Registering:
      return "registering";
    case State::Active:
      return "active";
    case State::Paused:
      return "paused";
    case State::Released:
      return "released by BlueZ";
    case State::Failed:
      return "not registered: registration with BlueZ failed";
    case State::BluezGone:
      return "not registered: BlueZ left the bus";
  }
  return "unknown";
}

struct Device {
  std::string address;
  bool has_address = false;
  gint16 rssi = kRssiUnknown;
  bool has_data = false;
  std::vector<guint8> data; /* manufacturer data of our company identifier */
  bool fetching = false;
};

struct Heard {
  guint8 sequence;
  gint64 when;
};

struct Sender {
  std::vector<Heard> heard; /* oldest first, at most kSequenceWindow */
  std::list<std::string>::iterator lru;
};

/* Runs @f, keeping C++ exceptions out of GLib's C frames. */
template <typename F>
void guarded(const char *what, F &&f) noexcept {
  try {
    f();
  } catch (const std::exception &e) {
    g_warning("advwatch: %s failed: %s", what, e.what());
  } catch (...) {
    g_warning("advwatch: %s failed with an unknown exception", what);
  }
}

/* Makes @context thread-default while alive, so that registrations and
 * async calls started here deliver to the monitor's context even when the
 * caller pushed another one. */
class ContextScope {
 public:
  explicit ContextScope(GMainContext *context) {
    g_autoptr(GMainContext) current = g_main_context_ref_thread_default();
    if (current != context) {
      g_main_context_push_thread_default(context);
      pushed_ = context;
    }
  }
  ~ContextScope() {
    if (pushed_ != NULL)
      g_main_context_pop_thread_default(pushed_);
  }
  ContextScope(const ContextScope &) = delete;
  ContextScope &operator=(const ContextScope &) = delete;

 private:
  GMainContext *pushed_ = NULL;
};

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

}  // namespace

struct _AdvwatchMonitor {
  gatomicrefcount refs;
  bool closed = false;
  GMainContext *context = NULL;
  GDBusConnection *connection = NULL;
  GCancellable *cancellable = NULL;

  std::string adapter_path;
  std::string device_prefix; /* adapter_path + "/" */
  std::string system_id;
  AdvwatchBeaconFunc callback = NULL;
  gpointer user_data = NULL;
  AdvwatchStateFunc state_callback = NULL;
  gpointer state_user_data = NULL;
  AdvwatchStats stats = {};
  GPtrArray *or_patterns = NULL;
  std::vector<std::string> wanted_ids; /* lower-case; empty: every beacon */
  GVariant *patterns_value = NULL;     /* the Patterns property, a(yyay) */

  State state = State::Registering;
  guint serial = 0; /* number of the current application path */
  guint root_id = 0;
  guint monitor_id = 0;
  bool registered = false; /* BlueZ may hold our application: unregister it */

  std::string bluez_owner; /* unique name of org.bluez, empty when absent */
  guint owner_sub = 0;
  guint added_sub = 0;
  guint removed_sub = 0;
  guint changed_sub = 0;

  std::unordered_map<std::string, Device> devices;
  std::unordered_map<std::string, Sender> senders;
  std::list<std::string> sender_lru; /* most recently heard first */
};

namespace {

AdvwatchMonitor *monitor_ref(AdvwatchMonitor *monitor) {
  g_atomic_ref_count_inc(&monitor->refs);
  return monitor;
}

void monitor_unref(gpointer data) {
  auto *monitor = static_cast<AdvwatchMonitor *>(data);
  if (!g_atomic_ref_count_dec(&monitor->refs))
    return;
  g_clear_object(&monitor->cancellable);
  g_clear_object(&monitor->connection);
  g_clear_pointer(&monitor->patterns_value, g_variant_unref);
  g_clear_pointer(&monitor->or_patterns, g_ptr_array_unref);
  g_clear_pointer(&monitor->context, g_main_context_unref);
  delete monitor;
}

/* Holds a reference for the extent of a handler: the user's callback may
 * clean the monitor up under our feet. */
class Hold {
 public:
  explicit Hold(AdvwatchMonitor *monitor) : monitor_(monitor_ref(monitor)) {}
  ~Hold() { monitor_unref(monitor_); }
  Hold(const Hold &) = delete;
  Hold &operator=(const Hold &) = delete;

 private:
  AdvwatchMonitor *monitor_;
};

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

bool reporting(const AdvwatchMonitor *monitor) {
  return !monitor->closed && (monitor->state == State::Registering || monitor->state == State::Active);
}

bool from_bluez(const AdvwatchMonitor *monitor, const gchar *sender) {
  return sender != NULL && !monitor->bluez_owner.empty() && monitor->bluez_owner == sender;
}

bool below_adapter(const AdvwatchMonitor *monitor, const gchar *path) {
  return g_str_has_prefix(path, monitor->device_prefix.c_str()) && strchr(path + monitor->device_prefix.size(), '/') == NULL;
}

AdvwatchMonitorState public_state(State state) {
  switch (state) {
    case State::Registering:
      return ADVWATCH_MONITOR_STATE_REGISTERING;
    case State::Active:
      return ADVWATCH_MONITOR_STATE_ACTIVE;
    case State::Paused:
      return ADVWATCH_MONITOR_STATE_PAUSED;
    case State::Released:
      return ADVWATCH_MONITOR_STATE_RELEASED;
    case State::Failed:
      return ADVWATCH_MONITOR_STATE_FAILED;
    case State::BluezGone:
      return ADVWATCH_MONITOR_STATE_BLUEZ_GONE;
  }
  return ADVWATCH_MONITOR_STATE_FAILED;
}

/* Tells the owner that BlueZ moved the monitor to @state. Callers hold a
 * reference: the owner may clean the monitor up from the callback. */
void notify_state(AdvwatchMonitor *monitor, State state, const GError *error) {
  monitor->state = state;
  if (monitor->closed || monitor->state_callback == NULL)
    return;
  try {
    monitor->state_callback(monitor, public_state(state), error, monitor->state_user_data);
  } catch (...) {
    g_warning("advwatch: the state callback threw an exception; it must not");
  }
}

/* ---- repeat suppression ---------------------------------------------- */

bool is_repeat(AdvwatchMonitor *monitor, const std::string &address, guint8 sequence) {
  const gint64 now = g_get_monotonic_time();
  auto found = monitor->senders.find(address);
  if (found == monitor->senders.end()) {
    monitor->sender_lru.push_front(address);
    Sender sender;
    sender.lru = monitor->sender_lru.begin();
    sender.heard.push_back({sequence, now});
    monitor->senders.emplace(address, std::move(sender));
    if (monitor->senders.size() > kMaxSenders) {
      monitor->senders.erase(monitor->sender_lru.back());
      monitor->sender_lru.pop_back();
    }
    return false;
  }

  Sender &sender = found->second;
  monitor->sender_lru.splice(monitor->sender_lru.begin(), monitor->sender_lru, sender.lru);
  for (Heard &heard : sender.heard) {
    if (heard.sequence == sequence) {
      const bool repeat = now - heard.when < kRepeatWindowUs;
      // A repeat keeps the advertisement's number alive for as long as it
      // stays on air.
      heard.when = now;
      return repeat;
    }
  }
  sender.heard.push_back({sequence, now});
  if (sender.heard.size() > kSequenceWindow)
    sender.heard.erase(sender.heard.begin());
  return false;
}

/* ---- beacons ---------------------------------------------------------- */

bool wanted(const AdvwatchMonitor *monitor, const AdvwatchBeacon *beacon) {
  if (monitor->wanted_ids.empty())
    return true;
  const gchar *system_id = advwatch_beacon_get_system_id(beacon);
  for (const std::string &id : monitor->wanted_ids)
    if (g_ascii_strcasecmp(id.c_str(), system_id) == 0)
      return true;
  return false;
}

void fetch_device(AdvwatchMonitor *monitor, const std::string &path);

/* Reports the beacon that @path currently advertises, if it is a new one
 * the monitor wants. May run the user's callback: callers hold a reference
 * and check `closed` afterwards. */
void evaluate(AdvwatchMonitor *monitor, const std::string &path) {
  if (!reporting(monitor))
    return;
  auto found = monitor->devices.find(path);
  if (found == monitor->devices.end())
    return;
  Device &device = found->second;
  if (!device.has_address) {
    if (!device.fetching)
      fetch_device(monitor, path);
    return;
  }
  if (!device.has_data)
    return;

  g_autoptr(GError) error = NULL;
  g_autoptr(AdvwatchBeacon) beacon =
      advwatch_beacon_decode(BEACON_COMPANY_ID, device.data.data(), device.data.size(), device.address.c_str(),
                             device.rssi, &error);
  if (beacon == NULL) {
    g_debug("advwatch: %s: %s", path.c_str(), error->message);
    return;
  }
  monitor->stats.heard++;
  if (!wanted(monitor, beacon)) {
    monitor->stats.foreign++;
    g_debug("advwatch: ignoring beacon of System ID %s from %s: not one the monitor looks for",
            advwatch_beacon_get_system_id(beacon), device.address.c_str());
    return;
  }
  if (is_repeat(monitor, device.address, advwatch_beacon_get_sequence_number(beacon))) {
    monitor->stats.repeats++;
    return;
  }
  monitor->stats.reported++;

  g_debug("advwatch: beacon from %s: System ID %s, event %u, sequence %u, RSSI %d", device.address.c_str(),
          advwatch_beacon_get_system_id(beacon), advwatch_beacon_get_event_number(beacon),
          advwatch_beacon_get_sequence_number(beacon), advwatch_beacon_get_rssi(beacon));
  try {
    monitor->callback(beacon, monitor->user_data);
  } catch (...) {
    g_warning("advwatch: the beacon callback threw an exception; it must not");
  }
}

/* Applies Device1 properties; TRUE when they carried ManufacturerData. */
bool apply_device_properties(Device &device, GVariant *properties) {
  bool data_seen = false;
  GVariantIter iter;
  const gchar *name;
  GVariant *value;
  g_variant_iter_init(&iter, properties);
  while (g_variant_iter_loop(&iter, "{&sv}", &name, &value)) {
    if (g_strcmp0(name, "Address") == 0 && g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)) {
      device.address = g_variant_get_string(value, NULL);
      device.has_address = true;
    } else if (g_strcmp0(name, "RSSI") == 0 && g_variant_is_of_type(value, G_VARIANT_TYPE_INT16)) {
      device.rssi = g_variant_get_int16(value);
    } else if (g_strcmp0(name, "ManufacturerData") == 0 &&
               g_variant_is_of_type(value, G_VARIANT_TYPE("a{qv}"))) {
      data_seen = true;
      device.has_data = false;
      device.data.clear();
      GVariantIter companies;
      guint16 company;
      GVariant *bytes;
      g_variant_iter_init(&companies, value);
      while (g_variant_iter_loop(&companies, "{qv}", &company, &bytes)) {
        if (company != BEACON_COMPANY_ID || !g_variant_is_of_type(bytes, G_VARIANT_TYPE_BYTESTRING))
          continue;
        gsize length = 0;
        const auto *raw = static_cast<const guint8 *>(g_variant_get_fixed_array(bytes, &length, 1));
        device.data.assign(raw, raw + length);
        device.has_data = true;
      }
    }
  }
  return data_seen;
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
    auto found = monitor->devices.find(call->path);
    if (found == monitor->devices.end())
      return;  // removed meanwhile
    found->second.fetching = false;
    if (reply == NULL) {
      if (!g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
        g_debug("advwatch: cannot read the properties of %s: %s", call->path.c_str(), error->message);
      return;
    }
    g_autoptr(GVariant) properties = g_variant_get_child_value(reply, 0);
    apply_device_properties(found->second, properties);
    evaluate(monitor, call->path);
  });
  monitor_unref(monitor);
  delete call;
}

/* The device is unknown (it appeared before the monitor started): ask
 * BlueZ for its address and data. */
void fetch_device(AdvwatchMonitor *monitor, const std::string &path) {
  monitor->devices[path].fetching = true;
  ContextScope scope(monitor->context);
  g_dbus_connection_call(monitor->connection, kBluezName, path.c_str(), kPropertiesInterface, "GetAll",
                         g_variant_new("(s)", kDeviceInterface), G_VARIANT_TYPE("(a{sv})"),
                         G_DBUS_CALL_FLAGS_NONE, -1, monitor->cancellable, on_device_fetched,
                         new FetchCall{monitor_ref(monitor), path});
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
    const gchar *path;
    g_autoptr(GVariant) interfaces = NULL;
    g_variant_get(parameters, "(&o@a{sa{sv}})", &path, &interfaces);
    if (!below_adapter(monitor, path))
      return;
    g_autoptr(GVariant) properties = g_variant_lookup_value(interfaces, kDeviceInterface, G_VARIANT_TYPE_VARDICT);
    if (properties == NULL)
      return;
    if (apply_device_properties(monitor->devices[path], properties))
      evaluate(monitor, path);
  });
}

void on_interfaces_removed(GDBusConnection *, const gchar *sender, const gchar *, const gchar *, const gchar *,
                           GVariant *parameters, gpointer data) {
  auto *monitor = static_cast<AdvwatchMonitor *>(data);
  Hold hold(monitor);
  guarded("forgetting a device", [&] {
    if (monitor->closed || !from_bluez(monitor, sender) || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(oas)")))
      return;
    const gchar *path;
    g_autofree const gchar **interfaces = NULL;
    g_variant_get(parameters, "(&o^a&s)", &path, &interfaces);
    if (below_adapter(monitor, path) && g_strv_contains(interfaces, kDeviceInterface))
      monitor->devices.erase(path);
  });
}

void on_properties_changed(GDBusConnection *, const gchar *sender, const gchar *path, const gchar *,
                           const gchar *, GVariant *parameters, gpointer data) {
  auto *monitor = static_cast<AdvwatchMonitor *>(data);
  Hold hold(monitor);
  guarded("tracking a device's properties", [&] {
    if (monitor->closed || !from_bluez(monitor, sender) || !below_adapter(monitor, path) ||
        !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sa{sv}as)")))
      return;
    const gchar *interface;
    g_autoptr(GVariant) changed = NULL;
    g_autofree const gchar **invalidated = NULL;
    g_variant_get(parameters, "(&s@a{sv}^a&s)", &interface, &changed, &invalidated);
    if (g_strcmp0(interface, kDeviceInterface) != 0)
      return;
    Device &device = monitor->devices[path];
    bool data_seen = apply_device_properties(device, changed);
    if (g_strv_contains(invalidated, "ManufacturerData")) {
      device.has_data = false;
      device.data.clear();
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
    monitor->devices.clear();
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
    const gchar *path;
    g_variant_get(parameters, "(&o)", &path);
    if (!reporting(monitor) || !below_adapter(monitor, path))
      return;
    // Unknown devices are read from BlueZ first; known ones are current.
    monitor->devices[path];
    evaluate(monitor, path);
  } else if (g_strcmp0(method, "DeviceLost") == 0) {
    const gchar *path;
    g_variant_get(parameters, "(&o)", &path);
    g_debug("advwatch: BlueZ lost %s", path);
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

/* ---- set-up ----------------------------------------------------------- */

bool validate_config(const AdvwatchMonitorConfig *config, GError **error) {
  if (config->adapter_path == NULL || !g_variant_is_object_path(config->adapter_path)) {
    g_autofree gchar *shown =
        config->adapter_path != NULL ? g_strescape(config->adapter_path, NULL) : g_strdup("(none)");
    g_set_error(error, ADVWATCH_ERROR, ADVWATCH_ERROR_INVALID_ARGUMENT,
                "Beacon monitor adapter path \"%s\" is not a D-Bus object path", shown);
    return false;
  }
  if (config->callback == NULL) {
    g_set_error(error, ADVWATCH_ERROR, ADVWATCH_ERROR_INVALID_ARGUMENT,
                "Beacon monitor on %s has no beacon callback", config->adapter_path);
    return false;
  }
  if (config->options != ADVWATCH_MONITOR_OPTIONS_NONE) {
    g_set_error(error, ADVWATCH_ERROR, ADVWATCH_ERROR_INVALID_ARGUMENT,
                "Beacon monitor on %s: unknown options 0x%x", config->adapter_path,
                static_cast<unsigned>(config->options));
    return false;
  }
  if (config->system_id != NULL && !g_utf8_validate(config->system_id, -1, NULL)) {
    g_set_error(error, ADVWATCH_ERROR, ADVWATCH_ERROR_INVALID_ARGUMENT,
                "Beacon monitor on %s: System ID is not UTF-8 text", config->adapter_path);
    return false;
  }
  if (config->or_patterns != NULL) {
    for (guint i = 0; i < config->or_patterns->len; i++) {
      const auto *pattern = static_cast<const AdvwatchPattern *>(g_ptr_array_index(config->or_patterns, i));
      if (pattern == NULL || pattern->kind != ADVWATCH_PATTERN_SYSTEM_ID) {
        g_set_error(error, ADVWATCH_ERROR, ADVWATCH_ERROR_INVALID_ARGUMENT,
                    "Beacon monitor on %s: or-pattern %u was not made by advwatch_pattern_add()",
                    config->adapter_path, i);
        return false;
      }
    }
  }
  return true;
}

/* The Patterns property and the matching set, from the or-patterns. */
void build_patterns(AdvwatchMonitor *monitor) {
  const guint8 prefix[] = {static_cast<guint8>(BEACON_COMPANY_ID & 0xFF),
                           static_cast<guint8>((BEACON_COMPANY_ID >> 8) & 0xFF), ADVWATCH_BEACON_VERSION};
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a(yyay)"));
  std::vector<std::vector<guint8>> contents;
  if (monitor->or_patterns != NULL) {
    for (guint i = 0; i < monitor->or_patterns->len; i++) {
      const auto *pattern = static_cast<const AdvwatchPattern *>(g_ptr_array_index(monitor->or_patterns, i));
      std::vector<guint8> content(prefix, prefix + sizeof prefix);
      content.insert(content.end(), pattern->system_id, pattern->system_id + sizeof pattern->system_id);
      bool duplicate = false;
      for (const auto &seen : contents)
        duplicate = duplicate || seen == content;
      if (duplicate)
        continue;
      contents.push_back(content);
      monitor->wanted_ids.emplace_back(pattern->text);
    }
  }
  // BlueZ needs at least one pattern: without System IDs, every beacon.
  if (contents.empty())
    contents.emplace_back(prefix, prefix + sizeof prefix);
  for (const auto &content : contents)
    g_variant_builder_add(&builder, "(yy@ay)", 0, kAdTypeManufacturerData,
                          g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, content.data(), content.size(), 1));
  monitor->patterns_value = g_variant_ref_sink(g_variant_builder_end(&builder));
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
  monitor->added_sub = g_dbus_connection_signal_subscribe(
      connection, kBluezName, kObjectManagerInterface, "InterfacesAdded", "/", NULL, G_DBUS_SIGNAL_FLAGS_NONE,
      on_interfaces_added, monitor_ref(monitor), monitor_unref);
  monitor->removed_sub = g_dbus_connection_signal_subscribe(
      connection, kBluezName, kObjectManagerInterface, "InterfacesRemoved", "/", NULL, G_DBUS_SIGNAL_FLAGS_NONE,
      on_interfaces_removed, monitor_ref(monitor), monitor_unref);
  monitor->changed_sub = g_dbus_connection_signal_subscribe(
      connection, kBluezName, kPropertiesInterface, "PropertiesChanged", NULL, kDeviceInterface,
      G_DBUS_SIGNAL_FLAGS_NONE, on_properties_changed, monitor_ref(monitor), monitor_unref);
}

void unsubscribe(AdvwatchMonitor *monitor) {
  for (guint *id : {&monitor->owner_sub, &monitor->added_sub, &monitor->removed_sub, &monitor->changed_sub}) {
    if (*id != 0)
      g_dbus_connection_signal_unsubscribe(monitor->connection, *id);
    *id = 0;
  }
}

bool check_state(AdvwatchMonitor *monitor, const char *action, GError **error) {
  if (monitor->state == State::Released || monitor->state == State::Failed ||
      monitor->state == State::BluezGone) {
    g_set_error(error, ADVWATCH_ERROR, ADVWATCH_ERROR_STATE,
                "Cannot %s the beacon monitor on %s: it is %s; clean it up and start a new one", action,
                monitor->adapter_path.c_str(), state_name(monitor->state));
    return false;
  }
  return true;
}

}  // namespace

ADVWATCH_PUBLIC AdvwatchMonitor *advwatch_monitor_init(const AdvwatchMonitorConfig *config, GError **error) {
  g_return_val_if_fail(config != NULL, NULL);
  g_return_val_if_fail(error == NULL || *error == NULL, NULL);

  if (!validate_config(config, error))
    return NULL;

  g_autoptr(GError) bus_error = NULL;
  g_autoptr(GDBusConnection) connection = g_bus_get_sync(G_BUS_TYPE_SYSTEM, NULL, &bus_error);
  if (connection == NULL) {
    g_set_error(error, ADVWATCH_ERROR, ADVWATCH_ERROR_BUS,
                "Cannot start the beacon monitor on %s: no system bus: %s", config->adapter_path,
                bus_error->message);
    return NULL;
  }

  auto *monitor = new _AdvwatchMonitor();
  g_atomic_ref_count_init(&monitor->refs);
  monitor->context = g_main_context_ref_thread_default();
  monitor->connection = static_cast<GDBusConnection *>(g_steal_pointer(&connection));
  monitor->cancellable = g_cancellable_new();
  monitor->adapter_path = config->adapter_path;
  monitor->device_prefix = monitor->adapter_path + "/";
  monitor->system_id = config->system_id != NULL ? config->system_id : "";
  monitor->callback = config->callback;
  monitor->user_data = config->user_data;
  if (config->or_patterns != NULL)
    monitor->or_patterns = g_ptr_array_ref(config->or_patterns);
  build_patterns(monitor);

  subscribe(monitor);
  g_autoptr(GError) export_error = NULL;
  if (!start_registration(monitor, &export_error)) {
    g_set_error(error, ADVWATCH_ERROR, ADVWATCH_ERROR_BUS, "%s", export_error->message);
    monitor->closed = true;
    unsubscribe(monitor);
    monitor_unref(monitor);
    return NULL;
  }
  g_message("advwatch: beacon monitor for System ID %s started on %s",
            monitor->system_id.empty() ? "(any)" : monitor->system_id.c_str(), monitor->adapter_path.c_str());
  return monitor;
}

ADVWATCH_PUBLIC gboolean advwatch_monitor_pause(AdvwatchMonitor *monitor, GError **error) {
  g_return_val_if_fail(monitor != NULL, FALSE);
  g_return_val_if_fail(error == NULL || *error == NULL, FALSE);

  if (!check_state(monitor, "pause", error))
    return FALSE;
  if (monitor->state == State::Paused) {
    g_set_error(error, ADVWATCH_ERROR, ADVWATCH_ERROR_STATE, "Cannot pause the beacon monitor on %s: it is already paused",
                monitor->adapter_path.c_str());
    return FALSE;
  }
  stop_registration(monitor);
  monitor->state = State::Paused;
  g_message("advwatch: beacon monitor on %s paused", monitor->adapter_path.c_str());
  return TRUE;
}

ADVWATCH_PUBLIC gboolean advwatch_monitor_resume(AdvwatchMonitor *monitor, GError **error) {
  g_return_val_if_fail(monitor != NULL, FALSE);
  g_return_val_if_fail(error == NULL || *error == NULL, FALSE);

  if (!check_state(monitor, "resume", error))
    return FALSE;
  if (monitor->state != State::Paused) {
    g_set_error(error, ADVWATCH_ERROR, ADVWATCH_ERROR_STATE, "Cannot resume the beacon monitor on %s: it is not paused",
                monitor->adapter_path.c_str());
    return FALSE;
  }
  g_autoptr(GError) export_error = NULL;
  if (!start_registration(monitor, &export_error)) {
    g_set_error(error, ADVWATCH_ERROR, ADVWATCH_ERROR_BUS, "Cannot resume the beacon monitor on %s: %s",
                monitor->adapter_path.c_str(), export_error->message);
    return FALSE;
  }
  g_message("advwatch: beacon monitor on %s resumed", monitor->adapter_path.c_str());
  return TRUE;
}

ADVWATCH_PUBLIC void advwatch_monitor_get_stats(AdvwatchMonitor *monitor, AdvwatchStats *stats) {
  g_return_if_fail(monitor != NULL);
  g_return_if_fail(stats != NULL);
  *stats = monitor->stats;
}

ADVWATCH_PUBLIC AdvwatchMonitorState advwatch_monitor_get_state(AdvwatchMonitor *monitor) {
  g_return_val_if_fail(monitor != NULL, ADVWATCH_MONITOR_STATE_FAILED);
  return public_state(monitor->state);
}

ADVWATCH_PUBLIC void advwatch_monitor_set_state_callback(AdvwatchMonitor *monitor, AdvwatchStateFunc callback,
                                                         gpointer user_data) {
  g_return_if_fail(monitor != NULL);
  monitor->state_callback = callback;
  monitor->state_user_data = user_data;
}

ADVWATCH_PUBLIC void advwatch_monitor_cleanup(AdvwatchMonitor *monitor) {
  g_return_if_fail(monitor != NULL);

  monitor->closed = true;
  stop_registration(monitor);
  unsubscribe(monitor);
  g_cancellable_cancel(monitor->cancellable);
  monitor->devices.clear();
  monitor->senders.clear();
  monitor->sender_lru.clear();
  g_debug("advwatch: beacon monitor on %s cleaned up", monitor->adapter_path.c_str());
  monitor_unref(monitor);
}

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
/* Devices the monitor follows (BlueZ reported them, or their first data
 * carried a beacon the monitor wants) get a match rule each, so that the
 * bus sends us their property changes and nothing of the other devices
 * nearby. Beyond this many, one rule for the whole adapter replaces them
 * until fewer than half remain: the bus daemon allows a connection only a
 * few hundred rules (512 by default on the system bus). */
constexpr size_t kMaxDeviceRules = 128;
/* Manufacturer data bytes kept per device: the most a legacy advertisement
 * carries after the company identifier. */
constexpr size_t kKeptDataBytes = 27;

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

/* What the monitor keeps of a device, in one small allocation: BlueZ may
 * keep thousands of devices. */
struct Device {
  char address[18] = ""; /* "XX:XX:XX:XX:XX:XX"; empty until known */
  /* The first bytes of our company's manufacturer data: a beacon needs
   * ADVWATCH_BEACON_PAYLOAD_MIN of them, the rest is never read. */
  guint8 data[kKeptDataBytes];
  guint8 data_length = 0; /* bytes kept in data */
  gint16 rssi = kRssiUnknown;
  guint8 sequence = 0;
  bool has_data : 1;
  bool fetching : 1;
  bool reported : 1; /* followed: its changes are routed to us */
  bool has_rule : 1; /* a match rule of its own routes its changes to us */
  /* The current data was evaluated: a DeviceFound without new data only
   * refreshes the repeat window of the beacon found then. */
  bool evaluated : 1;
  bool wanted_beacon : 1;

  Device() : has_data(false), fetching(false), reported(false), has_rule(false), evaluated(false), wanted_beacon(false) {}
  bool has_address() const { return address[0] != '\0'; }
};

/* Devices are keyed by the address in their object path's last element,
 * "dev_XX_XX_XX_XX_XX_XX", as BlueZ names them. */
using DeviceKey = guint64;

static_assert(ADVWATCH_BEACON_PAYLOAD_MIN <= kKeptDataBytes, "a device keeps too few bytes for a beacon");
/* With the map's link, one 80-byte heap block per device. */
static_assert(sizeof(std::pair<const DeviceKey, Device>) <= 64, "a device record grew");

struct Heard {
  guint8 sequence;
  gint64 when;
};

struct Sender {
  std::vector<Heard> heard; /* oldest first, at most kSequenceWindow */
  std::list<guint64>::iterator lru;
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

  std::unordered_map<DeviceKey, Device> devices;
  size_t device_rules = 0;     /* devices with has_rule */
  size_t reported_devices = 0; /* devices with reported */
  bool wide = false;           /* the adapter-wide rule is in place */
  std::unordered_map<guint64, Sender> senders; /* by parse_address() */
  std::list<guint64> sender_lru;               /* most recently heard first */
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

bool is_repeat(AdvwatchMonitor *monitor, const gchar *address_text, guint8 sequence) {
  guint64 address = 0;
  parse_address(address_text, ':', false, &address); /* checked when the device learnt it */
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

/* Whether a debug message would be shown: the per-beacon ones cost more to
 * format and drop than the rest of a beacon's handling. */
bool debug_enabled() {
  return !g_log_writer_default_would_drop(G_LOG_LEVEL_DEBUG, G_LOG_DOMAIN);
}

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
void evaluate(AdvwatchMonitor *monitor, const gchar *path) {
  if (!reporting(monitor))
    return;
  Device *found = find_device(monitor, path);
  if (found == NULL)
    return;
  Device &device = *found;
  if (!device.has_address()) {
    if (!device.fetching)
      fetch_device(monitor, path);
    return;
  }
  if (!device.has_data)
    return;

  if (device.evaluated) {
    // Nothing new since the last look: a repeat, unless its number was
    // forgotten meanwhile.
    monitor->stats.heard++;
    if (!device.wanted_beacon) {
      monitor->stats.foreign++;
      return;
    }
    if (is_repeat(monitor, device.address, device.sequence)) {
      monitor->stats.repeats++;
      return;
    }
    monitor->stats.heard--;  // counted again below
  }

  g_autoptr(GError) error = NULL;
  g_autoptr(AdvwatchBeacon) beacon =
      advwatch_beacon_decode(BEACON_COMPANY_ID, device.data, device.data_length, device.address,
                             device.rssi, &error);
  const bool fresh = !device.evaluated;
  device.evaluated = true;
  device.wanted_beacon = false;
  if (beacon == NULL) {
    g_debug("advwatch: %s: %s", path, error->message);
    return;
  }
  monitor->stats.heard++;
  if (!wanted(monitor, beacon)) {
    monitor->stats.foreign++;
    if (debug_enabled())
      g_debug("advwatch: ignoring beacon of System ID %s from %s: not one the monitor looks for",
            advwatch_beacon_get_system_id(beacon), device.address);
    return;
  }
  device.wanted_beacon = true;
  device.sequence = advwatch_beacon_get_sequence_number(beacon);
  if (fresh && is_repeat(monitor, device.address, device.sequence)) {
    monitor->stats.repeats++;
    return;
  }
  monitor->stats.reported++;

  if (debug_enabled())
    g_debug("advwatch: beacon from %s: System ID %s, event %u, sequence %u, RSSI %d", device.address,
          advwatch_beacon_get_system_id(beacon), advwatch_beacon_get_event_number(beacon),
          advwatch_beacon_get_sequence_number(beacon), advwatch_beacon_get_rssi(beacon));
  try {
    monitor->callback(beacon, monitor->user_data);
  } catch (...) {
    g_warning("advwatch: the beacon callback threw an exception; it must not");
  }
}

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
  forget_devices(monitor);
  monitor->senders.clear();
  monitor->sender_lru.clear();
  g_debug("advwatch: beacon monitor on %s cleaned up", monitor->adapter_path.c_str());
  monitor_unref(monitor);
}

/* libadvwatch's monitor, shared by its rooms:
 *
 *   monitor.cpp       the public functions, the monitor's lifetime, set-up
 *   application.cpp   the exported application and its registration
 *   subscriptions.cpp match rules and BlueZ's signals
 *   devices.cpp       device records, their keys, reading them from BlueZ
 *   evaluate.cpp      beacon evaluation with repeat suppression
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
#pragma once

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

namespace advwatch {

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

enum class State {
  Registering, /* exported, RegisterMonitor sent or answered, not yet activated */
  Active,      /* BlueZ called Activate() */
  Paused,      /* unregistered by advwatch_monitor_pause() */
  Released,    /* BlueZ called Release() */
  Failed,      /* RegisterMonitor failed */
  BluezGone,   /* org.bluez left the bus */
};

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
  /* With a keyring: the current data was refused (unsigned, forged, stale,
   * replayed) and is not judged again until it changes. */
  bool refused : 1;

  Device()
      : has_data(false), fetching(false), reported(false), has_rule(false), evaluated(false), wanted_beacon(false),
        refused(false) {}
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

}  // namespace advwatch

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
  AdvwatchKeyring *keyring = NULL; /* own reference; NULL: no verification */
  GPtrArray *or_patterns = NULL;
  std::vector<std::string> wanted_ids; /* lower-case; empty: every beacon */
  GVariant *patterns_value = NULL;     /* the Patterns property, a(yyay) */

  advwatch::State state = advwatch::State::Registering;
  guint serial = 0; /* number of the current application path */
  guint root_id = 0;
  guint monitor_id = 0;
  bool registered = false; /* BlueZ may hold our application: unregister it */

  std::string bluez_owner; /* unique name of org.bluez, empty when absent */
  guint owner_sub = 0;
  guint added_sub = 0;
  guint removed_sub = 0;
  guint changed_sub = 0;

  std::unordered_map<advwatch::DeviceKey, advwatch::Device> devices;
  size_t device_rules = 0;     /* devices with has_rule */
  size_t reported_devices = 0; /* devices with reported */
  bool wide = false;           /* the adapter-wide rule is in place */
  std::unordered_map<guint64, advwatch::Sender> senders; /* by parse_address() */
  std::list<guint64> sender_lru;                         /* most recently heard first */
};

namespace advwatch {

inline AdvwatchMonitor *monitor_ref(AdvwatchMonitor *monitor) {
  g_atomic_ref_count_inc(&monitor->refs);
  return monitor;
}

void monitor_unref(gpointer data);

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

inline bool reporting(const AdvwatchMonitor *monitor) {
  return !monitor->closed && (monitor->state == State::Registering || monitor->state == State::Active);
}

inline bool from_bluez(const AdvwatchMonitor *monitor, const gchar *sender) {
  return sender != NULL && !monitor->bluez_owner.empty() && monitor->bluez_owner == sender;
}

/* monitor.cpp */
void notify_state(AdvwatchMonitor *monitor, State state, const GError *error);

/* application.cpp */
bool start_registration(AdvwatchMonitor *monitor, GError **error);
void stop_registration(AdvwatchMonitor *monitor);

/* subscriptions.cpp */
void subscribe(AdvwatchMonitor *monitor);
void unsubscribe(AdvwatchMonitor *monitor);
bool follow_device(AdvwatchMonitor *monitor, const std::string &path, Device &device);
void forget_device(AdvwatchMonitor *monitor, const std::string &path);
void forget_devices(AdvwatchMonitor *monitor);

/* devices.cpp */
bool parse_address(const gchar *text, gchar separator, bool upper_only, guint64 *value);
bool device_key(const AdvwatchMonitor *monitor, const gchar *path, DeviceKey *key);
std::string device_path(const AdvwatchMonitor *monitor, DeviceKey key);
Device *find_device(AdvwatchMonitor *monitor, const gchar *path);
Device *ensure_device(AdvwatchMonitor *monitor, const gchar *path);
bool apply_device_properties(Device &device, GVariant *properties);
void fetch_device(AdvwatchMonitor *monitor, const std::string &path);
void reread_data(AdvwatchMonitor *monitor, const std::string &path);

/* evaluate.cpp */
void evaluate(AdvwatchMonitor *monitor, const gchar *path);

}  // namespace advwatch

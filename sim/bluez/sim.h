/* The simulated bluetoothd and its radios. One instance per process, run on
 * the thread-default main context of its creator.
 *
 * Split the way bluetoothd is: this record and the bus presence live in
 * sim.cpp, adapters and what they hear in adapter.cpp, devices in
 * device.cpp, advertisement monitors in adv_monitor.cpp, advertising in
 * advertising.cpp, the test controls in control.cpp.
 *
 * Two bus connections: the control connection owns com.vemo.Sim.BlueZ for
 * the whole run; the BlueZ connection owns org.bluez and is closed on
 * Leave and opened anew on Return, so clients see the daemon go away with
 * its unique name, as when bluetoothd restarts. */
#pragma once

#include <gio/gio.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ad.h"
#include "air.h"
#include "object-tree.h"

namespace bzsim {

struct Options {
  struct AdapterSpec {
    std::string name;
    bool monitor_manager = true;
    bool advertising_manager = true;
    int sets = -1;  /* hardware advertising sets; -1: advertising_sets */
  };
  std::vector<AdapterSpec> adapters;
  bool controller_filtering = false;
  guint device_timeout_s = 30;  /* 0: devices stay */
  guint advertising_instances = 4;
  /* Hardware advertising sets of each adapter: 0 for a legacy controller,
   * whose one set the kernel shares among instances by rotation; N for a
   * controller with extended advertising, N on air at once and N
   * instances; -1: one per instance, everything on air at once. */
  int advertising_sets = -1;
  guint rotation_ms = 2000;  /* bluetoothd's MultiAdvertisementRotationInterval */
  /* Air timing (advertising events, scan windows, loss); without it an
   * instance holding the air is heard at once and at every interval. */
  bool air = false;
  ScanTiming scan;
  double loss = 0;  /* per packet, 0..1 */
  guint32 seed = 0;
  /* After owning org.bluez, the adapters appear this much later, as
   * bluetoothd announces its controllers once the kernel listed them. */
  guint adapters_delay_ms = 50;
};

/* RSSI filtering of a monitor, as bluetoothd does it in software. */
struct RssiFilter {
  bool set = false;  /* all fields unset: DeviceFound per advertisement */
  gint16 high = 0;
  gint16 low = 0;
  guint16 high_timeout_s = 0;
  guint16 low_timeout_s = 0;
};

/* Parses "hciN[:nomonitor][:noadvertising][:sets=N]". */
bool parse_adapter_spec(const char *text, Options::AdapterSpec *out, GError **error);

class Simulator {
 public:
  explicit Simulator(Options options);
  ~Simulator();
  Simulator(const Simulator &) = delete;
  Simulator &operator=(const Simulator &) = delete;

  /* Connects to the system bus and requests org.bluez; the adapters appear
   * --adapters-delay after it is owned, and only then is the control name
   * requested, so whoever waits for it sees the whole tree. Fails when the
   * bus cannot be reached. @on_fatal runs when the control connection is
   * lost or its name cannot be owned. */
  bool start(std::function<void(const char *why)> on_fatal, GError **error);
  /* Drops every client, closes both connections and waits for outstanding
   * callbacks. */
  void shutdown();

 private:
  struct Adapter {
    std::string name;
    std::string path;
    std::string address;
    bool monitor_manager = true;
    bool advertising_manager = true;
    std::set<std::string> discovery_clients;
    std::map<std::string, Variant> discovery_filters;  /* by client */
    guint sets = 0;       /* hardware advertising sets */
    guint instances = 0;  /* advertisements it takes at once */
    uint64_t air_holder = 0;  /* with no hardware set: the instance on air */
    guint rotation_source = 0;
    double scan_phase_ms = 0;  /* its scanner's windows open here */
  };
  struct Device {
    std::string path;
    std::string adapter;
    std::string address;
    bool random = false;  /* AddressType "random" */
    bool persistent = false;  /* added through AddDevice: never expires */
    gint64 last_seen = 0;
  };
  /* Per device state of an RSSI-filtered monitor. */
  struct Tracked {
    gint64 high_since = 0;  /* monotonic µs; 0: not above the high threshold */
    gint64 low_since = 0;   /* 0: not below the low threshold */
    gint64 last_seen = 0;
    bool found = false;
    guint lost_source = 0;  /* DeviceLost when nothing is heard for the low timeout */
  };
  struct Monitor {
    std::string path;
    std::vector<OrPattern> patterns;
    RssiFilter rssi;
    bool activated = false;
    std::set<std::string> found;  /* devices announced with DeviceFound */
    std::map<std::string, Tracked> tracked;
  };
  struct MonitorApp {
    uint64_t id = 0;
    std::string sender;
    std::string root;
    std::string adapter;
    bool ready = false;
    GCancellable *cancellable = nullptr;
    GDBusMethodInvocation *invocation = nullptr;  /* RegisterMonitor awaiting its answer */
    guint added_subscription = 0;
    guint removed_subscription = 0;
    std::vector<Monitor> monitors;
  };
  struct Advertisement {
    uint64_t id = 0;
    std::string sender;
    std::string path;
    std::string adapter;
    bool active = false;
    GCancellable *cancellable = nullptr;
    GDBusMethodInvocation *invocation = nullptr;  /* RegisterAdvertisement awaiting its answer */
    AdData data;
    AdData scan_response;
    /* Sender address while on air: a fresh non-resolvable private address
     * for a non-connectable advertisement, else the adapter's. */
    std::string address;
    bool random_address = false;
    guint interval_ms = kDefaultIntervalMs;
    guint min_interval_ms = 0;  /* as asked; 0: the kernel's choice */
    guint max_interval_ms = 0;
    bool on_air = false;  /* holds the air (an advertising set) now */
    guint turns = 0;
    guint transmit_source = 0;
    guint timeout_source = 0;
  };

  /* Bus presence */
  void connect_bluez();
  void on_bluez_connected(GDBusConnection *connection, const GError *error);
  void on_bluez_owned();
  /* Adds the adapters to the bus (InterfacesAdded) once org.bluez is ours. */
  void publish_adapters();
  void own_control_name();
  void leave(GDBusMethodInvocation *invocation);
  void forget_clients();
  void forget_client(const std::string &sender);
  void answer_returns(const GError *error);

  /* Adapters and devices */
  bool add_adapter(const Options::AdapterSpec &spec, std::string *path, GError **error);
  void remove_adapter(const std::string &name);
  Adapter *adapter_by_name(const std::string &name);
  Adapter *adapter_by_path(const std::string &path);
  std::string device_path(const Adapter &adapter, const std::string &address) const;
  /* The device of @address below @adapter, created with @extra Device1
   * properties when new; nullptr when it cannot be exported. */
  Device *ensure_device(Adapter &adapter, const std::string &address, bool random, bool persistent,
                        const Properties &extra = {});
  void remove_device(const std::string &path);
  void schedule_expiry();
  void expire_devices();

  /* Radio: @scan_response reaches only adapters that scan actively. */
  void hear(Adapter &adapter, const std::string &address, bool random, const AdData &data,
            const AdData &scan_response, gint16 rssi);
  /* Device1 properties from what was heard, merged with what the device
   * at @path already shows, as bluetoothd fills them. */
  Properties device_properties(const std::string &path, const AdFields &fields, gint16 rssi) const;

  /* Monitors */
  void register_monitor(Adapter &adapter, GDBusMethodInvocation *invocation, const char *root);
  void unregister_monitor(Adapter &adapter, GDBusMethodInvocation *invocation, const char *root);
  void on_managed_objects(uint64_t id, GVariant *reply, const GError *error);
  void on_client_interfaces(uint64_t id, const char *signal, GVariant *params);
  void consider_monitor(MonitorApp &app, const char *path, GVariant *properties, bool activate_now);
  /* Reports @device to @monitor after its RSSI filter, as bluetoothd does. */
  void report_device(MonitorApp &app, Monitor &monitor, const std::string &device, gint16 rssi);
  void device_lost_timeout(uint64_t app_id, const std::string &monitor, const std::string &device);
  void stop_tracking(Monitor &monitor);
  void release_app(MonitorApp &app, bool tell_client);
  /* Releases and drops every monitor of @sender's applications, which stay
   * registered; false when it has none. */
  bool release_monitors(const std::string &sender);
  MonitorApp *app_by_id(uint64_t id);

  /* Advertising */
  void register_advertisement(Adapter &adapter, GDBusMethodInvocation *invocation, const char *path);
  void unregister_advertisement(Adapter &adapter, GDBusMethodInvocation *invocation, const char *path);
  void on_advertisement_properties(uint64_t id, GVariant *reply, const GError *error);
  void transmit(Advertisement &advertisement);
  /* Gives the air to the instances that hold it now (hardware sets, or the
   * rotation of the one set), taking it from the others. */
  void schedule_air(const std::string &adapter);
  void rotate(const std::string &adapter);
  void take_air(Advertisement &advertisement);
  void leave_air(Advertisement &advertisement);
  /* One advertising event of @id under the air model, and the timer of
   * the next one. */
  void advertising_event(uint64_t id);
  void schedule_event(Advertisement &advertisement, double delay_ms);
  void drop_advertisement(uint64_t id, bool tell_client);
  void update_instances(const std::string &adapter);
  Advertisement *advertisement_by_id(uint64_t id);

  /* Control interface */
  void control_call(GDBusMethodInvocation *invocation, const char *method, GVariant *params);
  MethodHandler adapter_handler(const std::string &name);

  Options options_;
  std::function<void(const char *)> on_fatal_;
  std::string bus_address_;
  ObjectTree bluez_tree_;
  ObjectTree control_tree_;
  GDBusConnection *control_connection_ = nullptr;
  guint control_owner_ = 0;
  gulong control_closed_handler_ = 0;
  GDBusConnection *bluez_connection_ = nullptr;
  GCancellable *connect_cancellable_ = nullptr;
  guint bluez_owner_ = 0;
  guint name_owner_subscription_ = 0;
  unsigned generation_ = 0;  /* of the BlueZ connection, for stale callbacks */
  bool present_ = false;    /* org.bluez is owned by us and the adapters are on the bus */
  bool connecting_ = false; /* until org.bluez is owned and the adapters published, or that failed */
  guint publish_source_ = 0;
  bool control_name_requested_ = false;
  std::vector<GDBusMethodInvocation *> pending_returns_;

  std::vector<std::unique_ptr<Adapter>> adapters_;
  std::map<std::string, Device> devices_;
  std::map<uint64_t, MonitorApp> monitor_apps_;
  std::map<uint64_t, Advertisement> advertisements_;
  uint64_t next_id_ = 1;
  unsigned next_adapter_index_ = 0;
  guint expiry_source_ = 0;
  guint failing_registrations_ = 0;  /* RegisterMonitor calls still to refuse */
  GRand *rand_ = nullptr;  /* the air model's, seeded */
};

}  // namespace bzsim

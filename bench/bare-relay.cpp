/* bare-relay: the least a program must do to turn beacons into events, with
 * plain GDBus and none of our libraries. beacon-bench sets kavrod against it.
 *
 * It exports an ObjectManager root with one org.bluez.AdvertisementMonitor1
 * child ("or_patterns": AD type 0xFF at offset 0, company identifier low
 * byte first, format version 1, the 16 System ID bytes), registers it with
 * the adapter asynchronously (BlueZ reads our root before it answers), reads
 * ManufacturerData from the adapter's Device1 InterfacesAdded and
 * PropertiesChanged signals, and for each new (device, sequence number) of
 * a beacon with event number 2 emits the signal
 * com.vemo.Event.Producer1.Event (ssxa{sv}) carrying "UUID".
 *
 * Run (on the bus DBUS_SYSTEM_BUS_ADDRESS names):
 *   bare-relay --system-id UUID [--adapter /org/bluez/hci0] [--company-id N]
 * Defaults: adapter /org/bluez/hci0, company identifier of the build
 * (BEACON_COMPANY_ID). Owns com.vemo.Bench.BareRelay; exits 0 on
 * SIGINT/SIGTERM, 1 when the bus or the name is lost. */
#include <array>
#include <cstring>
#include <string>
#include <unordered_map>

#include "bare.h"
#include "config.h"

namespace {

constexpr char kBusName[] = "com.vemo.Bench.BareRelay";
constexpr char kRootPath[] = "/com/vemo/Bench/BareRelay";
constexpr char kMonitorPath[] = "/com/vemo/Bench/BareRelay/monitor0";
constexpr char kProducerName[] = "bare-relay";
// Object paths take no "-".
constexpr char kProducerPath[] = "/com/vemo/Event/Producer/bare_relay";
constexpr char kProducerInterface[] = "com.vemo.Event.Producer1";
constexpr char kTopic[] = "tns1:Device/tnsvemo:Bluetooth/tnsvemo:BeaconReceived";
constexpr char kDeviceInterface[] = "org.bluez.Device1";
constexpr char kMonitorInterface[] = "org.bluez.AdvertisementMonitor1";
constexpr guint8 kVersion = 1;
constexpr guint8 kEventRecordingStarted = 2;
constexpr gsize kPayloadLength = 19;
constexpr int kUnregisterTimeoutMs = 2000;

constexpr char kIntrospection[] =
    "<node>"
    "  <interface name='org.freedesktop.DBus.ObjectManager'>"
    "    <method name='GetManagedObjects'>"
    "      <arg name='objects' type='a{oa{sa{sv}}}' direction='out'/>"
    "    </method>"
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

struct Relay : bare::Life {
  GCancellable *cancellable = nullptr;
  GDBusNodeInfo *node = nullptr;
  std::string adapter_path;
  std::string device_prefix;
  std::string system_id_text;
  std::array<guint8, 16> system_id{};
  guint16 company_id = BEACON_COMPANY_ID;
  guint root_registration = 0;
  guint monitor_registration = 0;
  guint added_sub = 0, removed_sub = 0, changed_sub = 0;
  guint owner_id = 0;
  bool unregistered = false;
  guint64 events = 0;
  /* Last sequence number per device: a repeat of it is the same beacon. */
  std::unordered_map<std::string, guint8> last_sequence;
};

bool parse_system_id(const char *text, std::array<guint8, 16> *out) {
  if (!g_uuid_string_is_valid(text))
    return false;
  size_t n = 0;
  for (const char *p = text; *p != '\0'; p++) {
    if (*p == '-')
      continue;
    const int hi = g_ascii_xdigit_value(p[0]);
    const int lo = g_ascii_xdigit_value(p[1]);
    (*out)[n++] = static_cast<guint8>(hi << 4 | lo);
    p++;
  }
  return n == out->size();
}

GVariant *monitor_properties(const Relay *relay) {
  guint8 content[3 + 16];
  content[0] = static_cast<guint8>(relay->company_id & 0xff);
  content[1] = static_cast<guint8>(relay->company_id >> 8);
  content[2] = kVersion;
  memcpy(content + 3, relay->system_id.data(), relay->system_id.size());
  GVariantBuilder patterns;
  g_variant_builder_init(&patterns, G_VARIANT_TYPE("a(yyay)"));
  g_variant_builder_add(&patterns, "(yy@ay)", 0, 0xFF,
                        g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, content, sizeof content, 1));
  GVariantBuilder props;
  g_variant_builder_init(&props, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&props, "{sv}", "Type", g_variant_new_string("or_patterns"));
  g_variant_builder_add(&props, "{sv}", "Patterns", g_variant_builder_end(&patterns));
  return g_variant_builder_end(&props);
}

void on_method_call(GDBusConnection *, const gchar *, const gchar *, const gchar *interface_name,
                    const gchar *method_name, GVariant *, GDBusMethodInvocation *invocation, gpointer user_data) {
  auto *relay = static_cast<Relay *>(user_data);
  if (g_str_equal(method_name, "GetManagedObjects")) {
    GVariantBuilder objects;
    g_variant_builder_init(&objects, G_VARIANT_TYPE("a{oa{sa{sv}}}"));
    GVariantBuilder interfaces;
    g_variant_builder_init(&interfaces, G_VARIANT_TYPE("a{sa{sv}}"));
    g_variant_builder_add(&interfaces, "{s@a{sv}}", kMonitorInterface, monitor_properties(relay));
    g_variant_builder_add(&objects, "{o@a{sa{sv}}}", kMonitorPath, g_variant_builder_end(&interfaces));
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(a{oa{sa{sv}}})", &objects));
    return;
  }
  if (g_str_equal(interface_name, kMonitorInterface)) {
    // The beacons come with the device signals; these calls carry nothing
    // the relay needs.
    if (g_str_equal(method_name, "Release") && !relay->stopping)
      g_warning("BlueZ released the monitor");
    else if (g_str_equal(method_name, "Activate"))
      g_message("monitor activated");
    g_dbus_method_invocation_return_value(invocation, nullptr);
    return;
  }
  g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD,
                                        "unknown method %s.%s", interface_name, method_name);
}

GVariant *on_get_property(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                          const gchar *property_name, GError **error, gpointer user_data) {
  auto *relay = static_cast<Relay *>(user_data);
  g_autoptr(GVariant) props = g_variant_ref_sink(monitor_properties(relay));
  GVariant *value = g_variant_lookup_value(props, property_name, nullptr);
  if (value == nullptr)
    g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "unknown property %s", property_name);
  return value;
}

const GDBusInterfaceVTable kVtable = {on_method_call, on_get_property, nullptr, {nullptr}};

bool below_adapter(const Relay *relay, const gchar *path) {
  return g_str_has_prefix(path, relay->device_prefix.c_str()) &&
         strchr(path + relay->device_prefix.size(), '/') == nullptr;
}

void emit_event(Relay *relay) {
  GVariantBuilder data;
  g_variant_builder_init(&data, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&data, "{sv}", "UUID", g_variant_new_string(relay->system_id_text.c_str()));
  g_autoptr(GError) error = nullptr;
  if (!g_dbus_connection_emit_signal(relay->connection, nullptr, kProducerPath, kProducerInterface, "Event",
                                     g_variant_new("(ssxa{sv})", kProducerName, kTopic, g_get_real_time(), &data),
                                     &error)) {
    g_warning("cannot emit Event: %s", error->message);
    return;
  }
  relay->events++;
}

/* @props: a Device1 property set (whole or changed part). */
void handle_device(Relay *relay, const gchar *path, GVariant *props) {
  g_autoptr(GVariant) manufacturer = g_variant_lookup_value(props, "ManufacturerData", G_VARIANT_TYPE("a{qv}"));
  if (manufacturer == nullptr)
    return;
  GVariantIter iter;
  g_variant_iter_init(&iter, manufacturer);
  guint16 company;
  GVariant *value;
  while (g_variant_iter_next(&iter, "{qv}", &company, &value)) {
    g_autoptr(GVariant) owned = value;
    if (company != relay->company_id || !g_variant_is_of_type(value, G_VARIANT_TYPE_BYTESTRING))
      continue;
    gsize n = 0;
    const auto *bytes = static_cast<const guint8 *>(g_variant_get_fixed_array(value, &n, 1));
    if (n < kPayloadLength || bytes[0] != kVersion ||
        memcmp(bytes + 1, relay->system_id.data(), relay->system_id.size()) != 0 ||
        bytes[17] != kEventRecordingStarted)
      continue;
    const guint8 sequence = bytes[18];
    auto inserted = relay->last_sequence.emplace(path, sequence);
    if (!inserted.second) {
      if (inserted.first->second == sequence)
        continue;
      inserted.first->second = sequence;
    }
    emit_event(relay);
  }
}

void on_interfaces_added(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *,
                         GVariant *parameters, gpointer user_data) {
  auto *relay = static_cast<Relay *>(user_data);
  if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(oa{sa{sv}})")))
    return;
  const gchar *path;
  g_autoptr(GVariant) interfaces = nullptr;
  g_variant_get(parameters, "(&o@a{sa{sv}})", &path, &interfaces);
  if (!below_adapter(relay, path))
    return;
  g_autoptr(GVariant) device = g_variant_lookup_value(interfaces, kDeviceInterface, G_VARIANT_TYPE("a{sv}"));
  if (device != nullptr)
    handle_device(relay, path, device);
}

void on_interfaces_removed(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *,
                           GVariant *parameters, gpointer user_data) {
  auto *relay = static_cast<Relay *>(user_data);
  if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(oas)")))
    return;
  const gchar *path;
  g_variant_get(parameters, "(&o@as)", &path, nullptr);
  relay->last_sequence.erase(path);
}

void on_properties_changed(GDBusConnection *, const gchar *, const gchar *object_path, const gchar *,
                           const gchar *, GVariant *parameters, gpointer user_data) {
  auto *relay = static_cast<Relay *>(user_data);
  if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sa{sv}as)")) || !below_adapter(relay, object_path))
    return;
  g_autoptr(GVariant) changed = g_variant_get_child_value(parameters, 1);
  handle_device(relay, object_path, changed);
}

void release(gpointer user_data) { static_cast<Relay *>(user_data)->pending--; }

void on_registered(GObject *source, GAsyncResult *result, gpointer user_data) {
  auto *relay = static_cast<Relay *>(user_data);
  relay->pending--;
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
  if (reply != nullptr)
    g_message("monitor registered on %s", relay->adapter_path.c_str());
  else if (!g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
    g_warning("RegisterMonitor on %s failed: %s", relay->adapter_path.c_str(), error->message);
}

bool start(Relay *relay, GError **error) {
  relay->node = g_dbus_node_info_new_for_xml(kIntrospection, error);
  if (relay->node == nullptr)
    return false;
  relay->root_registration = g_dbus_connection_register_object(
      relay->connection, kRootPath, g_dbus_node_info_lookup_interface(relay->node, "org.freedesktop.DBus.ObjectManager"),
      &kVtable, relay, nullptr, error);
  if (relay->root_registration == 0)
    return false;
  relay->monitor_registration = g_dbus_connection_register_object(
      relay->connection, kMonitorPath, g_dbus_node_info_lookup_interface(relay->node, kMonitorInterface), &kVtable,
      relay, nullptr, error);
  if (relay->monitor_registration == 0)
    return false;

  relay->pending += 5;  // three subscriptions, the name, the registration
  relay->added_sub = g_dbus_connection_signal_subscribe(relay->connection, "org.bluez",
                                                        "org.freedesktop.DBus.ObjectManager", "InterfacesAdded", "/",
                                                        nullptr, G_DBUS_SIGNAL_FLAGS_NONE, on_interfaces_added,
                                                        relay, release);
  relay->removed_sub = g_dbus_connection_signal_subscribe(relay->connection, "org.bluez",
                                                          "org.freedesktop.DBus.ObjectManager", "InterfacesRemoved",
                                                          "/", nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                                                          on_interfaces_removed, relay, release);
  relay->changed_sub = g_dbus_connection_signal_subscribe(relay->connection, "org.bluez",
                                                          "org.freedesktop.DBus.Properties", "PropertiesChanged",
                                                          nullptr, kDeviceInterface, G_DBUS_SIGNAL_FLAGS_NONE,
                                                          on_properties_changed, relay, release);
  relay->owner_id = g_bus_own_name_on_connection(relay->connection, kBusName, G_BUS_NAME_OWNER_FLAGS_NONE, nullptr,
                                                 bare::on_name_lost, static_cast<bare::Life *>(relay),
                                                 bare::release);

  g_dbus_connection_call(relay->connection, "org.bluez", relay->adapter_path.c_str(),
                         "org.bluez.AdvertisementMonitorManager1", "RegisterMonitor",
                         g_variant_new("(o)", kRootPath), G_VARIANT_TYPE_UNIT, G_DBUS_CALL_FLAGS_NONE, -1,
                         relay->cancellable, on_registered, relay);
  return true;
}

void on_unregistered(GObject *source, GAsyncResult *result, gpointer user_data) {
  auto *relay = static_cast<Relay *>(user_data);
  relay->unregistered = true;
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
  if (reply == nullptr)
    g_debug("UnregisterMonitor: %s", error->message);
}

void stop(Relay *relay) {
  relay->stopping = true;
  g_cancellable_cancel(relay->cancellable);
  // BlueZ sends Release() before it answers: the objects stay exported
  // until then, so that call finds them.
  if (relay->root_registration != 0 && !g_dbus_connection_is_closed(relay->connection)) {
    g_dbus_connection_call(relay->connection, "org.bluez", relay->adapter_path.c_str(),
                           "org.bluez.AdvertisementMonitorManager1", "UnregisterMonitor",
                           g_variant_new("(o)", kRootPath), nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START,
                           kUnregisterTimeoutMs, nullptr, on_unregistered, relay);
    while (!relay->unregistered)
      g_main_context_iteration(nullptr, TRUE);
  }
  for (guint *sub : {&relay->added_sub, &relay->removed_sub, &relay->changed_sub})
    if (*sub != 0)
      g_dbus_connection_signal_unsubscribe(relay->connection, *sub);
  for (guint *registration : {&relay->root_registration, &relay->monitor_registration})
    if (*registration != 0)
      g_dbus_connection_unregister_object(relay->connection, *registration);
  if (relay->owner_id != 0)
    g_bus_unown_name(relay->owner_id);
  // Cancelled calls and dropped subscriptions still report back, to the relay.
  while (relay->pending > 0)
    g_main_context_iteration(nullptr, TRUE);
  g_dbus_connection_flush_sync(relay->connection, nullptr, nullptr);
}

}  // namespace

int main(int argc, char **argv) {
  g_autofree gchar *system_id = nullptr;
  g_autofree gchar *adapter = nullptr;
  gint company_id = BEACON_COMPANY_ID;
  const GOptionEntry entries[] = {
      {"system-id", 0, 0, G_OPTION_ARG_STRING, &system_id, "System ID to relay (a UUID)", "UUID"},
      {"adapter", 0, 0, G_OPTION_ARG_STRING, &adapter, "Adapter object path (default /org/bluez/hci0)", "PATH"},
      {"company-id", 0, 0, G_OPTION_ARG_INT, &company_id, "Company identifier of beacons", "N"},
      {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr},
  };
  bare::parse_options(&argc, &argv, "bare-relay", "- relay beacons to events with plain GDBus", entries);

  Relay relay;
  if (system_id == nullptr || !parse_system_id(system_id, &relay.system_id)) {
    g_printerr("bare-relay: --system-id needs a UUID, got \"%s\"\n", system_id != nullptr ? system_id : "");
    return 2;
  }
  if (company_id < 0 || company_id > 0xffff) {
    g_printerr("bare-relay: --company-id %d is not a 16-bit number\n", company_id);
    return 2;
  }
  relay.system_id_text = system_id;
  relay.company_id = static_cast<guint16>(company_id);
  relay.adapter_path = adapter != nullptr ? adapter : "/org/bluez/hci0";
  relay.device_prefix = relay.adapter_path + "/dev_";

  if (!bare::begin(&relay, "bare-relay"))
    return 1;
  relay.cancellable = g_cancellable_new();
  g_autoptr(GError) error = nullptr;
  if (start(&relay, &error)) {
    g_message("bare-relay relaying System ID %s from %s, run main loop...", system_id, relay.adapter_path.c_str());
    g_main_loop_run(relay.loop);
  } else {
    g_printerr("bare-relay: cannot export the monitor: %s\n", error->message);
    relay.exit_status = 1;
  }
  stop(&relay);
  g_message("relayed %" G_GUINT64_FORMAT " events", relay.events);

  g_clear_pointer(&relay.node, g_dbus_node_info_unref);
  g_clear_object(&relay.cancellable);
  bare::end(&relay);
  return relay.exit_status;
}

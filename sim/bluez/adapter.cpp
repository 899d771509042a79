/* Adapters and what their radios hear (bluetoothd: src/adapter.c). */
#include "sim.h"

#include <algorithm>
#include <cstring>

#include "common.h"
#include "dbus-util.h"
#include "introspection.h"

namespace bzsim {

namespace {

/* The filter keys and value types bluetoothd accepts. */
bool discovery_filter_is_valid(GVariant *filter, std::string *why) {
  static const std::map<std::string, const char *> types = {
      {"UUIDs", "as"},         {"RSSI", "n"},         {"Pathloss", "q"}, {"Transport", "s"},
      {"DuplicateData", "b"}, {"Discoverable", "b"}, {"Pattern", "s"}};
  GVariantIter iter;
  g_variant_iter_init(&iter, filter);
  const char *key;
  GVariant *value;
  while (g_variant_iter_next(&iter, "{&sv}", &key, &value)) {
    g_autoptr(GVariant) owned = value;
    auto type = types.find(key);
    if (type == types.end()) {
      *why = std::string("unknown key ") + key;
      return false;
    }
    if (!g_variant_is_of_type(value, G_VARIANT_TYPE(type->second))) {
      *why = std::string(key) + " has type " + g_variant_get_type_string(value);
      return false;
    }
    if (g_str_equal(key, "Transport")) {
      const char *transport = g_variant_get_string(value, nullptr);
      if (!g_str_equal(transport, "auto") && !g_str_equal(transport, "bredr") && !g_str_equal(transport, "le")) {
        *why = std::string("Transport \"") + transport + "\"";
        return false;
      }
    }
  }
  return true;
}

}  // namespace

Simulator::Adapter *Simulator::adapter_by_name(const std::string &name) {
  for (auto &a : adapters_)
    if (a->name == name)
      return a.get();
  return nullptr;
}

Simulator::Adapter *Simulator::adapter_by_path(const std::string &path) {
  for (auto &a : adapters_)
    if (a->path == path)
      return a.get();
  return nullptr;
}

MethodHandler Simulator::adapter_handler(const std::string &name) {
  return [this, name](GDBusMethodInvocation *invocation, const char *method, GVariant *params) {
    Adapter *adapter = adapter_by_name(name);
    if (adapter == nullptr) {
      return_error(invocation, kErrorDoesNotExist, "adapter " + name + " was removed");
      return;
    }
    const char *sender = g_dbus_method_invocation_get_sender(invocation);
    const char *path = nullptr;
    if (g_str_equal(method, "RegisterMonitor")) {
      g_variant_get(params, "(&o)", &path);
      register_monitor(*adapter, invocation, path);
    } else if (g_str_equal(method, "UnregisterMonitor")) {
      g_variant_get(params, "(&o)", &path);
      unregister_monitor(*adapter, invocation, path);
    } else if (g_str_equal(method, "RegisterAdvertisement")) {
      g_variant_get(params, "(&o@a{sv})", &path, nullptr);
      register_advertisement(*adapter, invocation, path);
    } else if (g_str_equal(method, "UnregisterAdvertisement")) {
      g_variant_get(params, "(&o)", &path);
      unregister_advertisement(*adapter, invocation, path);
    } else if (g_str_equal(method, "SetDiscoveryFilter")) {
      g_autoptr(GVariant) filter = g_variant_get_child_value(params, 0);
      std::string why;
      if (!discovery_filter_is_valid(filter, &why)) {
        g_message("refusing the discovery filter of %s: %s", sender, why.c_str());
        return_error(invocation, kErrorInvalidArguments, "Invalid arguments in method call");
        return;
      }
      /* Kept per client as bluetoothd does; the simulated radio reports
       * every advertisement to a discovery session regardless. */
      if (g_variant_n_children(filter) == 0)
        adapter->discovery_filters.erase(sender);
      else
        adapter->discovery_filters[sender] = Variant(g_variant_ref(filter));
      g_dbus_method_invocation_return_value(invocation, nullptr);
    } else if (g_str_equal(method, "GetDiscoveryFilters")) {
      g_dbus_method_invocation_return_value(
          invocation, g_variant_new("(@as)", string_array({"UUIDs", "RSSI", "Pathloss", "Transport", "DuplicateData",
                                                           "Discoverable", "Pattern"})));
    } else if (g_str_equal(method, "StartDiscovery")) {
      if (!adapter->discovery_clients.insert(sender).second) {
        return_error(invocation, "org.bluez.Error.InProgress", "Operation already in progress");
        return;
      }
      bluez_tree_.set_properties(adapter->path, kAdapterInterface, {{"Discovering", Variant(g_variant_new_boolean(TRUE))}});
      g_dbus_method_invocation_return_value(invocation, nullptr);
    } else if (g_str_equal(method, "StopDiscovery")) {
      if (adapter->discovery_clients.erase(sender) == 0) {
        return_error(invocation, kErrorFailed, "No discovery started");
        return;
      }
      if (adapter->discovery_clients.empty())
        bluez_tree_.set_properties(adapter->path, kAdapterInterface, {{"Discovering", Variant(g_variant_new_boolean(FALSE))}});
      g_dbus_method_invocation_return_value(invocation, nullptr);
    } else if (g_str_equal(method, "RemoveDevice")) {
      g_variant_get(params, "(&o)", &path);
      auto it = devices_.find(path);
      if (it == devices_.end() || it->second.adapter != adapter->name) {
        return_error(invocation, kErrorDoesNotExist, std::string("no device ") + path + " on " + adapter->name);
        return;
      }
      remove_device(path);
      g_dbus_method_invocation_return_value(invocation, nullptr);
    } else {
      g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD,
                                            "unknown method %s", method);
    }
  };
}

bool Simulator::add_adapter(const Options::AdapterSpec &spec, std::string *path, GError **error) {
  if (!valid_adapter_name(spec.name)) {
    g_set_error(error, G_IO_ERROR, G_IO_ERROR_INVALID_ARGUMENT,
                "adapter name \"%s\" is not letters, digits or '_'", spec.name.c_str());
    return false;
  }
  if (adapter_by_name(spec.name) != nullptr) {
    g_set_error(error, G_IO_ERROR, G_IO_ERROR_EXISTS, "adapter %s exists", spec.name.c_str());
    return false;
  }
  auto adapter = std::make_unique<Adapter>();
  adapter->name = spec.name;
  adapter->path = "/org/bluez/" + spec.name;
  adapter->monitor_manager = spec.monitor_manager;
  adapter->advertising_manager = spec.advertising_manager;
  const int sets = spec.sets >= 0 ? spec.sets : options_.advertising_sets;
  adapter->sets = sets >= 0 ? static_cast<guint>(sets) : options_.advertising_instances;
  adapter->instances = adapter->sets > 0 ? adapter->sets : options_.advertising_instances;
  adapter->scan_phase_ms = g_rand_double_range(rand_, 0, options_.scan.interval_ms);
  g_autofree gchar *address = g_strdup_printf("00:1A:7D:DA:71:%02X", next_adapter_index_++ & 0xff);
  adapter->address = address;

  std::vector<InterfaceInit> interfaces;
  interfaces.push_back({kAdapterInterface,
                        {{"Address", Variant(g_variant_new_string(address))},
                         {"AddressType", Variant(g_variant_new_string("public"))},
                         {"Name", Variant(g_variant_new_string("bluez-sim"))},
                         {"Alias", Variant(g_variant_new_string("bluez-sim"))},
                         {"Class", Variant(g_variant_new_uint32(0))},
                         {"Powered", Variant(g_variant_new_boolean(TRUE))},
                         {"Discoverable", Variant(g_variant_new_boolean(FALSE))},
                         {"DiscoverableTimeout", Variant(g_variant_new_uint32(180))},
                         {"Pairable", Variant(g_variant_new_boolean(FALSE))},
                         {"PairableTimeout", Variant(g_variant_new_uint32(0))},
                         {"Discovering", Variant(g_variant_new_boolean(FALSE))},
                         {"UUIDs", Variant(string_array({}))},
                         {"Modalias", Variant(g_variant_new_string("usb:v1D6Bp0246d0540"))},
                         {"Roles", Variant(string_array({"central", "peripheral"}))}},
                        adapter_handler(spec.name)});
  if (spec.monitor_manager)
    interfaces.push_back({kMonitorManagerInterface,
                          {{"SupportedMonitorTypes", Variant(string_array({"or_patterns"}))},
                           {"SupportedFeatures", Variant(string_array({}))}},
                          adapter_handler(spec.name)});
  if (spec.advertising_manager)
    interfaces.push_back(
        {kAdvertisingManagerInterface,
         {{"ActiveInstances", Variant(g_variant_new_byte(0))},
          {"SupportedInstances", Variant(g_variant_new_byte(static_cast<guint8>(adapter->instances)))},
          {"SupportedIncludes", Variant(string_array({"tx-power", "appearance", "local-name"}))},
          {"SupportedSecondaryChannels", Variant(string_array({}))},
          /* Advertising sets in the controller are what BlueZ calls
           * offload; a legacy controller reports none. */
          {"SupportedFeatures",
           Variant(adapter->sets > 0 ? string_array({"HardwareOffload"}) : string_array({}))},
          {"SupportedCapabilities",
           Variant(g_variant_new_parsed("{'MaxAdvLen': <byte 31>, 'MaxScnRspLen': <byte 31>}"))}},
         adapter_handler(spec.name)});
  if (!bluez_tree_.add_interfaces(adapter->path, std::move(interfaces), error))
    return false;
  g_message("adapter %s (%s)%s%s, %u advertising sets, %u instances", adapter->path.c_str(), address,
            spec.monitor_manager ? " with monitor manager" : "",
            spec.advertising_manager ? " with advertising manager" : "", adapter->sets, adapter->instances);
  *path = adapter->path;
  adapters_.push_back(std::move(adapter));
  return true;
}

void Simulator::remove_adapter(const std::string &name) {
  Adapter *adapter = adapter_by_name(name);
  if (adapter == nullptr)
    return;
  /* Clients learn that their registrations ended. */
  for (auto it = monitor_apps_.begin(); it != monitor_apps_.end();) {
    if (it->second.adapter != name) {
      ++it;
      continue;
    }
    release_app(it->second, true);
    it = monitor_apps_.erase(it);
  }
  std::vector<uint64_t> ads;
  for (const auto &ad : advertisements_)
    if (ad.second.adapter == name)
      ads.push_back(ad.first);
  for (uint64_t id : ads)
    drop_advertisement(id, true);
  std::vector<std::string> paths;
  for (const auto &device : devices_)
    if (device.second.adapter == name)
      paths.push_back(device.first);
  for (const auto &path : paths)
    remove_device(path);
  bluez_tree_.remove_interfaces(adapter->path);
  g_message("adapter %s removed", adapter->path.c_str());
  adapters_.erase(std::find_if(adapters_.begin(), adapters_.end(),
                               [&](const std::unique_ptr<Adapter> &a) { return a.get() == adapter; }));
}

void Simulator::hear(Adapter &adapter, const std::string &address, bool random, const AdData &data,
                     const AdData &scan_response, gint16 rssi) {
  if (!present_)
    return;
  GVariant *powered = bluez_tree_.property(adapter.path, kAdapterInterface, "Powered");
  if (powered == nullptr || !g_variant_get_boolean(powered))
    return;

  /* Monitors scan passively; a discovery session scans actively and also
   * gets the scan response. */
  const bool active = !adapter.discovery_clients.empty();
  AdData heard = data;
  if (active)
    heard.insert(heard.end(), scan_response.begin(), scan_response.end());

  struct Match {
    uint64_t app;
    std::string monitor;
  };
  std::vector<Match> matches;
  for (const auto &entry : monitor_apps_) {
    const MonitorApp &app = entry.second;
    if (!app.ready || app.adapter != adapter.name)
      continue;
    for (const auto &monitor : app.monitors)
      if (monitor.activated && any_pattern_matches(monitor.patterns, data))
        matches.push_back({entry.first, monitor.path});
  }
  /* Without a matching monitor only a discovery session reports devices. */
  if (matches.empty() && !active)
    return;

  const std::string path = device_path(adapter, address);
  /* A new device shows what was heard in its InterfacesAdded already. */
  Properties properties = device_properties(path, ad_fields(heard), rssi);
  if (devices_.find(path) == devices_.end()) {
    if (ensure_device(adapter, address, random, false, properties) == nullptr)
      return;
  } else {
    bluez_tree_.set_properties(path, kDeviceInterface, properties);
  }
  devices_[path].last_seen = g_get_monotonic_time();
  schedule_expiry();

  for (const Match &match : matches) {
    /* An earlier report may have made a client drop its registration. */
    MonitorApp *app = app_by_id(match.app);
    if (app == nullptr)
      continue;
    auto it = std::find_if(app->monitors.begin(), app->monitors.end(),
                           [&](const Monitor &m) { return m.path == match.monitor; });
    if (it != app->monitors.end())
      report_device(*app, *it, path, rssi);
  }
}
}  // namespace bzsim

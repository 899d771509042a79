/* Devices heard or added (bluetoothd: src/device.c). */
#include "sim.h"

#include <algorithm>
#include <cstring>

#include "common.h"
#include "dbus-util.h"
#include "introspection.h"

namespace bzsim {

std::string Simulator::device_path(const Adapter &adapter, const std::string &address) const {
  std::string path = adapter.path + "/dev_" + address;
  std::replace(path.begin(), path.end(), ':', '_');
  return path;
}

Simulator::Device *Simulator::ensure_device(Adapter &adapter, const std::string &address, bool random,
                                            bool persistent, const Properties &extra) {
  const std::string path = device_path(adapter, address);
  auto it = devices_.find(path);
  if (it != devices_.end()) {
    it->second.persistent = it->second.persistent || persistent;
    return &it->second;
  }
  std::string alias = address;
  std::replace(alias.begin(), alias.end(), ':', '-');
  std::vector<InterfaceInit> interfaces;
  interfaces.push_back({kDeviceInterface,
                        {{"Address", Variant(g_variant_new_string(address.c_str()))},
                         {"AddressType", Variant(g_variant_new_string(random ? "random" : "public"))},
                         {"Alias", Variant(g_variant_new_string(alias.c_str()))},
                         {"Paired", Variant(g_variant_new_boolean(FALSE))},
                         {"Trusted", Variant(g_variant_new_boolean(FALSE))},
                         {"Blocked", Variant(g_variant_new_boolean(FALSE))},
                         {"Connected", Variant(g_variant_new_boolean(FALSE))},
                         {"LegacyPairing", Variant(g_variant_new_boolean(FALSE))},
                         {"ServicesResolved", Variant(g_variant_new_boolean(FALSE))},
                         {"UUIDs", Variant(string_array({}))},
                         {"Adapter", Variant(g_variant_new_object_path(adapter.path.c_str()))}},
                        {}});
  Properties &properties = interfaces.back().properties;
  for (const auto &value : extra) {
    auto known = std::find_if(properties.begin(), properties.end(), [&](const auto &p) { return p.first == value.first; });
    if (known != properties.end())
      known->second = value.second;
    else
      properties.push_back(value);
  }
  g_autoptr(GError) error = nullptr;
  if (!bluez_tree_.add_interfaces(path, std::move(interfaces), &error)) {
    g_warning("cannot add device %s: %s", path.c_str(), error->message);
    return nullptr;
  }
  Device device;
  device.path = path;
  device.adapter = adapter.name;
  device.address = address;
  device.random = random;
  device.persistent = persistent;
  device.last_seen = g_get_monotonic_time();
  auto inserted = devices_.emplace(path, std::move(device));
  return &inserted.first->second;
}

Properties Simulator::device_properties(const std::string &path, const AdFields &fields, gint16 rssi) const {
  Properties out = {{"RSSI", Variant(g_variant_new_int16(rssi))}};
  /* A complete name replaces what is known; a shortened one only fills a gap. */
  if (fields.name && (fields.name_complete || bluez_tree_.property(path, kDeviceInterface, "Name") == nullptr)) {
    out.push_back({"Name", Variant(g_variant_new_string(fields.name->c_str()))});
    out.push_back({"Alias", Variant(g_variant_new_string(fields.name->c_str()))});
  }
  if (!fields.uuids.empty()) {
    /* UUIDs accumulate over advertisements. */
    std::set<std::string> uuids(fields.uuids.begin(), fields.uuids.end());
    if (GVariant *known = bluez_tree_.property(path, kDeviceInterface, "UUIDs")) {
      g_autofree const gchar **list = g_variant_get_strv(known, nullptr);
      for (size_t i = 0; list[i] != nullptr; i++)
        uuids.insert(list[i]);
    }
    out.push_back({"UUIDs", Variant(string_array(std::vector<std::string>(uuids.begin(), uuids.end())))});
  }
  if (!fields.manufacturer_data.empty()) {
    /* Data of other companies heard earlier stays. */
    auto merged = manufacturer_map(bluez_tree_.property(path, kDeviceInterface, "ManufacturerData"));
    for (const auto &entry : fields.manufacturer_data)
      merged[entry.first] = entry.second;
    out.push_back({"ManufacturerData", Variant(manufacturer_variant(merged))});
  }
  if (!fields.service_data.empty()) {
    std::map<std::string, std::vector<uint8_t>> merged;
    if (GVariant *known = bluez_tree_.property(path, kDeviceInterface, "ServiceData")) {
      GVariantIter iter;
      g_variant_iter_init(&iter, known);
      const char *uuid;
      GVariant *boxed;
      while (g_variant_iter_next(&iter, "{&sv}", &uuid, &boxed)) {
        gsize n = 0;
        const auto *bytes = static_cast<const uint8_t *>(g_variant_get_fixed_array(boxed, &n, 1));
        merged[uuid] = std::vector<uint8_t>(bytes, bytes + n);
        g_variant_unref(boxed);
      }
    }
    for (const auto &entry : fields.service_data)
      merged[entry.first] = entry.second;
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a{sv}"));
    for (const auto &entry : merged)
      g_variant_builder_add(&builder, "{sv}", entry.first.c_str(),
                            g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, entry.second.data(), entry.second.size(), 1));
    out.push_back({"ServiceData", Variant(g_variant_builder_end(&builder))});
  }
  if (fields.appearance)
    out.push_back({"Appearance", Variant(g_variant_new_uint16(*fields.appearance))});
  if (fields.tx_power)
    out.push_back({"TxPower", Variant(g_variant_new_int16(*fields.tx_power))});
  if (fields.flags)
    out.push_back({"AdvertisingFlags", Variant(g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, fields.flags->data(),
                                                                        fields.flags->size(), 1))});
  return out;
}

void Simulator::remove_device(const std::string &path) {
  for (auto &entry : monitor_apps_) {
    MonitorApp &app = entry.second;
    for (auto &monitor : app.monitors) {
      auto tracked = monitor.tracked.find(path);
      /* bluetoothd drops a removed device from its monitors silently:
       * DeviceLost only ever comes from RSSI filtering. */
      if (tracked != monitor.tracked.end()) {
        if (tracked->second.lost_source != 0)
          g_source_remove(tracked->second.lost_source);
        monitor.tracked.erase(tracked);
      }
      monitor.found.erase(path);
    }
  }
  bluez_tree_.remove_interfaces(path);
  devices_.erase(path);
}

void Simulator::schedule_expiry() {
  if (options_.device_timeout_s == 0 || expiry_source_ != 0)
    return;
  gint64 earliest = G_MAXINT64;
  for (const auto &entry : devices_)
    if (!entry.second.persistent)
      earliest = std::min(earliest, entry.second.last_seen);
  if (earliest == G_MAXINT64)
    return;
  const gint64 due = earliest + static_cast<gint64>(options_.device_timeout_s) * G_USEC_PER_SEC;
  const gint64 delay_ms = std::max<gint64>(0, (due - g_get_monotonic_time()) / 1000) + 1;
  expiry_source_ = g_timeout_add(static_cast<guint>(delay_ms),
                                 +[](gpointer data) -> gboolean {
                                   auto *self = static_cast<Simulator *>(data);
                                   self->expiry_source_ = 0;
                                   self->expire_devices();
                                   self->schedule_expiry();
                                   return G_SOURCE_REMOVE;
                                 },
                                 this);
}

void Simulator::expire_devices() {
  const gint64 limit = g_get_monotonic_time() - static_cast<gint64>(options_.device_timeout_s) * G_USEC_PER_SEC;
  std::vector<std::string> expired;
  for (const auto &entry : devices_)
    if (!entry.second.persistent && entry.second.last_seen <= limit)
      expired.push_back(entry.first);
  for (const auto &path : expired) {
    g_debug("device %s silent for %u s: removed", path.c_str(), options_.device_timeout_s);
    remove_device(path);
  }
}
}  // namespace bzsim

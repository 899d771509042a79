/* The test controls, com.vemo.Sim.BlueZ1. */
#include "sim.h"

#include <algorithm>
#include <cstring>

#include "common.h"
#include "dbus-util.h"
#include "introspection.h"

namespace bzsim {

void Simulator::control_call(GDBusMethodInvocation *invocation, const char *method, GVariant *params) {
  if (g_str_equal(method, "AddAdapter")) {
    const char *name;
    gboolean monitor, advertising;
    g_variant_get(params, "(&sbb)", &name, &monitor, &advertising);
    std::string path;
    g_autoptr(GError) error = nullptr;
    if (!add_adapter({name, monitor != FALSE, advertising != FALSE}, &path, &error)) {
      return_error(invocation, kInvalidArgs, std::string("AddAdapter: ") + error->message);
      return;
    }
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", path.c_str()));
  } else if (g_str_equal(method, "RemoveAdapter")) {
    const char *name;
    g_variant_get(params, "(&s)", &name);
    if (adapter_by_name(name) == nullptr) {
      return_error(invocation, kInvalidArgs, std::string("RemoveAdapter: no adapter \"") + name + "\"");
      return;
    }
    remove_adapter(name);
    g_dbus_method_invocation_return_value(invocation, nullptr);
  } else if (g_str_equal(method, "AddDevice")) {
    const char *name, *address_text;
    g_variant_get(params, "(&s&s)", &name, &address_text);
    Adapter *adapter = adapter_by_name(name);
    std::string address;
    if (adapter == nullptr) {
      return_error(invocation, kInvalidArgs, std::string("AddDevice: no adapter \"") + name + "\"");
      return;
    }
    if (!normalize_address(address_text, &address)) {
      return_error(invocation, kInvalidArgs, std::string("AddDevice: \"") + address_text + "\" is not a Bluetooth address");
      return;
    }
    Device *device = ensure_device(*adapter, address, looks_static_random(address), true);
    if (device == nullptr) {
      return_error(invocation, kControlError, "AddDevice: cannot export the device");
      return;
    }
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", device->path.c_str()));
  } else if (g_str_equal(method, "InjectAdvertisement") || g_str_equal(method, "InjectAdvertisingData")) {
    const bool raw = g_str_equal(method, "InjectAdvertisingData");
    const char *name, *address_text;
    guint16 company = 0;
    gint16 rssi;
    g_autoptr(GVariant) payload = nullptr;
    g_autoptr(GVariant) scan_payload = nullptr;
    if (raw)
      g_variant_get(params, "(&s&s@ay@ayn)", &name, &address_text, &payload, &scan_payload, &rssi);
    else
      g_variant_get(params, "(&s&sq@ayn)", &name, &address_text, &company, &payload, &rssi);
    const std::string prefix = std::string(method) + ": ";
    Adapter *adapter = adapter_by_name(name);
    std::string address;
    if (adapter == nullptr) {
      return_error(invocation, kInvalidArgs, prefix + "no adapter \"" + name + "\"");
      return;
    }
    if (!normalize_address(address_text, &address)) {
      return_error(invocation, kInvalidArgs, prefix + "\"" + address_text + "\" is not a Bluetooth address");
      return;
    }
    auto bytes_of = [](GVariant *value) {
      gsize n = 0;
      const auto *bytes = static_cast<const uint8_t *>(g_variant_get_fixed_array(value, &n, 1));
      return std::vector<uint8_t>(bytes, bytes + n);
    };
    AdData data, scan_response;
    if (raw) {
      std::string why;
      const std::vector<uint8_t> ad_bytes = bytes_of(payload), scan_bytes = bytes_of(scan_payload);
      for (const auto *part : {&ad_bytes, &scan_bytes}) {
        if (part->size() > kMaxAdvertisingData) {
          return_error(invocation, kInvalidArgs,
                       prefix + std::to_string(part->size()) + " bytes of " +
                           (part == &ad_bytes ? "data" : "scan response") + " exceed " +
                           std::to_string(kMaxAdvertisingData));
          return;
        }
        if (!ad_parse(*part, part == &ad_bytes ? &data : &scan_response, &why)) {
          return_error(invocation, kInvalidArgs,
                       prefix + (part == &ad_bytes ? "data: " : "scan response: ") + why);
          return;
        }
      }
    } else {
      const std::vector<uint8_t> manufacturer = bytes_of(payload);
      data = ad_from_manufacturer(company, manufacturer);
      if (ad_encoded_length(data) > kMaxAdvertisingData) {
        return_error(invocation, kInvalidArgs,
                     prefix + std::to_string(manufacturer.size()) + " data bytes do not fit in one advertisement");
        return;
      }
    }
    hear(*adapter, address, looks_static_random(address), data, scan_response, rssi);
    g_dbus_method_invocation_return_value(invocation, nullptr);
  } else if (g_str_equal(method, "ListMonitors")) {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a(sosb)"));
    for (const auto &entry : monitor_apps_)
      for (const auto &monitor : entry.second.monitors)
        g_variant_builder_add(&builder, "(sosb)", entry.second.sender.c_str(), monitor.path.c_str(),
                              entry.second.adapter.c_str(), monitor.activated);
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(a(sosb))", &builder));
  } else if (g_str_equal(method, "ListAdvertisements")) {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a(sos)"));
    for (const auto &entry : advertisements_)
      if (entry.second.active)
        g_variant_builder_add(&builder, "(sos)", entry.second.sender.c_str(), entry.second.path.c_str(),
                              entry.second.adapter.c_str());
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(a(sos))", &builder));
  } else if (g_str_equal(method, "SetControllerFiltering")) {
    gboolean enabled;
    g_variant_get(params, "(b)", &enabled);
    options_.controller_filtering = enabled != FALSE;
    g_message("controller filtering %s", enabled ? "on" : "off");
    g_dbus_method_invocation_return_value(invocation, nullptr);
  } else if (g_str_equal(method, "Leave")) {
    leave(invocation);
  } else if (g_str_equal(method, "Return")) {
    if (present_) {
      g_dbus_method_invocation_return_value(invocation, nullptr);
      return;
    }
    if (bluez_connection_ != nullptr && !connecting_) {
      return_error(invocation, kControlError, "org.bluez is owned by another connection; Leave first");
      return;
    }
    pending_returns_.push_back(G_DBUS_METHOD_INVOCATION(g_object_ref(invocation)));
    if (!connecting_) {
      g_message("returning to the bus as org.bluez");
      connect_bluez();
    }
  } else if (g_str_equal(method, "FailNextRegisterMonitor")) {
    g_variant_get(params, "(u)", &failing_registrations_);
    g_message("the next %u RegisterMonitor call(s) fail", failing_registrations_);
    g_dbus_method_invocation_return_value(invocation, nullptr);
  } else if (g_str_equal(method, "ReleaseMonitors")) {
    const char *client;
    g_variant_get(params, "(&s)", &client);
    if (!release_monitors(client)) {
      return_error(invocation, kInvalidArgs, std::string("ReleaseMonitors: client \"") + client + "\" has no monitors");
      return;
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
  } else if (g_str_equal(method, "EmitMalformedObjectManagerSignal")) {
    const char *member;
    g_variant_get(params, "(&s)", &member);
    if (!g_str_equal(member, "InterfacesAdded") && !g_str_equal(member, "InterfacesRemoved")) {
      return_error(invocation, kInvalidArgs,
                   std::string("EmitMalformedObjectManagerSignal: \"") + member +
                       "\" is not InterfacesAdded or InterfacesRemoved");
      return;
    }
    if (!present_ || bluez_connection_ == nullptr) {
      return_error(invocation, kControlError, "EmitMalformedObjectManagerSignal: org.bluez is not on the bus");
      return;
    }
    g_autoptr(GError) error = nullptr;
    if (!g_dbus_connection_emit_signal(bluez_connection_, nullptr, "/", "org.freedesktop.DBus.ObjectManager", member,
                                       g_variant_new("(s)", "malformed"), &error)) {
      return_error(invocation, kControlError, std::string("EmitMalformedObjectManagerSignal: ") + error->message);
      return;
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
  } else {
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD,
                                          "unknown method %s", method);
  }
}
}  // namespace bzsim

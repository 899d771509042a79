/* Advertisement monitors (bluetoothd: src/adv_monitor.c). */
#include "sim.h"

#include <algorithm>
#include <cstring>

#include "common.h"
#include "dbus-util.h"
#include "introspection.h"

namespace bzsim {

namespace {

/* bluetoothd's limits and defaults of the RSSI fields. */
constexpr gint16 kUnsetRssi = 127;
constexpr gint16 kMinRssi = -127;
constexpr gint16 kMaxRssi = 20;
constexpr guint16 kMinTimeout = 1;
constexpr guint16 kMaxTimeout = 300;
constexpr guint16 kDefaultLowTimeout = 5;
constexpr guint16 kDefaultHighTimeout = 10;
constexpr guint16 kUnsetSamplingPeriod = 256;
constexpr guint16 kMaxSamplingPeriod = 255;

/* Reads the RSSI fields as bluetoothd does: all absent or unset means no
 * RSSI filtering; partly set fields get bluetoothd's defaults; then every
 * value must lie in its range with the high threshold not below the low. */
bool parse_rssi(GVariant *properties, RssiFilter *out, std::string *why) {
  gint16 high = kUnsetRssi, low = kUnsetRssi;
  guint16 high_timeout = 0, low_timeout = 0, sampling = kUnsetSamplingPeriod;
  struct Field {
    const char *name;
    const GVariantType *type;
    void *target;
  };
  const Field fields[] = {{"RSSIHighThreshold", G_VARIANT_TYPE_INT16, &high},
                          {"RSSIHighTimeout", G_VARIANT_TYPE_UINT16, &high_timeout},
                          {"RSSILowThreshold", G_VARIANT_TYPE_INT16, &low},
                          {"RSSILowTimeout", G_VARIANT_TYPE_UINT16, &low_timeout},
                          {"RSSISamplingPeriod", G_VARIANT_TYPE_UINT16, &sampling}};
  for (const auto &field : fields) {
    g_autoptr(GVariant) value = g_variant_lookup_value(properties, field.name, nullptr);
    if (value == nullptr)
      continue;
    if (!g_variant_is_of_type(value, field.type)) {
      g_autofree gchar *expected = g_variant_type_dup_string(field.type);
      *why = std::string(field.name) + " has type " + g_variant_get_type_string(value) + ", expected " + expected;
      return false;
    }
    if (g_variant_type_equal(field.type, G_VARIANT_TYPE_INT16))
      *static_cast<gint16 *>(field.target) = g_variant_get_int16(value);
    else
      *static_cast<guint16 *>(field.target) = g_variant_get_uint16(value);
  }
  *out = RssiFilter{};
  if (high == kUnsetRssi && low == kUnsetRssi && high_timeout == 0 && low_timeout == 0 &&
      sampling == kUnsetSamplingPeriod)
    return true;
  if (low == kUnsetRssi)
    low = kMinRssi;
  if (high == kUnsetRssi)
    high = low;
  if (low_timeout == 0)
    low_timeout = kDefaultLowTimeout;
  if (high_timeout == 0)
    high_timeout = kDefaultHighTimeout;
  if (high < kMinRssi || high > kMaxRssi || low < kMinRssi || low > kMaxRssi || high < low) {
    *why = "RSSI thresholds high " + std::to_string(high) + " and low " + std::to_string(low) +
           " dBm must lie in -127 .. 20 with high >= low";
    return false;
  }
  if (high_timeout < kMinTimeout || high_timeout > kMaxTimeout || low_timeout < kMinTimeout ||
      low_timeout > kMaxTimeout) {
    *why = "RSSI timeouts high " + std::to_string(high_timeout) + " and low " + std::to_string(low_timeout) +
           " s must lie in 1 .. 300";
    return false;
  }
  if (sampling != kUnsetSamplingPeriod && sampling > kMaxSamplingPeriod) {
    *why = "RSSISamplingPeriod " + std::to_string(sampling) + " exceeds 255";
    return false;
  }
  *out = RssiFilter{true, high, low, high_timeout, low_timeout};
  return true;
}

/* Data of a per-registration signal subscription. */
struct Subscription {
  Simulator *self;
  uint64_t id;
};

}  // namespace

Simulator::MonitorApp *Simulator::app_by_id(uint64_t id) {
  auto it = monitor_apps_.find(id);
  return it != monitor_apps_.end() ? &it->second : nullptr;
}

void Simulator::register_monitor(Adapter &adapter, GDBusMethodInvocation *invocation, const char *root) {
  const char *sender = g_dbus_method_invocation_get_sender(invocation);
  if (failing_registrations_ > 0) {
    failing_registrations_--;
    g_message("refusing RegisterMonitor %s of %s as asked (%u more to refuse)", root, sender, failing_registrations_);
    return_error(invocation, kErrorFailed, "Failed to register monitor");
    return;
  }
  for (const auto &entry : monitor_apps_)
    if (entry.second.sender == sender && entry.second.root == root && entry.second.adapter == adapter.name) {
      return_error(invocation, kErrorAlreadyExists, std::string("Monitor application ") + root + " of " + sender +
                                                        " is already registered on " + adapter.name);
      return;
    }
  const uint64_t id = next_id_++;
  MonitorApp &app = monitor_apps_[id];
  app.id = id;
  app.sender = sender;
  app.root = root;
  app.adapter = adapter.name;
  app.cancellable = g_cancellable_new();
  app.invocation = G_DBUS_METHOD_INVOCATION(g_object_ref(invocation));

  /* Subscribe before asking, so no change after the snapshot is missed. */
  auto on_signal = +[](GDBusConnection *, const char *, const char *, const char *, const char *signal,
                       GVariant *params, gpointer data) {
    auto *sub = static_cast<Subscription *>(data);
    sub->self->on_client_interfaces(sub->id, signal, params);
  };
  auto free_sub = +[](gpointer data) {
    delete static_cast<Subscription *>(data);
    Pending::release();
  };
  for (const char *member : {"InterfacesAdded", "InterfacesRemoved"}) {
    Pending::hold();
    guint subscription = g_dbus_connection_signal_subscribe(
        bluez_connection_, sender, "org.freedesktop.DBus.ObjectManager", member, root, nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE, on_signal, new Subscription{this, id}, free_sub);
    (g_str_equal(member, "InterfacesAdded") ? app.added_subscription : app.removed_subscription) = subscription;
  }
  g_debug("RegisterMonitor %s from %s on %s: reading its objects", root, sender, adapter.name.c_str());
  call_async(bluez_connection_, sender, root, "org.freedesktop.DBus.ObjectManager", "GetManagedObjects", nullptr,
             G_VARIANT_TYPE("(a{oa{sa{sv}}})"), kClientCallTimeoutMs, app.cancellable,
             [this, id](GVariant *reply, const GError *error) { on_managed_objects(id, reply, error); });
}

void Simulator::on_managed_objects(uint64_t id, GVariant *reply, const GError *error) {
  if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
    return;
  MonitorApp *app = app_by_id(id);
  if (app == nullptr)
    return;
  if (error != nullptr) {
    g_warning("GetManagedObjects on %s of %s failed: %s", app->root.c_str(), app->sender.c_str(), error->message);
    return_error(app->invocation, kErrorFailed,
                 "cannot read the monitors of " + app->root + ": " + error->message);
    g_clear_object(&app->invocation);
    release_app(*app, false);
    monitor_apps_.erase(id);
    return;
  }
  app->ready = true;
  g_autoptr(GVariant) objects = g_variant_get_child_value(reply, 0);
  GVariantIter iter;
  g_variant_iter_init(&iter, objects);
  const char *path;
  GVariant *interfaces;
  while (g_variant_iter_next(&iter, "{&o@a{sa{sv}}}", &path, &interfaces)) {
    g_autoptr(GVariant) props = g_variant_lookup_value(interfaces, kMonitorInterface, G_VARIANT_TYPE_VARDICT);
    if (props != nullptr && path_is_below(path, app->root))
      consider_monitor(*app, path, props, false);
    g_variant_unref(interfaces);
  }
  g_dbus_method_invocation_return_value(app->invocation, nullptr);
  g_clear_object(&app->invocation);
  g_message("monitor application %s of %s registered on %s with %zu monitor(s)", app->root.c_str(),
            app->sender.c_str(), app->adapter.c_str(), app->monitors.size());
  /* Activation follows the answer, as when the controller confirms later. */
  for (auto &monitor : app->monitors) {
    monitor.activated = true;
    call_no_reply(bluez_connection_, app->sender.c_str(), monitor.path.c_str(), kMonitorInterface, "Activate", nullptr);
  }
}

void Simulator::on_client_interfaces(uint64_t id, const char *signal, GVariant *params) {
  MonitorApp *app = app_by_id(id);
  /* Before the snapshot arrives, its content covers earlier signals. */
  if (app == nullptr || !app->ready)
    return;
  if (g_str_equal(signal, "InterfacesAdded") && g_variant_is_of_type(params, G_VARIANT_TYPE("(oa{sa{sv}})"))) {
    const char *path;
    g_autoptr(GVariant) interfaces = nullptr;
    g_variant_get(params, "(&o@a{sa{sv}})", &path, &interfaces);
    g_autoptr(GVariant) props = g_variant_lookup_value(interfaces, kMonitorInterface, G_VARIANT_TYPE_VARDICT);
    if (props != nullptr && path_is_below(path, app->root))
      consider_monitor(*app, path, props, true);
  } else if (g_str_equal(signal, "InterfacesRemoved") && g_variant_is_of_type(params, G_VARIANT_TYPE("(oas)"))) {
    const char *path;
    g_autofree const char **names = nullptr;
    g_variant_get(params, "(&o^a&s)", &path, &names);
    if (!g_strv_contains(names, kMonitorInterface))
      return;
    auto &monitors = app->monitors;
    for (auto &m : monitors)
      if (m.path == path)
        stop_tracking(m);
    monitors.erase(std::remove_if(monitors.begin(), monitors.end(), [&](const Monitor &m) { return m.path == path; }),
                   monitors.end());
    g_debug("monitor %s of %s went away", path, app->sender.c_str());
  }
}

void Simulator::consider_monitor(MonitorApp &app, const char *path, GVariant *properties, bool activate_now) {
  for (const auto &m : app.monitors)
    if (m.path == path)
      return;
  std::string why;
  Monitor monitor;
  monitor.path = path;
  const char *type = nullptr;
  g_autoptr(GVariant) patterns = g_variant_lookup_value(properties, "Patterns", nullptr);
  if (!g_variant_lookup(properties, "Type", "&s", &type)) {
    why = "it has no Type";
  } else if (!g_str_equal(type, "or_patterns")) {
    why = std::string("Type \"") + type + "\" is not supported";
  } else if (patterns == nullptr) {
    why = "it has no Patterns";
  } else if (!parse_rssi(properties, &monitor.rssi, &why)) {
    /* why says what is wrong */
  } else if (patterns_from_variant(patterns, &monitor.patterns, &why)) {
    if (monitor.patterns.empty())
      why = "its Patterns are empty";
    for (const auto &pattern : monitor.patterns)
      if (why.empty() && !pattern_is_valid(pattern, &why))
        break;
  }
  if (!why.empty()) {
    g_message("releasing monitor %s of %s: %s", path, app.sender.c_str(), why.c_str());
    call_no_reply(bluez_connection_, app.sender.c_str(), path, kMonitorInterface, "Release", nullptr);
    return;
  }
  if (activate_now) {
    monitor.activated = true;
    call_no_reply(bluez_connection_, app.sender.c_str(), path, kMonitorInterface, "Activate", nullptr);
  }
  g_debug("monitor %s of %s with %zu pattern(s)", path, app.sender.c_str(), monitor.patterns.size());
  app.monitors.push_back(std::move(monitor));
}

void Simulator::report_device(MonitorApp &app, Monitor &monitor, const std::string &device, gint16 rssi) {
  auto found = [&] {
    call_no_reply(bluez_connection_, app.sender.c_str(), monitor.path.c_str(), kMonitorInterface, "DeviceFound",
                  g_variant_new("(o)", device.c_str()));
    g_dbus_connection_emit_signal(control_connection_, nullptr, kControlPath, kControlInterface, "DeviceFoundCalled",
                                  g_variant_new("(soo)", app.sender.c_str(), monitor.path.c_str(), device.c_str()),
                                  nullptr);
  };
  if (!monitor.rssi.set) {
    /* No RSSI filter: every matching advertisement is reported, unless the
     * controller filters (then once per device). */
    const bool first = monitor.found.insert(device).second;
    if (!options_.controller_filtering || first)
      found();
    return;
  }

  Tracked &t = monitor.tracked[device];
  if (t.lost_source != 0) {
    g_source_remove(t.lost_source);
    t.lost_source = 0;
  }
  const gint64 now = g_get_monotonic_time();
  const gint64 high_timeout = static_cast<gint64>(monitor.rssi.high_timeout_s) * G_USEC_PER_SEC;
  const gint64 low_timeout = static_cast<gint64>(monitor.rssi.low_timeout_s) * G_USEC_PER_SEC;
  /* A device silent for longer than a timeout starts that count anew. */
  if (t.last_seen != 0) {
    if (now - t.last_seen > high_timeout)
      t.high_since = 0;
    if (now - t.last_seen > low_timeout)
      t.low_since = 0;
  }
  t.last_seen = now;

  if (!t.found && rssi > monitor.rssi.high) {
    if (t.high_since == 0) {
      t.high_since = now;
    } else if (now - t.high_since >= high_timeout) {
      t.found = true;
      monitor.found.insert(device);
      found();
    }
  } else {
    t.high_since = 0;
  }

  if (t.found && rssi < monitor.rssi.low) {
    if (t.low_since == 0) {
      t.low_since = now;
    } else if (now - t.low_since >= low_timeout) {
      t.found = false;
      monitor.found.erase(device);
      call_no_reply(bluez_connection_, app.sender.c_str(), monitor.path.c_str(), kMonitorInterface, "DeviceLost",
                    g_variant_new("(o)", device.c_str()));
    }
  } else {
    t.low_since = 0;
  }

  /* A found device that falls silent for the low timeout is lost. */
  if (t.found) {
    struct Lost {
      Simulator *self;
      uint64_t app;
      std::string monitor;
      std::string device;
    };
    t.lost_source = g_timeout_add_seconds_full(
        G_PRIORITY_DEFAULT, monitor.rssi.low_timeout_s,
        +[](gpointer data) -> gboolean {
          auto *lost = static_cast<Lost *>(data);
          lost->self->device_lost_timeout(lost->app, lost->monitor, lost->device);
          return G_SOURCE_REMOVE;
        },
        new Lost{this, app.id, monitor.path, device}, +[](gpointer data) { delete static_cast<Lost *>(data); });
  }
}

void Simulator::device_lost_timeout(uint64_t app_id, const std::string &monitor_path, const std::string &device) {
  MonitorApp *app = app_by_id(app_id);
  if (app == nullptr)
    return;
  for (auto &monitor : app->monitors) {
    auto it = monitor.tracked.find(device);
    if (monitor.path != monitor_path || it == monitor.tracked.end())
      continue;
    it->second.lost_source = 0;  /* this source ends by returning REMOVE */
    it->second.found = false;
    monitor.found.erase(device);
    g_debug("%s silent for %u s: lost to monitor %s", device.c_str(), monitor.rssi.low_timeout_s,
            monitor.path.c_str());
    if (bluez_connection_ != nullptr)
      call_no_reply(bluez_connection_, app->sender.c_str(), monitor.path.c_str(), kMonitorInterface, "DeviceLost",
                    g_variant_new("(o)", device.c_str()));
  }
}

void Simulator::stop_tracking(Monitor &monitor) {
  for (auto &entry : monitor.tracked)
    if (entry.second.lost_source != 0)
      g_source_remove(entry.second.lost_source);
  monitor.tracked.clear();
}

void Simulator::release_app(MonitorApp &app, bool tell_client) {
  if (app.cancellable != nullptr) {
    g_cancellable_cancel(app.cancellable);
    g_clear_object(&app.cancellable);
  }
  if (app.added_subscription != 0 && bluez_connection_ != nullptr)
    g_dbus_connection_signal_unsubscribe(bluez_connection_, app.added_subscription);
  if (app.removed_subscription != 0 && bluez_connection_ != nullptr)
    g_dbus_connection_signal_unsubscribe(bluez_connection_, app.removed_subscription);
  app.added_subscription = app.removed_subscription = 0;
  if (app.invocation != nullptr) {
    return_error(app.invocation, kErrorFailed, "monitor registration of " + app.root + " was abandoned");
    g_clear_object(&app.invocation);
  }
  for (auto &monitor : app.monitors) {
    stop_tracking(monitor);
    if (tell_client && bluez_connection_ != nullptr)
      call_no_reply(bluez_connection_, app.sender.c_str(), monitor.path.c_str(), kMonitorInterface, "Release", nullptr);
  }
  app.monitors.clear();
}

bool Simulator::release_monitors(const std::string &sender) {
  bool any = false;
  for (auto &entry : monitor_apps_) {
    MonitorApp &app = entry.second;
    if (app.sender != sender || app.monitors.empty())
      continue;
    any = true;
    for (auto &monitor : app.monitors) {
      stop_tracking(monitor);
      g_message("releasing monitor %s of %s", monitor.path.c_str(), sender.c_str());
      if (bluez_connection_ != nullptr)
        call_no_reply(bluez_connection_, sender.c_str(), monitor.path.c_str(), kMonitorInterface, "Release", nullptr);
    }
    app.monitors.clear();
  }
  return any;
}

void Simulator::unregister_monitor(Adapter &adapter, GDBusMethodInvocation *invocation, const char *root) {
  const char *sender = g_dbus_method_invocation_get_sender(invocation);
  for (auto it = monitor_apps_.begin(); it != monitor_apps_.end(); ++it) {
    MonitorApp &app = it->second;
    if (app.sender != sender || app.root != root || app.adapter != adapter.name)
      continue;
    release_app(app, true);
    monitor_apps_.erase(it);
    g_message("monitor application %s of %s unregistered from %s", root, sender, adapter.name.c_str());
    g_dbus_method_invocation_return_value(invocation, nullptr);
    return;
  }
  return_error(invocation, kErrorDoesNotExist,
               std::string("No monitor application ") + root + " of " + sender + " on " + adapter.name);
}
}  // namespace bzsim

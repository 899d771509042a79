#include "sim.h"

#include <algorithm>
#include <cstring>

#include "dbus-util.h"
#include "introspection.h"

namespace bzsim {

namespace {

constexpr char kErrorFailed[] = "org.bluez.Error.Failed";
constexpr char kErrorInvalidArguments[] = "org.bluez.Error.InvalidArguments";
constexpr char kErrorInvalidLength[] = "org.bluez.Error.InvalidLength";
constexpr char kErrorAlreadyExists[] = "org.bluez.Error.AlreadyExists";
constexpr char kErrorDoesNotExist[] = "org.bluez.Error.DoesNotExist";
constexpr char kErrorNotPermitted[] = "org.bluez.Error.NotPermitted";
constexpr char kControlError[] = "com.vemo.Sim.Error.Failed";
constexpr char kInvalidArgs[] = "org.freedesktop.DBus.Error.InvalidArgs";

/* How strongly one simulated adapter hears another: they sit side by side. */
constexpr gint16 kNeighbourRssi = -40;
/* BlueZ waits this long for a client's GetManagedObjects or GetAll. */
constexpr int kClientCallTimeoutMs = 25000;

GVariant *string_array(std::initializer_list<const char *> items) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE_STRING_ARRAY);
  for (const char *item : items)
    g_variant_builder_add(&builder, "s", item);
  return g_variant_builder_end(&builder);
}

GVariant *manufacturer_variant(const std::map<uint16_t, std::vector<uint8_t>> &data) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a{qv}"));
  for (const auto &entry : data)
    g_variant_builder_add(&builder, "{qv}", entry.first,
                          g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, entry.second.data(), entry.second.size(), 1));
  return g_variant_builder_end(&builder);
}

std::map<uint16_t, std::vector<uint8_t>> manufacturer_map(GVariant *value) {
  std::map<uint16_t, std::vector<uint8_t>> out;
  if (value == nullptr || !g_variant_is_of_type(value, G_VARIANT_TYPE("a{qv}")))
    return out;
  GVariantIter iter;
  g_variant_iter_init(&iter, value);
  guint16 company;
  GVariant *boxed;
  while (g_variant_iter_next(&iter, "{qv}", &company, &boxed)) {
    if (g_variant_is_of_type(boxed, G_VARIANT_TYPE_BYTESTRING)) {
      gsize n = 0;
      const auto *bytes = static_cast<const uint8_t *>(g_variant_get_fixed_array(boxed, &n, 1));
      out[company] = std::vector<uint8_t>(bytes, bytes + n);
    }
    g_variant_unref(boxed);
  }
  return out;
}

bool valid_adapter_name(const std::string &name) {
  if (name.empty())
    return false;
  return std::all_of(name.begin(), name.end(), [](char c) { return g_ascii_isalnum(c) || c == '_'; });
}

/* Data of a per-registration signal subscription. */
struct Subscription {
  Simulator *self;
  uint64_t id;
};

/* Data of a name ownership: the generation tells stale callbacks apart. */
struct Ownership {
  Simulator *self;
  unsigned generation;
};

}  // namespace

bool parse_adapter_spec(const char *text, Options::AdapterSpec *out, GError **error) {
  g_return_val_if_fail(text != nullptr && out != nullptr, false);
  g_auto(GStrv) parts = g_strsplit(text, ":", -1);
  Options::AdapterSpec spec;
  spec.name = parts[0] != nullptr ? parts[0] : "";
  if (!valid_adapter_name(spec.name)) {
    g_set_error(error, G_OPTION_ERROR, G_OPTION_ERROR_BAD_VALUE,
                "adapter \"%s\": the name must be letters, digits or '_' (e.g. hci0)", text);
    return false;
  }
  for (int i = 1; parts[i] != nullptr; i++) {
    if (g_str_equal(parts[i], "nomonitor")) {
      spec.monitor_manager = false;
    } else if (g_str_equal(parts[i], "noadvertising")) {
      spec.advertising_manager = false;
    } else {
      g_set_error(error, G_OPTION_ERROR, G_OPTION_ERROR_BAD_VALUE,
                  "adapter \"%s\": unknown flag \"%s\" (nomonitor or noadvertising)", text, parts[i]);
      return false;
    }
  }
  *out = spec;
  return true;
}

Simulator::Simulator(Options options)
    : options_(std::move(options)), bluez_tree_(kBluezXml), control_tree_(kControlXml) {}

Simulator::~Simulator() { shutdown(); }

/* ---- Bus presence ------------------------------------------------------- */

bool Simulator::start(std::function<void(const char *why)> on_fatal, GError **error) {
  g_return_val_if_fail(control_connection_ == nullptr, false);
  on_fatal_ = std::move(on_fatal);
  g_autofree gchar *address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, error);
  if (address == nullptr)
    return false;
  bus_address_ = address;
  control_connection_ = g_dbus_connection_new_for_address_sync(
      address,
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, error);
  if (control_connection_ == nullptr) {
    g_prefix_error(error, "cannot connect to the system bus at %s: ", address);
    return false;
  }
  /* Losing the bus ends the run through on_fatal, not through exit(). */
  g_dbus_connection_set_exit_on_close(control_connection_, FALSE);
  control_closed_handler_ = g_signal_connect(
      control_connection_, "closed",
      G_CALLBACK(+[](GDBusConnection *, gboolean, GError *, gpointer data) {
        auto *self = static_cast<Simulator *>(data);
        if (self->on_fatal_)
          self->on_fatal_("the connection to the system bus closed");
      }),
      this);

  if (!control_tree_.add_interfaces(kControlPath,
                                    {{kControlInterface, {},
                                      [this](GDBusMethodInvocation *inv, const char *method, GVariant *params) {
                                        control_call(inv, method, params);
                                      }}},
                                    error) ||
      !control_tree_.attach(control_connection_, error))
    return false;

  Pending::hold();
  control_owner_ = g_bus_own_name_on_connection(
      control_connection_, kControlName, G_BUS_NAME_OWNER_FLAGS_NONE,
      +[](GDBusConnection *, const char *name, gpointer) { g_message("owning %s", name); },
      +[](GDBusConnection *, const char *name, gpointer data) {
        auto *self = static_cast<Simulator *>(data);
        if (self->control_owner_ != 0 && self->on_fatal_) {
          g_warning("cannot own %s on the system bus", name);
          self->on_fatal_("the control name is not ours");
        }
      },
      this, +[](gpointer) { Pending::release(); });

  for (const auto &spec : options_.adapters) {
    std::string path;
    if (!add_adapter(spec, &path, error))
      return false;
  }
  connect_bluez();
  return true;
}

void Simulator::shutdown() {
  if (control_connection_ == nullptr && bluez_connection_ == nullptr)
    return;
  forget_clients();
  if (expiry_source_ != 0) {
    g_source_remove(expiry_source_);
    expiry_source_ = 0;
  }
  if (connect_cancellable_ != nullptr)
    g_cancellable_cancel(connect_cancellable_);
  for (auto *invocation : pending_returns_) {
    return_error(invocation, kControlError, "bluez-sim is shutting down");
    g_object_unref(invocation);
  }
  pending_returns_.clear();

  /* Release the name while the connection is still open. */
  if (bluez_owner_ != 0)
    g_bus_unown_name(bluez_owner_);
  bluez_owner_ = 0;
  if (bluez_connection_ != nullptr) {
    if (name_owner_subscription_ != 0)
      g_dbus_connection_signal_unsubscribe(bluez_connection_, name_owner_subscription_);
    name_owner_subscription_ = 0;
    bluez_tree_.detach();
    Pending::hold();
    g_dbus_connection_close(bluez_connection_, nullptr,
                            +[](GObject *, GAsyncResult *, gpointer) { Pending::release(); }, nullptr);
    g_clear_object(&bluez_connection_);
  }
  present_ = false;

  if (control_connection_ != nullptr) {
    g_signal_handler_disconnect(control_connection_, control_closed_handler_);
    if (control_owner_ != 0)
      g_bus_unown_name(control_owner_);
    control_owner_ = 0;
    control_tree_.detach();
    Pending::hold();
    g_dbus_connection_close(control_connection_, nullptr,
                            +[](GObject *, GAsyncResult *, gpointer) { Pending::release(); }, nullptr);
    g_clear_object(&control_connection_);
  }
  if (!Pending::drain(g_main_context_get_thread_default(), 5000))
    g_warning("%d callbacks still outstanding at exit", Pending::count());
}

void Simulator::connect_bluez() {
  connecting_ = true;
  connect_cancellable_ = g_cancellable_new();
  Pending::hold();
  g_dbus_connection_new_for_address(
      bus_address_.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, connect_cancellable_,
      +[](GObject *, GAsyncResult *result, gpointer data) {
        g_autoptr(GError) error = nullptr;
        GDBusConnection *connection = g_dbus_connection_new_for_address_finish(result, &error);
        if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
          /* Shutdown: the simulator no longer waits for this. */
          Pending::release();
          return;
        }
        static_cast<Simulator *>(data)->on_bluez_connected(connection, error);
        Pending::release();
      },
      this);
}

void Simulator::on_bluez_connected(GDBusConnection *connection, const GError *error) {
  connecting_ = false;
  g_clear_object(&connect_cancellable_);
  if (connection == nullptr) {
    g_warning("cannot connect to the system bus for org.bluez: %s", error->message);
    answer_returns(error);
    return;
  }
  g_dbus_connection_set_exit_on_close(connection, FALSE);
  bluez_connection_ = connection;
  generation_++;

  name_owner_subscription_ = g_dbus_connection_signal_subscribe(
      bluez_connection_, "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged",
      "/org/freedesktop/DBus", nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
      +[](GDBusConnection *, const char *, const char *, const char *, const char *, GVariant *params,
          gpointer data) {
        const char *name, *old_owner, *new_owner;
        g_variant_get(params, "(&s&s&s)", &name, &old_owner, &new_owner);
        if (name[0] == ':' && *new_owner == '\0')
          static_cast<Simulator *>(data)->forget_client(name);
      },
      this, nullptr);

  g_autoptr(GError) attach_error = nullptr;
  if (!bluez_tree_.attach(bluez_connection_, &attach_error)) {
    g_warning("cannot export the BlueZ objects: %s", attach_error->message);
    answer_returns(attach_error);
    return;
  }

  Pending::hold();
  bluez_owner_ = g_bus_own_name_on_connection(
      bluez_connection_, kBluezName, G_BUS_NAME_OWNER_FLAGS_NONE,
      +[](GDBusConnection *, const char *name, gpointer data) {
        auto *own = static_cast<Ownership *>(data);
        Simulator *self = own->self;
        if (own->generation != self->generation_ || self->bluez_owner_ == 0)
          return;
        g_message("owning %s", name);
        self->present_ = true;
        self->answer_returns(nullptr);
      },
      +[](GDBusConnection *, const char *name, gpointer data) {
        auto *own = static_cast<Ownership *>(data);
        Simulator *self = own->self;
        if (own->generation != self->generation_ || self->bluez_owner_ == 0)
          return;
        g_warning("%s %s on the system bus", self->present_ ? "lost" : "cannot own", name);
        self->present_ = false;
        g_autoptr(GError) lost = g_error_new(G_IO_ERROR, G_IO_ERROR_EXISTS, "%s is owned by another connection", name);
        self->answer_returns(lost);
      },
      new Ownership{this, generation_},
      +[](gpointer data) {
        delete static_cast<Ownership *>(data);
        Pending::release();
      });
}

void Simulator::answer_returns(const GError *error) {
  for (auto *invocation : pending_returns_) {
    if (error == nullptr)
      g_dbus_method_invocation_return_value(invocation, nullptr);
    else
      return_error(invocation, kControlError, std::string("cannot own org.bluez: ") + error->message);
    g_object_unref(invocation);
  }
  pending_returns_.clear();
}

void Simulator::leave(GDBusMethodInvocation *invocation) {
  if (connecting_) {
    return_error(invocation, kControlError, "org.bluez is being acquired; call Leave once Return answered");
    return;
  }
  if (bluez_connection_ == nullptr) {
    g_dbus_method_invocation_return_value(invocation, nullptr);
    return;
  }
  g_message("leaving the bus as org.bluez");
  forget_clients();
  g_dbus_connection_signal_unsubscribe(bluez_connection_, name_owner_subscription_);
  name_owner_subscription_ = 0;
  if (bluez_owner_ != 0)
    g_bus_unown_name(bluez_owner_);
  bluez_owner_ = 0;
  present_ = false;
  bluez_tree_.detach();
  /* A restarted daemon forgets what it only heard on the radio. */
  for (auto it = devices_.begin(); it != devices_.end();) {
    if (it->second.persistent) {
      ++it;
      continue;
    }
    bluez_tree_.remove_interfaces(it->first);
    it = devices_.erase(it);
  }
  for (auto &adapter : adapters_)
    bluez_tree_.set_properties(adapter->path, kAdapterInterface, {{"Discovering", Variant(g_variant_new_boolean(FALSE))}});

  Pending::hold();
  g_dbus_connection_close(bluez_connection_, nullptr,
                          +[](GObject *source, GAsyncResult *result, gpointer data) {
                            g_autoptr(GDBusMethodInvocation) inv = static_cast<GDBusMethodInvocation *>(data);
                            g_autoptr(GError) error = nullptr;
                            if (!g_dbus_connection_close_finish(G_DBUS_CONNECTION(source), result, &error))
                              g_debug("closing the org.bluez connection: %s", error->message);
                            g_dbus_method_invocation_return_value(inv, nullptr);
                            Pending::release();
                          },
                          g_object_ref(invocation));
  g_clear_object(&bluez_connection_);
}

void Simulator::forget_clients() {
  std::set<std::string> senders;
  for (const auto &app : monitor_apps_)
    senders.insert(app.second.sender);
  for (const auto &ad : advertisements_)
    senders.insert(ad.second.sender);
  for (const auto &adapter : adapters_)
    senders.insert(adapter->discovery_clients.begin(), adapter->discovery_clients.end());
  for (const auto &sender : senders)
    forget_client(sender);
}

void Simulator::forget_client(const std::string &sender) {
  for (auto it = monitor_apps_.begin(); it != monitor_apps_.end();) {
    if (it->second.sender != sender) {
      ++it;
      continue;
    }
    g_debug("client %s left: dropping monitors of %s", sender.c_str(), it->second.root.c_str());
    release_app(it->second, false);
    it = monitor_apps_.erase(it);
  }
  std::vector<uint64_t> ads;
  for (const auto &ad : advertisements_)
    if (ad.second.sender == sender)
      ads.push_back(ad.first);
  for (uint64_t id : ads)
    drop_advertisement(id, false);
  for (auto &adapter : adapters_)
    if (adapter->discovery_clients.erase(sender) > 0 && adapter->discovery_clients.empty())
      bluez_tree_.set_properties(adapter->path, kAdapterInterface, {{"Discovering", Variant(g_variant_new_boolean(FALSE))}});
}

/* ---- Adapters and devices ---------------------------------------------- */

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
          {"SupportedInstances", Variant(g_variant_new_byte(static_cast<guint8>(options_.advertising_instances)))},
          {"SupportedIncludes", Variant(string_array({"tx-power", "appearance", "local-name"}))},
          {"SupportedSecondaryChannels", Variant(string_array({}))}},
         adapter_handler(spec.name)});
  if (!bluez_tree_.add_interfaces(adapter->path, std::move(interfaces), error))
    return false;
  g_message("adapter %s (%s)%s%s", adapter->path.c_str(), address,
            spec.monitor_manager ? " with monitor manager" : "",
            spec.advertising_manager ? " with advertising manager" : "");
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

std::string Simulator::device_path(const Adapter &adapter, const std::string &address) const {
  std::string path = adapter.path + "/dev_" + address;
  std::replace(path.begin(), path.end(), ':', '_');
  return path;
}

Simulator::Device *Simulator::ensure_device(Adapter &adapter, const std::string &address, bool persistent,
                                            const Properties &extra) {
  const std::string path = device_path(adapter, address);
  auto it = devices_.find(path);
  if (it != devices_.end()) {
    it->second.persistent = it->second.persistent || persistent;
    return &it->second;
  }
  std::string alias = address;
  std::replace(alias.begin(), alias.end(), ':', '-');
  /* Static random addresses have both top bits set. */
  const bool random = g_ascii_xdigit_value(address[0]) >= 0xc;
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
  interfaces.back().properties.insert(interfaces.back().properties.end(), extra.begin(), extra.end());
  g_autoptr(GError) error = nullptr;
  if (!bluez_tree_.add_interfaces(path, std::move(interfaces), &error)) {
    g_warning("cannot add device %s: %s", path.c_str(), error->message);
    return nullptr;
  }
  Device device;
  device.path = path;
  device.adapter = adapter.name;
  device.address = address;
  device.persistent = persistent;
  device.last_seen = g_get_monotonic_time();
  auto inserted = devices_.emplace(path, std::move(device));
  return &inserted.first->second;
}

void Simulator::remove_device(const std::string &path) {
  for (auto &entry : monitor_apps_) {
    MonitorApp &app = entry.second;
    for (auto &monitor : app.monitors)
      if (monitor.found.erase(path) > 0 && bluez_connection_ != nullptr)
        call_no_reply(bluez_connection_, app.sender.c_str(), monitor.path.c_str(), kMonitorInterface,
                      "DeviceLost", g_variant_new("(o)", path.c_str()));
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

/* ---- Radio --------------------------------------------------------------- */

void Simulator::hear(Adapter &adapter, const std::string &address, const AdData &data, gint16 rssi) {
  if (!present_)
    return;
  GVariant *powered = bluez_tree_.property(adapter.path, kAdapterInterface, "Powered");
  if (powered == nullptr || !g_variant_get_boolean(powered))
    return;

  struct Match {
    uint64_t app;
    size_t monitor;
  };
  std::vector<Match> matches;
  for (const auto &entry : monitor_apps_) {
    const MonitorApp &app = entry.second;
    if (!app.ready || app.adapter != adapter.name)
      continue;
    for (size_t i = 0; i < app.monitors.size(); i++)
      if (app.monitors[i].activated && any_pattern_matches(app.monitors[i].patterns, data))
        matches.push_back({entry.first, i});
  }
  /* Without a matching monitor only a discovery session reports devices. */
  if (matches.empty() && adapter.discovery_clients.empty())
    return;

  const std::string path = device_path(adapter, address);
  Properties heard = {{"RSSI", Variant(g_variant_new_int16(rssi))}};
  auto manufacturer = ad_manufacturer_data(data);
  auto existing = devices_.find(path);
  if (existing == devices_.end()) {
    if (!manufacturer.empty())
      heard.push_back({"ManufacturerData", Variant(manufacturer_variant(manufacturer))});
    if (ensure_device(adapter, address, false, heard) == nullptr)
      return;
  } else {
    if (!manufacturer.empty()) {
      /* BlueZ keeps data of other companies heard earlier. */
      auto merged = manufacturer_map(bluez_tree_.property(path, kDeviceInterface, "ManufacturerData"));
      for (auto &entry : manufacturer)
        merged[entry.first] = std::move(entry.second);
      heard.push_back({"ManufacturerData", Variant(manufacturer_variant(merged))});
    }
    bluez_tree_.set_properties(path, kDeviceInterface, heard);
  }
  devices_[path].last_seen = g_get_monotonic_time();
  schedule_expiry();

  for (const Match &match : matches) {
    MonitorApp &app = monitor_apps_.at(match.app);
    Monitor &monitor = app.monitors[match.monitor];
    const bool first = monitor.found.insert(path).second;
    if (options_.controller_filtering && !first)
      continue;
    call_no_reply(bluez_connection_, app.sender.c_str(), monitor.path.c_str(), kMonitorInterface, "DeviceFound",
                  g_variant_new("(o)", path.c_str()));
    g_dbus_connection_emit_signal(control_connection_, nullptr, kControlPath, kControlInterface, "DeviceFoundCalled",
                                  g_variant_new("(soo)", app.sender.c_str(), monitor.path.c_str(), path.c_str()),
                                  nullptr);
  }
}

/* ---- Monitors ----------------------------------------------------------- */

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
  if (tell_client && bluez_connection_ != nullptr)
    for (const auto &monitor : app.monitors)
      call_no_reply(bluez_connection_, app.sender.c_str(), monitor.path.c_str(), kMonitorInterface, "Release", nullptr);
  app.monitors.clear();
}

bool Simulator::release_monitors(const std::string &sender) {
  bool any = false;
  for (auto &entry : monitor_apps_) {
    MonitorApp &app = entry.second;
    if (app.sender != sender || app.monitors.empty())
      continue;
    any = true;
    for (const auto &monitor : app.monitors) {
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

/* ---- Advertising -------------------------------------------------------- */

Simulator::Advertisement *Simulator::advertisement_by_id(uint64_t id) {
  auto it = advertisements_.find(id);
  return it != advertisements_.end() ? &it->second : nullptr;
}

void Simulator::register_advertisement(Adapter &adapter, GDBusMethodInvocation *invocation, const char *path) {
  const char *sender = g_dbus_method_invocation_get_sender(invocation);
  size_t used = 0;
  for (const auto &entry : advertisements_) {
    const Advertisement &ad = entry.second;
    if (ad.adapter != adapter.name)
      continue;
    if (ad.sender == sender && ad.path == path) {
      return_error(invocation, kErrorAlreadyExists, std::string("Advertisement ") + path + " is already registered");
      return;
    }
    used++;
  }
  if (used >= options_.advertising_instances) {
    return_error(invocation, kErrorNotPermitted, "Maximum advertisements reached");
    return;
  }
  const uint64_t id = next_id_++;
  Advertisement &ad = advertisements_[id];
  ad.id = id;
  ad.sender = sender;
  ad.path = path;
  ad.adapter = adapter.name;
  ad.cancellable = g_cancellable_new();
  ad.invocation = G_DBUS_METHOD_INVOCATION(g_object_ref(invocation));
  call_async(bluez_connection_, sender, path, "org.freedesktop.DBus.Properties", "GetAll",
             g_variant_new("(s)", kAdvertisementInterface), G_VARIANT_TYPE("(a{sv})"), kClientCallTimeoutMs,
             ad.cancellable,
             [this, id](GVariant *reply, const GError *error) { on_advertisement_properties(id, reply, error); });
}

void Simulator::on_advertisement_properties(uint64_t id, GVariant *reply, const GError *error) {
  if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
    return;
  Advertisement *ad = advertisement_by_id(id);
  if (ad == nullptr)
    return;
  Adapter *adapter = adapter_by_name(ad->adapter);
  if (error != nullptr || adapter == nullptr) {
    return_error(ad->invocation, kErrorFailed,
                 "cannot read advertisement " + ad->path + ": " + (error != nullptr ? error->message : "adapter removed"));
    g_clear_object(&ad->invocation);
    drop_advertisement(id, false);
    return;
  }
  g_autoptr(GVariant) props = g_variant_get_child_value(reply, 0);
  AdvertisementRequest request;
  std::string why;
  GVariant *alias = bluez_tree_.property(adapter->path, kAdapterInterface, "Alias");
  const AdError result = advertisement_from_properties(props, alias != nullptr ? g_variant_get_string(alias, nullptr) : "",
                                                       0, &request, &why);
  if (result != AdError::None) {
    g_message("rejecting advertisement %s of %s: %s", ad->path.c_str(), ad->sender.c_str(), why.c_str());
    return_error(ad->invocation, result == AdError::InvalidLength ? kErrorInvalidLength : kErrorInvalidArguments, why);
    g_clear_object(&ad->invocation);
    drop_advertisement(id, false);
    return;
  }
  ad->data = std::move(request.data);
  ad->interval_ms = request.interval_ms;
  ad->active = true;
  struct Tick {
    Simulator *self;
    uint64_t id;
  };
  auto free_tick = +[](gpointer data) { delete static_cast<Tick *>(data); };
  ad->transmit_source = g_timeout_add_full(
      G_PRIORITY_DEFAULT, ad->interval_ms,
      +[](gpointer data) -> gboolean {
        auto *tick = static_cast<Tick *>(data);
        if (Advertisement *a = tick->self->advertisement_by_id(tick->id))
          tick->self->transmit(*a);
        return G_SOURCE_CONTINUE;
      },
      new Tick{this, id}, free_tick);
  if (request.timeout_s > 0)
    ad->timeout_source = g_timeout_add_full(
        G_PRIORITY_DEFAULT, request.timeout_s * 1000,
        +[](gpointer data) -> gboolean {
          auto *tick = static_cast<Tick *>(data);
          if (Advertisement *a = tick->self->advertisement_by_id(tick->id)) {
            g_message("advertisement %s of %s timed out", a->path.c_str(), a->sender.c_str());
            a->timeout_source = 0;  /* this source ends by returning REMOVE */
            tick->self->drop_advertisement(tick->id, true);
          }
          return G_SOURCE_REMOVE;
        },
        new Tick{this, id}, free_tick);
  update_instances(ad->adapter);
  g_message("advertisement %s of %s on air from %s every %u ms%s", ad->path.c_str(), ad->sender.c_str(),
            ad->adapter.c_str(), ad->interval_ms, request.timeout_s > 0 ? " until its timeout" : "");
  /* On air before the answer: the first transmission goes out now. */
  GDBusMethodInvocation *invocation = ad->invocation;
  ad->invocation = nullptr;
  transmit(*ad);
  g_dbus_method_invocation_return_value(invocation, nullptr);
  g_object_unref(invocation);
}

void Simulator::transmit(Advertisement &advertisement) {
  Adapter *from = adapter_by_name(advertisement.adapter);
  if (from == nullptr)
    return;
  GVariant *powered = bluez_tree_.property(from->path, kAdapterInterface, "Powered");
  if (powered == nullptr || !g_variant_get_boolean(powered))
    return;
  const std::string address = from->address;
  const AdData data = advertisement.data;  /* hear() may end this advertisement's owner */
  for (size_t i = 0; i < adapters_.size(); i++)
    if (adapters_[i]->name != advertisement.adapter)
      hear(*adapters_[i], address, data, kNeighbourRssi);
}

void Simulator::drop_advertisement(uint64_t id, bool tell_client) {
  Advertisement *ad = advertisement_by_id(id);
  if (ad == nullptr)
    return;
  if (ad->cancellable != nullptr) {
    g_cancellable_cancel(ad->cancellable);
    g_clear_object(&ad->cancellable);
  }
  if (ad->transmit_source != 0)
    g_source_remove(ad->transmit_source);
  if (ad->timeout_source != 0)
    g_source_remove(ad->timeout_source);
  if (ad->invocation != nullptr) {
    return_error(ad->invocation, kErrorFailed, "registration of advertisement " + ad->path + " was abandoned");
    g_clear_object(&ad->invocation);
  }
  if (tell_client && ad->active && bluez_connection_ != nullptr)
    call_no_reply(bluez_connection_, ad->sender.c_str(), ad->path.c_str(), kAdvertisementInterface, "Release", nullptr);
  const bool was_active = ad->active;
  const std::string adapter = ad->adapter;
  advertisements_.erase(id);
  if (was_active)
    update_instances(adapter);
}

void Simulator::update_instances(const std::string &name) {
  Adapter *adapter = adapter_by_name(name);
  if (adapter == nullptr || !adapter->advertising_manager)
    return;
  guint active = 0;
  for (const auto &entry : advertisements_)
    if (entry.second.adapter == name && entry.second.active)
      active++;
  const guint free_instances = options_.advertising_instances > active ? options_.advertising_instances - active : 0;
  bluez_tree_.set_properties(adapter->path, kAdvertisingManagerInterface,
                             {{"ActiveInstances", Variant(g_variant_new_byte(static_cast<guint8>(active)))},
                              {"SupportedInstances", Variant(g_variant_new_byte(static_cast<guint8>(free_instances)))}});
}

void Simulator::unregister_advertisement(Adapter &adapter, GDBusMethodInvocation *invocation, const char *path) {
  const char *sender = g_dbus_method_invocation_get_sender(invocation);
  for (const auto &entry : advertisements_) {
    const Advertisement &ad = entry.second;
    if (ad.sender == sender && ad.path == path && ad.adapter == adapter.name) {
      g_message("advertisement %s of %s unregistered", path, sender);
      drop_advertisement(entry.first, false);
      g_dbus_method_invocation_return_value(invocation, nullptr);
      return;
    }
  }
  return_error(invocation, kErrorDoesNotExist, std::string("No advertisement ") + path + " of " + sender +
                                                   " on " + adapter.name);
}

/* ---- Control interface -------------------------------------------------- */

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
    Device *device = ensure_device(*adapter, address, true);
    if (device == nullptr) {
      return_error(invocation, kControlError, "AddDevice: cannot export the device");
      return;
    }
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", device->path.c_str()));
  } else if (g_str_equal(method, "InjectAdvertisement")) {
    const char *name, *address_text;
    guint16 company;
    gint16 rssi;
    g_autoptr(GVariant) payload = nullptr;
    g_variant_get(params, "(&s&sq@ayn)", &name, &address_text, &company, &payload, &rssi);
    Adapter *adapter = adapter_by_name(name);
    std::string address;
    if (adapter == nullptr) {
      return_error(invocation, kInvalidArgs, std::string("InjectAdvertisement: no adapter \"") + name + "\"");
      return;
    }
    if (!normalize_address(address_text, &address)) {
      return_error(invocation, kInvalidArgs,
                   std::string("InjectAdvertisement: \"") + address_text + "\" is not a Bluetooth address");
      return;
    }
    gsize n = 0;
    const auto *bytes = static_cast<const uint8_t *>(g_variant_get_fixed_array(payload, &n, 1));
    AdData data = ad_from_manufacturer(company, std::vector<uint8_t>(bytes, bytes + n));
    if (ad_encoded_length(data) > kMaxAdvertisingData) {
      return_error(invocation, kInvalidArgs,
                   "InjectAdvertisement: " + std::to_string(n) + " data bytes do not fit in one advertisement");
      return;
    }
    hear(*adapter, address, data, rssi);
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

#include "sim.h"

#include <algorithm>
#include <cstring>

#include "common.h"
#include "dbus-util.h"
#include "introspection.h"

namespace bzsim {

namespace {

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
    } else if (g_str_has_prefix(parts[i], "sets=")) {
      guint64 sets = 0;
      if (!g_ascii_string_to_unsigned(parts[i] + 5, 10, 0, 255, &sets, nullptr)) {
        g_set_error(error, G_OPTION_ERROR, G_OPTION_ERROR_BAD_VALUE,
                    "adapter \"%s\": sets must be 0..255, not \"%s\"", text, parts[i] + 5);
        return false;
      }
      spec.sets = static_cast<int>(sets);
    } else {
      g_set_error(error, G_OPTION_ERROR, G_OPTION_ERROR_BAD_VALUE,
                  "adapter \"%s\": unknown flag \"%s\" (nomonitor, noadvertising or sets=N)", text, parts[i]);
      return false;
    }
  }
  *out = spec;
  return true;
}

Simulator::Simulator(Options options)
    : options_(std::move(options)), bluez_tree_(kBluezXml), control_tree_(kControlXml),
      rand_(g_rand_new_with_seed(options_.seed)) {}

Simulator::~Simulator() {
  shutdown();
  g_rand_free(rand_);
}

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

  /* Kept off the bus until org.bluez is owned: see publish_adapters(). */
  for (const auto &spec : options_.adapters) {
    std::string path;
    if (!add_adapter(spec, &path, error))
      return false;
  }
  connect_bluez();
  return true;
}

void Simulator::own_control_name() {
  if (control_name_requested_ || control_connection_ == nullptr)
    return;
  control_name_requested_ = true;
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
}

void Simulator::shutdown() {
  if (control_connection_ == nullptr && bluez_connection_ == nullptr)
    return;
  forget_clients();
  if (expiry_source_ != 0) {
    g_source_remove(expiry_source_);
    expiry_source_ = 0;
  }
  if (publish_source_ != 0) {
    g_source_remove(publish_source_);
    publish_source_ = 0;
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
  g_clear_object(&connect_cancellable_);
  if (connection == nullptr) {
    connecting_ = false;
    g_warning("cannot connect to the system bus for org.bluez: %s", error->message);
    answer_returns(error);
    own_control_name();
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
  /* Only the ObjectManager until the name is ours, as bluetoothd. */
  if (!bluez_tree_.attach(bluez_connection_, &attach_error, true)) {
    g_warning("cannot export the BlueZ objects: %s", attach_error->message);
    connecting_ = false;
    answer_returns(attach_error);
    own_control_name();
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
        self->on_bluez_owned();
      },
      +[](GDBusConnection *, const char *name, gpointer data) {
        auto *own = static_cast<Ownership *>(data);
        Simulator *self = own->self;
        if (own->generation != self->generation_ || self->bluez_owner_ == 0)
          return;
        g_warning("%s %s on the system bus", self->present_ ? "lost" : "cannot own", name);
        self->present_ = false;
        self->connecting_ = false;
        if (self->publish_source_ != 0) {
          g_source_remove(self->publish_source_);
          self->publish_source_ = 0;
        }
        g_autoptr(GError) lost = g_error_new(G_IO_ERROR, G_IO_ERROR_EXISTS, "%s is owned by another connection", name);
        self->answer_returns(lost);
        /* The controls stay reachable to report it. */
        self->own_control_name();
      },
      new Ownership{this, generation_},
      +[](gpointer data) {
        delete static_cast<Ownership *>(data);
        Pending::release();
      });
}

void Simulator::on_bluez_owned() {
  if (publish_source_ != 0 || present_)
    return;
  publish_source_ = g_timeout_add(options_.adapters_delay_ms,
                                  +[](gpointer data) -> gboolean {
                                    auto *self = static_cast<Simulator *>(data);
                                    self->publish_source_ = 0;
                                    self->publish_adapters();
                                    return G_SOURCE_REMOVE;
                                  },
                                  this);
}

void Simulator::publish_adapters() {
  connecting_ = false;
  g_autoptr(GError) error = nullptr;
  if (!bluez_tree_.publish(&error)) {
    g_warning("cannot export the BlueZ objects: %s", error->message);
    answer_returns(error);
    own_control_name();
    return;
  }
  g_message("%zu adapter(s) on the bus", adapters_.size());
  present_ = true;
  answer_returns(nullptr);
  own_control_name();
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
    adapter->discovery_filters.erase(sender);
  for (auto &adapter : adapters_)
    if (adapter->discovery_clients.erase(sender) > 0 && adapter->discovery_clients.empty())
      bluez_tree_.set_properties(adapter->path, kAdapterInterface, {{"Discovering", Variant(g_variant_new_boolean(FALSE))}});
}
}  // namespace bzsim

/* Advertising (bluetoothd: src/advertising.c). */
#include "sim.h"

#include <algorithm>
#include <cstring>

#include "common.h"
#include "dbus-util.h"
#include "introspection.h"

namespace bzsim {

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
  if (used >= adapter.instances) {
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
  /* bluetoothd's D-Bus client asks the object for managed objects first;
   * most clients answer UnknownMethod, which it ignores. */
  call_async(bluez_connection_, sender, path, "org.freedesktop.DBus.ObjectManager", "GetManagedObjects", nullptr,
             nullptr, kClientCallTimeoutMs, ad.cancellable, [](GVariant *, const GError *) {});
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
  GVariant *discoverable = bluez_tree_.property(adapter->path, kAdapterInterface, "Discoverable");
  const AdError result = advertisement_from_properties(
      props, alias != nullptr ? g_variant_get_string(alias, nullptr) : "", 0, &request, &why,
      discoverable != nullptr && g_variant_get_boolean(discoverable));
  if (result != AdError::None) {
    /* bluetoothd logs the reason and answers every refusal alike. */
    g_message("rejecting advertisement %s of %s: %s", ad->path.c_str(), ad->sender.c_str(), why.c_str());
    return_error(ad->invocation, kErrorFailed, "Failed to parse advertisement.");
    g_clear_object(&ad->invocation);
    drop_advertisement(id, false);
    return;
  }
  ad->data = std::move(request.data);
  ad->scan_response = std::move(request.scan_response);
  ad->interval_ms = request.interval_ms;
  ad->min_interval_ms = request.min_interval_ms;
  ad->max_interval_ms = request.max_interval_ms;
  /* The kernel sends a non-connectable advertisement from a non-resolvable
   * private address of its own; a connectable one from the adapter's. */
  ad->random_address = request.type != "peripheral";
  ad->address = ad->random_address ? new_nonresolvable_address() : adapter->address;
  ad->active = true;
  struct Tick {
    Simulator *self;
    uint64_t id;
  };
  auto free_tick = +[](gpointer data) { delete static_cast<Tick *>(data); };
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
  g_message("advertisement %s of %s registered on %s%s", ad->path.c_str(), ad->sender.c_str(), ad->adapter.c_str(),
            request.timeout_s > 0 ? " until its timeout" : "");
  /* On air (when its turn is now) before the answer: the first
   * transmission goes out now. */
  GDBusMethodInvocation *invocation = ad->invocation;
  ad->invocation = nullptr;
  schedule_air(adapter->name);
  g_dbus_method_invocation_return_value(invocation, nullptr);
  g_object_unref(invocation);
}

namespace {
/* Setting a set's parameters and data and enabling it: a few HCI commands. */
constexpr double kEnableLatencyMs = 10;
struct Tick {
  Simulator *self;
  uint64_t id;
};
void free_tick(gpointer data) { delete static_cast<Tick *>(data); }
}  // namespace

void Simulator::schedule_air(const std::string &name) {
  Adapter *adapter = adapter_by_name(name);
  if (adapter == nullptr)
    return;
  std::vector<uint64_t> active;  /* in registration order */
  for (const auto &entry : advertisements_)
    if (entry.second.adapter == name && entry.second.active)
      active.push_back(entry.first);
  std::set<uint64_t> holders;
  if (adapter->sets > 0) {
    for (size_t i = 0; i < active.size() && i < adapter->sets; i++)
      holders.insert(active[i]);
  } else {
    const uint64_t before = adapter->air_holder;
    if (active.empty()) {
      adapter->air_holder = 0;
    } else if (std::find(active.begin(), active.end(), before) == active.end()) {
      /* The holder ended: the next in order takes the set at once. */
      auto next = std::upper_bound(active.begin(), active.end(), before);
      adapter->air_holder = next != active.end() ? *next : active.front();
    }
    if (adapter->air_holder != 0)
      holders.insert(adapter->air_holder);
    /* Rotation runs while instances share the set; a new holder gets a
     * whole turn. */
    if (adapter->rotation_source != 0 && (active.size() < 2 || adapter->air_holder != before)) {
      g_source_remove(adapter->rotation_source);
      adapter->rotation_source = 0;
    }
    if (active.size() >= 2 && adapter->rotation_source == 0) {
      struct Rotation {
        Simulator *self;
        std::string adapter;
      };
      adapter->rotation_source = g_timeout_add_full(
          G_PRIORITY_DEFAULT, options_.rotation_ms,
          +[](gpointer data) -> gboolean {
            auto *rotation = static_cast<Rotation *>(data);
            if (Adapter *a = rotation->self->adapter_by_name(rotation->adapter))
              a->rotation_source = 0; /* this source ends by returning REMOVE */
            rotation->self->rotate(rotation->adapter);
            return G_SOURCE_REMOVE;
          },
          new Rotation{this, name}, [](gpointer data) { delete static_cast<Rotation *>(data); });
    }
  }
  for (uint64_t id : active) {
    Advertisement &ad = advertisements_[id];
    if (holders.count(id) != 0 && !ad.on_air)
      take_air(ad);
    else if (holders.count(id) == 0 && ad.on_air)
      leave_air(ad);
  }
}

void Simulator::rotate(const std::string &name) {
  Adapter *adapter = adapter_by_name(name);
  if (adapter == nullptr)
    return;
  std::vector<uint64_t> active;
  for (const auto &entry : advertisements_)
    if (entry.second.adapter == name && entry.second.active)
      active.push_back(entry.first);
  if (!active.empty()) {
    auto next = std::upper_bound(active.begin(), active.end(), adapter->air_holder);
    adapter->air_holder = next != active.end() ? *next : active.front();
  }
  schedule_air(name);
}

void Simulator::take_air(Advertisement &ad) {
  ad.on_air = true;
  /* Each turn of a non-connectable instance goes out from a fresh
   * non-resolvable address, as the kernel does when it enables the set. */
  if (ad.random_address && ad.turns > 0)
    ad.address = new_nonresolvable_address();
  ad.turns++;
  const uint64_t id = ad.id;
  if (!options_.air) {
    g_message("advertisement %s of %s on air from %s as %s every %u ms (turn %u)", ad.path.c_str(),
              ad.sender.c_str(), ad.adapter.c_str(), ad.address.c_str(), ad.interval_ms, ad.turns);
    ad.transmit_source = g_timeout_add_full(
        G_PRIORITY_DEFAULT, ad.interval_ms,
        +[](gpointer data) -> gboolean {
          auto *tick = static_cast<Tick *>(data);
          if (Advertisement *a = tick->self->advertisement_by_id(tick->id))
            tick->self->transmit(*a);
          return G_SOURCE_CONTINUE;
        },
        new Tick{this, id}, free_tick);
    transmit(ad);
    return;
  }
  /* The kernel's fast interval for a non-connectable broadcast unless the
   * client asked for its own; the controller picks within the bounds. */
  const bool asked = ad.max_interval_ms > 0;
  const double min_ms = asked ? ad.min_interval_ms : (ad.random_address ? 100.0 : 1280.0);
  const double max_ms = asked ? ad.max_interval_ms : (ad.random_address ? 150.0 : 1280.0);
  ad.interval_ms = static_cast<guint>(air_choose_interval(min_ms, max_ms, rand_));
  g_message("advertisement %s of %s on air from %s as %s, events every %u ms + advDelay (turn %u)", ad.path.c_str(),
            ad.sender.c_str(), ad.adapter.c_str(), ad.address.c_str(), ad.interval_ms, ad.turns);
  /* The first event follows the HCI commands that set up and enable the
   * set; a turn taken away sooner is never heard. */
  schedule_event(ad, kEnableLatencyMs + air_next_event_gap(0, rand_));
}

void Simulator::schedule_event(Advertisement &ad, double delay_ms) {
  ad.transmit_source = g_timeout_add_full(
      G_PRIORITY_DEFAULT, static_cast<guint>(delay_ms + 0.5),
      +[](gpointer data) -> gboolean {
        auto *tick = static_cast<Tick *>(data);
        if (Advertisement *a = tick->self->advertisement_by_id(tick->id))
          a->transmit_source = 0; /* this source ends by returning REMOVE */
        tick->self->advertising_event(tick->id);
        return G_SOURCE_REMOVE;
      },
      new Tick{this, ad.id}, free_tick);
}

void Simulator::advertising_event(uint64_t id) {
  Advertisement *ad = advertisement_by_id(id);
  if (ad == nullptr || !ad->on_air)
    return;
  schedule_event(*ad, air_next_event_gap(ad->interval_ms, rand_));
  Adapter *from = adapter_by_name(ad->adapter);
  GVariant *powered = from != nullptr ? bluez_tree_.property(from->path, kAdapterInterface, "Powered") : nullptr;
  if (powered == nullptr || !g_variant_get_boolean(powered))
    return;
  const double now_ms = g_get_monotonic_time() / 1000.0;
  /* hear() may end this advertisement's owner */
  const std::string address = ad->address;
  const bool random = ad->random_address;
  const AdData data = ad->data;
  const AdData scan_response = ad->scan_response;
  const std::string sender = ad->adapter;
  std::vector<std::string> heard_by;
  for (const auto &adapter : adapters_)
    if (adapter->name != sender && air_event_heard(now_ms, adapter->scan_phase_ms, options_.scan, options_.loss, rand_))
      heard_by.push_back(adapter->name);
  for (const auto &name : heard_by)
    if (Adapter *adapter = adapter_by_name(name))
      hear(*adapter, address, random, data, scan_response, kNeighbourRssi);
}

void Simulator::leave_air(Advertisement &ad) {
  ad.on_air = false;
  if (ad.transmit_source != 0) {
    g_source_remove(ad.transmit_source);
    ad.transmit_source = 0;
  }
  g_message("advertisement %s of %s off air (turn %u over)", ad.path.c_str(), ad.sender.c_str(), ad.turns);
}

void Simulator::transmit(Advertisement &advertisement) {
  Adapter *from = adapter_by_name(advertisement.adapter);
  if (from == nullptr)
    return;
  GVariant *powered = bluez_tree_.property(from->path, kAdapterInterface, "Powered");
  if (powered == nullptr || !g_variant_get_boolean(powered))
    return;
  const std::string address = advertisement.address;
  const bool random = advertisement.random_address;
  /* hear() may end this advertisement's owner */
  const AdData data = advertisement.data;
  const AdData scan_response = advertisement.scan_response;
  for (size_t i = 0; i < adapters_.size(); i++)
    if (adapters_[i]->name != advertisement.adapter)
      hear(*adapters_[i], address, random, data, scan_response, kNeighbourRssi);
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
  if (was_active) {
    update_instances(adapter);
    schedule_air(adapter);
  }
}

void Simulator::update_instances(const std::string &name) {
  Adapter *adapter = adapter_by_name(name);
  if (adapter == nullptr || !adapter->advertising_manager)
    return;
  guint active = 0;
  for (const auto &entry : advertisements_)
    if (entry.second.adapter == name && entry.second.active)
      active++;
  const guint free_instances = adapter->instances > active ? adapter->instances - active : 0;
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
}  // namespace bzsim

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
  g_message("advertisement %s of %s on air from %s as %s every %u ms%s", ad->path.c_str(), ad->sender.c_str(),
            ad->adapter.c_str(), ad->address.c_str(), ad->interval_ms,
            request.timeout_s > 0 ? " until its timeout" : "");
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
}  // namespace bzsim

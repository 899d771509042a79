/* beacon-sender: the device's beacon-sending service.
 *
 * Owns com.vemo.bt.SendVemoBeacon on the system bus and answers Send once
 * the beacon is on air or admitted to the queue for it. Every accepted Send is recorded and announced
 * on the test-control interface, which can also make Send fail, wait,
 * never answer or answer with values. */
#include <gio/gio.h>
#include <glib-unix.h>

#include <cstdio>
#include <memory>

#include "advwatch-utils.h"
#include "config.h"
#include "notify.h"
#include "sender.h"

namespace {

constexpr const char kBusName[] = "com.vemo.bt.SendVemoBeacon";
constexpr const char kObjectPath[] = "/com/vemo/bt/SendVemoBeacon";
constexpr const char kInterface[] = "com.vemo.bt.SendVemoBeacon";
constexpr const char kControlInterface[] = "com.vemo.Sim.SendVemoBeacon1";
constexpr const char kFailedError[] = "com.vemo.bt.SendVemoBeacon.Error.Failed";

constexpr const char kIntrospection[] =
    "<node>"
    "  <interface name='com.vemo.bt.SendVemoBeacon'>"
    "    <method name='Send'>"
    "      <arg name='message_type' type='y' direction='in'/>"
    "      <arg name='options' type='a{sv}' direction='in'/>"
    "      <arg name='system_id' type='s' direction='in'/>"
    "      <arg name='extra' type='a{sv}' direction='in'/>"
    "    </method>"
    "  </interface>"
    "  <interface name='com.vemo.Sim.SendVemoBeacon1'>"
    "    <method name='SetFault'>"
    "      <arg name='mode' type='s' direction='in'/>"
    "      <arg name='delay_ms' type='u' direction='in'/>"
    "    </method>"
    "    <method name='GetCalls'>"
    "      <arg name='calls' type='a(ya{sv}sa{sv})' direction='out'/>"
    "    </method>"
    "    <method name='ClearCalls'/>"
    "    <signal name='SendReceived'>"
    "      <arg name='message_type' type='y'/>"
    "      <arg name='system_id' type='s'/>"
    "    </signal>"
    "  </interface>"
    "</node>";

enum class Fault { None, Fail, Delay, Block, Values };

bool parse_fault(const gchar *mode, Fault *out) {
  static const struct {
    const char *name;
    Fault fault;
  } modes[] = {{"none", Fault::None},   {"fail", Fault::Fail},     {"delay", Fault::Delay},
               {"block", Fault::Block}, {"values", Fault::Values}};
  for (const auto &m : modes) {
    if (g_strcmp0(mode, m.name) == 0) {
      *out = m.fault;
      return true;
    }
  }
  return false;
}

struct Service;

/* A Send that has been accepted but not answered yet. */
struct PendingSend {
  Service *service;
  GDBusMethodInvocation *invocation; /* owned */
  guint8 message_type;
  gchar *system_id;
  guint timeout_id;
};

struct Service {
  GMainLoop *loop = nullptr;
  GDBusConnection *connection = nullptr;
  guint registrations[2] = {0, 0};
  guint owner_id = 0;
  bool name_acquired = false;
  bool record_only = false;
  int exit_status = 0;
  Fault fault = Fault::None;
  guint delay_ms = 0;
  bool signing = false; /* beacons carry the installation key's tag */
  GPtrArray *calls = nullptr;   /* GVariant (ya{sv}sa{sv}), owned */
  GPtrArray *pending = nullptr; /* PendingSend *, delayed or blocked */
  std::unique_ptr<Sender> sender;
};

void pending_free(PendingSend *send) {
  if (send->timeout_id != 0)
    g_source_remove(send->timeout_id);
  g_clear_object(&send->invocation);
  g_free(send->system_id);
  g_free(send);
}

/* Hands the accepted request to the sender; the invocation is answered
 * once the beacon is on its way or sending failed. */
void transmit(Service *service, GDBusMethodInvocation *invocation, guint8 message_type, const gchar *system_id) {
  service->sender->send(message_type, system_id, [invocation](GError *error) {
    if (error != nullptr) {
      g_warning("Send failed: %s", error->message);
      g_dbus_method_invocation_return_dbus_error(invocation, kFailedError, error->message);
    } else {
      g_dbus_method_invocation_return_value(invocation, nullptr);
    }
  });
}

gboolean on_delay_over(gpointer data) {
  auto *send = static_cast<PendingSend *>(data);
  send->timeout_id = 0;
  Service *service = send->service;
  /* Taken out of the list before it is answered; removal frees it. */
  GDBusMethodInvocation *invocation = static_cast<GDBusMethodInvocation *>(g_steal_pointer(&send->invocation));
  transmit(service, invocation, send->message_type, send->system_id);
  g_ptr_array_remove(service->pending, send);
  return G_SOURCE_REMOVE;
}

/* Answers with "(s)". GDBus checks a reply made through the invocation
 * against the declared signature and would drop this one, so the reply
 * message is built and sent by hand. */
void return_values(Service *service, GDBusMethodInvocation *invocation) {
  g_autoptr(GDBusMessage) reply = g_dbus_message_new_method_reply(g_dbus_method_invocation_get_message(invocation));
  g_dbus_message_set_body(reply, g_variant_new("(s)", "unexpected"));
  g_autoptr(GError) error = nullptr;
  if (!g_dbus_connection_send_message(service->connection, reply, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, &error))
    g_warning("Could not send the reply with values: %s", error->message);
  g_object_unref(invocation);
}

bool check_options(GVariant *options, GError **error) {
  GVariantIter iter;
  const gchar *key;
  GVariant *value;
  g_variant_iter_init(&iter, options);
  while (g_variant_iter_loop(&iter, "{&sv}", &key, &value)) {
    if (g_strcmp0(key, "bad_time") == 0 && !g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN)) {
      g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS,
                  "Option 'bad_time' must be a boolean, not of type '%s'", g_variant_get_type_string(value));
      g_variant_unref(value);
      return false;
    }
  }
  return true;
}

/* Every path answers @invocation exactly once, which releases it. */
void handle_send(Service *service, GVariant *parameters, GDBusMethodInvocation *invocation) {
  guint8 message_type = 0;
  const gchar *system_id = nullptr;
  g_autoptr(GVariant) options = nullptr;
  g_autoptr(GVariant) extra = nullptr;
  g_variant_get(parameters, "(y@a{sv}&s@a{sv})", &message_type, &options, &system_id, &extra);

  if (!g_uuid_string_is_valid(system_id)) {
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS,
                                          "System ID '%s' is not a UUID", system_id);
    return;
  }
  GError *error = nullptr;
  if (!check_options(options, &error)) {
    g_dbus_method_invocation_take_error(invocation, error);
    return;
  }

  gboolean bad_time = FALSE;
  g_variant_lookup(options, "bad_time", "b", &bad_time);
  g_message("Send received: message type %u, System ID %s%s", message_type, system_id,
            bad_time ? ", device time not trusted" : "");
  if (bad_time && service->signing)
    g_message("The beacon is signed with a clock the device does not trust: receivers may refuse it as stale");
  g_ptr_array_add(service->calls, g_variant_ref(parameters));
  g_dbus_connection_emit_signal(service->connection, nullptr, kObjectPath, kControlInterface, "SendReceived",
                                g_variant_new("(ys)", message_type, system_id), nullptr);

  switch (service->fault) {
    case Fault::None:
      transmit(service, invocation, message_type, system_id);
      break;
    case Fault::Fail:
      g_dbus_method_invocation_return_dbus_error(invocation, kFailedError, "Sending failed (fault injected)");
      break;
    case Fault::Values:
      return_values(service, invocation);
      break;
    case Fault::Delay:
    case Fault::Block: {
      auto *send = g_new0(PendingSend, 1);
      send->service = service;
      send->invocation = invocation; /* answered later */
      send->message_type = message_type;
      send->system_id = g_strdup(system_id);
      if (service->fault == Fault::Delay)
        send->timeout_id = g_timeout_add(service->delay_ms, on_delay_over, send);
      g_ptr_array_add(service->pending, send);
      break;
    }
  }
}

void handle_control(Service *service, const gchar *method, GVariant *parameters,
                    GDBusMethodInvocation *invocation) {
  if (g_strcmp0(method, "SetFault") == 0) {
    const gchar *mode = nullptr;
    guint32 delay_ms = 0;
    g_variant_get(parameters, "(&su)", &mode, &delay_ms);
    Fault fault;
    if (!parse_fault(mode, &fault)) {
      g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS,
                                            "Unknown fault mode '%s' (none, fail, delay, block, values)", mode);
      return;
    }
    service->fault = fault;
    service->delay_ms = delay_ms;
    g_message("Fault mode now %s (%u ms)", mode, delay_ms);
    g_dbus_method_invocation_return_value(invocation, nullptr);
  } else if (g_strcmp0(method, "GetCalls") == 0) {
    GVariantBuilder calls;
    g_variant_builder_init(&calls, G_VARIANT_TYPE("a(ya{sv}sa{sv})"));
    for (guint i = 0; i < service->calls->len; i++)
      g_variant_builder_add_value(&calls, static_cast<GVariant *>(service->calls->pdata[i]));
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(a(ya{sv}sa{sv}))", &calls));
  } else if (g_strcmp0(method, "ClearCalls") == 0) {
    g_ptr_array_set_size(service->calls, 0);
    g_dbus_method_invocation_return_value(invocation, nullptr);
  } else {
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD,
                                          "Unknown method %s", method);
  }
}

void on_method_call(GDBusConnection *, const gchar *, const gchar *, const gchar *interface, const gchar *method,
                    GVariant *parameters, GDBusMethodInvocation *invocation, gpointer data) {
  auto *service = static_cast<Service *>(data);
  if (g_strcmp0(interface, kInterface) == 0 && g_strcmp0(method, "Send") == 0)
    handle_send(service, parameters, invocation);
  else if (g_strcmp0(interface, kControlInterface) == 0)
    handle_control(service, method, parameters, invocation);
  else
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD,
                                          "Unknown method %s.%s", interface, method);
}

void on_name_acquired(GDBusConnection *, const gchar *name, gpointer data) {
  auto *service = static_cast<Service *>(data);
  service->name_acquired = true;
  g_message("Owning %s", name);
  // Ready once callers can reach us by name.
  notify_status(service->record_only ? "serving: recording requests only, never advertising" : "serving");
  notify_start();
}

void on_name_lost(GDBusConnection *, const gchar *name, gpointer data) {
  auto *service = static_cast<Service *>(data);
  g_warning("%s %s on the system bus", service->name_acquired ? "Lost the name" : "Could not own the name", name);
  service->exit_status = 1;
  g_main_loop_quit(service->loop);
}

void on_connection_closed(GDBusConnection *, gboolean, GError *error, gpointer data) {
  auto *service = static_cast<Service *>(data);
  g_warning("System bus connection closed: %s", error != nullptr ? error->message : "by the peer");
  service->exit_status = 1;
  g_main_loop_quit(service->loop);
}

gboolean on_signal(gpointer data) {
  auto *service = static_cast<Service *>(data);
  g_message("Stopping");
  g_main_loop_quit(service->loop);
  return G_SOURCE_CONTINUE;
}

const GDBusInterfaceVTable vtable = {on_method_call, nullptr, nullptr, {nullptr}};

}  // namespace

int main(int argc, char **argv) {
  gchar *adapter = nullptr;
  gboolean no_bluez = FALSE;
  gint air_time_ms = static_cast<gint>(SenderOptions().air_time_ms);
  gboolean all_at_once = FALSE;
  const GOptionEntry entries[] = {
      {"adapter", 'a', 0, G_OPTION_ARG_STRING, &adapter,
       "Advertise on this adapter (default: the first one that can advertise)", "hciN"},
      {"no-bluez", 0, 0, G_OPTION_ARG_NONE, &no_bluez, "Only record requests, never advertise", nullptr},
      {"air-time", 0, 0, G_OPTION_ARG_INT, &air_time_ms, "Keep each beacon on air this long (default 3000)", "MS"},
      {"all-at-once", 0, 0, G_OPTION_ARG_NONE, &all_at_once,
       "Register as many beacons as the adapter has instances even without hardware advertising sets, so the "
       "kernel rotates them and loses some (only to check that it does)",
       nullptr},
      {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr},
  };
  g_autoptr(GOptionContext) options = g_option_context_new("- send beacons on request");
  g_option_context_set_summary(options,
                               "Owns com.vemo.bt.SendVemoBeacon on the system bus and sends one beacon per Send "
                               "call through BlueZ advertising.");
  g_option_context_add_main_entries(options, entries, nullptr);
  g_autoptr(GError) error = nullptr;
  if (!g_option_context_parse(options, &argc, &argv, &error)) {
    g_printerr("%s\n", error->message);
    return 2;
  }
  g_autofree gchar *adapter_name = adapter;
  if (air_time_ms < 100 || air_time_ms > 60000) {
    g_printerr("--air-time must be 100..60000 ms, not %d\n", air_time_ms);
    return 2;
  }
  SenderOptions sender_options;
  sender_options.air_time_ms = static_cast<guint>(air_time_ms);
  sender_options.all_at_once = all_at_once != FALSE;

  /* The installation key, when the unit gives it: every beacon is signed.
   * "beacon-key-next" only verifies, so a sender never uses it. */
  AdvwatchKeys keys;
  if (!advwatch_keys_load_credentials(&keys, &error)) {
    g_printerr("beacon-sender: %s\n", error->message);
    return 1;
  }
  /* The copy is wiped however main returns. */
  struct SigningKeyWipe {
    ~SigningKeyWipe() { sender_set_signing_key(nullptr); }
  } signing_key_wipe;

  Service service;
  if (keys.has_key) {
    sender_set_signing_key(keys.key);
    service.signing = true;
    g_message("Signing beacons with the installation key");
  }
  advwatch_keys_clear(&keys);
  service.loop = g_main_loop_new(nullptr, FALSE);
  service.calls = g_ptr_array_new_with_free_func(reinterpret_cast<GDestroyNotify>(g_variant_unref));
  service.pending = g_ptr_array_new_with_free_func(reinterpret_cast<GDestroyNotify>(pending_free));

  service.connection = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
  if (service.connection == nullptr) {
    g_warning("Could not connect to the system bus: %s", error->message);
    return 1;
  }
  /* Bus loss ends the service through our own handler with a message,
   * rather than GDBus raising SIGTERM. */
  g_dbus_connection_set_exit_on_close(service.connection, FALSE);
  gulong closed_handler = g_signal_connect(service.connection, "closed", G_CALLBACK(on_connection_closed), &service);

  service.record_only = no_bluez != FALSE;
  service.sender = make_sender(service.connection, no_bluez ? nullptr : adapter_name, no_bluez != FALSE, sender_options);

  g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(kIntrospection, &error);
  g_assert_no_error(error);
  for (guint i = 0; i < G_N_ELEMENTS(service.registrations) && service.exit_status == 0; i++) {
    guint id = g_dbus_connection_register_object(service.connection, kObjectPath, node->interfaces[i], &vtable,
                                                 &service, nullptr, &error);
    if (id == 0) {
      g_warning("Could not export %s at %s: %s", node->interfaces[i]->name, kObjectPath, error->message);
      service.exit_status = 1;
    } else {
      service.registrations[i] = id;
    }
  }

  guint sigint = g_unix_signal_add(SIGINT, on_signal, &service);
  guint sigterm = g_unix_signal_add(SIGTERM, on_signal, &service);
  if (service.exit_status == 0) {
    service.owner_id = g_bus_own_name_on_connection(service.connection, kBusName, G_BUS_NAME_OWNER_FLAGS_NONE,
                                                    on_name_acquired, on_name_lost, &service, nullptr);
    g_main_loop_run(service.loop);
    notify_stop();
  }

  /* Requests still waiting get an answer rather than a timeout. */
  for (guint i = 0; i < service.pending->len; i++) {
    auto *send = static_cast<PendingSend *>(service.pending->pdata[i]);
    if (send->invocation != nullptr)
      g_dbus_method_invocation_return_dbus_error(static_cast<GDBusMethodInvocation *>(g_steal_pointer(&send->invocation)),
                                                 kFailedError, "The beacon-sending service is stopping");
  }
  g_ptr_array_set_size(service.pending, 0);
  service.sender.reset();
  if (service.owner_id != 0)
    g_bus_unown_name(service.owner_id);
  g_source_remove(sigint);
  g_source_remove(sigterm);
  for (guint id : service.registrations)
    if (id != 0)
      g_dbus_connection_unregister_object(service.connection, id);
  if (!g_dbus_connection_is_closed(service.connection))
    g_dbus_connection_flush_sync(service.connection, nullptr, nullptr);
  g_signal_handler_disconnect(service.connection, closed_handler);
  g_object_unref(service.connection);
  g_ptr_array_unref(service.pending);
  g_ptr_array_unref(service.calls);
  g_main_loop_unref(service.loop);
  return service.exit_status;
}

/* libadvwatch: the monitor's public functions, its lifetime (references,
 * cleanup), its state with BlueZ, and set-up (configuration checks, the
 * Patterns value). Its rooms are listed in monitor-private.h. Called on the
 * thread of the main context that was thread-default at init; the state
 * callback runs there too. */
#include "monitor-private.h"

#if GLIB_SIZEOF_VOID_P == 8
G_STATIC_ASSERT(sizeof(AdvwatchMonitorConfig) == 48);
#endif

namespace advwatch {
namespace {

const char *state_name(State state) {
  switch (state) {
    case State::Registering:
      return "registering";
    case State::Active:
      return "active";
    case State::Paused:
      return "paused";
    case State::Released:
      return "released by BlueZ";
    case State::Failed:
      return "not registered: registration with BlueZ failed";
    case State::BluezGone:
      return "not registered: BlueZ left the bus";
  }
  return "unknown";
}


AdvwatchMonitorState public_state(State state) {
  switch (state) {
    case State::Registering:
      return ADVWATCH_MONITOR_STATE_REGISTERING;
    case State::Active:
      return ADVWATCH_MONITOR_STATE_ACTIVE;
    case State::Paused:
      return ADVWATCH_MONITOR_STATE_PAUSED;
    case State::Released:
      return ADVWATCH_MONITOR_STATE_RELEASED;
    case State::Failed:
      return ADVWATCH_MONITOR_STATE_FAILED;
    case State::BluezGone:
      return ADVWATCH_MONITOR_STATE_BLUEZ_GONE;
  }
  return ADVWATCH_MONITOR_STATE_FAILED;
}

/* ---- set-up ----------------------------------------------------------- */

bool validate_config(const AdvwatchMonitorConfig *config, GError **error) {
  if (config->adapter_path == NULL || !g_variant_is_object_path(config->adapter_path)) {
    g_autofree gchar *shown =
        config->adapter_path != NULL ? g_strescape(config->adapter_path, NULL) : g_strdup("(none)");
    g_set_error(error, ADVWATCH_ERROR, ADVWATCH_ERROR_INVALID_ARGUMENT,
                "Beacon monitor adapter path \"%s\" is not a D-Bus object path", shown);
    return false;
  }
  if (config->callback == NULL) {
    g_set_error(error, ADVWATCH_ERROR, ADVWATCH_ERROR_INVALID_ARGUMENT,
                "Beacon monitor on %s has no beacon callback", config->adapter_path);
    return false;
  }
  if (config->options != ADVWATCH_MONITOR_OPTIONS_NONE) {
    g_set_error(error, ADVWATCH_ERROR, ADVWATCH_ERROR_INVALID_ARGUMENT,
                "Beacon monitor on %s: unknown options 0x%x", config->adapter_path,
                static_cast<unsigned>(config->options));
    return false;
  }
  if (config->system_id != NULL && !g_utf8_validate(config->system_id, -1, NULL)) {
    g_set_error(error, ADVWATCH_ERROR, ADVWATCH_ERROR_INVALID_ARGUMENT,
                "Beacon monitor on %s: System ID is not UTF-8 text", config->adapter_path);
    return false;
  }
  if (config->or_patterns != NULL) {
    for (guint i = 0; i < config->or_patterns->len; i++) {
      const auto *pattern = static_cast<const AdvwatchPattern *>(g_ptr_array_index(config->or_patterns, i));
      if (pattern == NULL || pattern->kind != ADVWATCH_PATTERN_SYSTEM_ID) {
        g_set_error(error, ADVWATCH_ERROR, ADVWATCH_ERROR_INVALID_ARGUMENT,
                    "Beacon monitor on %s: or-pattern %u was not made by advwatch_pattern_add()",
                    config->adapter_path, i);
        return false;
      }
    }
  }
  return true;
}

/* The Patterns property and the matching set, from the or-patterns. */
void build_patterns(AdvwatchMonitor *monitor) {
  const guint8 prefix[] = {static_cast<guint8>(BEACON_COMPANY_ID & 0xFF),
                           static_cast<guint8>((BEACON_COMPANY_ID >> 8) & 0xFF), ADVWATCH_BEACON_VERSION};
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a(yyay)"));
  std::vector<std::vector<guint8>> contents;
  if (monitor->or_patterns != NULL) {
    for (guint i = 0; i < monitor->or_patterns->len; i++) {
      const auto *pattern = static_cast<const AdvwatchPattern *>(g_ptr_array_index(monitor->or_patterns, i));
      std::vector<guint8> content(prefix, prefix + sizeof prefix);
      content.insert(content.end(), pattern->system_id, pattern->system_id + sizeof pattern->system_id);
      bool duplicate = false;
      for (const auto &seen : contents)
        duplicate = duplicate || seen == content;
      if (duplicate)
        continue;
      contents.push_back(content);
      monitor->wanted_ids.emplace_back(pattern->text);
    }
  }
  // BlueZ needs at least one pattern: without System IDs, every beacon.
  if (contents.empty())
    contents.emplace_back(prefix, prefix + sizeof prefix);
  for (const auto &content : contents)
    g_variant_builder_add(&builder, "(yy@ay)", 0, kAdTypeManufacturerData,
                          g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, content.data(), content.size(), 1));
  monitor->patterns_value = g_variant_ref_sink(g_variant_builder_end(&builder));
}

bool check_state(AdvwatchMonitor *monitor, const char *action, GError **error) {
  if (monitor->state == State::Released || monitor->state == State::Failed ||
      monitor->state == State::BluezGone) {
    g_set_error(error, ADVWATCH_ERROR, ADVWATCH_ERROR_STATE,
                "Cannot %s the beacon monitor on %s: it is %s; clean it up and start a new one", action,
                monitor->adapter_path.c_str(), state_name(monitor->state));
    return false;
  }
  return true;
}

}  // namespace

void monitor_unref(gpointer data) {
  auto *monitor = static_cast<AdvwatchMonitor *>(data);
  if (!g_atomic_ref_count_dec(&monitor->refs))
    return;
  g_clear_object(&monitor->cancellable);
  g_clear_object(&monitor->connection);
  g_clear_pointer(&monitor->patterns_value, g_variant_unref);
  g_clear_pointer(&monitor->or_patterns, g_ptr_array_unref);
  g_clear_pointer(&monitor->keyring, advwatch_keyring_unref);
  g_clear_pointer(&monitor->context, g_main_context_unref);
  delete monitor;
}

/* Tells the owner that BlueZ moved the monitor to @state. Callers hold a
 * reference: the owner may clean the monitor up from the callback. */
void notify_state(AdvwatchMonitor *monitor, State state, const GError *error) {
  monitor->state = state;
  if (monitor->closed || monitor->state_callback == NULL)
    return;
  try {
    monitor->state_callback(monitor, public_state(state), error, monitor->state_user_data);
  } catch (...) {
    g_warning("advwatch: the state callback threw an exception; it must not");
  }
}

}  // namespace advwatch

using namespace advwatch;

ADVWATCH_PUBLIC AdvwatchMonitor *advwatch_monitor_init(const AdvwatchMonitorConfig *config, GError **error) {
  g_return_val_if_fail(config != NULL, NULL);
  g_return_val_if_fail(error == NULL || *error == NULL, NULL);

  if (!validate_config(config, error))
    return NULL;

  g_autoptr(GError) bus_error = NULL;
  g_autoptr(GDBusConnection) connection = g_bus_get_sync(G_BUS_TYPE_SYSTEM, NULL, &bus_error);
  if (connection == NULL) {
    g_set_error(error, ADVWATCH_ERROR, ADVWATCH_ERROR_BUS,
                "Cannot start the beacon monitor on %s: no system bus: %s", config->adapter_path,
                bus_error->message);
    return NULL;
  }

  auto *monitor = new _AdvwatchMonitor();
  g_atomic_ref_count_init(&monitor->refs);
  monitor->context = g_main_context_ref_thread_default();
  monitor->connection = static_cast<GDBusConnection *>(g_steal_pointer(&connection));
  monitor->cancellable = g_cancellable_new();
  monitor->adapter_path = config->adapter_path;
  monitor->device_prefix = monitor->adapter_path + "/";
  monitor->system_id = config->system_id != NULL ? config->system_id : "";
  monitor->callback = config->callback;
  monitor->user_data = config->user_data;
  if (config->or_patterns != NULL)
    monitor->or_patterns = g_ptr_array_ref(config->or_patterns);
  build_patterns(monitor);

  subscribe(monitor);
  g_autoptr(GError) export_error = NULL;
  if (!start_registration(monitor, &export_error)) {
    g_set_error(error, ADVWATCH_ERROR, ADVWATCH_ERROR_BUS, "%s", export_error->message);
    monitor->closed = true;
    unsubscribe(monitor);
    monitor_unref(monitor);
    return NULL;
  }
  g_message("advwatch: beacon monitor for System ID %s started on %s",
            monitor->system_id.empty() ? "(any)" : monitor->system_id.c_str(), monitor->adapter_path.c_str());
  return monitor;
}

ADVWATCH_PUBLIC gboolean advwatch_monitor_pause(AdvwatchMonitor *monitor, GError **error) {
  g_return_val_if_fail(monitor != NULL, FALSE);
  g_return_val_if_fail(error == NULL || *error == NULL, FALSE);

  if (!check_state(monitor, "pause", error))
    return FALSE;
  if (monitor->state == State::Paused) {
    g_set_error(error, ADVWATCH_ERROR, ADVWATCH_ERROR_STATE, "Cannot pause the beacon monitor on %s: it is already paused",
                monitor->adapter_path.c_str());
    return FALSE;
  }
  stop_registration(monitor);
  monitor->state = State::Paused;
  g_message("advwatch: beacon monitor on %s paused", monitor->adapter_path.c_str());
  return TRUE;
}

ADVWATCH_PUBLIC gboolean advwatch_monitor_resume(AdvwatchMonitor *monitor, GError **error) {
  g_return_val_if_fail(monitor != NULL, FALSE);
  g_return_val_if_fail(error == NULL || *error == NULL, FALSE);

  if (!check_state(monitor, "resume", error))
    return FALSE;
  if (monitor->state != State::Paused) {
    g_set_error(error, ADVWATCH_ERROR, ADVWATCH_ERROR_STATE, "Cannot resume the beacon monitor on %s: it is not paused",
                monitor->adapter_path.c_str());
    return FALSE;
  }
  g_autoptr(GError) export_error = NULL;
  if (!start_registration(monitor, &export_error)) {
    g_set_error(error, ADVWATCH_ERROR, ADVWATCH_ERROR_BUS, "Cannot resume the beacon monitor on %s: %s",
                monitor->adapter_path.c_str(), export_error->message);
    return FALSE;
  }
  g_message("advwatch: beacon monitor on %s resumed", monitor->adapter_path.c_str());
  return TRUE;
}

ADVWATCH_PUBLIC void advwatch_monitor_get_stats(AdvwatchMonitor *monitor, AdvwatchStats *stats) {
  g_return_if_fail(monitor != NULL);
  g_return_if_fail(stats != NULL);
  *stats = monitor->stats;
}

ADVWATCH_PUBLIC AdvwatchMonitorState advwatch_monitor_get_state(AdvwatchMonitor *monitor) {
  g_return_val_if_fail(monitor != NULL, ADVWATCH_MONITOR_STATE_FAILED);
  return public_state(monitor->state);
}

ADVWATCH_PUBLIC void advwatch_monitor_set_state_callback(AdvwatchMonitor *monitor, AdvwatchStateFunc callback,
                                                         gpointer user_data) {
  g_return_if_fail(monitor != NULL);
  monitor->state_callback = callback;
  monitor->state_user_data = user_data;
}

ADVWATCH_PUBLIC void advwatch_monitor_cleanup(AdvwatchMonitor *monitor) {
  g_return_if_fail(monitor != NULL);

  monitor->closed = true;
  stop_registration(monitor);
  unsubscribe(monitor);
  g_cancellable_cancel(monitor->cancellable);
  forget_devices(monitor);
  monitor->senders.clear();
  monitor->sender_lru.clear();
  // Not kept until late replies let the monitor go: the owner's last
  // reference then wipes the keys when it wants to.
  g_clear_pointer(&monitor->keyring, advwatch_keyring_unref);
  g_debug("advwatch: beacon monitor on %s cleaned up", monitor->adapter_path.c_str());
  monitor_unref(monitor);
}


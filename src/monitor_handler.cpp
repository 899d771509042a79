#include "monitor_handler.h"

#include "advwatch-utils.h"
#include "event_handler.h"
#include "utils.h"

namespace {

/* Stops the running monitor, if any: the steps of a deactivation. */
void stop_monitor(MonitorHandler *monitor_handler) {
  AdvwatchMonitor *monitor = g_steal_pointer(&monitor_handler->monitor);
  if (monitor != NULL)
    advwatch_monitor_cleanup(monitor);
  g_clear_pointer(&monitor_handler->monitor_systemid, g_free);
  monitor_handler->state = MONITOR_STATE_INACTIVE;
  g_message("Deactivate the beacon monitor");
}

/* Starts a monitor for @systemid from the inactive state. */
gboolean start_monitor(MonitorHandler *monitor_handler, SystemidCtx *systemid_ctx, const gchar *systemid,
                       GError **err) {
  AdvwatchMonitorConfig *config = g_new0(AdvwatchMonitorConfig, 1);
  gchar *system_id_copy = g_strdup(systemid);
  gchar *adapter_copy = g_strdup(monitor_handler->adapter_str);

  g_autoptr(GError) pattern_error = NULL;
  GPtrArray *patterns = create_patterns(system_id_copy, &pattern_error);
  if (patterns == NULL)
    g_warning("Unable to create or-pattern: %s. Proceeding with no or-pattern filtering",
              pattern_error != NULL ? pattern_error->message : "Unknown error");

  config->adapter_path = adapter_copy;
  config->system_id = system_id_copy;
  config->options = ADVWATCH_MONITOR_OPTIONS_NONE;
  config->callback = dispatch_event;
  config->user_data = systemid_ctx;
  config->or_patterns = patterns;

  monitor_handler->monitor = advwatch_monitor_init(config, err);
  gboolean ok;
  if (monitor_handler->monitor != NULL) {
    g_message("Start bluetooth beacon monitoring process");
    monitor_handler->state = MONITOR_STATE_ACTIVE;
    monitor_handler->monitor_systemid = g_strdup(systemid);
    ok = TRUE;
  } else {
    g_warning("Failed to initialize beacon monitoring process");
    ok = FALSE;
  }

  g_free(adapter_copy);
  g_free(system_id_copy);
  g_free(config);
  if (patterns != NULL)
    g_ptr_array_unref(patterns);
  return ok;
}

}  // namespace

MonitorHandler *monitor_handler_init(const gchar *iface, GError **error) {
  MonitorHandler *monitor_handler = g_new0(MonitorHandler, 1);

  monitor_handler->object_manager = g_dbus_object_manager_client_new_for_bus_sync(
      G_BUS_TYPE_SYSTEM, G_DBUS_OBJECT_MANAGER_CLIENT_FLAGS_NONE, "org.bluez", "/", NULL, NULL, NULL,
      NULL, error);
  if (monitor_handler->object_manager == NULL) {
    g_warning("Failed to get dbus object manager");
    monitor_handler_teardown(monitor_handler);
    return NULL;
  }

  monitor_handler->adapter_str = utils_lookup_adapter_with_iface(monitor_handler->object_manager, iface, error);
  if (monitor_handler->adapter_str == NULL) {
    g_warning("Could not find a valid adapter");
    monitor_handler_teardown(monitor_handler);
    return NULL;
  }

  monitor_handler->state = MONITOR_STATE_INACTIVE;
  return monitor_handler;
}

void monitor_handler_teardown(MonitorHandler *monitor_handler) {
  g_return_if_fail(monitor_handler != NULL);

  if (monitor_handler->state != MONITOR_STATE_INACTIVE)
    stop_monitor(monitor_handler);
  g_clear_object(&monitor_handler->object_manager);
  g_free(monitor_handler->adapter_str);
  g_free(monitor_handler->monitor_systemid);
  g_free(monitor_handler);
}

GPtrArray *create_patterns(const gchar *system_id, GError **err) {
  g_assert(system_id);
  g_assert(err == NULL || *err == NULL);

  GPtrArray *patterns = advwatch_patterns_new();
  if (!advwatch_pattern_add(patterns, ADVWATCH_PATTERN_SYSTEM_ID, system_id, err)) {
    g_ptr_array_unref(patterns);
    return NULL;
  }
  return patterns;
}

gboolean monitor_handler_activate(MonitorHandler *monitor_handler, SystemidCtx *systemid_ctx, GError **err) {
  g_return_val_if_fail(monitor_handler != NULL, FALSE);
  g_return_val_if_fail(monitor_handler->adapter_str != NULL, FALSE);
  g_return_val_if_fail(systemid_ctx != NULL, FALSE);
  g_return_val_if_fail(systemid_ctx->systemid != NULL, FALSE);
  g_return_val_if_fail(err == NULL || *err == NULL, FALSE);

  const gchar *systemid = systemid_ctx->systemid;
  if (monitor_handler->state == MONITOR_STATE_INACTIVE)
    return start_monitor(monitor_handler, systemid_ctx, systemid, err);

  // A running monitor filters on the System ID it was started with; if that
  // is no longer the one in force it would miss the new system's beacons,
  // so it is replaced, keeping a pause the operator asked for.
  if (g_strcmp0(monitor_handler->monitor_systemid, systemid) == 0)
    return TRUE;

  const gboolean was_paused = monitor_handler->state == MONITOR_STATE_PAUSED;
  g_message("System ID changed to %s, restarting the beacon monitor", systemid);
  stop_monitor(monitor_handler);
  if (!start_monitor(monitor_handler, systemid_ctx, systemid, err))
    return FALSE;
  if (was_paused) {
    if (!advwatch_monitor_pause(monitor_handler->monitor, err)) {
      // Never let a restart undo a pause: without it the monitor must not run.
      g_prefix_error(err, "Could not pause the restarted beacon monitor: ");
      stop_monitor(monitor_handler);
      return FALSE;
    }
    monitor_handler->state = MONITOR_STATE_PAUSED;
  }
  return TRUE;
}

void monitor_handler_deactivate(MonitorHandler *monitor_handler) {
  g_return_if_fail(monitor_handler != NULL);
  if (monitor_handler->state == MONITOR_STATE_INACTIVE)
    return;
  stop_monitor(monitor_handler);
}

gboolean monitor_handler_pause(MonitorHandler *monitor_handler, GError **err) {
  g_return_val_if_fail(monitor_handler != NULL, FALSE);
  g_return_val_if_fail(err == NULL || *err == NULL, FALSE);

  switch (monitor_handler->state) {
    case MONITOR_STATE_ACTIVE:
    case MONITOR_STATE_RESUMED:
      if (!advwatch_monitor_pause(monitor_handler->monitor, err))
        return FALSE;
      monitor_handler->state = MONITOR_STATE_PAUSED;
      return TRUE;
    default:
      return TRUE;
  }
}

gboolean monitor_handler_resume(MonitorHandler *monitor_handler, GError **err) {
  g_return_val_if_fail(monitor_handler != NULL, FALSE);
  g_return_val_if_fail(err == NULL || *err == NULL, FALSE);

  if (monitor_handler->state != MONITOR_STATE_PAUSED)
    return TRUE;
  if (!advwatch_monitor_resume(monitor_handler->monitor, err))
    return FALSE;
  monitor_handler->state = MONITOR_STATE_RESUMED;
  return TRUE;
}

void dispatch_event(AdvwatchBeacon *beacon, gpointer user_data) {
  auto *systemid_ctx = static_cast<SystemidCtx *>(user_data);
  g_assert(beacon);
  g_assert(systemid_ctx);
  g_assert(systemid_ctx->systemid);

  const guint8 event_number = advwatch_beacon_get_event_number(beacon);
  switch (event_number) {
    case BEACON_EVENT_HELLO:
      g_debug("Event type was %s!", "HELLO");
      break;
    case BEACON_EVENT_LIGHTBAR_ACTIVE:
      g_debug("Event type was %s!", "LIGHTBAR_ACTIVE");
      break;
    case BEACON_EVENT_RECORDING_STARTED:
      if (event_handler_send_event(systemid_ctx->systemid))
        g_message("'RECORDING_STARTED' event was triggered");
      else
        g_warning("Failed to send event");
      break;
    default:
      g_debug("Unlisted event: %u", static_cast<unsigned>(event_number));
      break;
  }
}

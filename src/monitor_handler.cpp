#include "monitor_handler.h"

#include "advwatch-utils.h"
#include "event_handler.h"
#include "status.h"
#include "utils.h"

namespace {

void begin_start(MonitorHandler *monitor_handler);
void on_monitor_state(AdvwatchMonitor *monitor, AdvwatchMonitorState state, const GError *error,
                      gpointer user_data);

/* Back-off bounds, from $KAVROD_RETRY_MS when it holds "first,ceiling". */
void retry_bounds(guint *first_ms, guint *ceiling_ms) {
  *first_ms = MONITOR_RETRY_FIRST_MS;
  *ceiling_ms = MONITOR_RETRY_CEILING_MS;
  const gchar *setting = g_getenv("KAVROD_RETRY_MS");
  if (setting == NULL)
    return;
  guint64 first = 0, ceiling = 0;
  g_auto(GStrv) parts = g_strsplit(setting, ",", 2);
  if (g_strv_length(parts) == 2 && g_ascii_string_to_unsigned(parts[0], 10, 1, G_MAXINT, &first, NULL) &&
      g_ascii_string_to_unsigned(parts[1], 10, first, G_MAXINT, &ceiling, NULL)) {
    *first_ms = static_cast<guint>(first);
    *ceiling_ms = static_cast<guint>(ceiling);
  }
}

/* Cleans a monitor up, keeping what it heard for the counters. */
void retire(MonitorHandler *monitor_handler, AdvwatchMonitor *monitor) {
  AdvwatchStats stats;
  advwatch_monitor_get_stats(monitor, &stats);
  monitor_handler->retired_stats.heard += stats.heard;
  monitor_handler->retired_stats.foreign += stats.foreign;
  monitor_handler->retired_stats.repeats += stats.repeats;
  monitor_handler->retired_stats.reported += stats.reported;
  advwatch_monitor_cleanup(monitor);
}

void note_change(const MonitorHandler *monitor_handler) {
  status_update(monitor_handler, monitor_handler->systemid_ctx);
}

void cancel_pending(MonitorHandler *monitor_handler) {
  if (monitor_handler->retry_source != 0) {
    g_source_remove(monitor_handler->retry_source);
    monitor_handler->retry_source = 0;
  }
  if (monitor_handler->search != NULL) {
    g_cancellable_cancel(monitor_handler->search);
    g_clear_object(&monitor_handler->search);
  }
}

/* Stops the running monitor, if any: the steps of a deactivation. */
void stop_monitor(MonitorHandler *monitor_handler) {
  cancel_pending(monitor_handler);
  AdvwatchMonitor *monitor = g_steal_pointer(&monitor_handler->monitor);
  if (monitor != NULL)
    retire(monitor_handler, monitor);
  g_clear_pointer(&monitor_handler->monitor_systemid, g_free);
  monitor_handler->state = MONITOR_STATE_INACTIVE;
  g_message("Deactivate the beacon monitor");
  note_change(monitor_handler);
}

/* Starts a monitor for @systemid on the adapter, now. */
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
    advwatch_monitor_set_state_callback(monitor_handler->monitor, on_monitor_state, monitor_handler);
    // Before the main context runs again: no beacon goes unverified.
    if (monitor_handler->keyring != NULL)
      advwatch_monitor_set_keyring(monitor_handler->monitor, monitor_handler->keyring);
    monitor_handler->state = MONITOR_STATE_ACTIVE;
    g_free(monitor_handler->monitor_systemid);
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

/* Starts the monitor for the System ID in force and applies a pause in
 * force; FALSE leaves no monitor running. */
gboolean start_for_current(MonitorHandler *monitor_handler, GError **err) {
  SystemidCtx *systemid_ctx = monitor_handler->systemid_ctx;
  if (!start_monitor(monitor_handler, systemid_ctx, systemid_ctx->systemid, err))
    return FALSE;
  if (monitor_handler->pause_requested) {
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

void schedule_retry(MonitorHandler *monitor_handler, const gchar *why);

gboolean on_retry(gpointer user_data) {
  auto *monitor_handler = static_cast<MonitorHandler *>(user_data);
  g_assert(monitor_handler);
  monitor_handler->retry_source = 0;
  if (monitor_handler->state != MONITOR_STATE_INACTIVE && monitor_handler->state != MONITOR_STATE_PAUSED &&
      monitor_handler->systemid_ctx != NULL && monitor_handler->systemid_ctx->systemid != NULL)
    begin_start(monitor_handler);
  return G_SOURCE_REMOVE;
}

/* No monitor runs, but one should: try again after the current back-off
 * step, one warning per step. */
void schedule_retry(MonitorHandler *monitor_handler, const gchar *why) {
  guint first_ms, ceiling_ms;
  retry_bounds(&first_ms, &ceiling_ms);
  const guint delay_ms = monitor_handler->retry_delay_ms != 0 ? monitor_handler->retry_delay_ms : first_ms;
  monitor_handler->retry_delay_ms = MIN(static_cast<guint64>(delay_ms) * 2, ceiling_ms);
  if (monitor_handler->retry_source != 0)
    g_source_remove(monitor_handler->retry_source);
  monitor_handler->retry_source = g_timeout_add(delay_ms, on_retry, monitor_handler);
  monitor_handler->retry_due_us = g_get_monotonic_time() + static_cast<gint64>(delay_ms) * 1000;
  g_warning("No beacon monitor on %s: %s; trying again in %u.%03u s", monitor_handler->adapter_str, why,
            delay_ms / 1000, delay_ms % 1000);
  status_set_error(why);
  note_change(monitor_handler);
}

void on_search_done(GObject *source, GAsyncResult *result, gpointer user_data) {
  g_autoptr(GError) error = NULL;
  g_autoptr(GVariant) reply = utils_get_bluez_objects_finish(G_DBUS_CONNECTION(source), result, &error);
  // Cancelled: the handler stopped the search and may be gone.
  if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
    return;
  auto *monitor_handler = static_cast<MonitorHandler *>(user_data);
  g_assert(monitor_handler);
  g_clear_object(&monitor_handler->search);

  g_autofree gchar *found =
      reply != NULL ? utils_lookup_adapter_in_objects(reply, monitor_handler->iface, &error) : NULL;
  if (found == NULL) {
    g_autofree gchar *why = g_strdup_printf("no adapter offers %s (%s)", monitor_handler->iface,
                                            error != NULL ? error->message : "Unknown error");
    // A failed call says nothing of the adapters; an answer without one does.
    monitor_handler->adapter_missing = reply != NULL;
    schedule_retry(monitor_handler, why);
    return;
  }
  monitor_handler->adapter_missing = FALSE;
  if (g_strcmp0(found, monitor_handler->adapter_str) != 0) {
    g_message("The beacon monitor moves from adapter %s to %s", monitor_handler->adapter_str, found);
    g_free(monitor_handler->adapter_str);
    monitor_handler->adapter_str = g_steal_pointer(&found);
  }
  monitor_handler->adapter_stale = FALSE;

  g_autoptr(GError) start_error = NULL;
  if (!start_for_current(monitor_handler, &start_error))
    schedule_retry(monitor_handler, start_error != NULL ? start_error->message : "Unknown error");
  note_change(monitor_handler);
}

/* Starts the monitor for the System ID in force, checking the adapter with
 * BlueZ first when it may have changed. The state says what is wanted
 * meanwhile (active, or paused). */
void begin_start(MonitorHandler *monitor_handler) {
  cancel_pending(monitor_handler);
  if (monitor_handler->adapter_stale && monitor_handler->con != NULL) {
    g_free(monitor_handler->monitor_systemid);
    monitor_handler->monitor_systemid = g_strdup(monitor_handler->systemid_ctx->systemid);
    monitor_handler->search = g_cancellable_new();
    utils_get_bluez_objects_async(monitor_handler->con, monitor_handler->search, on_search_done, monitor_handler);
    return;
  }
  g_autoptr(GError) error = NULL;
  if (!start_for_current(monitor_handler, &error))
    schedule_retry(monitor_handler, error != NULL ? error->message : "Unknown error");
  note_change(monitor_handler);
}

/* BlueZ's word on our monitor. A refused or released monitor is dead: it
 * is dropped and registered again after a back-off. */
void on_monitor_state(AdvwatchMonitor *monitor, AdvwatchMonitorState state, const GError *error,
                      gpointer user_data) {
  auto *monitor_handler = static_cast<MonitorHandler *>(user_data);
  g_assert(monitor_handler);
  if (monitor != monitor_handler->monitor)
    return;
  switch (state) {
    case ADVWATCH_MONITOR_STATE_ACTIVE:
      monitor_handler->retry_delay_ms = 0;
      note_change(monitor_handler);
      break;
    case ADVWATCH_MONITOR_STATE_FAILED:
    case ADVWATCH_MONITOR_STATE_RELEASED: {
      monitor_handler->monitor = NULL;
      retire(monitor_handler, monitor);
      status_note_registration_failure();
      // The adapter itself may be what went away.
      monitor_handler->adapter_stale = TRUE;
      g_autofree gchar *why =
          g_strdup_printf("BlueZ %s the monitor (%s)", state == ADVWATCH_MONITOR_STATE_FAILED ? "refused" : "released",
                          error != NULL ? error->message : "Unknown error");
      schedule_retry(monitor_handler, why);
      break;
    }
    default:
      // BlueZ leaving the bus is followed by the daemon's own reaction.
      note_change(monitor_handler);
      break;
  }
}

/* TRUE when monitoring for @systemid is running or on its way: a live
 * monitor, a held pause, or a start waiting for BlueZ's answer. */
gboolean monitoring_for(const MonitorHandler *monitor_handler, const gchar *systemid) {
  if (monitor_handler->state == MONITOR_STATE_INACTIVE ||
      g_strcmp0(monitor_handler->monitor_systemid, systemid) != 0)
    return FALSE;
  if (monitor_handler->search != NULL || monitor_handler->state == MONITOR_STATE_PAUSED)
    return TRUE;
  if (monitor_handler->monitor == NULL)
    return FALSE;
  const AdvwatchMonitorState state = advwatch_monitor_get_state(monitor_handler->monitor);
  return state == ADVWATCH_MONITOR_STATE_REGISTERING || state == ADVWATCH_MONITOR_STATE_ACTIVE;
}

}  // namespace

MonitorHandler *monitor_handler_init(const gchar *iface, GError **error) {
  MonitorHandler *monitor_handler = g_new0(MonitorHandler, 1);
  monitor_handler->iface = g_strdup(iface);

  monitor_handler->con = g_bus_get_sync(G_BUS_TYPE_SYSTEM, NULL, error);
  g_autoptr(GVariant) objects = NULL;
  if (monitor_handler->con != NULL)
    objects = utils_get_bluez_objects(monitor_handler->con, error);
  if (objects == NULL) {
    g_warning("Failed to get dbus object manager");
    monitor_handler_teardown(monitor_handler);
    return NULL;
  }

  monitor_handler->adapter_str = utils_lookup_adapter_in_objects(objects, iface, error);
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
  cancel_pending(monitor_handler);
  g_clear_object(&monitor_handler->object_manager);
  g_clear_object(&monitor_handler->con);
  g_free(monitor_handler->adapter_str);
  g_free(monitor_handler->monitor_systemid);
  g_free(monitor_handler->iface);
  g_clear_pointer(&monitor_handler->keyring, advwatch_keyring_unref);
  g_free(monitor_handler);
}

void monitor_handler_set_bluez_present(MonitorHandler *monitor_handler, gboolean present) {
  g_return_if_fail(monitor_handler != NULL);
  monitor_handler->bluez_present = present;
  if (present)
    return;
  // A new BlueZ may have the adapter under another path, or not at all.
  monitor_handler->adapter_stale = TRUE;
  monitor_handler->retry_delay_ms = 0;
  monitor_handler_deactivate(monitor_handler);
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
  monitor_handler->systemid_ctx = systemid_ctx;
  if (monitoring_for(monitor_handler, systemid))
    return TRUE;

  // A monitor that filters on another System ID would miss the new
  // system's beacons, and one BlueZ refused or released hears nothing:
  // either is replaced, keeping a pause the operator asked for.
  if (monitor_handler->state != MONITOR_STATE_INACTIVE) {
    if (g_strcmp0(monitor_handler->monitor_systemid, systemid) != 0)
      g_message("System ID changed to %s, restarting the beacon monitor", systemid);
    stop_monitor(monitor_handler);
  }
  if (monitor_handler->adapter_stale && monitor_handler->con != NULL) {
    monitor_handler->state = monitor_handler->pause_requested ? MONITOR_STATE_PAUSED : MONITOR_STATE_ACTIVE;
    begin_start(monitor_handler);
    return TRUE;
  }
  const gboolean ok = start_for_current(monitor_handler, err);
  note_change(monitor_handler);
  return ok;
}

void monitor_handler_deactivate(MonitorHandler *monitor_handler) {
  g_return_if_fail(monitor_handler != NULL);
  cancel_pending(monitor_handler);
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
      if (monitor_handler->monitor != NULL) {
        if (!advwatch_monitor_pause(monitor_handler->monitor, err))
          return FALSE;
      } else {
        // Between attempts to register: no attempt until Resume.
        cancel_pending(monitor_handler);
      }
      monitor_handler->state = MONITOR_STATE_PAUSED;
      monitor_handler->pause_requested = TRUE;
      note_change(monitor_handler);
      return TRUE;
    default:
      return TRUE;
  }
}

gboolean monitor_handler_resume(MonitorHandler *monitor_handler, GError **err) {
  g_return_val_if_fail(monitor_handler != NULL, FALSE);
  g_return_val_if_fail(err == NULL || *err == NULL, FALSE);

  if (monitor_handler->state != MONITOR_STATE_PAUSED) {
    monitor_handler->pause_requested = FALSE;
    return TRUE;
  }
  if (monitor_handler->monitor != NULL) {
    if (!advwatch_monitor_resume(monitor_handler->monitor, err))
      return FALSE;
    monitor_handler->pause_requested = FALSE;
    monitor_handler->state = MONITOR_STATE_RESUMED;
    note_change(monitor_handler);
    return TRUE;
  }
  // Paused while no monitor ran (BlueZ had refused it, or was away): start one.
  monitor_handler->pause_requested = FALSE;
  monitor_handler->state = MONITOR_STATE_RESUMED;
  if (monitor_handler->systemid_ctx != NULL && monitor_handler->systemid_ctx->systemid != NULL) {
    begin_start(monitor_handler);
    if (monitor_handler->state == MONITOR_STATE_ACTIVE)
      monitor_handler->state = MONITOR_STATE_RESUMED;
  }
  note_change(monitor_handler);
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
      if (event_handler_send_event(systemid_ctx->systemid)) {
        status_note_event();
        g_message("'RECORDING_STARTED' event was triggered");
      } else {
        g_warning("Failed to send event");
      }
      break;
    default:
      g_debug("Unlisted event: %u", static_cast<unsigned>(event_number));
      break;
  }
}

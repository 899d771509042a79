#include "status.h"

#include "notify.h"

Status *status_g = NULL;

void status_init(void) {
  if (status_g != NULL)
    return;
  status_g = g_new0(Status, 1);
  status_g->state = STATUS_WAITING_FOR_SYSTEM_ID;
  status_g->state_change_time = g_get_real_time();
}

void status_teardown(void) {
  if (status_g == NULL)
    return;
  g_free(status_g->last_error);
  g_free(status_g->line);
  g_clear_pointer(&status_g, g_free);
}

const gchar *status_state(const MonitorHandler *monitor_handler, const SystemidCtx *systemid_ctx) {
  g_return_val_if_fail(monitor_handler != NULL, STATUS_REGISTERING);
  if (systemid_ctx == NULL || systemid_ctx->systemid == NULL)
    return STATUS_WAITING_FOR_SYSTEM_ID;
  if (monitor_handler->state == MONITOR_STATE_PAUSED)
    return STATUS_PAUSED;
  if (monitor_handler->adapter_missing)
    return STATUS_NO_ADAPTER;
  if (monitor_handler->retry_source != 0)
    return STATUS_BACKING_OFF;
  if ((monitor_handler->state == MONITOR_STATE_ACTIVE || monitor_handler->state == MONITOR_STATE_RESUMED) &&
      monitor_handler->monitor != NULL &&
      advwatch_monitor_get_state(monitor_handler->monitor) == ADVWATCH_MONITOR_STATE_ACTIVE &&
      g_strcmp0(monitor_handler->monitor_systemid, systemid_ctx->systemid) == 0)
    return STATUS_LISTENING;
  return STATUS_REGISTERING;
}

gchar *status_line(const MonitorHandler *monitor_handler, const SystemidCtx *systemid_ctx) {
  g_return_val_if_fail(monitor_handler != NULL, NULL);
  const gchar *state = status_state(monitor_handler, systemid_ctx);
  GString *line = g_string_new(state);
  if (g_strcmp0(state, STATUS_LISTENING) == 0 && monitor_handler->adapter_str != NULL)
    g_string_append_printf(line, " on %s", monitor_handler->adapter_str);
  if (g_strcmp0(state, STATUS_BACKING_OFF) == 0 && status_g != NULL && status_g->last_error != NULL)
    g_string_append_printf(line, ": %s", status_g->last_error);
  if (monitor_handler->retry_source != 0 &&
      (g_strcmp0(state, STATUS_BACKING_OFF) == 0 || g_strcmp0(state, STATUS_NO_ADAPTER) == 0)) {
    const gint64 left_us = MAX(monitor_handler->retry_due_us - g_get_monotonic_time(), 0);
    g_autoptr(GDateTime) when = g_date_time_new_from_unix_local((g_get_real_time() + left_us) / G_USEC_PER_SEC);
    g_autofree gchar *clock = when != NULL ? g_date_time_format(when, "%H:%M:%S") : NULL;
    if (clock != NULL)
      g_string_append_printf(line, "; next try at %s", clock);
  }
  return g_string_free(line, FALSE);
}

void status_update(const MonitorHandler *monitor_handler, const SystemidCtx *systemid_ctx) {
  if (status_g == NULL || monitor_handler == NULL)
    return;
  const gchar *state = status_state(monitor_handler, systemid_ctx);
  if (g_strcmp0(state, status_g->state) != 0) {
    g_message("Beacon monitoring is now %s (was %s)", state, status_g->state);
    status_g->state = state;
    status_g->state_change_time = g_get_real_time();
  }
  gchar *line = status_line(monitor_handler, systemid_ctx);
  if (g_strcmp0(line, status_g->line) == 0) {
    g_free(line);
    return;
  }
  g_free(status_g->line);
  status_g->line = line;
  notify_status(line);
}

void status_note_event(void) {
  if (status_g == NULL)
    return;
  status_g->events++;
  status_g->last_event_time = g_get_real_time();
  status_g->last_event_mono = g_get_monotonic_time();
}

void status_note_registration_failure(void) {
  if (status_g != NULL)
    status_g->registration_failures++;
}

void status_note_engine(gboolean answered) {
  if (status_g != NULL)
    status_g->engine_answered = answered;
}

void status_set_error(const gchar *message) {
  if (status_g == NULL)
    return;
  g_free(status_g->last_error);
  status_g->last_error = g_strdup(message);
}

GVariant *status_to_variant(const MonitorHandler *monitor_handler, const SystemidCtx *systemid_ctx) {
  g_return_val_if_fail(status_g != NULL, NULL);
  g_return_val_if_fail(monitor_handler != NULL, NULL);

  AdvwatchStats stats = monitor_handler->retired_stats;
  if (monitor_handler->monitor != NULL) {
    AdvwatchStats current;
    advwatch_monitor_get_stats(monitor_handler->monitor, &current);
    stats.heard += current.heard;
    stats.foreign += current.foreign;
    stats.repeats += current.repeats;
    stats.reported += current.reported;
  }
  const gchar *state = status_state(monitor_handler, systemid_ctx);
  const gint64 now_mono = g_get_monotonic_time();

  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&builder, "{sv}", "state", g_variant_new_string(state));
  const gboolean has_adapter = monitor_handler->adapter_str != NULL && !monitor_handler->adapter_missing;
  g_variant_builder_add(&builder, "{sv}", "adapter",
                        g_variant_new_string(has_adapter ? monitor_handler->adapter_str : ""));
  g_variant_builder_add(&builder, "{sv}", "engine", g_variant_new_boolean(status_g->engine_answered));
  g_variant_builder_add(&builder, "{sv}", "system_id_known",
                        g_variant_new_boolean(systemid_ctx != NULL && systemid_ctx->systemid != NULL));
  g_variant_builder_add(&builder, "{sv}", "beacons", g_variant_new_uint64(stats.heard));
  g_variant_builder_add(&builder, "{sv}", "own_beacons", g_variant_new_uint64(stats.reported));
  g_variant_builder_add(&builder, "{sv}", "events", g_variant_new_uint64(status_g->events));
  g_variant_builder_add(&builder, "{sv}", "repeats", g_variant_new_uint64(stats.repeats));
  g_variant_builder_add(&builder, "{sv}", "foreign", g_variant_new_uint64(stats.foreign));
  // Signed beacons: whether they are required, and what was refused.
  AdvwatchAuthStats auth = {};
  if (monitor_handler->keyring != NULL)
    advwatch_keyring_get_stats(monitor_handler->keyring, &auth);
  g_variant_builder_add(&builder, "{sv}", "auth",
                        g_variant_new_string(monitor_handler->keyring != NULL ? "required" : "off"));
  g_variant_builder_add(&builder, "{sv}", "unsigned", g_variant_new_uint64(auth.unsigned_beacons));
  g_variant_builder_add(&builder, "{sv}", "forged", g_variant_new_uint64(auth.forged));
  g_variant_builder_add(&builder, "{sv}", "stale", g_variant_new_uint64(auth.stale));
  g_variant_builder_add(&builder, "{sv}", "replayed", g_variant_new_uint64(auth.replayed));
  g_variant_builder_add(&builder, "{sv}", "registration_failures",
                        g_variant_new_uint64(status_g->registration_failures));
  if (status_g->last_event_time != 0) {
    g_variant_builder_add(&builder, "{sv}", "last_event_time", g_variant_new_int64(status_g->last_event_time));
    g_variant_builder_add(&builder, "{sv}", "last_event_age_ms",
                          g_variant_new_uint64(static_cast<guint64>(now_mono - status_g->last_event_mono) / 1000));
  }
  // The time of the change to the state reported now, even when no update
  // has noted it yet.
  const gint64 changed = g_strcmp0(state, status_g->state) == 0 ? status_g->state_change_time : g_get_real_time();
  g_variant_builder_add(&builder, "{sv}", "last_state_change_time", g_variant_new_int64(changed));
  if (g_strcmp0(state, STATUS_BACKING_OFF) == 0) {
    const gint64 left = MAX(monitor_handler->retry_due_us - now_mono, 0);
    g_variant_builder_add(&builder, "{sv}", "retry_in_ms", g_variant_new_uint32(static_cast<guint32>(left / 1000)));
  }
  g_variant_builder_add(&builder, "{sv}", "last_error",
                        g_variant_new_string(status_g->last_error != NULL ? status_g->last_error : ""));
  return g_variant_builder_end(&builder);
}

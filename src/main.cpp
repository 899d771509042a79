#include "main.h"

#include <getopt.h>
#include <glib-unix.h>
#include <signal.h>

#include <cstdio>

#include "btreceive_dbus.h"
#include "event_handler.h"
#include "notify.h"
#include "status.h"
#include "advwatch-utils.h"
#include "vesk.h"

namespace {

const char usage_text[] = "\nUsage: [opts]\n\nOptions:\n  --help          -h        kavrod Help\n";

void parse_command_line(int argc, char **argv) {
  static const struct option long_options[] = {
      {"help", no_argument, NULL, 'h'},
      {NULL, 0, NULL, 0},
  };
  // Every option the parser returns, an unknown one included, prints the
  // usage; start-up goes on regardless.
  while (getopt_long(argc, argv, "h", long_options, NULL) != -1) {
    fputs(usage_text, stdout);
    fflush(stdout);
  }
}

/* The system bus is the daemon's lifeline: losing it is a failure, not a
 * clean stop (GDBus would otherwise raise SIGTERM and exit 0). */
void on_connection_closed(GDBusConnection *, gboolean remote_peer_vanished, GError *error, gpointer user_data) {
  auto *ctx = static_cast<AppCtx *>(user_data);
  g_warning("Lost the system bus connection (%s): %s", remote_peer_vanished ? "bus went away" : "closed",
            error != NULL ? error->message : "Unknown error");
  app_quit_with_failure(ctx);
}

/* Brings the monitor in line with a reading of the System ID. */
void apply_systemid(AppCtx *ctx, const gchar *latest) {
  SystemidCtx *systemid_ctx = ctx->systemid_handler;
  if (latest == NULL) {
    monitor_handler_deactivate(ctx->monitor_handler);
    g_clear_pointer(&systemid_ctx->systemid, g_free);
    status_update(ctx->monitor_handler, systemid_ctx);
    return;
  }
  if (g_strcmp0(latest, systemid_ctx->systemid) == 0)
    return;

  g_free(systemid_ctx->systemid);
  systemid_ctx->systemid = g_strdup(latest);
  // Without BlueZ there is nothing to start; its return starts the monitor
  // for the System ID in force then.
  g_autoptr(GError) activate_error = NULL;
  if (ctx->monitor_handler->bluez_present &&
      !monitor_handler_activate(ctx->monitor_handler, systemid_ctx, &activate_error))
    g_warning("Could not setup monitor for kavrod: %s",
              activate_error != NULL ? activate_error->message : "Unknown error");
  status_update(ctx->monitor_handler, systemid_ctx);
}

void start_reading(AppCtx *ctx);

void on_systemid_read(GObject *source, GAsyncResult *result, gpointer user_data) {
  g_autofree gchar *latest = NULL;
  g_autoptr(GError) error = NULL;
  const gboolean ok =
      systemid_handler_read_latest_id_finish(G_DBUS_CONNECTION(source), result, &latest, &error);
  // Cancelled at shutdown: the context is gone.
  if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
    return;
  auto *ctx = static_cast<AppCtx *>(user_data);
  g_assert(ctx);
  g_clear_object(&ctx->reading);

  status_note_engine(ok);
  if (ok) {
    apply_systemid(ctx, latest);
  } else {
    g_autofree gchar *why = g_strdup_printf("Could not read the System ID: %s",
                                            error != NULL ? error->message : "Unknown error");
    status_set_error(why);
    // A fault of the engine is not the absence of a System ID: monitoring
    // must not stop because one reading failed.
    SystemidCtx *systemid_ctx = ctx->systemid_handler;
    g_warning("Could not read the System ID (%s); keeping %s and the beacon monitor as they are",
              error != NULL ? error->message : "Unknown error",
              systemid_ctx->systemid != NULL ? systemid_ctx->systemid : "no System ID");
  }
  if (ctx->read_again) {
    ctx->read_again = FALSE;
    start_reading(ctx);
  }
}

void start_reading(AppCtx *ctx) {
  ctx->reading = g_cancellable_new();
  systemid_handler_read_latest_id_async(ctx->con, ctx->reading, on_systemid_read, ctx);
}

/* Reads the System ID after a change of the action configuration (or the
 * engine's appearance) and brings the monitor in line with it. Never
 * blocks: changes during a reading make one more reading after it, however
 * many they are. */
void reread_systemid(AppCtx *ctx) {
  if (ctx->reading != NULL) {
    ctx->read_again = TRUE;
    return;
  }
  start_reading(ctx);
}

void engine_appeared(GDBusConnection *, const gchar *name, const gchar *name_owner, gpointer user_data) {
  auto *ctx = static_cast<AppCtx *>(user_data);
  g_assert(ctx);
  g_free(ctx->engine_owner);
  ctx->engine_owner = g_strdup(name_owner);
  g_debug("%s appeared, reading the System ID again", name);
  reread_systemid(ctx);
}

void engine_vanished(GDBusConnection *, const gchar *, gpointer user_data) {
  auto *ctx = static_cast<AppCtx *>(user_data);
  g_assert(ctx);
  g_clear_pointer(&ctx->engine_owner, g_free);
}

gboolean systemid_configuration_signal_subscribe(AppCtx *ctx, GError **err) {
  g_assert(ctx->con);
  // The bus routes broadcasts from the engine's owner only. A signal sent
  // to us directly by anyone else is dropped by GDBus where it tracks the
  // name's owner (GLib 2.80.1, and Debian's 2.74.6 with the same fix),
  // and by the handler on releases without that fix.
  ctx->subscription_id = g_dbus_connection_signal_subscribe(
      ctx->con, ACTION_ENGINE_BUS_NAME, "org.freedesktop.DBus.Properties", "PropertiesChanged", ACTION_ENGINE_PATH, NULL,
      G_DBUS_SIGNAL_FLAGS_NONE, action_configuration_handler, ctx, NULL);
  if (ctx->subscription_id == 0) {
    g_warning("Could not create action configuration subscription");
    g_set_error_literal(err, MAIN_ERROR, -1, "Could not subscribe to the action configuration");
    return FALSE;
  }
  return TRUE;
}

/* The installation key from the unit's credentials: NULL without one.
 * FALSE for a key the daemon must refuse to start with. */
gboolean load_keyring(AdvwatchKeyring **keyring, GError **err) {
  *keyring = NULL;
  AdvwatchKeys keys;
  if (!advwatch_keys_load_credentials(&keys, err))
    return FALSE;
  if (keys.has_key) {
    *keyring = advwatch_keyring_new(keys.key, keys.has_next_key ? keys.next_key : NULL);
    g_message("Beacons must be signed with the installation key%s",
              keys.has_next_key ? " or the next one (key rotation)" : "");
  }
  advwatch_keys_clear(&keys);
  return TRUE;
}

AppCtx *app_init(AdvwatchKeyring *keyring, GError **err) {
  g_assert(err == NULL || *err == NULL);

  AppCtx *ctx = g_new0(AppCtx, 1);
  ctx->loop = g_main_loop_new(NULL, FALSE);
  status_init();

  ctx->con = g_bus_get_sync(G_BUS_TYPE_SYSTEM, NULL, err);
  if (ctx->con == NULL)
    goto failed;
  g_dbus_connection_set_exit_on_close(ctx->con, FALSE);
  g_signal_connect(ctx->con, "closed", G_CALLBACK(on_connection_closed), ctx);

  ctx->monitor_handler = monitor_handler_init(BLUEZ_MONITOR_MANAGER_INTERFACE, err);
  if (ctx->monitor_handler == NULL) {
    g_prefix_error(err, "Could not initialize monitor handler: ");
    goto failed;
  }
  if (keyring != NULL)
    ctx->monitor_handler->keyring = advwatch_keyring_ref(keyring);

  ctx->systemid_handler = systemid_handler_init(ctx->con);
  if (ctx->systemid_handler == NULL) {
    g_set_error_literal(err, MAIN_ERROR, -1, "Could not initialize systemid handler");
    goto failed;
  }
  ctx->monitor_handler->systemid_ctx = ctx->systemid_handler;
  status_update(ctx->monitor_handler, ctx->systemid_handler);

  ctx->watch_id = g_bus_watch_name(G_BUS_TYPE_SYSTEM, "org.bluez", G_BUS_NAME_WATCHER_FLAGS_AUTO_START,
                                   bt_appeared, bt_vanished, ctx, NULL);

  if (!event_handler_init(err)) {
    g_prefix_error(err, "Could not setup event for kavrod");
    goto failed;
  }

  if (!systemid_configuration_signal_subscribe(ctx, err))
    goto failed;

  // The engine may start after us or restart: its arrival is a change of
  // the configuration as far as we can tell.
  ctx->engine_watch_id = g_bus_watch_name_on_connection(ctx->con, ACTION_ENGINE_BUS_NAME,
                                                        G_BUS_NAME_WATCHER_FLAGS_NONE, engine_appeared, engine_vanished,
                                                        ctx, NULL);

  g_unix_signal_add(SIGINT, handle_quit_signal, ctx);
  g_unix_signal_add(SIGTERM, handle_quit_signal, ctx);
  return ctx;

failed:
  app_cleanup(ctx);
  return NULL;
}

}  // namespace

GQuark main_error_quark(void) {
  static GQuark quark = 0;
  if (quark == 0)
    quark = g_quark_from_static_string("main");
  return quark;
}

void app_quit_with_failure(AppCtx *ctx) {
  g_assert(ctx);
  ctx->exit_status = 1;
  g_main_loop_quit(ctx->loop);
}

void bt_appeared(GDBusConnection *connection, const gchar *, const gchar *, gpointer user_data) {
  auto *ctx = static_cast<AppCtx *>(user_data);
  g_assert(ctx != NULL);
  g_assert(ctx->con != NULL);
  g_assert(ctx->monitor_handler);
  g_assert(ctx->systemid_handler);
  (void)connection;

  g_autoptr(GError) error = NULL;
  if (!btreceive_dbus_init(ctx, &error)) {
    g_warning("Could not initialize D-Bus service: %s", error != NULL ? error->message : "Unknown error");
    g_clear_error(&error);
  }

  monitor_handler_set_bluez_present(ctx->monitor_handler, TRUE);
  if (ctx->systemid_handler->systemid != NULL &&
      !monitor_handler_activate(ctx->monitor_handler, ctx->systemid_handler, &error))
    g_warning("Could not activate beacon monitoring process");
}

void bt_vanished(GDBusConnection *, const gchar *, gpointer user_data) {
  auto *ctx = static_cast<AppCtx *>(user_data);
  g_assert(ctx);
  g_assert(ctx->monitor_handler);

  g_message("Bluetooth vanished! Waiting for reappearance...");
  monitor_handler_set_bluez_present(ctx->monitor_handler, FALSE);
  btreceive_dbus_teardown();
}

void action_configuration_handler(GDBusConnection *, const gchar *sender, const gchar *, const gchar *,
                                  const gchar *, GVariant *, gpointer user_data) {
  auto *ctx = static_cast<AppCtx *>(user_data);
  g_assert(ctx);
  // Only the engine's current owner speaks for the configuration; GLib
  // releases before 2.80.1 deliver impostors' signals here too.
  if (ctx->engine_owner == NULL || g_strcmp0(sender, ctx->engine_owner) != 0) {
    g_debug("Ignoring PropertiesChanged on %s from %s: not the action engine", ACTION_ENGINE_PATH,
            sender != NULL ? sender : "(unknown)");
    return;
  }
  reread_systemid(ctx);
}

gboolean handle_quit_signal(gpointer user_data) {
  auto *ctx = static_cast<AppCtx *>(user_data);
  g_assert(ctx);
  g_assert(ctx->loop);
  g_message("Caught interrupt/termination signal, shutting down");
  g_main_loop_quit(ctx->loop);
  return FALSE;
}

void app_cleanup(AppCtx *ctx) {
  g_return_if_fail(ctx != NULL);
  g_debug("Running kavrod cleanup: %s:%d", "app_cleanup", 113);

  event_handler_teardown();
  if (ctx->reading != NULL) {
    g_cancellable_cancel(ctx->reading);
    g_clear_object(&ctx->reading);
  }
  g_clear_pointer(&ctx->engine_owner, g_free);
  if (ctx->engine_watch_id != 0)
    g_bus_unwatch_name(ctx->engine_watch_id);
  if (ctx->subscription_id != 0)
    g_dbus_connection_signal_unsubscribe(ctx->con, ctx->subscription_id);
  if (ctx->watch_id != 0)
    g_bus_unwatch_name(ctx->watch_id);
  if (ctx->systemid_handler != NULL) {
    // The monitor handler borrows it and goes after it.
    if (ctx->monitor_handler != NULL)
      ctx->monitor_handler->systemid_ctx = NULL;
    systemid_handler_teardown(ctx->systemid_handler);
  }
  if (ctx->monitor_handler != NULL)
    monitor_handler_teardown(ctx->monitor_handler);
  if (ctx->con != NULL) {
    g_signal_handlers_disconnect_by_data(ctx->con, ctx);
    g_object_unref(ctx->con);
  }
  if (ctx->loop != NULL)
    g_main_loop_unref(ctx->loop);
  status_teardown();
  g_free(ctx);
}

int kavrod_main(int argc, char **argv) {
  parse_command_line(argc, argv);

  g_autoptr(GError) error = NULL;
  g_autoptr(AdvwatchKeyring) keyring = NULL;
  if (!load_keyring(&keyring, &error)) {
    g_warning("Refusing to start: %s", error->message);
    return 1;
  }
  if (!vesk_init(&error)) {
    g_warning("Failed to initialize VESK lib: %s", error != NULL ? error->message : "Unknown error");
    return 1;
  }

  AppCtx *ctx = app_init(keyring, &error);
  if (ctx == NULL) {
    g_warning("Could not initialize application: %s", error != NULL ? error->message : "Unknown error");
    return 1;
  }

  g_message("kavrod initialized, run main loop...");
  // Ready once the loop turns, with or without BlueZ: the control service
  // comes and goes with it.
  notify_start();
  g_main_loop_run(ctx->loop);
  notify_stop();

  const int status = ctx->exit_status;
  app_cleanup(ctx);
  return status;
}

/* The daemon kavrod: start-up, reactions to BlueZ and to the action
 * configuration, quit signals and shutdown. One thread, one main loop on the
 * default main context. */
#pragma once

#include <gio/gio.h>

#include "monitor_handler.h"
#include "systemid_handler.h"

G_BEGIN_DECLS

#define MAIN_ERROR (main_error_quark())
GQuark main_error_quark(void);

typedef struct {
  GMainLoop *loop;
  GDBusConnection *con;
  guint32 watch_id;        /* watch on "org.bluez" */
  guint32 subscription_id; /* PropertiesChanged of the action engine */
  SystemidCtx *systemid_handler;
  MonitorHandler *monitor_handler;
  guint32 engine_watch_id; /* watch on the action engine's bus name */
  gint exit_status;        /* status after the loop stopped */
  gchar *engine_owner;     /* unique name owning the engine's name, or NULL */
  GCancellable *reading;   /* System ID reading in flight, or NULL */
  gboolean read_again;     /* the configuration changed during that reading */
} AppCtx;

/* The whole program: parses @argv, runs until a quit signal, returns the
 * exit status. */
int kavrod_main(int argc, char **argv);

void app_cleanup(AppCtx *ctx);

/* Stops the main loop because the daemon cannot go on as it should; the
 * process then exits with status 1. */
void app_quit_with_failure(AppCtx *ctx);

void bt_appeared(GDBusConnection *connection, const gchar *name, const gchar *name_owner, gpointer user_data);
void bt_vanished(GDBusConnection *connection, const gchar *name, gpointer user_data);
void action_configuration_handler(GDBusConnection *connection, const gchar *sender, const gchar *path,
                                  const gchar *interface, const gchar *signal, GVariant *parameters,
                                  gpointer user_data);
gboolean handle_quit_signal(gpointer user_data);

G_END_DECLS

/* The installation's System ID, read from the enabled action rules of the
 * action-rule engine. */
#pragma once

#include <gio/gio.h>

G_BEGIN_DECLS

#define SYSTEMID_ERROR (systemid_handler_error_quark())
GQuark systemid_handler_error_quark(void);

#define ACTION_ENGINE_BUS_NAME "com.vemo.Event.ActionEngine.User"
#define ACTION_ENGINE_PATH "/com/vemo/Event/ActionEngine"
#define ACTION_ENGINE_RULE_INTERFACE "com.vemo.Event.ActionEngine.ActionRule"
#define SYSTEMID_LIST_TIMEOUT_MS 5000

/* Main thread only; written only by the daemon's configuration handler
 * after creation. */
typedef struct {
  GDBusConnection *con; /* own reference */
  gchar *systemid;      /* UUID text in force, or NULL */
} SystemidCtx;

/* A new context holding the first reading (or none). NULL when @con is
 * NULL. */
SystemidCtx *systemid_handler_init(GDBusConnection *con);

/* The System ID of the enabled rule with the highest rule id (>= 1), newly
 * allocated; NULL both when there is none and when the reading failed. */
gchar *systemid_handler_get_latest_id(GDBusConnection *con);

/* The same reading, telling failure from absence: TRUE with *@systemid set
 * to the System ID or NULL when no rule carries one; FALSE with @error set
 * when the rules could not be read (call failed, reply or rule malformed). */
gboolean systemid_handler_read_latest_id(GDBusConnection *con, gchar **systemid, GError **error);

/* The same reading without blocking: @callback runs on the thread-default
 * main context once the engine answered (or the call timed out or was
 * cancelled); it calls systemid_handler_read_latest_id_finish(). */
void systemid_handler_read_latest_id_async(GDBusConnection *con, GCancellable *cancellable,
                                           GAsyncReadyCallback callback, gpointer user_data);
gboolean systemid_handler_read_latest_id_finish(GDBusConnection *con, GAsyncResult *result, gchar **systemid,
                                                GError **error);

/* Picks the System ID out of a List reply (exposed for tests and fuzzing);
 * same results as systemid_handler_read_latest_id(). */
gboolean systemid_handler_choose_from_reply(GVariant *reply, gchar **systemid, GError **error);

void systemid_handler_teardown(SystemidCtx *systemid_ctx);

G_END_DECLS

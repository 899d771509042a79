/* The action engine's plug-in ABI: the nine functions a plug-in exports and
 * the feedback it gives. Shared by plug-ins and the engine's host. */
#pragma once

#include <glib.h>
#include "xtag.h"

G_BEGIN_DECLS

/* Feedback statuses reported by the entry points. */
typedef enum {
  ACTION_STATUS_VALIDATED = 0,
  ACTION_STATUS_INITIALIZED = 1,
  ACTION_STATUS_STARTED = 2,
  ACTION_STATUS_STOPPED = 3,
  ACTION_STATUS_ABORTED = 4,
  ACTION_STATUS_DESTROYED = 5,
} ActionStatus;

/* Called on the thread of the entry point. @error, when set, becomes the
 * host's. */
typedef void (*ActionFeedbackFunc)(gpointer user_data, gint32 status, GError *error);

typedef gpointer (*ActionPluginCreateFunc)(XtagNode *config, GHashTable *parameters,
                                           gpointer setup_parameters, gpointer reserved1,
                                           gpointer reserved2, ActionFeedbackFunc feedback_cb,
                                           gpointer user_data, GError **error);
typedef void (*ActionPluginFunc)(gpointer instance);
typedef gboolean (*ActionPluginCheckFunc)(gpointer instance);

gpointer plugin_create(XtagNode *config, GHashTable *parameters, gpointer setup_parameters,
                       gpointer reserved1, gpointer reserved2, ActionFeedbackFunc feedback_cb,
                       gpointer user_data, GError **error);
void plugin_validate(gpointer instance);
void plugin_initialize(gpointer instance);
void plugin_start(gpointer instance);
void plugin_stop(gpointer instance);
void plugin_abort(gpointer instance);
gboolean plugin_check_running(gpointer instance);
void plugin_destroy(gpointer pi);
void plugin_free(gpointer pi);

G_END_DECLS

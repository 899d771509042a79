/* A test plug-in for the engine's host: logs every call it gets (so the
 * tests read from the engine's log what the host did, in which order and on
 * which thread) and reports the statuses a well-behaved plug-in reports.
 *
 * Parameters steer it: "label" tags its log lines; "fail" names the entry
 * point that fails (create, validate, initialize or start); "hang=start"
 * makes start never return.  Built a second
 * time without plugin_abort to exercise the host's symbol check. */
#include <glib.h>
#include <unistd.h>
#include <sys/syscall.h>

#include "action-plugin.h"

#define FIXTURE_ERROR (g_quark_from_static_string("fixture-plugin-error"))

typedef struct {
  gchar *label;
  gchar *fail;
  gboolean hang;
  ActionFeedbackFunc feedback;
  gpointer user_data;
  gboolean running;
} Fixture;

static const char *thread_kind(void) {
  return syscall(SYS_gettid) == getpid() ? "main thread" : "host thread";
}

static void report(Fixture *self, const char *call, gint32 status) {
  g_message("fixture[%s]: %s on %s", self->label, call, thread_kind());
  GError *error = NULL;
  if (g_strcmp0(self->fail, call) == 0)
    error = g_error_new(FIXTURE_ERROR, 1, "fixture %s failed on request", call);
  self->feedback(self->user_data, status, error);
}

/* Sorted "k=v,k=v" of the parameters: the host's table, as the plug-in sees it. */
static gchar *describe_parameters(GHashTable *parameters) {
  GList *keys = g_list_sort(g_hash_table_get_keys(parameters), (GCompareFunc)g_strcmp0);
  GString *text = g_string_new(NULL);
  for (GList *k = keys; k != NULL; k = k->next)
    g_string_append_printf(text, "%s%s=%s", text->len > 0 ? "," : "", (const char *)k->data,
                           (const char *)g_hash_table_lookup(parameters, k->data));
  g_list_free(keys);
  return g_string_free(text, FALSE);
}

static const char *child_text(XtagNode *node, const char *name) {
  XtagNode *child = xtag_find_tag(node, name);
  return child != NULL ? xtag_get_text(child) : "(missing)";
}

gpointer plugin_create(XtagNode *config, GHashTable *parameters, gpointer setup_parameters,
                       gpointer reserved1, gpointer reserved2, ActionFeedbackFunc feedback_cb,
                       gpointer user_data, GError **error) {
  const char *label = parameters != NULL ? g_hash_table_lookup(parameters, "label") : NULL;
  gchar *params = parameters != NULL ? describe_parameters(parameters) : g_strdup("(null table)");
  g_message("fixture[%s]: create on %s: root=%s plugin=%s sofile=%s params={%s} setup=%s "
            "user_data=%s reserved=%s",
            label != NULL ? label : "?", thread_kind(),
            config != NULL ? xtag_get_name(config) : "(null)",
            config != NULL ? child_text(config, "plugin") : "(null)",
            config != NULL ? child_text(config, "sofile") : "(null)", params,
            setup_parameters != NULL ? "set" : "null", user_data != NULL ? "set" : "null",
            reserved1 == NULL && reserved2 == NULL ? "null" : "set");
  g_free(params);

  const char *fail = parameters != NULL ? g_hash_table_lookup(parameters, "fail") : NULL;
  if (g_strcmp0(fail, "create") == 0) {
    g_set_error(error, FIXTURE_ERROR, 2, "fixture create failed on request");
    return NULL;
  }
  Fixture *self = g_new0(Fixture, 1);
  self->label = g_strdup(label != NULL ? label : "?");
  self->fail = g_strdup(fail);
  self->hang = parameters != NULL && g_strcmp0(g_hash_table_lookup(parameters, "hang"), "start") == 0;
  self->feedback = feedback_cb;
  self->user_data = user_data;
  return self;
}

void plugin_validate(gpointer instance) { report(instance, "validate", ACTION_STATUS_VALIDATED); }

void plugin_initialize(gpointer instance) {
  report(instance, "initialize", ACTION_STATUS_INITIALIZED);
}

void plugin_start(gpointer instance) {
  Fixture *self = instance;
  self->running = TRUE;
  report(self, "start", ACTION_STATUS_STARTED);
  while (self->hang)
    g_usleep(G_USEC_PER_SEC);
}

void plugin_stop(gpointer instance) {
  Fixture *self = instance;
  self->running = FALSE;
  report(self, "stop", ACTION_STATUS_STOPPED);
}

#ifndef FIXTURE_WITHOUT_ABORT
void plugin_abort(gpointer instance) { report(instance, "abort", ACTION_STATUS_ABORTED); }
#endif

gboolean plugin_check_running(gpointer instance) {
  Fixture *self = instance;
  g_message("fixture[%s]: check_running on %s: %s", self->label, thread_kind(),
            self->running ? "yes" : "no");
  return self->running;
}

void plugin_destroy(gpointer pi) { report(pi, "destroy", ACTION_STATUS_DESTROYED); }

void plugin_free(gpointer pi) {
  Fixture *self = pi;
  g_message("fixture[%s]: free on %s", self->label, thread_kind());
  g_free(self->label);
  g_free(self->fail);
  g_free(self);
}

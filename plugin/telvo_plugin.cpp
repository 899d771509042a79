/* libtelvo: the action engine's entry points, the action's configuration
 * and the instance's lifetime. Everything that talks to D-Bus is posted to
 * the instance's worker (telvo_worker.cpp), so no entry point but
 * plugin_free ever waits. */
#include <errno.h>

#include "telvo_instance.h"

G_DEFINE_QUARK(telvo_plugin, telvo_plugin_error)

namespace {

void plugin_instance_free(PluginInstance *instance) {
  g_debug("Clean up plugin instance %p", static_cast<void *>(instance));
  if (instance->worker_ctx != nullptr)
    worker_release(instance->worker_ctx);
  g_free(instance->system_id);
  g_free(instance->message_type_text);
  GDBusConnection *connection = instance->connection.exchange(nullptr);
  if (connection != nullptr)
    g_object_unref(connection);
  g_clear_object(&instance->cancellable);
  delete instance;
}

/* Reports @status to the host; the last thing every reporting entry point
 * does, so nothing of the instance may be touched afterwards. */
void report(PluginInstance *instance, ActionStatus status, GError *error = nullptr) {
  instance->feedback_cb(instance->user_data, status, error);
}

bool parse_message_type(const gchar *text, guint8 *out) {
  errno = 0;
  gint64 value = g_ascii_strtoll(text, nullptr, 10);
  /* Taken unsigned, every negative number is out of range too. */
  if (errno != 0 || static_cast<guint64>(value) > G_MAXUINT8)
    return false;
  *out = static_cast<guint8>(value);
  return true;
}

bool require_tag(XtagNode *config, const gchar *name, GError **error) {
  if (xtag_find_tag(config, name) != nullptr)
    return true;
  g_set_error(error, TELVO_PLUGIN_ERROR, -1, "Corrupt plugin configuration, could not find <%s> XML tag",
              name);
  g_prefix_error(error, "invalid configuration: ");
  return false;
}

}  // namespace

extern "C" {

TELVO_EXPORT gpointer plugin_create(XtagNode *config, GHashTable *parameters, gpointer setup_parameters,
                                    gpointer /*reserved1*/, gpointer /*reserved2*/,
                                    ActionFeedbackFunc feedback_cb, gpointer user_data, GError **error) {
  g_return_val_if_fail(config, nullptr);
  g_return_val_if_fail(feedback_cb, nullptr);
  g_return_val_if_fail(user_data, nullptr);
  g_return_val_if_fail(setup_parameters, nullptr);
  g_return_val_if_fail(parameters, nullptr);
  g_return_val_if_fail(error == NULL || *error == NULL, nullptr);

  const auto *message_type_text = static_cast<const gchar *>(g_hash_table_lookup(parameters, "message_type"));
  if (message_type_text == nullptr) {
    g_set_error_literal(error, TELVO_PLUGIN_ERROR, -1, "Configuration parameter missing: Message type");
    return nullptr;
  }
  guint8 message_type = 0;
  if (!parse_message_type(message_type_text, &message_type)) {
    g_set_error(error, TELVO_PLUGIN_ERROR, -1, "Message type '%s' is not a valid guint8 number",
                message_type_text);
    return nullptr;
  }
  const auto *system_id = static_cast<const gchar *>(g_hash_table_lookup(parameters, "system_id"));
  if (system_id == nullptr) {
    g_set_error_literal(error, TELVO_PLUGIN_ERROR, -1, "Configuration parameter missing: System ID");
    return nullptr;
  }
  if (!require_tag(config, "plugin", error) || !require_tag(config, "sofile", error))
    return nullptr;

  auto *instance = new PluginInstance();
  instance->feedback_cb = feedback_cb;
  instance->user_data = user_data;
  instance->system_id = g_strdup(system_id);
  instance->message_type = message_type;
  instance->message_type_text = g_strdup(message_type_text);
  g_debug("Creating plugin instance %p", static_cast<void *>(instance));

  GList *tags = xtag_get_all_tags(config);
  guint n_tags = g_list_length(tags);
  g_list_free(tags);
  if (n_tags != 2) {
    g_set_error(error, TELVO_PLUGIN_ERROR, -1, "Corrupt plugin configuration, expected two XML tags and got %u",
                n_tags);
    plugin_instance_free(instance);
    return nullptr;
  }

  /* The cancellable exists before the worker can run anything. */
  instance->cancellable = g_cancellable_new();
  worker_start(instance);
  return instance;
}

TELVO_EXPORT void plugin_validate(gpointer handle) {
  auto *instance = static_cast<PluginInstance *>(handle);
  g_return_if_fail(instance);
  g_debug("validate");
  GError *error = nullptr;
  if (instance->system_id == nullptr)
    g_set_error_literal(&error, TELVO_PLUGIN_ERROR, -1, "Configuration parameter missing when validating: System ID");
  else if (!g_uuid_string_is_valid(instance->system_id))
    g_set_error(&error, TELVO_PLUGIN_ERROR, -1, "System ID parameter is not a valid UUID: %s", instance->system_id);
  else if (instance->message_type_text == nullptr)
    g_set_error_literal(&error, TELVO_PLUGIN_ERROR, -1, "Configuration parameter missing: Message type");
  else
    g_debug("Validation succeeded");
  /* The error becomes the host's. */
  report(instance, ACTION_STATUS_VALIDATED, error);
}

TELVO_EXPORT void plugin_initialize(gpointer handle) {
  auto *instance = static_cast<PluginInstance *>(handle);
  g_return_if_fail(instance);
  g_debug("initialize: %p", handle);
  if (instance->connection.load() == nullptr) {
    g_debug("Invoke setup D-Bus");
    worker_post(instance, worker_get_connection);
  }
  report(instance, ACTION_STATUS_INITIALIZED);
}

TELVO_EXPORT void plugin_start(gpointer handle) {
  auto *instance = static_cast<PluginInstance *>(handle);
  g_return_if_fail(instance);
  if (instance->in_progress.load())
    g_debug("Aborted 'send beacon' action, one is already in progress");
  else
    worker_post(instance, worker_send_beacon);
  report(instance, ACTION_STATUS_STARTED);
}

TELVO_EXPORT void plugin_stop(gpointer handle) {
  auto *instance = static_cast<PluginInstance *>(handle);
  g_return_if_fail(instance);
  g_debug("plugin stop");
  report(instance, ACTION_STATUS_STOPPED);
}

TELVO_EXPORT void plugin_abort(gpointer handle) {
  auto *instance = static_cast<PluginInstance *>(handle);
  g_return_if_fail(instance);
  g_debug("plugin abort");
  /* Queued behind any send, so that one still runs on the old connection. */
  worker_post(instance, worker_drop_connection);
  report(instance, ACTION_STATUS_ABORTED);
}

TELVO_EXPORT gboolean plugin_check_running(gpointer handle) {
  auto *instance = static_cast<PluginInstance *>(handle);
  g_return_val_if_fail(instance, FALSE);
  return instance->in_progress.load();
}

TELVO_EXPORT void plugin_destroy(gpointer handle) {
  auto *pi = static_cast<PluginInstance *>(handle);
  g_return_if_fail(pi);
  g_debug("plugin destroy");
  if (pi->worker_ctx != nullptr)
    worker_remove_pending(pi);
  report(pi, ACTION_STATUS_DESTROYED);
}

TELVO_EXPORT void plugin_free(gpointer handle) {
  auto *pi = static_cast<PluginInstance *>(handle);
  g_return_if_fail(pi);
  g_return_if_fail(pi->worker_ctx);
  g_return_if_fail(pi->worker_ctx->main_context);
  g_debug("plugin free");
  worker_remove_pending(pi);
  /* Ends a blocking call of the worker at once. */
  g_cancellable_cancel(pi->cancellable);
  worker_stop_and_join(pi);
  plugin_instance_free(pi);
}

}  // extern "C"

#include "systemid_handler.h"

#include <cstring>

#include "utils.h"

namespace {

constexpr gsize kSystemidLen = 36;
constexpr gsize kMarkerToId = 11;
constexpr guint8 kMarker[] = {'U', 'U', 'I', 'D'};

enum class RuleResult { Skipped, Candidate, Failed };

/* One rule: skipped, a candidate (@rule_id, @candidate), or failed. */
RuleResult parse_systemid_from_rule(GVariant *rule, gint32 *rule_id, gchar candidate[kSystemidLen + 1],
                                    GError **err) {
  g_assert(err == NULL || *err == NULL);

  memset(candidate, 0, kSystemidLen + 1);
  guint32 found = 0;

  // A rule structure may have fewer members than we read; ask for each one
  // by position and type without trusting the shape.
  const gsize n_members = g_variant_is_container(rule) ? g_variant_n_children(rule) : 0;
  auto member = [&](gsize position, const GVariantType *type) -> GVariant * {
    if (position >= n_members)
      return NULL;
    GVariant *child = g_variant_get_child_value(rule, position);
    if (!g_variant_is_of_type(child, type)) {
      g_variant_unref(child);
      return NULL;
    }
    return child;
  };

  g_autoptr(GVariant) enabled = member(2, G_VARIANT_TYPE_BOOLEAN);
  if (enabled == NULL) {
    g_set_error_literal(err, SYSTEMID_ERROR, -1, "Failed to get 'enabled' variant from action rule");
    return RuleResult::Failed;
  }
  if (!g_variant_get_boolean(enabled))
    return RuleResult::Skipped;

  g_autoptr(GVariant) id = member(0, G_VARIANT_TYPE_INT32);
  if (id == NULL) {
    g_set_error_literal(err, SYSTEMID_ERROR, -1, "Failed to get 'rule ID' variant from action rule");
    return RuleResult::Failed;
  }
  g_autoptr(GVariant) nice_name = member(1, G_VARIANT_TYPE_STRING);
  if (nice_name == NULL) {
    g_set_error_literal(err, SYSTEMID_ERROR, -1, "Failed to get 'nice name' variant from action rule");
    return RuleResult::Failed;
  }
  g_autoptr(GVariant) start_event = member(3, G_VARIANT_TYPE_BYTESTRING);
  if (start_event == NULL) {
    g_set_error_literal(err, SYSTEMID_ERROR, -1, "Failed to get 'start event' variant from action rule");
    return RuleResult::Failed;
  }

  gsize length = 0;
  const auto *bytes = static_cast<const guint8 *>(g_variant_get_fixed_array(start_event, &length, 1));
  if (length == 0)
    return RuleResult::Skipped;
  if (!utils_is_subarray(bytes, length, kMarker, sizeof kMarker, &found))
    return RuleResult::Skipped;
  // At least one byte must follow the System ID text.
  if (!(static_cast<gsize>(found) + kMarkerToId + kSystemidLen < length))
    return RuleResult::Skipped;

  const guint8 *text = bytes + found + kMarkerToId;
  for (gsize i = 0; i < kSystemidLen && text[i] != 0; i++)
    candidate[i] = static_cast<gchar>(text[i]);
  candidate[kSystemidLen] = '\0';

  g_debug("System ID: %s from rule '%s'", candidate, g_variant_get_string(nice_name, NULL));
  if (!g_uuid_string_is_valid(candidate))
    return RuleResult::Skipped;

  *rule_id = g_variant_get_int32(id);
  return RuleResult::Candidate;
}

}  // namespace

GQuark systemid_handler_error_quark(void) {
  static GQuark quark = 0;
  if (quark == 0)
    quark = g_quark_from_static_string("system_id_handler");
  return quark;
}

gboolean systemid_handler_choose_from_reply(GVariant *reply, gchar **systemid, GError **error) {
  g_return_val_if_fail(reply != NULL, FALSE);
  g_return_val_if_fail(systemid != NULL, FALSE);
  g_return_val_if_fail(error == NULL || *error == NULL, FALSE);

  *systemid = NULL;
  g_autoptr(GVariant) rules = NULL;
  if (g_variant_is_container(reply) && g_variant_n_children(reply) > 0)
    rules = g_variant_get_child_value(reply, 0);
  if (rules == NULL || !g_variant_is_of_type(rules, G_VARIANT_TYPE_ARRAY)) {
    g_warning("Failed to get action rule variant");
    g_set_error_literal(error, SYSTEMID_ERROR, -1, "Failed to get action rule variant");
    return FALSE;
  }

  // The best candidate only: a table would hold nothing more than the entry
  // for the highest rule id, and the earliest rule wins a tie.
  gint32 best_id = 0;
  gchar best[kSystemidLen + 1] = {0};
  const gsize n_rules = g_variant_n_children(rules);
  for (gsize i = 0; i < n_rules; i++) {
    g_autoptr(GVariant) rule = g_variant_get_child_value(rules, i);
    g_autoptr(GError) rule_error = NULL;
    gint32 rule_id = 0;
    gchar candidate[kSystemidLen + 1];
    switch (parse_systemid_from_rule(rule, &rule_id, candidate, &rule_error)) {
      case RuleResult::Failed:
        g_warning("Failed to parse system ID rule: %s",
                  rule_error != NULL ? rule_error->message : "Unknown error");
        g_propagate_error(error, g_steal_pointer(&rule_error));
        if (error != NULL && *error == NULL)
          g_set_error_literal(error, SYSTEMID_ERROR, -1, "Unknown error");
        return FALSE;
      case RuleResult::Candidate:
        if (rule_id > best_id) {
          best_id = rule_id;
          memcpy(best, candidate, sizeof best);
        }
        break;
      case RuleResult::Skipped:
        break;
    }
  }
  if (best_id > 0)
    *systemid = g_strdup(best);
  return TRUE;
}

gboolean systemid_handler_read_latest_id(GDBusConnection *con, gchar **systemid, GError **error) {
  g_return_val_if_fail(con != NULL, FALSE);
  g_return_val_if_fail(systemid != NULL, FALSE);
  g_return_val_if_fail(error == NULL || *error == NULL, FALSE);

  *systemid = NULL;
  g_autoptr(GError) call_error = NULL;
  // No expected reply type: a reply of another shape is judged rule by rule.
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      con, ACTION_ENGINE_BUS_NAME, ACTION_ENGINE_PATH, ACTION_ENGINE_RULE_INTERFACE, "List", NULL,
      NULL, G_DBUS_CALL_FLAGS_NONE, SYSTEMID_LIST_TIMEOUT_MS, NULL, &call_error);
  if (reply == NULL) {
    g_warning("Failed to get action rule: %s", call_error != NULL ? call_error->message : "Unknown error");
    if (call_error != NULL)
      g_propagate_error(error, g_steal_pointer(&call_error));
    else
      g_set_error_literal(error, SYSTEMID_ERROR, -1, "Unknown error");
    return FALSE;
  }
  return systemid_handler_choose_from_reply(reply, systemid, error);
}

void systemid_handler_read_latest_id_async(GDBusConnection *con, GCancellable *cancellable,
                                           GAsyncReadyCallback callback, gpointer user_data) {
  g_return_if_fail(con != NULL);
  g_dbus_connection_call(con, ACTION_ENGINE_BUS_NAME, ACTION_ENGINE_PATH, ACTION_ENGINE_RULE_INTERFACE, "List",
                         NULL, NULL, G_DBUS_CALL_FLAGS_NONE, SYSTEMID_LIST_TIMEOUT_MS, cancellable, callback,
                         user_data);
}

gboolean systemid_handler_read_latest_id_finish(GDBusConnection *con, GAsyncResult *result, gchar **systemid,
                                                GError **error) {
  g_return_val_if_fail(con != NULL, FALSE);
  g_return_val_if_fail(systemid != NULL, FALSE);
  g_return_val_if_fail(error == NULL || *error == NULL, FALSE);

  *systemid = NULL;
  g_autoptr(GError) call_error = NULL;
  g_autoptr(GVariant) reply = g_dbus_connection_call_finish(con, result, &call_error);
  if (reply == NULL) {
    if (!g_error_matches(call_error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
      g_warning("Failed to get action rule: %s", call_error->message);
    g_propagate_error(error, g_steal_pointer(&call_error));
    return FALSE;
  }
  return systemid_handler_choose_from_reply(reply, systemid, error);
}

gchar *systemid_handler_get_latest_id(GDBusConnection *con) {
  g_return_val_if_fail(con != NULL, NULL);
  gchar *systemid = NULL;
  if (!systemid_handler_read_latest_id(con, &systemid, NULL))
    return NULL;
  return systemid;
}

SystemidCtx *systemid_handler_init(GDBusConnection *con) {
  g_return_val_if_fail(con != NULL, NULL);
  SystemidCtx *ctx = g_new0(SystemidCtx, 1);
  ctx->con = static_cast<GDBusConnection *>(g_object_ref(con));
  ctx->systemid = systemid_handler_get_latest_id(con);
  return ctx;
}

void systemid_handler_teardown(SystemidCtx *systemid_ctx) {
  g_return_if_fail(systemid_ctx);
  g_free(g_steal_pointer(&systemid_ctx->systemid));
  g_clear_object(&systemid_ctx->con);
  g_free(systemid_ctx);
}

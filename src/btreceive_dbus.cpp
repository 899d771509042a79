#include "btreceive_dbus.h"

#include "status.h"
#include "vesk.h"

BtreceiveDbus *btreceive_dbus_g = NULL;

namespace {

/* 0 until the domain is registered with GDBus, before the first error reply. */
GQuark bt_receive_dbus_error_quark_g = 0;

const GDBusErrorEntry bt_receive_dbus_error_entries[] = {
    {BT_RECEIVE_DBUS_ERROR_INTERNAL, "com.vemo.bt.ReceiveVemoBeacon.Error.Internal"},
    {BT_RECEIVE_DBUS_ERROR_UNAUTHORIZED, "com.vemo.bt.ReceiveVemoBeacon.Error.Unauthorized"},
};

void return_error(GDBusMethodInvocation *invocation, BtReceiveDbusError code, const gchar *message) {
  g_dbus_method_invocation_return_error(invocation, bt_receive_dbus_error_quark(), code, "%s", message);
}

gboolean handle_list(btReceiveVemoBeacon *object, GDBusMethodInvocation *invocation, gpointer user_data) {
  auto *ctx = static_cast<AppCtx *>(user_data);
  g_assert(invocation);
  g_assert(object);
  g_assert(ctx);
  g_assert(ctx->systemid_handler);

  if (!access_is_authorized(invocation, BTRECEIVE_ACTION_LIST))
    return TRUE;

  // Always one element: an unknown System ID goes out as "".
  const gchar *systemid = ctx->systemid_handler->systemid;
  gchar **system_ids = g_new0(gchar *, 2);
  system_ids[0] = g_strdup(systemid != NULL ? systemid : "");
  bt_receive_vemo_beacon_complete_list(object, invocation, system_ids);
  g_strfreev(system_ids);
  return TRUE;
}

gboolean handle_pause(btReceiveVemoBeacon *object, GDBusMethodInvocation *invocation, gpointer user_data) {
  auto *ctx = static_cast<AppCtx *>(user_data);
  g_assert(ctx);

  if (!access_is_authorized(invocation, BTRECEIVE_ACTION_PAUSE))
    return TRUE;

  g_autoptr(GError) error = NULL;
  if (monitor_handler_pause(ctx->monitor_handler, &error))
    bt_receive_vemo_beacon_complete_pause(object, invocation);
  else
    return_error(invocation, BT_RECEIVE_DBUS_ERROR_INTERNAL, error != NULL ? error->message : "Unknown error");
  return TRUE;
}

gboolean handle_resume(btReceiveVemoBeacon *object, GDBusMethodInvocation *invocation, gpointer user_data) {
  auto *ctx = static_cast<AppCtx *>(user_data);
  g_assert(ctx);

  if (!access_is_authorized(invocation, BTRECEIVE_ACTION_RESUME))
    return TRUE;

  g_autoptr(GError) error = NULL;
  if (monitor_handler_resume(ctx->monitor_handler, &error))
    bt_receive_vemo_beacon_complete_resume(object, invocation);
  else
    return_error(invocation, BT_RECEIVE_DBUS_ERROR_INTERNAL, error != NULL ? error->message : "Unknown error");
  return TRUE;
}

gboolean handle_status(btReceiveVemoBeaconDiagnostics *object, GDBusMethodInvocation *invocation,
                       gpointer user_data) {
  auto *ctx = static_cast<AppCtx *>(user_data);
  g_assert(ctx);

  // Whoever may read the System ID may read how its monitoring goes.
  if (!access_is_authorized(invocation, BTRECEIVE_ACTION_LIST))
    return TRUE;
  bt_receive_vemo_beacon_diagnostics_complete_status(
      object, invocation, status_to_variant(ctx->monitor_handler, ctx->systemid_handler));
  return TRUE;
}

void on_bus_acquired(GDBusConnection *con, const gchar *name, gpointer user_data) {
  auto *ctx = static_cast<AppCtx *>(user_data);
  g_assert(con);
  g_assert(name);
  g_assert(ctx);
  g_assert(ctx->loop);

  // GDBus may still deliver this after the name was given up (BlueZ left);
  // a late call must not export over a newer interface or revive a dead one.
  if (btreceive_dbus_g == NULL || btreceive_dbus_g->skeleton != NULL) {
    g_debug("Ignoring a late bus acquisition for %s", name);
    return;
  }

  btReceiveVemoBeaconSkeleton *skeleton =
      BT_RECEIVE_VEMO_BEACON_SKELETON(bt_receive_vemo_beacon_skeleton_new());
  if (skeleton == NULL) {
    g_warning("Failed to create D-Bus skeleton");
    app_quit_with_failure(ctx);
    return;
  }

  g_autoptr(GError) error = NULL;
  if (!g_dbus_interface_skeleton_export(G_DBUS_INTERFACE_SKELETON(skeleton), con, BTRECEIVE_OBJECT_PATH, &error)) {
    g_warning("D-Bus skeleton export failed: %s", error != NULL ? error->message : "Unknown error");
    g_object_unref(skeleton);
    app_quit_with_failure(ctx);
    return;
  }

  static const struct {
    const gchar *signal;
    GCallback handler;
    const gchar *failure;
  } handlers[] = {
      {"handle-list", G_CALLBACK(handle_list), "Failed to add D-Bus 'handle-list' handler"},
      {"handle-pause", G_CALLBACK(handle_pause), "Failed to add D-Bus 'handle-pause' handler"},
      {"handle-resume", G_CALLBACK(handle_resume), "Failed to add D-Bus 'handle-resume' handler"},
  };
  for (const auto &h : handlers) {
    if (g_signal_connect(skeleton, h.signal, h.handler, ctx) == 0) {
      g_warning("%s", h.failure);
      // The only reference: releasing it withdraws the exported object.
      g_object_unref(skeleton);
      app_quit_with_failure(ctx);
      return;
    }
  }

  btReceiveVemoBeaconDiagnosticsSkeleton *diagnostics =
      BT_RECEIVE_VEMO_BEACON_DIAGNOSTICS_SKELETON(bt_receive_vemo_beacon_diagnostics_skeleton_new());
  g_signal_connect(diagnostics, "handle-status", G_CALLBACK(handle_status), ctx);
  if (!g_dbus_interface_skeleton_export(G_DBUS_INTERFACE_SKELETON(diagnostics), con, BTRECEIVE_OBJECT_PATH,
                                        &error)) {
    g_warning("D-Bus skeleton export failed: %s", error != NULL ? error->message : "Unknown error");
    g_object_unref(diagnostics);
    g_object_unref(skeleton);
    app_quit_with_failure(ctx);
    return;
  }
  btreceive_dbus_g->skeleton = skeleton;
  btreceive_dbus_g->diagnostics = diagnostics;
}

void on_name_acquired(GDBusConnection *, const gchar *name, gpointer) {
  g_assert(name);
  g_debug("Acquired the D-Bus name %s", name);
}

void on_name_lost(GDBusConnection *, const gchar *name, gpointer) {
  g_assert(name);
  g_warning("Lost the D-Bus name %s", name);
}

}  // namespace

GQuark btreceive_dbus_error_quark(void) {
  static GQuark quark = 0;
  if (quark == 0)
    quark = g_quark_from_static_string("btReceive_dbus");
  return quark;
}

GQuark bt_receive_dbus_error_quark(void) {
  static gsize registered = 0;
  g_dbus_error_register_error_domain("bt-receive-dbus-error", &registered, bt_receive_dbus_error_entries,
                                     G_N_ELEMENTS(bt_receive_dbus_error_entries));
  bt_receive_dbus_error_quark_g = static_cast<GQuark>(registered);
  return bt_receive_dbus_error_quark_g;
}

gboolean access_is_authorized(GDBusMethodInvocation *invocation, const gchar *action_id) {
  g_return_val_if_fail(invocation != NULL, FALSE);
  g_return_val_if_fail(action_id != NULL, FALSE);

  const gchar *sender = g_dbus_method_invocation_get_sender(invocation);
  g_autoptr(GError) error = NULL;
  if (vesk_check_auth(sender, action_id, &error) != 0)
    return TRUE;

  if (error != NULL && error->domain == VESK_ERROR && error->code == VESK_ERROR_DENIED) {
    g_warning("Unauthorized access of '%s' by '%s'", action_id, sender);
    return_error(invocation, BT_RECEIVE_DBUS_ERROR_UNAUTHORIZED, "Unauthorized Access");
  } else {
    // A refusal without a reason is a failed check, never an allowance.
    return_error(invocation, BT_RECEIVE_DBUS_ERROR_INTERNAL, error != NULL ? error->message : "Unknown error");
  }
  return FALSE;
}

gboolean btreceive_dbus_init(AppCtx *ctx, GError **err) {
  g_return_val_if_fail(ctx != NULL, FALSE);
  g_return_val_if_fail(err == NULL || *err == NULL, FALSE);

  BtreceiveDbus *record = g_new0(BtreceiveDbus, 1);
  record->owner_id = g_bus_own_name(G_BUS_TYPE_SYSTEM, BTRECEIVE_BUS_NAME, G_BUS_NAME_OWNER_FLAGS_NONE,
                                    on_bus_acquired, on_name_acquired, on_name_lost, ctx, NULL);
  if (record->owner_id == 0) {
    g_set_error(err, BTRECEIVE_DBUS_ERROR, -1, "Failed to setup D-Bus handler %s", BTRECEIVE_BUS_NAME);
    g_free(record);
    return FALSE;
  }
  btreceive_dbus_g = record;
  return TRUE;
}

void btreceive_dbus_teardown(void) {
  if (btreceive_dbus_g == NULL)
    return;
  // The object goes before the name; dropping the only reference unexports.
  g_clear_object(&btreceive_dbus_g->diagnostics);
  g_clear_object(&btreceive_dbus_g->skeleton);
  if (btreceive_dbus_g->owner_id != 0) {
    g_bus_unown_name(btreceive_dbus_g->owner_id);
    btreceive_dbus_g->owner_id = 0;
  }
  g_clear_pointer(&btreceive_dbus_g, g_free);
}

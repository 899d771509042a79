#include "btreceive_dbus.h"

#include "status.h"
#include "vesk.h"

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

BtreceiveDbus *btreceive_dbus_g = NULL;

namespace {

/* 0 until the domain is registered with GDBus, before the first error reply. */
GQuark bt_receive_dbus_error_quark_g = 0;

const GDBusErrorEntry bt_receive_dbus_error_entries[] = {
    {BT_RECEIVE_DBUS_ERROR_INTERNAL, "com.vemo.bt.ReceiveVemoBeacon.Error.Internal"},
    {BT_RECEIVE_DBUS_ERROR_UNAUTHORIZED, "com.vemo.bt.ReceiveVemoBeacon.Error.Unauthorized"},
};

/* ---- the caller's uid ------------------------------------------------ */

/* The bus daemon's answer for a name holds while the name keeps its owner:
 * each cached name has a NameOwnerChanged subscription of its own (a rule
 * on its arg0, so the bus sends us nothing about other names), and the
 * entry goes with the first change. Lookups are asynchronous; calls that
 * arrive during one wait for it, in order. */
constexpr size_t kMaxCachedNames = 64;
constexpr int kUidLookupTimeoutMs = 2000;

struct UidWaiter {
  UidCacheFunc func;
  gpointer data;
};

struct UidEntry {
  bool known = false;
  bool stale = false; /* the owner changed while the lookup ran */
  guint32 uid = 0;
  guint subscription = 0;
  std::vector<UidWaiter> waiters;
};

}  // namespace

struct _UidCache {
  gatomicrefcount refs;
  bool closed = false;
  GDBusConnection *connection = NULL;
  GCancellable *cancellable = NULL;
  std::unordered_map<std::string, UidEntry> entries;
};

namespace {

UidCache *uid_cache_ref(UidCache *cache) {
  g_atomic_ref_count_inc(&cache->refs);
  return cache;
}

void uid_cache_unref(gpointer data) {
  auto *cache = static_cast<UidCache *>(data);
  if (!g_atomic_ref_count_dec(&cache->refs))
    return;
  g_clear_object(&cache->cancellable);
  g_clear_object(&cache->connection);
  delete cache;
}

void run_waiters(std::vector<UidWaiter> waiters, guint32 uid, const GError *error) {
  for (const UidWaiter &waiter : waiters)
    waiter.func(uid, error, waiter.data);
}

/* Drops @name's entry and its subscription. */
void forget_name(UidCache *cache, std::unordered_map<std::string, UidEntry>::iterator entry) {
  if (entry->second.subscription != 0)
    g_dbus_connection_signal_unsubscribe(cache->connection, entry->second.subscription);
  cache->entries.erase(entry);
}

void on_owner_changed(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *,
                      GVariant *parameters, gpointer data) {
  auto *cache = static_cast<UidCache *>(data);
  if (cache->closed || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sss)")))
    return;
  g_autoptr(GVariant) name_value = g_variant_get_child_value(parameters, 0);
  auto entry = cache->entries.find(g_variant_get_string(name_value, NULL));
  if (entry == cache->entries.end())
    return;
  if (!entry->second.known) {
    // Its reply answers the calls waiting for it, but is not kept.
    entry->second.stale = true;
    return;
  }
  forget_name(cache, entry);
}

struct UidLookup {
  UidCache *cache;
  std::string name;
};

void on_uid_reply(GObject *source, GAsyncResult *result, gpointer data) {
  auto *lookup = static_cast<UidLookup *>(data);
  UidCache *cache = lookup->cache;
  g_autoptr(GError) error = NULL;
  g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
  auto entry = cache->entries.find(lookup->name);
  if (!cache->closed && entry != cache->entries.end() && !entry->second.known) {
    std::vector<UidWaiter> waiters = std::move(entry->second.waiters);
    entry->second.waiters.clear();
    guint32 uid = 0;
    if (reply != NULL) {
      g_variant_get(reply, "(u)", &uid);
      if (entry->second.stale) {
        forget_name(cache, entry);
      } else {
        entry->second.known = true;
        entry->second.uid = uid;
      }
    } else {
      forget_name(cache, entry);
      g_autoptr(GError) failure = NULL;
      if (g_dbus_error_is_remote_error(error)) {
        g_autofree gchar *remote = g_dbus_error_get_remote_error(error);
        g_dbus_error_strip_remote_error(error);
        failure = g_error_new(error->domain, error->code, "cannot find the user of bus client '%s': %s (%s)",
                              lookup->name.c_str(), error->message, remote);
      } else {
        failure = g_error_new(error->domain, error->code, "cannot find the user of bus client '%s': %s",
                              lookup->name.c_str(), error->message);
      }
      g_clear_error(&error);
      error = static_cast<GError *>(g_steal_pointer(&failure));
    }
    run_waiters(std::move(waiters), uid, error);
  }
  uid_cache_unref(cache);
  delete lookup;
}

/* Room for one more name: drops an answered entry when full. */
void make_room(UidCache *cache) {
  if (cache->entries.size() < kMaxCachedNames)
    return;
  for (auto entry = cache->entries.begin(); entry != cache->entries.end(); ++entry) {
    if (entry->second.known) {
      forget_name(cache, entry);
      return;
    }
  }
}

/* ---- the control methods ---------------------------------------------- */

void return_error(GDBusMethodInvocation *invocation, BtReceiveDbusError code, const gchar *message) {
  g_dbus_method_invocation_return_error(invocation, bt_receive_dbus_error_quark(), code, "%s", message);
}

/* @object: the skeleton the call came to. */
typedef void (*AllowedFunc)(gpointer object, GDBusMethodInvocation *invocation, AppCtx *ctx);

/* A call waiting for its caller's uid. */
struct PendingCall {
  gpointer object;
  GDBusMethodInvocation *invocation;
  const gchar *action_id;
  AllowedFunc allowed;
  AppCtx *ctx;
};

/* Answers the call: refused, failed, or on to @allowed. */
void decide(gpointer object, GDBusMethodInvocation *invocation, const gchar *action_id,
            AllowedFunc allowed, AppCtx *ctx, guint32 uid, const GError *lookup_error) {
  const gchar *sender = g_dbus_method_invocation_get_sender(invocation);
  if (lookup_error != NULL) {
    // A refusal without a reason is a failed check, never an allowance.
    return_error(invocation, BT_RECEIVE_DBUS_ERROR_INTERNAL, lookup_error->message);
    return;
  }
  g_autoptr(GError) error = NULL;
  if (vesk_check_auth_uid(sender, uid, action_id, &error) != 0) {
    allowed(object, invocation, ctx);
    return;
  }
  if (error != NULL && error->domain == VESK_ERROR && error->code == VESK_ERROR_DENIED) {
    g_warning("Unauthorized access of '%s' by '%s'", action_id, sender);
    return_error(invocation, BT_RECEIVE_DBUS_ERROR_UNAUTHORIZED, "Unauthorized Access");
  } else {
    return_error(invocation, BT_RECEIVE_DBUS_ERROR_INTERNAL, error != NULL ? error->message : "Unknown error");
  }
}

void on_caller_uid(guint32 uid, const GError *error, gpointer data) {
  auto *call = static_cast<PendingCall *>(data);
  decide(call->object, call->invocation, call->action_id, call->allowed, call->ctx, uid, error);
  g_object_unref(call->invocation);
  g_object_unref(call->object);
  delete call;
}

/* Runs @allowed once the caller may perform @action_id; otherwise answers
 * the call with the refusal or the failure. */
void authorize(gpointer object, GDBusMethodInvocation *invocation, const gchar *action_id,
               AllowedFunc allowed, AppCtx *ctx) {
  const gchar *sender = g_dbus_method_invocation_get_sender(invocation);
  UidCache *cache = btreceive_dbus_g != NULL ? btreceive_dbus_g->uid_cache : NULL;
  if (sender == NULL || cache == NULL) {
    // Not through a message bus, or the service is being withdrawn.
    g_autoptr(GError) error = NULL;
    g_set_error(&error, G_IO_ERROR, G_IO_ERROR_FAILED, "cannot find the user of bus client '%s'",
                sender != NULL ? sender : "(none)");
    decide(object, invocation, action_id, allowed, ctx, 0, error);
    return;
  }
  auto *call = new PendingCall{g_object_ref(object),
                               static_cast<GDBusMethodInvocation *>(g_object_ref(invocation)), action_id, allowed,
                               ctx};
  uid_cache_lookup(cache, sender, on_caller_uid, call);
}

void list_allowed(gpointer object, GDBusMethodInvocation *invocation, AppCtx *ctx) {
  // Always one element: an unknown System ID goes out as "".
  const gchar *systemid = ctx->systemid_handler->systemid;
  const gchar *system_ids[] = {systemid != NULL ? systemid : "", NULL};
  bt_receive_vemo_beacon_complete_list(BT_RECEIVE_VEMO_BEACON(object), invocation, system_ids);
}

void pause_allowed(gpointer object, GDBusMethodInvocation *invocation, AppCtx *ctx) {
  g_autoptr(GError) error = NULL;
  if (monitor_handler_pause(ctx->monitor_handler, &error))
    bt_receive_vemo_beacon_complete_pause(BT_RECEIVE_VEMO_BEACON(object), invocation);
  else
    return_error(invocation, BT_RECEIVE_DBUS_ERROR_INTERNAL, error != NULL ? error->message : "Unknown error");
}

void resume_allowed(gpointer object, GDBusMethodInvocation *invocation, AppCtx *ctx) {
  g_autoptr(GError) error = NULL;
  if (monitor_handler_resume(ctx->monitor_handler, &error))
    bt_receive_vemo_beacon_complete_resume(BT_RECEIVE_VEMO_BEACON(object), invocation);
  else
    return_error(invocation, BT_RECEIVE_DBUS_ERROR_INTERNAL, error != NULL ? error->message : "Unknown error");
}

void status_allowed(gpointer object, GDBusMethodInvocation *invocation, AppCtx *ctx) {
  bt_receive_vemo_beacon_diagnostics_complete_status(BT_RECEIVE_VEMO_BEACON_DIAGNOSTICS(object), invocation,
                                                     status_to_variant(ctx->monitor_handler, ctx->systemid_handler));
}

gboolean handle_list(btReceiveVemoBeacon *object, GDBusMethodInvocation *invocation, gpointer user_data) {
  auto *ctx = static_cast<AppCtx *>(user_data);
  g_assert(invocation);
  g_assert(object);
  g_assert(ctx);
  g_assert(ctx->systemid_handler);
  authorize(object, invocation, BTRECEIVE_ACTION_LIST, list_allowed, ctx);
  return TRUE;
}

gboolean handle_pause(btReceiveVemoBeacon *object, GDBusMethodInvocation *invocation, gpointer user_data) {
  auto *ctx = static_cast<AppCtx *>(user_data);
  g_assert(ctx);
  authorize(object, invocation, BTRECEIVE_ACTION_PAUSE, pause_allowed, ctx);
  return TRUE;
}

gboolean handle_resume(btReceiveVemoBeacon *object, GDBusMethodInvocation *invocation, gpointer user_data) {
  auto *ctx = static_cast<AppCtx *>(user_data);
  g_assert(ctx);
  authorize(object, invocation, BTRECEIVE_ACTION_RESUME, resume_allowed, ctx);
  return TRUE;
}

gboolean handle_status(btReceiveVemoBeaconDiagnostics *object, GDBusMethodInvocation *invocation,
                       gpointer user_data) {
  auto *ctx = static_cast<AppCtx *>(user_data);
  g_assert(ctx);

  // Whoever may read the System ID may read how its monitoring goes.
  authorize(object, invocation, BTRECEIVE_ACTION_LIST, status_allowed, ctx);
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
  btreceive_dbus_g->uid_cache = uid_cache_new(con);
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

UidCache *uid_cache_new(GDBusConnection *connection) {
  g_return_val_if_fail(G_IS_DBUS_CONNECTION(connection), NULL);
  auto *cache = new _UidCache();
  g_atomic_ref_count_init(&cache->refs);
  cache->connection = static_cast<GDBusConnection *>(g_object_ref(connection));
  cache->cancellable = g_cancellable_new();
  return cache;
}

void uid_cache_lookup(UidCache *cache, const gchar *name, UidCacheFunc func, gpointer user_data) {
  g_return_if_fail(cache != NULL && !cache->closed);
  g_return_if_fail(name != NULL && func != NULL);

  auto found = cache->entries.find(name);
  if (found != cache->entries.end()) {
    if (found->second.known)
      func(found->second.uid, NULL, user_data);
    else
      found->second.waiters.push_back({func, user_data});
    return;
  }

  make_room(cache);
  UidEntry &entry = cache->entries[name];
  entry.waiters.push_back({func, user_data});
  // The subscription's AddMatch goes out before the question, so a change
  // after the answer cannot pass unseen.
  entry.subscription = g_dbus_connection_signal_subscribe(
      cache->connection, "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged", "/org/freedesktop/DBus",
      name, G_DBUS_SIGNAL_FLAGS_NONE, on_owner_changed, uid_cache_ref(cache), uid_cache_unref);
  g_dbus_connection_call(cache->connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "GetConnectionUnixUser", g_variant_new("(s)", name), G_VARIANT_TYPE("(u)"),
                         G_DBUS_CALL_FLAGS_NONE, kUidLookupTimeoutMs, cache->cancellable, on_uid_reply,
                         new UidLookup{uid_cache_ref(cache), name});
}

guint uid_cache_size(UidCache *cache) {
  g_return_val_if_fail(cache != NULL, 0);
  guint known = 0;
  for (const auto &entry : cache->entries)
    known += entry.second.known ? 1 : 0;
  return known;
}

void uid_cache_free(UidCache *cache) {
  if (cache == NULL)
    return;
  cache->closed = true;
  g_cancellable_cancel(cache->cancellable);
  std::vector<UidWaiter> waiters;
  for (auto &entry : cache->entries) {
    if (entry.second.subscription != 0)
      g_dbus_connection_signal_unsubscribe(cache->connection, entry.second.subscription);
    waiters.insert(waiters.end(), entry.second.waiters.begin(), entry.second.waiters.end());
  }
  cache->entries.clear();
  g_autoptr(GError) error =
      g_error_new_literal(G_IO_ERROR, G_IO_ERROR_CANCELLED, "the control service is being withdrawn");
  run_waiters(std::move(waiters), 0, error);
  uid_cache_unref(cache);
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
  // Calls still waiting for their caller's uid are answered with an error.
  g_clear_pointer(&btreceive_dbus_g->uid_cache, uid_cache_free);
  // The object goes before the name; dropping the only reference unexports.
  g_clear_object(&btreceive_dbus_g->diagnostics);
  g_clear_object(&btreceive_dbus_g->skeleton);
  if (btreceive_dbus_g->owner_id != 0) {
    g_bus_unown_name(btreceive_dbus_g->owner_id);
    btreceive_dbus_g->owner_id = 0;
  }
  g_clear_pointer(&btreceive_dbus_g, g_free);
}

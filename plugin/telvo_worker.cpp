/* libtelvo: the instance's worker thread, its steps and the Send call.
 *
 * Steps are always-ready sources attached to the worker's private context; the
 * host's threads never acquire that context, and posting never goes through
 * g_main_context_invoke(), which would run a step inline (blocking on
 * D-Bus) whenever the calling thread could acquire the context. */
#include <algorithm>

#include "telvo_instance.h"

namespace {

constexpr const char kServiceName[] = "com.vemo.bt.SendVemoBeacon";
constexpr const char kServicePath[] = "/com/vemo/bt/SendVemoBeacon";
constexpr const char kServiceInterface[] = "com.vemo.bt.SendVemoBeacon";
constexpr int kSendTimeoutMs = 10000;

/* A posted step: an always-ready source whose callback is the step and
 * whose data is the instance. Its dispatch takes the source out of the
 * pending list under the worker's mutex before the step runs, which also
 * orders everything the posting thread wrote before it for the worker. */
gboolean step_prepare(GSource *, gint *timeout) {
  *timeout = -1;
  return TRUE;
}

gboolean step_dispatch(GSource *source, GSourceFunc step, gpointer data) {
  auto *instance = static_cast<PluginInstance *>(data);
  WorkerCtx *worker = instance->worker_ctx;
  bool listed = false;
  {
    std::lock_guard<std::mutex> lock(worker->pending_mutex);
    auto it = std::find(worker->pending.begin(), worker->pending.end(), source);
    if (it != worker->pending.end()) {
      worker->pending.erase(it);
      listed = true;
    }
  }
  /* From here on removal cannot reach this step: it runs to its end. */
  if (listed)
    g_source_unref(source);
  step(instance);
  return G_SOURCE_REMOVE;
}

GSourceFuncs step_funcs = {step_prepare, nullptr, step_dispatch, nullptr, nullptr, nullptr};

gboolean quit_loop(gpointer data) {
  g_main_loop_quit(static_cast<GMainLoop *>(data));
  return G_SOURCE_REMOVE;
}

gpointer worker_thread_main(gpointer data) {
  auto *instance = static_cast<PluginInstance *>(data);
  WorkerCtx *worker = instance->worker_ctx;
  g_debug("Worker thread starting...");
  g_main_context_push_thread_default(worker->main_context);
  g_main_loop_run(worker->loop);
  g_main_context_pop_thread_default(worker->main_context);
  g_debug("Worker thread terminating...");
  return nullptr;
}

/* Runs on the thread that cancels (the host inside plugin_free), or at once
 * on the worker when it connects to an already cancelled cancellable. */
void on_cancelled(GCancellable *, gpointer data) {
  auto *instance = static_cast<PluginInstance *>(data);
  g_message("Canceled D-Bus operation due to shutdown");
  instance->in_progress.store(FALSE);
}

struct CallWait {
  GVariant *reply = nullptr;
  GError *error = nullptr;
  bool done = false;
};

void on_call_done(GObject *source, GAsyncResult *result, gpointer data) {
  auto *wait = static_cast<CallWait *>(data);
  wait->reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &wait->error);
  wait->done = true;
}

void forward_cancel(GCancellable *, gpointer call_cancellable) {
  g_cancellable_cancel(G_CANCELLABLE(call_cancellable));
}

/* g_dbus_connection_call_sync() without its leak. When a cancellation races
 * with the reply, GDBus attaches a cancellation idle to the call's private
 * context, possibly after the reply has been handed over; call_sync then
 * drops that context undispatched and the idle keeps the call, the context
 * and a connection reference alive for good. Here GDBus gets a cancellable
 * of this call only, cancelled from @cancellable's handler: once that
 * handler is disconnected (which waits for a cancellation in progress on
 * another thread) nothing can attach to the context any more, and it is
 * drained before it is dropped. */
GVariant *call_and_wait(GDBusConnection *connection, const gchar *method, GVariant *parameters,
                        const GVariantType *reply_type, int timeout_ms, GCancellable *cancellable,
                        GError **error) {
  GMainContext *context = g_main_context_new();
  GCancellable *call_cancellable = g_cancellable_new();
  gulong forward = g_cancellable_connect(cancellable, G_CALLBACK(forward_cancel), call_cancellable, nullptr);
  g_main_context_push_thread_default(context);
  CallWait wait;
  g_dbus_connection_call(connection, kServiceName, kServicePath, kServiceInterface, method, parameters,
                         reply_type, G_DBUS_CALL_FLAGS_NONE, timeout_ms, call_cancellable, on_call_done, &wait);
  while (!wait.done)
    g_main_context_iteration(context, TRUE);
  g_cancellable_disconnect(cancellable, forward);
  while (g_main_context_iteration(context, FALSE)) {
  }
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
  g_object_unref(call_cancellable);
  if (wait.error != nullptr)
    g_propagate_error(error, wait.error);
  return wait.reply;
}

gulong connect_cancelled(PluginInstance *instance) {
  return g_cancellable_connect(instance->cancellable, G_CALLBACK(on_cancelled), instance, nullptr);
}

}  // namespace

void worker_start(PluginInstance *instance) {
  auto *worker = new WorkerCtx();
  instance->worker_ctx = worker;
  worker->main_context = g_main_context_new();
  /* Made here rather than by the thread, and quit through a source of its
   * own context, so a plugin_free right after plugin_create cannot lose
   * the quit. */
  worker->loop = g_main_loop_new(worker->main_context, FALSE);
  worker->thread = g_thread_new("main_loop_thread", worker_thread_main, instance);
}

void worker_post(PluginInstance *instance, GSourceFunc step) {
  WorkerCtx *worker = instance->worker_ctx;
  GSource *source = g_source_new(&step_funcs, sizeof(GSource));
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_set_name(source, "telvo step");
  g_source_set_callback(source, step, instance, nullptr);
  /* Attached under the lock: removal must never see a source that is not
   * attached yet. The list keeps the creation reference. */
  std::lock_guard<std::mutex> lock(worker->pending_mutex);
  worker->pending.push_back(source);
  g_source_attach(source, worker->main_context);
}

void worker_remove_pending(PluginInstance *instance) {
  WorkerCtx *worker = instance->worker_ctx;
  std::vector<GSource *> taken;
  {
    std::lock_guard<std::mutex> lock(worker->pending_mutex);
    taken.swap(worker->pending);
  }
  /* Our references keep each source valid even if the worker dispatches it
   * meanwhile; destroying one that already began does not stop it. */
  for (GSource *source : taken) {
    g_source_destroy(source);
    g_source_unref(source);
  }
}

void worker_stop_and_join(PluginInstance *instance) {
  WorkerCtx *worker = instance->worker_ctx;
  GSource *quit = g_idle_source_new();
  g_source_set_priority(quit, G_PRIORITY_HIGH);
  g_source_set_name(quit, "telvo quit");
  g_source_set_callback(quit, quit_loop, worker->loop, nullptr);
  g_source_attach(quit, worker->main_context);
  g_source_unref(quit);
  g_thread_join(worker->thread);
  worker->thread = nullptr;
}

void worker_release(WorkerCtx *worker) {
  for (GSource *source : worker->pending) {
    g_source_destroy(source);
    g_source_unref(source);
  }
  g_main_loop_unref(worker->loop);
  g_main_context_unref(worker->main_context);
  delete worker;
}

gboolean worker_get_connection(gpointer data) {
  auto *instance = static_cast<PluginInstance *>(data);
  g_debug("Performing worker call to get D-Bus connection...");
  if (instance->connection.load() != nullptr)
    return FALSE;

  GError *error = nullptr;
  gulong handler = connect_cancelled(instance);
  GDBusConnection *connection = g_bus_get_sync(G_BUS_TYPE_SYSTEM, instance->cancellable, &error);
  instance->connection.store(connection);
  g_cancellable_disconnect(instance->cancellable, handler);
  if (connection == nullptr) {
    g_warning("Could not get D-Bus connection: %s", error != nullptr ? error->message : "Unknown error");
    g_clear_error(&error);
  }
  return FALSE;
}

gboolean worker_send_beacon(gpointer data) {
  auto *instance = static_cast<PluginInstance *>(data);
  g_debug("Performing D-Bus call to send Bluetooth beacon...");
  instance->in_progress.store(TRUE);

  if (instance->system_id == nullptr) {
    g_message("'Send beacon' was called but system ID is not set");
  } else {
    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&options, "{sv}", "bad_time", g_variant_new_boolean(TRUE));
    /* The fourth member is present but empty (a NULL builder). */
    g_autoptr(GVariant) parameters =
        g_variant_ref_sink(g_variant_new("(y@a{sv}sa{sv})", instance->message_type,
                                         g_variant_builder_end(&options), instance->system_id, nullptr));

    GError *error = nullptr;
    GVariant *reply = nullptr;
    gulong handler = connect_cancelled(instance);
    /* Only this thread releases the connection, so the borrowed pointer
     * stays valid for the call. */
    GDBusConnection *connection = instance->connection.load();
    if (connection != nullptr)
      reply = call_and_wait(connection, "Send", parameters, G_VARIANT_TYPE("()"), kSendTimeoutMs,
                            instance->cancellable, &error);
    g_cancellable_disconnect(instance->cancellable, handler);
    if (reply != nullptr) {
      g_debug("Successfully sent a Bluetooth beacon");
      g_variant_unref(reply);
    } else {
      g_warning("D-Bus call to send beacon failed: %s", error != nullptr ? error->message : "Unknown error");
      g_clear_error(&error);
    }
  }
  instance->in_progress.store(FALSE);
  return FALSE;
}

gboolean worker_drop_connection(gpointer data) {
  auto *instance = static_cast<PluginInstance *>(data);
  GDBusConnection *connection = instance->connection.exchange(nullptr);
  if (connection != nullptr)
    g_object_unref(connection);
  return FALSE;
}

/* Internal records of the beacon-send plug-in: the instance the host holds
 * and the worker that makes its D-Bus calls. Not installed. */
#pragma once

#include <gio/gio.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "action-plugin.h"

#define TELVO_EXPORT __attribute__((visibility("default")))

/* Errors of plugin_create and plugin_validate; code always -1. */
GQuark telvo_plugin_error_quark(void);
#define TELVO_PLUGIN_ERROR (telvo_plugin_error_quark())

struct WorkerCtx {
  GMainLoop *loop = nullptr;          /* made with the context, before the thread runs */
  GMainContext *main_context = nullptr;
  GThread *thread = nullptr;          /* "main_loop_thread" */
  /* Idle sources of posted steps that have not begun, one reference each.
   * A step takes itself out when it begins, so removal never touches a
   * source that GLib may already have freed. */
  std::mutex pending_mutex;
  std::vector<GSource *> pending;
};

struct PluginInstance {
  ActionFeedbackFunc feedback_cb = nullptr;
  gpointer user_data = nullptr;
  gchar *system_id = nullptr;
  gchar *message_type_text = nullptr;
  guint8 message_type = 0;
  /* Written by the worker (and on_cancelled), read by host threads. */
  std::atomic<gboolean> in_progress{FALSE};
  WorkerCtx *worker_ctx = nullptr;
  std::atomic<GDBusConnection *> connection{nullptr};
  GCancellable *cancellable = nullptr;
};

/* Creates the context and loop and starts the thread. */
void worker_start(PluginInstance *instance);
/* Queues @step for the worker; never runs it on the calling thread. */
void worker_post(PluginInstance *instance, GSourceFunc step);
/* Drops every posted step that has not begun; a running one goes on. */
void worker_remove_pending(PluginInstance *instance);
/* Makes the loop quit (even if it has not started yet) and joins the thread. */
void worker_stop_and_join(PluginInstance *instance);
/* Releases loop, context and record; the thread must have ended. */
void worker_release(WorkerCtx *worker);

/* Steps; each takes the instance and returns FALSE. */
gboolean worker_get_connection(gpointer instance);
gboolean worker_send_beacon(gpointer instance);
gboolean worker_drop_connection(gpointer instance);

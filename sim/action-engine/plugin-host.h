/* The plug-in host: loads action plug-ins and drives one instance per rule,
 * each from a thread of its own, so that a slow plug-in holds up neither the
 * bus nor the other rules, and the calls into one instance never overlap. */
#pragma once

#include <glib.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <vector>

#include "action-plugin.h"
#include "rules.h"

namespace ae {

/* The nine exports of a plug-in. */
struct PluginApi {
  ActionPluginCreateFunc create;
  ActionPluginFunc validate;
  ActionPluginFunc initialize;
  ActionPluginFunc start;
  ActionPluginFunc stop;
  ActionPluginFunc abort;
  ActionPluginCheckFunc check_running;
  ActionPluginFunc destroy;
  ActionPluginFunc free;
};

/* What the host hands to plugin_create as setup parameters.  Plug-ins must
 * treat it as opaque; it only promises to be non-NULL and to stay valid for
 * the life of the instance. */
struct HostSetup {
  guint32 size;
  gint32 rule_id;
};

/* Loads @path (RTLD_NOW | RTLD_LOCAL) and resolves the exports.  Libraries
 * stay loaded until the process ends: a plug-in that registered types or
 * started threads cannot be unloaded safely.  Main thread only. */
const PluginApi *load_plugin(const char *path, GError **error);

const char *status_name(gint32 status);

class Instance;

class PluginHost {
 public:
  /* Called on the instance's thread for every status a plug-in reports;
   * @message is NULL without error. */
  using FeedbackFunc = void (*)(gint32 rule_id, gint32 status, const char *message, gpointer data);

  PluginHost(FeedbackFunc feedback, gpointer data);
  ~PluginHost();
  PluginHost(const PluginHost &) = delete;
  PluginHost &operator=(const PluginHost &) = delete;

  /* Loads @rule's plug-in and starts its instance (create, validate,
   * initialize run on the instance's thread).  Replaces nothing: the rule
   * must not have an instance. */
  bool attach(const Rule &rule, GError **error);
  /* Asks the instance of @rule_id to start. */
  bool start(gint32 rule_id, GError **error);
  /* Stops, aborts, destroys and frees the instance of @rule_id, without
   * waiting for it.  No-op when the rule has none. */
  void detach(gint32 rule_id);
  bool has_instance(gint32 rule_id) const;
  /* Tears down every instance, all at once, and waits for their threads;
   * a negative @timeout_ms waits as long as it takes.  False when some
   * instance did not finish in time (a plug-in stuck in an entry point):
   * those are left running, and the caller should end the process rather
   * than let them outlive what their feedback refers to. */
  bool shutdown(gint64 timeout_ms = -1);

 private:
  friend class Instance;
  static gboolean reap_cb(gpointer data);
  void finished(Instance *instance);
  void reap();

  FeedbackFunc feedback_;
  gpointer feedback_data_;
  GMainContext *context_;
  /* Wakes the owning main context when instance threads end. */
  GSource *wake_;
  std::map<gint32, Instance *> live_;
  std::vector<Instance *> retiring_;
  std::mutex finished_mutex_;
  std::condition_variable finished_cond_;
  std::vector<Instance *> finished_;
};

}  // namespace ae

/* The action engine's bus face: rules (List, AddRule, RemoveRule,
 * SetEnabled, Trigger, the Rules property), events that fire rules, and the
 * test controls.  Lives on the main thread; plug-in instances run on the
 * host's threads and only emit signals from there. */
#pragma once

#include <gio/gio.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "plugin-host.h"
#include "rules.h"

namespace ae {

constexpr char kEngineObjectPath[] = "/com/vemo/Event/ActionEngine";
constexpr char kRuleInterface[] = "com.vemo.Event.ActionEngine.ActionRule";
constexpr char kControlInterface[] = "com.vemo.Sim.ActionEngine1";
constexpr char kEventInterface[] = "com.vemo.Event.Producer1";

enum class ListFault { None, Error, Delay, NoReply, Short, BadTypes, EmptyReply };

/* "none", "error", ... ; false for an unknown mode. */
bool list_fault_from_string(const char *mode, ListFault *fault);

class Engine {
 public:
  /* @rules_path may be NULL: no rules until some are added. */
  Engine(GDBusConnection *connection, const char *rules_path);
  ~Engine();
  Engine(const Engine &) = delete;
  Engine &operator=(const Engine &) = delete;

  /* Loads the rules file, exports the object and starts listening to
   * events.  Fails when the rules file cannot be used. */
  bool start(GError **error);
  /* Reads the rules file again; on failure the current rules stay. */
  bool reload(GError **error);
  /* Tears down every plug-in instance and drops pending List calls.  False
   * when an instance did not finish within @teardown_timeout_ms (negative:
   * no limit); then the process must end without destroying the engine. */
  bool stop(gint64 teardown_timeout_ms = -1);

 private:
  struct DelayedReply;

  static void method_call_cb(GDBusConnection *connection, const gchar *sender, const gchar *path,
                             const gchar *interface, const gchar *method, GVariant *parameters,
                             GDBusMethodInvocation *invocation, gpointer data);
  static GVariant *get_property_cb(GDBusConnection *connection, const gchar *sender,
                                   const gchar *path, const gchar *interface, const gchar *property,
                                   GError **error, gpointer data);
  static void event_cb(GDBusConnection *connection, const gchar *sender, const gchar *path,
                       const gchar *interface, const gchar *signal, GVariant *parameters,
                       gpointer data);
  static void feedback_cb(gint32 rule_id, gint32 status, const char *message, gpointer data);
  static gboolean delayed_reply_cb(gpointer data);

  void handle_rule_method(const gchar *method, GVariant *parameters, GDBusMethodInvocation *invocation);
  void handle_control_method(const gchar *method, GVariant *parameters,
                             GDBusMethodInvocation *invocation);
  void handle_list(GDBusMethodInvocation *invocation);
  void reply_raw(GDBusMethodInvocation *invocation, GVariant *body);
  void drop_held_lists();
  void handle_event(GVariant *parameters);

  bool add_rule(Rule rule, GError **error);
  bool remove_rule(gint32 id, GError **error);
  bool set_enabled(gint32 id, bool enabled, GError **error);
  bool fire(const Rule &rule, GError **error);
  void attach(const Rule &rule);
  GVariant *rules_variant() const;
  void emit_changed();
  void emit_control(const char *signal, GVariant *parameters);

  GDBusConnection *connection_;
  std::string rules_path_;
  /* By id: List answers in that order. */
  std::map<gint32, Rule> rules_;
  /* Why a rule's plug-in has no instance, for Trigger's error. */
  std::map<gint32, std::string> load_errors_;
  std::unique_ptr<PluginHost> host_;

  ListFault fault_ = ListFault::None;
  guint fault_delay_ms_ = 0;
  std::vector<GDBusMethodInvocation *> held_lists_;
  std::vector<DelayedReply *> delayed_;

  guint rule_registration_ = 0;
  guint control_registration_ = 0;
  guint event_subscription_ = 0;
};

}  // namespace ae

#include "engine.h"

#include <algorithm>
#include <exception>

namespace ae {

namespace {

constexpr char kListFaultError[] = "com.vemo.Sim.Error.Failed";

const char kIntrospection[] =
    "<node>"
    "  <interface name='com.vemo.Event.ActionEngine.ActionRule'>"
    "    <method name='List'>"
    "      <arg direction='out' name='rules' type='a(isbaysa{ss})'/>"
    "    </method>"
    "    <method name='AddRule'>"
    "      <arg direction='in' name='id' type='i'/>"
    "      <arg direction='in' name='name' type='s'/>"
    "      <arg direction='in' name='enabled' type='b'/>"
    "      <arg direction='in' name='start_event' type='ay'/>"
    "      <arg direction='in' name='sofile' type='s'/>"
    "      <arg direction='in' name='parameters' type='a{ss}'/>"
    "    </method>"
    "    <method name='RemoveRule'>"
    "      <arg direction='in' name='id' type='i'/>"
    "    </method>"
    "    <method name='SetEnabled'>"
    "      <arg direction='in' name='id' type='i'/>"
    "      <arg direction='in' name='enabled' type='b'/>"
    "    </method>"
    "    <method name='Trigger'>"
    "      <arg direction='in' name='id' type='i'/>"
    "    </method>"
    "    <property name='Rules' type='a(isbaysa{ss})' access='read'>"
    "      <annotation name='org.freedesktop.DBus.Property.EmitsChangedSignal' value='invalidates'/>"
    "    </property>"
    "  </interface>"
    "  <interface name='com.vemo.Sim.ActionEngine1'>"
    "    <method name='SetListFault'>"
    "      <arg direction='in' name='mode' type='s'/>"
    "      <arg direction='in' name='delay_ms' type='u'/>"
    "    </method>"
    "    <method name='EmitChanged'/>"
    "    <signal name='ActionFeedback'>"
    "      <arg name='rule_id' type='i'/>"
    "      <arg name='status' type='i'/>"
    "      <arg name='error' type='s'/>"
    "    </signal>"
    "    <signal name='RuleFired'>"
    "      <arg name='rule_id' type='i'/>"
    "    </signal>"
    "  </interface>"
    "</node>";

GDBusNodeInfo *introspection() {
  static GDBusNodeInfo *info = nullptr;
  if (g_once_init_enter(&info)) {
    g_autoptr(GError) error = nullptr;
    GDBusNodeInfo *parsed = g_dbus_node_info_new_for_xml(kIntrospection, &error);
    g_assert_no_error(error);
    g_once_init_leave(&info, parsed);
  }
  return info;
}

const char *dbus_error_name(const GError *error) {
  if (error->domain == AE_ERROR) {
    switch (error->code) {
      case ERROR_INVALID: return "org.freedesktop.DBus.Error.InvalidArgs";
      case ERROR_NOT_FOUND: return "com.vemo.Event.ActionEngine.Error.NoSuchRule";
      case ERROR_EXISTS: return "com.vemo.Event.ActionEngine.Error.RuleExists";
      case ERROR_PLUGIN: return "com.vemo.Event.ActionEngine.Error.NoAction";
      case ERROR_DISABLED: return "com.vemo.Event.ActionEngine.Error.Disabled";
      default: break;
    }
  }
  return "com.vemo.Event.ActionEngine.Error.Failed";
}

void return_error(GDBusMethodInvocation *invocation, const GError *error) {
  g_dbus_method_invocation_return_dbus_error(invocation, dbus_error_name(error), error->message);
}

struct FaultName {
  const char *name;
  ListFault fault;
};
const FaultName kFaults[] = {
    {"none", ListFault::None},     {"error", ListFault::Error},
    {"delay", ListFault::Delay},   {"noreply", ListFault::NoReply},
    {"short", ListFault::Short},   {"badtypes", ListFault::BadTypes},
    {"empty-reply", ListFault::EmptyReply},
};

}  // namespace

bool list_fault_from_string(const char *mode, ListFault *fault) {
  for (const FaultName &f : kFaults) {
    if (g_strcmp0(mode, f.name) == 0) {
      *fault = f.fault;
      return true;
    }
  }
  return false;
}

struct Engine::DelayedReply {
  Engine *engine;
  GDBusMethodInvocation *invocation;
  guint source;
};

Engine::Engine(GDBusConnection *connection, const char *rules_path)
    : connection_(G_DBUS_CONNECTION(g_object_ref(connection))),
      rules_path_(rules_path != nullptr ? rules_path : ""),
      host_(std::make_unique<PluginHost>(&Engine::feedback_cb, this)) {}

Engine::~Engine() {
  stop();
  if (event_subscription_ != 0)
    g_dbus_connection_signal_unsubscribe(connection_, event_subscription_);
  if (rule_registration_ != 0)
    g_dbus_connection_unregister_object(connection_, rule_registration_);
  if (control_registration_ != 0)
    g_dbus_connection_unregister_object(connection_, control_registration_);
  g_object_unref(connection_);
}

bool Engine::start(GError **error) {
  g_return_val_if_fail(rule_registration_ == 0, false);

  if (!rules_path_.empty()) {
    std::vector<Rule> rules;
    if (!load_rules_file(rules_path_.c_str(), &rules, error))
      return false;
    for (Rule &rule : rules)
      rules_.emplace(rule.id, std::move(rule));
  }

  static const GDBusInterfaceVTable vtable = {&Engine::method_call_cb, &Engine::get_property_cb,
                                              nullptr, {nullptr}};
  GDBusNodeInfo *info = introspection();
  rule_registration_ = g_dbus_connection_register_object(
      connection_, kEngineObjectPath, g_dbus_node_info_lookup_interface(info, kRuleInterface),
      &vtable, this, nullptr, error);
  if (rule_registration_ == 0)
    return false;
  control_registration_ = g_dbus_connection_register_object(
      connection_, kEngineObjectPath, g_dbus_node_info_lookup_interface(info, kControlInterface),
      &vtable, this, nullptr, error);
  if (control_registration_ == 0)
    return false;

  event_subscription_ = g_dbus_connection_signal_subscribe(
      connection_, nullptr, kEventInterface, "Event", nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
      &Engine::event_cb, this, nullptr);

  for (const auto &kv : rules_)
    attach(kv.second);
  g_message("%zu rules loaded%s%s", rules_.size(), rules_path_.empty() ? "" : " from ",
            rules_path_.c_str());
  return true;
}

bool Engine::reload(GError **error) {
  if (rules_path_.empty()) {
    g_set_error(error, AE_ERROR, ERROR_FAILED, "no rules file to reload (started without --rules)");
    return false;
  }
  std::vector<Rule> loaded;
  if (!load_rules_file(rules_path_.c_str(), &loaded, error))
    return false;

  std::map<gint32, Rule> next;
  for (Rule &rule : loaded)
    next.emplace(rule.id, std::move(rule));

  /* Instances whose plug-in configuration did not change live on. */
  for (const auto &kv : rules_) {
    auto other = next.find(kv.first);
    if (other == next.end() || !other->second.same_action(kv.second)) {
      host_->detach(kv.first);
      load_errors_.erase(kv.first);
    }
  }
  rules_.swap(next);
  for (const auto &kv : rules_) {
    if (!host_->has_instance(kv.first))
      attach(kv.second);
  }
  g_message("%zu rules reloaded from %s", rules_.size(), rules_path_.c_str());
  emit_changed();
  return true;
}

bool Engine::stop(gint64 teardown_timeout_ms) {
  bool finished = host_->shutdown(teardown_timeout_ms);
  for (DelayedReply *delayed : delayed_) {
    g_source_remove(delayed->source);
    g_object_unref(delayed->invocation);
    delete delayed;
  }
  delayed_.clear();
  drop_held_lists();
  return finished;
}

void Engine::attach(const Rule &rule) {
  if (!rule.has_action())
    return;
  g_autoptr(GError) error = nullptr;
  if (host_->attach(rule, &error)) {
    load_errors_.erase(rule.id);
  } else {
    g_warning("%s", error->message);
    load_errors_[rule.id] = error->message;
  }
}

void Engine::method_call_cb(GDBusConnection *, const gchar *, const gchar *, const gchar *interface,
                            const gchar *method, GVariant *parameters,
                            GDBusMethodInvocation *invocation, gpointer data) {
  auto *self = static_cast<Engine *>(data);
  try {
    if (g_str_equal(interface, kRuleInterface))
      self->handle_rule_method(method, parameters, invocation);
    else
      self->handle_control_method(method, parameters, invocation);
  } catch (const std::exception &e) {
    /* Only allocation can throw here, before a reply went out. */
    g_warning("%s.%s failed: %s", interface, method, e.what());
    g_dbus_method_invocation_return_dbus_error(invocation, "com.vemo.Event.ActionEngine.Error.Failed",
                                               e.what());
  }
}

GVariant *Engine::get_property_cb(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                                  const gchar *property, GError **error, gpointer data) {
  auto *self = static_cast<Engine *>(data);
  if (!g_str_equal(property, "Rules")) {
    g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "no property %s", property);
    return nullptr;
  }
  try {
    return self->rules_variant();
  } catch (const std::exception &e) {
    g_set_error(error, AE_ERROR, ERROR_FAILED, "cannot list the rules: %s", e.what());
    return nullptr;
  }
}

void Engine::handle_rule_method(const gchar *method, GVariant *parameters,
                                GDBusMethodInvocation *invocation) {
  g_autoptr(GError) error = nullptr;
  bool ok = true;
  if (g_str_equal(method, "List")) {
    handle_list(invocation);
    return;
  } else if (g_str_equal(method, "AddRule")) {
    Rule rule;
    gboolean enabled = FALSE;
    const gchar *name = nullptr;
    const gchar *sofile = nullptr;
    g_autoptr(GVariant) start = nullptr;
    g_autoptr(GVariantIter) params = nullptr;
    g_variant_get(parameters, "(i&sb@ay&sa{ss})", &rule.id, &name, &enabled, &start, &sofile, &params);
    rule.name = name;
    rule.enabled = enabled;
    gsize n = 0;
    const void *bytes = g_variant_get_fixed_array(start, &n, 1);
    rule.start_event.assign(static_cast<const char *>(bytes), n);
    rule.sofile = sofile;
    if (rule.has_action())
      rule.plugin = plugin_name_from_sofile(rule.sofile);
    const gchar *key = nullptr;
    const gchar *value = nullptr;
    while (g_variant_iter_next(params, "{&s&s}", &key, &value))
      rule.parameters[key] = value;
    ok = add_rule(std::move(rule), &error);
  } else if (g_str_equal(method, "RemoveRule")) {
    gint32 id = 0;
    g_variant_get(parameters, "(i)", &id);
    ok = remove_rule(id, &error);
  } else if (g_str_equal(method, "SetEnabled")) {
    gint32 id = 0;
    gboolean enabled = FALSE;
    g_variant_get(parameters, "(ib)", &id, &enabled);
    ok = set_enabled(id, enabled, &error);
  } else if (g_str_equal(method, "Trigger")) {
    gint32 id = 0;
    g_variant_get(parameters, "(i)", &id);
    auto found = rules_.find(id);
    if (found == rules_.end()) {
      g_set_error(&error, AE_ERROR, ERROR_NOT_FOUND, "no rule %d", id);
      ok = false;
    } else {
      ok = fire(found->second, &error);
    }
  }
  if (ok)
    g_dbus_method_invocation_return_value(invocation, nullptr);
  else
    return_error(invocation, error);
}

void Engine::handle_control_method(const gchar *method, GVariant *parameters,
                                   GDBusMethodInvocation *invocation) {
  if (g_str_equal(method, "SetListFault")) {
    const gchar *mode = nullptr;
    guint32 delay_ms = 0;
    g_variant_get(parameters, "(&su)", &mode, &delay_ms);
    ListFault fault;
    if (!list_fault_from_string(mode, &fault)) {
      g_dbus_method_invocation_return_dbus_error(
          invocation, "org.freedesktop.DBus.Error.InvalidArgs",
          "unknown List fault mode; use none, error, delay, noreply, short, badtypes or empty-reply");
      return;
    }
    fault_ = fault;
    fault_delay_ms_ = delay_ms;
    /* Calls held by "noreply" stay unanswered, as a hung engine leaves
     * them; their clients have timed out or will. */
    if (fault_ != ListFault::NoReply)
      drop_held_lists();
    g_message("List fault mode %s (delay %u ms)", mode, delay_ms);
    g_dbus_method_invocation_return_value(invocation, nullptr);
  } else if (g_str_equal(method, "EmitChanged")) {
    emit_changed();
    g_dbus_method_invocation_return_value(invocation, nullptr);
  } else {
    g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.UnknownMethod",
                                               method);
  }
}

void Engine::handle_list(GDBusMethodInvocation *invocation) {
  switch (fault_) {
    case ListFault::None:
      g_dbus_method_invocation_return_value(invocation,
                                            g_variant_new("(@a(isbaysa{ss}))", rules_variant()));
      return;
    case ListFault::Error:
      g_dbus_method_invocation_return_dbus_error(invocation, kListFaultError,
                                                 "List failed (test fault mode \"error\")");
      return;
    case ListFault::Delay: {
      auto *delayed = new DelayedReply{this, invocation, 0};
      delayed->source = g_timeout_add(fault_delay_ms_, &Engine::delayed_reply_cb, delayed);
      delayed_.push_back(delayed);
      return;
    }
    case ListFault::NoReply:
      held_lists_.push_back(invocation);
      return;
    case ListFault::Short: {
      /* Each rule cut down to (is); with no rules, one such rule, so that a
       * malformed element really is on the wire. */
      GVariantBuilder builder;
      g_variant_builder_init(&builder, G_VARIANT_TYPE("a(is)"));
      for (const auto &kv : rules_)
        g_variant_builder_add(&builder, "(is)", kv.first, kv.second.name.c_str());
      if (rules_.empty())
        g_variant_builder_add(&builder, "(is)", 0, "short rule");
      reply_raw(invocation, g_variant_new("(a(is))", &builder));
      return;
    }
    case ListFault::BadTypes: {
      /* (sibay): the id as text, enabled as an integer, a boolean where the
       * name belongs, then the start event bytes. */
      GVariantBuilder builder;
      g_variant_builder_init(&builder, G_VARIANT_TYPE("a(sibay)"));
      auto add = [&builder](gint32 id, bool enabled, const std::string &start) {
        g_autofree gchar *text = g_strdup_printf("%d", id);
        g_variant_builder_add(&builder, "(sib@ay)", text, enabled ? 1 : 0, TRUE,
                              g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, start.data(),
                                                        start.size(), 1));
      };
      for (const auto &kv : rules_)
        add(kv.first, kv.second.enabled, kv.second.start_event);
      if (rules_.empty())
        add(0, true, std::string());
      reply_raw(invocation, g_variant_new("(a(sibay))", &builder));
      return;
    }
    case ListFault::EmptyReply:
      reply_raw(invocation, g_variant_new_tuple(nullptr, 0));
      return;
  }
}

/* Sends @body (floating) as the reply whatever the introspection says:
 * g_dbus_method_invocation_return_value() would refuse a body that does not
 * match List's declared out type, and the point is to send one. */
void Engine::reply_raw(GDBusMethodInvocation *invocation, GVariant *body) {
  g_autoptr(GVariant) owned = g_variant_ref_sink(body);
  GDBusMessage *call = g_dbus_method_invocation_get_message(invocation);
  if ((g_dbus_message_get_flags(call) & G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED) == 0) {
    g_autoptr(GDBusMessage) reply = g_dbus_message_new_method_reply(call);
    g_dbus_message_set_body(reply, owned);
    g_autoptr(GError) error = nullptr;
    if (!g_dbus_connection_send_message(connection_, reply, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr,
                                        &error))
      g_warning("cannot send the List reply to %s: %s", g_dbus_message_get_sender(call),
                error->message);
  }
  g_object_unref(invocation);
}

gboolean Engine::delayed_reply_cb(gpointer data) {
  auto *delayed = static_cast<DelayedReply *>(data);
  Engine *self = delayed->engine;
  auto &list = self->delayed_;
  list.erase(std::find(list.begin(), list.end(), delayed));
  try {
    g_dbus_method_invocation_return_value(
        delayed->invocation, g_variant_new("(@a(isbaysa{ss}))", self->rules_variant()));
  } catch (const std::exception &e) {
    g_warning("cannot answer a delayed List: %s", e.what());
    g_object_unref(delayed->invocation);
  }
  delete delayed;
  return G_SOURCE_REMOVE;
}

void Engine::drop_held_lists() {
  for (GDBusMethodInvocation *invocation : held_lists_)
    g_object_unref(invocation);
  held_lists_.clear();
}

bool Engine::add_rule(Rule rule, GError **error) {
  if (rules_.count(rule.id) != 0) {
    g_set_error(error, AE_ERROR, ERROR_EXISTS, "rule %d exists already", rule.id);
    return false;
  }
  gint32 id = rule.id;
  const Rule &added = rules_.emplace(id, std::move(rule)).first->second;
  g_message("rule %d added (\"%s\", %s%s%s)", id, added.name.c_str(),
            added.enabled ? "enabled" : "disabled", added.has_action() ? ", plug-in " : "",
            added.sofile.c_str());
  /* A plug-in that cannot be loaded leaves the rule listed, as at start. */
  attach(added);
  emit_changed();
  return true;
}

bool Engine::remove_rule(gint32 id, GError **error) {
  if (rules_.erase(id) == 0) {
    g_set_error(error, AE_ERROR, ERROR_NOT_FOUND, "no rule %d to remove", id);
    return false;
  }
  host_->detach(id);
  load_errors_.erase(id);
  g_message("rule %d removed", id);
  emit_changed();
  return true;
}

bool Engine::set_enabled(gint32 id, bool enabled, GError **error) {
  auto found = rules_.find(id);
  if (found == rules_.end()) {
    g_set_error(error, AE_ERROR, ERROR_NOT_FOUND, "no rule %d to %s", id,
                enabled ? "enable" : "disable");
    return false;
  }
  if (found->second.enabled == enabled)
    return true;
  found->second.enabled = enabled;
  g_message("rule %d %s", id, enabled ? "enabled" : "disabled");
  emit_changed();
  return true;
}

bool Engine::fire(const Rule &rule, GError **error) {
  if (!rule.enabled) {
    g_set_error(error, AE_ERROR, ERROR_DISABLED, "rule %d is disabled", rule.id);
    return false;
  }
  if (!rule.has_action()) {
    g_set_error(error, AE_ERROR, ERROR_PLUGIN, "rule %d has no plug-in action", rule.id);
    return false;
  }
  auto load_error = load_errors_.find(rule.id);
  if (load_error != load_errors_.end()) {
    g_set_error(error, AE_ERROR, ERROR_PLUGIN, "rule %d has no plug-in instance: %s", rule.id,
                load_error->second.c_str());
    return false;
  }
  if (!host_->has_instance(rule.id)) {
    g_set_error(error, AE_ERROR, ERROR_PLUGIN, "rule %d has no plug-in instance", rule.id);
    return false;
  }
  /* Announced before the start is queued, so RuleFired precedes the
   * instance's STARTED feedback on the bus. */
  g_message("rule %d fired", rule.id);
  emit_control("RuleFired", g_variant_new("(i)", rule.id));
  return host_->start(rule.id, error);
}

void Engine::event_cb(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *,
                      GVariant *parameters, gpointer data) {
  try {
    static_cast<Engine *>(data)->handle_event(parameters);
  } catch (const std::exception &e) {
    g_warning("cannot handle an event: %s", e.what());
  }
}

void Engine::handle_event(GVariant *parameters) {
  if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ssxa{sv})"))) {
    g_debug("ignoring an Event signal of type %s", g_variant_get_type_string(parameters));
    return;
  }
  const gchar *producer = nullptr;
  const gchar *topic = nullptr;
  gint64 time = 0;
  g_autoptr(GVariant) values = nullptr;
  g_variant_get(parameters, "(&s&sx@a{sv})", &producer, &topic, &time, &values);
  const gchar *uuid = nullptr;
  if (!g_variant_lookup(values, "UUID", "&s", &uuid))
    uuid = nullptr;
  g_debug("event from %s: %s, UUID %s", producer, topic, uuid != nullptr ? uuid : "(none)");

  for (const auto &kv : rules_) {
    const Rule &rule = kv.second;
    if (!rule.enabled || !start_event_matches(parse_start_event(rule.start_event), topic, uuid))
      continue;
    if (!rule.has_action()) {
      // A rule without an action still fires: that is all it does.
      g_message("rule %d fired on an event from %s (no plug-in action)", rule.id, producer);
      emit_control("RuleFired", g_variant_new("(i)", rule.id));
      continue;
    }
    g_autoptr(GError) error = nullptr;
    if (!fire(rule, &error))
      g_message("event from %s matches rule %d: %s", producer, rule.id, error->message);
  }
}

void Engine::feedback_cb(gint32 rule_id, gint32 status, const char *message, gpointer data) {
  static_cast<Engine *>(data)->emit_control(
      "ActionFeedback", g_variant_new("(iis)", rule_id, status, message != nullptr ? message : ""));
}

GVariant *Engine::rules_variant() const {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a(isbaysa{ss})"));
  for (const auto &kv : rules_)
    g_variant_builder_add_value(&builder, rule_to_variant(kv.second));
  return g_variant_builder_end(&builder);
}

void Engine::emit_changed() {
  const gchar *invalidated[] = {"Rules", nullptr};
  g_autoptr(GError) error = nullptr;
  if (!g_dbus_connection_emit_signal(
          connection_, nullptr, kEngineObjectPath, "org.freedesktop.DBus.Properties",
          "PropertiesChanged",
          g_variant_new("(s@a{sv}^as)", kRuleInterface, g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0),
                        invalidated),
          &error))
    g_warning("cannot emit PropertiesChanged: %s", error->message);
}

/* Thread-safe: plug-in feedback arrives on the host's threads. */
void Engine::emit_control(const char *signal, GVariant *parameters) {
  g_autoptr(GError) error = nullptr;
  if (!g_dbus_connection_emit_signal(connection_, nullptr, kEngineObjectPath, kControlInterface,
                                     signal, parameters, &error))
    g_warning("cannot emit %s: %s", signal, error->message);
}

}  // namespace ae

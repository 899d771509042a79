/* Rules of the action engine: what a rules file holds, how a rule's start
 * event is matched against events, and how rules appear on the bus. */
#pragma once

#include <glib.h>

#include <map>
#include <string>
#include <vector>

namespace ae {

#define AE_ERROR (ae::error_quark())
GQuark error_quark();

enum Error {
  ERROR_FAILED,      /* generic failure (file unreadable, ...) */
  ERROR_INVALID,     /* malformed rule or argument */
  ERROR_NOT_FOUND,   /* no rule with that id */
  ERROR_EXISTS,      /* a rule with that id exists already */
  ERROR_PLUGIN,      /* plug-in could not be loaded or has no instance */
  ERROR_DISABLED,    /* the rule is disabled */
};

struct Rule {
  gint32 id = 0;
  std::string name;
  bool enabled = true;
  /* Raw bytes, as the engine hands them out (no terminating zero). */
  std::string start_event;
  /* Empty when the rule has no plug-in action. */
  std::string sofile;
  /* Plug-in name put into the action's XML; derived from sofile when the
   * rules file does not give one. */
  std::string plugin;
  /* Action parameters, keys without the "param_" prefix of the file. */
  std::map<std::string, std::string> parameters;

  bool has_action() const { return !sofile.empty(); }
  /* The action's configuration node as XML text ("" without action). */
  std::string action_xml() const;
  /* Same plug-in configuration (the instance can be kept on a reload). */
  bool same_action(const Rule &other) const;
};

/* "libtelvo.so.1" -> "telvo". */
std::string plugin_name_from_sofile(const std::string &sofile);

/* The topic and System ID a start event names.  The topic is the text after
 * "topic=" up to ';'; the System ID starts 11 bytes after the marker "UUID"
 * ("UUID,value=") and ends at ';' or the end of the bytes. */
struct StartEvent {
  std::string topic;
  std::string system_id;
  bool valid() const { return !topic.empty() && !system_id.empty(); }
};
StartEvent parse_start_event(const std::string &bytes);

/* Whether an event with @topic and @uuid (NULL when the event carries no
 * "UUID" string) fires @rule's start event.  System IDs compare without
 * regard to the case of their hexadecimal digits. */
bool start_event_matches(const StartEvent &event, const char *topic, const char *uuid);

/* Reads a rules file: groups "rule N" with keys name, enabled, start_event,
 * sofile, plugin and param_*.  Fails naming the file and the group on any
 * malformed rule: a half-read rules file must not replace working rules. */
bool load_rules_file(const char *path, std::vector<Rule> *rules, GError **error);

/* One rule as the List method carries it: (isbaysa{ss}). Floating. */
GVariant *rule_to_variant(const Rule &rule);

}  // namespace ae

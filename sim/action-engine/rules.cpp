#include "rules.h"

#include <cstring>
#include <set>

namespace ae {

G_DEFINE_QUARK(action-engine-sim-error-quark, error)

namespace {

constexpr char kParamPrefix[] = "param_";
constexpr size_t kParamPrefixLen = sizeof kParamPrefix - 1;
constexpr char kUuidMarker[] = "UUID";
/* "UUID,value=" */
constexpr size_t kSystemIdOffset = 11;

std::string escape(const std::string &text) {
  g_autofree gchar *escaped = g_markup_escape_text(text.c_str(), static_cast<gssize>(text.size()));
  return escaped;
}

bool parse_group_id(const char *group, gint32 *id) {
  if (!g_str_has_prefix(group, "rule "))
    return false;
  gint64 value = 0;
  if (!g_ascii_string_to_signed(group + 5, 10, G_MININT32, G_MAXINT32, &value, nullptr))
    return false;
  *id = static_cast<gint32>(value);
  return true;
}

bool load_rule(GKeyFile *file, const char *path, const char *group, Rule *rule, GError **error) {
  if (!parse_group_id(group, &rule->id)) {
    g_set_error(error, AE_ERROR, ERROR_INVALID,
                "%s: group [%s] is not of the form [rule N] with N a 32-bit integer", path, group);
    return false;
  }

  gsize n_keys = 0;
  g_auto(GStrv) keys = g_key_file_get_keys(file, group, &n_keys, nullptr);
  for (gsize i = 0; i < n_keys; i++) {
    const char *key = keys[i];
    g_autoptr(GError) local = nullptr;
    if (g_str_equal(key, "enabled")) {
      rule->enabled = g_key_file_get_boolean(file, group, key, &local);
    } else {
      g_autofree gchar *value = g_key_file_get_string(file, group, key, &local);
      if (value == nullptr) {
      } else if (g_str_equal(key, "name")) {
        rule->name = value;
      } else if (g_str_equal(key, "start_event")) {
        rule->start_event = value;
      } else if (g_str_equal(key, "sofile")) {
        rule->sofile = value;
      } else if (g_str_equal(key, "plugin")) {
        rule->plugin = value;
      } else if (g_str_has_prefix(key, kParamPrefix) && key[kParamPrefixLen] != '\0') {
        rule->parameters[key + kParamPrefixLen] = value;
      } else {
        g_set_error(error, AE_ERROR, ERROR_INVALID, "%s: [%s]: unknown key \"%s\"", path, group, key);
        return false;
      }
    }
    if (local != nullptr) {
      g_set_error(error, AE_ERROR, ERROR_INVALID, "%s: [%s]: key \"%s\": %s", path, group, key,
                  local->message);
      return false;
    }
  }
  if (rule->plugin.empty() && rule->has_action())
    rule->plugin = plugin_name_from_sofile(rule->sofile);
  if (!rule->plugin.empty() && !rule->has_action()) {
    g_set_error(error, AE_ERROR, ERROR_INVALID, "%s: [%s]: \"plugin\" given without \"sofile\"", path,
                group);
    return false;
  }
  return true;
}

}  // namespace

std::string Rule::action_xml() const {
  if (!has_action())
    return std::string();
  return "<action><plugin>" + escape(plugin) + "</plugin><sofile>" + escape(sofile) +
         "</sofile></action>";
}

bool Rule::same_action(const Rule &other) const {
  return sofile == other.sofile && plugin == other.plugin && parameters == other.parameters;
}

std::string plugin_name_from_sofile(const std::string &sofile) {
  g_autofree gchar *base = g_path_get_basename(sofile.c_str());
  std::string name = base;
  if (name.compare(0, 3, "lib") == 0 && name.size() > 3)
    name.erase(0, 3);
  size_t dot = name.find('.');
  if (dot != std::string::npos && dot > 0)
    name.erase(dot);
  return name;
}

StartEvent parse_start_event(const std::string &bytes) {
  StartEvent event;
  size_t topic = bytes.find("topic=");
  if (topic != std::string::npos) {
    topic += 6;
    size_t end = bytes.find(';', topic);
    event.topic = bytes.substr(topic, end == std::string::npos ? std::string::npos : end - topic);
  }
  size_t marker = bytes.find(kUuidMarker);
  if (marker != std::string::npos && marker + kSystemIdOffset < bytes.size()) {
    size_t start = marker + kSystemIdOffset;
    size_t end = bytes.find(';', start);
    event.system_id = bytes.substr(start, end == std::string::npos ? std::string::npos : end - start);
  }
  return event;
}

bool start_event_matches(const StartEvent &event, const char *topic, const char *uuid) {
  if (!event.valid() || topic == nullptr || uuid == nullptr)
    return false;
  return event.topic == topic && g_ascii_strcasecmp(event.system_id.c_str(), uuid) == 0;
}

bool load_rules_file(const char *path, std::vector<Rule> *rules, GError **error) {
  g_return_val_if_fail(path != nullptr, false);
  g_return_val_if_fail(rules != nullptr, false);
  g_return_val_if_fail(error == nullptr || *error == nullptr, false);

  g_autoptr(GKeyFile) file = g_key_file_new();
  g_autoptr(GError) local = nullptr;
  if (!g_key_file_load_from_file(file, path, G_KEY_FILE_NONE, &local)) {
    g_set_error(error, AE_ERROR, ERROR_FAILED, "cannot read rules file %s: %s", path, local->message);
    return false;
  }

  std::vector<Rule> loaded;
  std::set<gint32> ids;
  g_auto(GStrv) groups = g_key_file_get_groups(file, nullptr);
  for (gchar **group = groups; *group != nullptr; group++) {
    Rule rule;
    if (!load_rule(file, path, *group, &rule, error))
      return false;
    if (!ids.insert(rule.id).second) {
      g_set_error(error, AE_ERROR, ERROR_INVALID, "%s: rule %d is defined twice", path, rule.id);
      return false;
    }
    loaded.push_back(std::move(rule));
  }
  *rules = std::move(loaded);
  return true;
}

GVariant *rule_to_variant(const Rule &rule) {
  GVariantBuilder params;
  g_variant_builder_init(&params, G_VARIANT_TYPE("a{ss}"));
  for (const auto &kv : rule.parameters)
    g_variant_builder_add(&params, "{ss}", kv.first.c_str(), kv.second.c_str());
  GVariant *start = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, rule.start_event.data(),
                                              rule.start_event.size(), 1);
  std::string xml = rule.action_xml();
  return g_variant_new("(isb@ays@a{ss})", rule.id, rule.name.c_str(), rule.enabled, start, xml.c_str(),
                       g_variant_builder_end(&params));
}

}  // namespace ae

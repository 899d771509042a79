/* An arbitrary action configuration and parameter table through the
 * plug-in's create, validate and free, as the action engine's host would
 * drive them.
 *
 * Input (text): parameter lines "key=value" (a line without '=' is a key
 * with an empty value; a later line replaces an earlier one of the same
 * key), an empty line, then the XML configuration up to the end. Without an
 * empty line the whole input is the configuration and the table is empty. */
#include <cstring>
#include <mutex>
#include <string>

#include "action-plugin.h"
#include "fuzz-support.h"
#include "xtag.h"

namespace {

/* What the plug-in reported through its feedback callback. */
struct Feedback {
  std::mutex mutex;
  int count = 0;
  gint32 last_status = -1;
  bool last_had_error = false;
};

void on_feedback(gpointer user_data, gint32 status, GError *error) {
  auto *feedback = static_cast<Feedback *>(user_data);
  {
    std::lock_guard<std::mutex> lock(feedback->mutex);
    feedback->count++;
    feedback->last_status = status;
    feedback->last_had_error = error != nullptr;
  }
  // The error is handed over to us.
  if (error != nullptr)
    g_error_free(error);
}

GHashTable *parse_parameters(std::string_view header) {
  GHashTable *table = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
  fz::Reader lines(reinterpret_cast<const uint8_t *>(header.data()), header.size());
  while (lines.remaining() > 0) {
    const std::string_view line = lines.until('\n');
    const size_t eq = line.find('=');
    const std::string_view key = line.substr(0, eq);
    const std::string_view value = eq == std::string_view::npos ? std::string_view() : line.substr(eq + 1);
    g_hash_table_insert(table, g_strndup(key.data(), key.size()), g_strndup(value.data(), value.size()));
  }
  return table;
}

/* The configuration must hold <plugin> and <sofile> and nothing else. */
bool config_acceptable(XtagNode *config) {
  GList *tags = xtag_get_all_tags(config);
  const guint n_tags = g_list_length(tags);
  g_list_free(tags);
  return n_tags == 2 && xtag_find_tag(config, "plugin") != nullptr && xtag_find_tag(config, "sofile") != nullptr;
}

/* The readers of the tree agree with each other on every direct child. */
void check_tree(XtagNode *config) {
  FZ_CHECK(xtag_get_name(config) != nullptr && xtag_get_name(config)[0] != '\0', "parsed element without a name");
  FZ_CHECK(xtag_get_text(config) != nullptr, "element <%s> without text", xtag_get_name(config));
  GList *tags = xtag_get_all_tags(config);
  for (GList *l = tags; l != nullptr; l = l->next) {
    auto *child = static_cast<XtagNode *>(l->data);
    const gchar *name = xtag_get_name(child);
    FZ_CHECK(name != nullptr && name[0] != '\0', "child of <%s> without a name", xtag_get_name(config));
    XtagNode *first = xtag_find_tag(config, name);
    FZ_CHECK(first != nullptr && strcmp(xtag_get_name(first), name) == 0,
             "<%s> is a child of <%s> that xtag_find_tag does not find", name, xtag_get_name(config));
    FZ_CHECK(g_list_index(tags, first) <= g_list_position(tags, l), "xtag_find_tag(<%s>) is not the first one",
             name);
  }
  g_list_free(tags);
}

/* The plug-in reads a message type as strtoll does: leading blanks, an
 * optional sign, the digits that follow (none reads as 0); what comes after
 * them is not looked at. Its value must lie in 0-255 without overflow. */
bool message_type_acceptable(const gchar *text) {
  while (g_ascii_isspace(*text))
    text++;
  const bool negative = *text == '-';
  if (*text == '+' || *text == '-')
    text++;
  guint64 value = 0;
  for (; g_ascii_isdigit(*text); text++) {
    value = value * 10 + static_cast<guint64>(*text - '0');
    if (value > G_MAXUINT8)
      return false;
  }
  return !(negative && value != 0);
}

int setup_parameters_storage;

/* Creates an instance; checks the result against the inputs. */
gpointer create(XtagNode *config, GHashTable *parameters, Feedback *feedback, bool want_error) {
  g_autoptr(GError) error = nullptr;
  gpointer instance = plugin_create(config, parameters, &setup_parameters_storage, nullptr, nullptr, on_feedback,
                                    feedback, want_error ? &error : nullptr);
  if (instance == nullptr) {
    if (want_error)
      FZ_CHECK(error != nullptr && error->message[0] != '\0', "plugin_create returned NULL without an error");
    return nullptr;
  }
  FZ_CHECK(error == nullptr, "plugin_create returned an instance and an error: %s", error->message);
  FZ_CHECK(config_acceptable(config), "instance created from <%s> without exactly <plugin> and <sofile>",
           xtag_get_name(config));
  FZ_CHECK(g_hash_table_contains(parameters, "message_type") && g_hash_table_contains(parameters, "system_id"),
           "instance created without message_type or system_id");
  const auto *message_type = static_cast<const gchar *>(g_hash_table_lookup(parameters, "message_type"));
  FZ_CHECK(message_type_acceptable(message_type), "instance created with message type '%s', not a number 0-255",
           message_type);
  return instance;
}

void check_instance(gpointer instance, GHashTable *parameters, Feedback *feedback) {
  const int before = feedback->count;
  plugin_validate(instance);
  const auto *system_id = static_cast<const gchar *>(g_hash_table_lookup(parameters, "system_id"));
  std::lock_guard<std::mutex> lock(feedback->mutex);
  FZ_CHECK(feedback->count == before + 1, "plugin_validate reported %d times", feedback->count - before);
  FZ_CHECK(feedback->last_status == ACTION_STATUS_VALIDATED, "plugin_validate reported status %d",
           feedback->last_status);
  // Validation fails exactly for a System ID that is not UUID text.
  FZ_CHECK(feedback->last_had_error == !g_uuid_string_is_valid(system_id),
           "plugin_validate with System ID '%s' reported %s", system_id,
           feedback->last_had_error ? "an error" : "success");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fz::setup();
  const std::string_view text(reinterpret_cast<const char *>(data), size);
  const size_t separator = text.find("\n\n");
  const std::string_view header = separator == std::string_view::npos ? std::string_view() : text.substr(0, separator);
  const std::string_view xml = separator == std::string_view::npos ? text : text.substr(separator + 2);

  g_autoptr(GError) parse_error = nullptr;
  // xtag_parse wants a non-NULL text even when it is empty.
  g_autoptr(XtagNode) config = xtag_parse(xml.data() != nullptr ? xml.data() : "",
                                          static_cast<gssize>(xml.size()), &parse_error);
  if (config == nullptr) {
    FZ_CHECK(parse_error != nullptr && parse_error->domain == XTAG_ERROR && parse_error->message[0] != '\0',
             "xtag_parse returned NULL without an error of its domain");
    return 0;
  }
  FZ_CHECK(parse_error == nullptr, "xtag_parse returned a tree and an error: %s", parse_error->message);
  check_tree(config);

  g_autoptr(GHashTable) parameters = parse_parameters(header);
  Feedback feedback;
  gpointer instance = create(config, parameters, &feedback, true);
  gpointer quiet = create(config, parameters, &feedback, false);
  FZ_CHECK((instance != nullptr) == (quiet != nullptr),
           "plugin_create's result depends on whether the caller asks for the error");
  if (quiet != nullptr)
    plugin_free(quiet);
  if (instance != nullptr) {
    check_instance(instance, parameters, &feedback);
    plugin_free(instance);
  }
  return 0;
}

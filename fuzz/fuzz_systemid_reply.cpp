/* Arbitrary bytes as the List reply of the action-rule engine, deserialised
 * without trust as a bus message body would be, through the System ID
 * choice.
 *
 * Input: byte 0 picks the type. Even: the engine's reply type, and the rest
 * is the serialised value. Odd: a type string up to the next NUL byte, then
 * the serialised value; inputs whose type is not one complete definite type
 * (or is very long) are skipped. */
#include <cstring>
#include <string>

#include "fuzz-support.h"
#include "systemid_handler.h"

namespace {

constexpr char kReplyType[] = "(a(isbaysa{ss}))";
constexpr gsize kIdLength = 36;
constexpr gsize kMarkerToId = 11;
/* Longer type strings only nest deeper; GLib's own depth limits, not our
 * code, are what they would exercise. */
constexpr size_t kMaxTypeString = 256;

struct Outcome {
  bool ok = false;
  bool has_id = false;
  std::string id;
};

/* One call, checked against the function's contract. */
Outcome choose(GVariant *reply, bool want_error) {
  const gchar *type = g_variant_get_type_string(reply);
  gchar *raw_id = nullptr;
  g_autoptr(GError) error = nullptr;
  const gboolean ok = systemid_handler_choose_from_reply(reply, &raw_id, want_error ? &error : nullptr);
  g_autofree gchar *id = raw_id;

  Outcome out;
  out.ok = ok;
  if (ok) {
    FZ_CHECK(error == nullptr, "reply of type %s: TRUE with an error: %s", type, error->message);
    if (id != nullptr) {
      FZ_CHECK(strlen(id) == kIdLength && g_uuid_string_is_valid(id),
               "reply of type %s: TRUE with System ID '%s', which is not UUID text", type, id);
      out.has_id = true;
      out.id = id;
    }
  } else {
    FZ_CHECK(id == nullptr, "reply of type %s: FALSE but System ID '%s'", type, id);
    if (want_error)
      FZ_CHECK(error != nullptr && error->message != nullptr && error->message[0] != '\0',
               "reply of type %s: FALSE without an error message", type);
  }
  return out;
}

/* Whether @id sits kMarkerToId bytes after a "UUID" marker in the start event
 * of an enabled rule with a positive id: where any chosen System ID must
 * come from. Only for replies of the engine's type. */
bool carried_by_enabled_rule(GVariant *reply, const std::string &id) {
  g_autoptr(GVariant) rules = g_variant_get_child_value(reply, 0);
  const gsize n_rules = g_variant_n_children(rules);
  for (gsize i = 0; i < n_rules; i++) {
    g_autoptr(GVariant) rule = g_variant_get_child_value(rules, i);
    gint32 rule_id = 0;
    gboolean enabled = FALSE;
    g_variant_get_child(rule, 0, "i", &rule_id);
    g_variant_get_child(rule, 2, "b", &enabled);
    if (!enabled || rule_id < 1)
      continue;
    g_autoptr(GVariant) event = g_variant_get_child_value(rule, 3);
    gsize length = 0;
    const auto *bytes = static_cast<const char *>(g_variant_get_fixed_array(event, &length, 1));
    const std::string_view text(bytes != nullptr ? bytes : "", length);
    for (size_t at = text.find("UUID"); at != std::string_view::npos; at = text.find("UUID", at + 1)) {
      // The ID must match case-insensitively: the engine may write either case.
      const std::string_view candidate = text.substr(MIN(at + kMarkerToId, text.size()), kIdLength);
      if (candidate.size() == kIdLength && g_ascii_strncasecmp(candidate.data(), id.c_str(), kIdLength) == 0)
        return true;
    }
  }
  return false;
}

void check(GVariant *reply, bool engine_type) {
  const Outcome with_error = choose(reply, true);
  const Outcome without_error = choose(reply, false);
  const gchar *type = g_variant_get_type_string(reply);
  FZ_CHECK(with_error.ok == without_error.ok && with_error.id == without_error.id,
           "reply of type %s: the result depends on whether the caller asks for the error", type);

  // GDBus hands over values in normal form; an untrusted serialisation must
  // give the same answer as its normal form.
  g_autoptr(GVariant) normal = g_variant_get_normal_form(reply);
  const Outcome normalised = choose(normal, true);
  FZ_CHECK(with_error.ok == normalised.ok && with_error.id == normalised.id,
           "reply of type %s: result differs from that of the same value in normal form", type);

  if (engine_type) {
    // Every rule of this type has every member with the right type, so the
    // reading cannot fail.
    FZ_CHECK(with_error.ok, "a reply of the engine's own type %s was refused", kReplyType);
    if (with_error.has_id)
      FZ_CHECK(carried_by_enabled_rule(reply, with_error.id),
               "System ID %s chosen, but no enabled rule with a positive id carries it", with_error.id.c_str());
  }
}

/* A D-Bus message nests at most 32 arrays and 32 structures (dict entries
 * count as structures) and has no maybe type: the bus refuses other bodies
 * before they reach us, and GLib does not expect to meet deeper ones. Walks
 * one complete type of a valid type string from @pos. */
bool fits_dbus(const std::string &type, size_t &pos, int arrays, int structs) {
  if (pos >= type.size())
    return false;
  const char c = type[pos++];
  if (c == 'm')
    return false;
  if (c == 'a')
    return arrays < 32 && fits_dbus(type, pos, arrays + 1, structs);
  if (c == '(' || c == '{') {
    if (structs >= 32)
      return false;
    const char close = c == '(' ? ')' : '}';
    while (pos < type.size() && type[pos] != close)
      if (!fits_dbus(type, pos, arrays, structs + 1))
        return false;
    pos++;
  }
  return true;
}

bool carried_by_dbus(const std::string &type) {
  size_t pos = 0;
  return fits_dbus(type, pos, 0, 0) && pos == type.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fz::setup();
  fz::Reader input(data, size);
  const bool engine_type = (input.byte() & 1) == 0;
  std::string type_string = kReplyType;
  if (!engine_type) {
    bool found = false;
    type_string = std::string(input.until('\0', &found));
    if (!found || type_string.size() > kMaxTypeString || !g_variant_type_string_is_valid(type_string.c_str()) ||
        !g_variant_type_is_definite(G_VARIANT_TYPE(type_string.c_str())) || !carried_by_dbus(type_string))
      return 0;
  }
  size_t length = 0;
  const uint8_t *body = input.rest(&length);
  g_autoptr(GBytes) bytes = g_bytes_new(body, length);
  g_autoptr(GVariant) reply =
      g_variant_ref_sink(g_variant_new_from_bytes(G_VARIANT_TYPE(type_string.c_str()), bytes, FALSE));
  check(reply, type_string == kReplyType);
  return 0;
}

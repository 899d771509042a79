/* Or-pattern arrays for advwatch_monitor_init(). */
#include "advwatch-private.h"
#include "advwatch.h"

namespace {

int hex_value(gchar c) {
  return g_ascii_xdigit_value(c);
}

/* @text is a valid UUID text (checked by the caller). */
void parse_uuid(const gchar *text, guint8 out[16]) {
  size_t n = 0;
  for (const gchar *p = text; *p != '\0' && n < 16; p++) {
    if (*p == '-')
      continue;
    out[n++] = static_cast<guint8>(hex_value(p[0]) << 4 | hex_value(p[1]));
    p++;
  }
}

}  // namespace

ADVWATCH_PUBLIC GPtrArray *advwatch_patterns_new(void) {
  return g_ptr_array_new_with_free_func(g_free);
}

ADVWATCH_PUBLIC gboolean advwatch_pattern_add(GPtrArray *patterns, gint kind, const gchar *value,
                                              GError **error) {
  g_return_val_if_fail(patterns != NULL, FALSE);
  g_return_val_if_fail(error == NULL || *error == NULL, FALSE);

  if (kind != ADVWATCH_PATTERN_SYSTEM_ID) {
    g_set_error(error, ADVWATCH_ERROR, ADVWATCH_ERROR_INVALID_ARGUMENT,
                "Unknown or-pattern kind %d (supported: %d, System ID)", kind, ADVWATCH_PATTERN_SYSTEM_ID);
    return FALSE;
  }
  if (value == NULL || !g_uuid_string_is_valid(value)) {
    g_autofree gchar *shown = value != NULL ? g_strescape(value, NULL) : g_strdup("(none)");
    g_set_error(error, ADVWATCH_ERROR, ADVWATCH_ERROR_INVALID_ARGUMENT,
                "Invalid value \"%s\" for or-pattern kind %d (System ID): expected a UUID text such as "
                "123e4567-e89b-12d3-a456-426614174000",
                shown, kind);
    return FALSE;
  }

  AdvwatchPattern *pattern = g_new0(AdvwatchPattern, 1);
  pattern->kind = kind;
  parse_uuid(value, pattern->system_id);
  for (size_t i = 0; i < sizeof pattern->text - 1 && value[i] != '\0'; i++)
    pattern->text[i] = g_ascii_tolower(value[i]);
  g_ptr_array_add(patterns, pattern);
  return TRUE;
}

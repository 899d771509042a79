#include "evpub-value.h"

#include <errno.h>

#include <cmath>
#include <cstring>

#pragma GCC visibility push(default)
#include "evpub.h"
#pragma GCC visibility pop

namespace evpub {

bool type_is_known(gint type) {
  return type == EVPUB_TYPE_INT32 || type == EVPUB_TYPE_BOOLEAN || type == EVPUB_TYPE_DOUBLE ||
         type == EVPUB_TYPE_STRING;
}

const char *type_name(gint type) {
  switch (type) {
    case EVPUB_TYPE_INT32:
      return "int32";
    case EVPUB_TYPE_BOOLEAN:
      return "boolean";
    case EVPUB_TYPE_DOUBLE:
      return "double";
    case EVPUB_TYPE_STRING:
      return "string";
    default:
      return "unknown";
  }
}

namespace {

bool starts_or_ends_with_space(const char *text) {
  size_t length = strlen(text);
  return length > 0 && (g_ascii_isspace(text[0]) || g_ascii_isspace(text[length - 1]));
}

VariantPtr sunk(GVariant *value) { return VariantPtr(g_variant_ref_sink(value)); }

}  // namespace

VariantPtr value_from_text(gint type, const char *text, GError **error) {
  g_return_val_if_fail(text != nullptr, nullptr);
  g_return_val_if_fail(error == nullptr || *error == nullptr, nullptr);

  auto invalid = [&](const char *why) {
    g_autofree gchar *shown = g_utf8_validate(text, -1, nullptr) ? g_strdup(text)
                                                                 : g_utf8_make_valid(text, -1);
    g_set_error(error, EVPUB_ERROR, EVPUB_ERROR_INVALID, "'%s' is not a valid %s%s%s", shown,
                type_name(type), *why != '\0' ? ": " : "", why);
    return VariantPtr();
  };

  switch (type) {
    case EVPUB_TYPE_INT32: {
      gint64 number = 0;
      if (starts_or_ends_with_space(text) ||
          !g_ascii_string_to_signed(text, 10, G_MININT32, G_MAXINT32, &number, nullptr))
        return invalid("expected a decimal number from -2147483648 to 2147483647");
      return sunk(g_variant_new_int32(static_cast<gint32>(number)));
    }
    case EVPUB_TYPE_BOOLEAN:
      if (g_ascii_strcasecmp(text, "true") == 0 || strcmp(text, "1") == 0)
        return sunk(g_variant_new_boolean(TRUE));
      if (g_ascii_strcasecmp(text, "false") == 0 || strcmp(text, "0") == 0)
        return sunk(g_variant_new_boolean(FALSE));
      return invalid("expected true, false, 1 or 0");
    case EVPUB_TYPE_DOUBLE: {
      if (*text == '\0' || starts_or_ends_with_space(text))
        return invalid("");
      gchar *end = nullptr;
      errno = 0;
      double number = g_ascii_strtod(text, &end);
      if (end == nullptr || *end != '\0' || errno == ERANGE || !std::isfinite(number))
        return invalid("expected a finite number in the C locale");
      return sunk(g_variant_new_double(number));
    }
    case EVPUB_TYPE_STRING:
      if (!g_utf8_validate(text, -1, nullptr))
        return invalid("not UTF-8");
      return sunk(g_variant_new_string(text));
    default:
      g_set_error(error, EVPUB_ERROR, EVPUB_ERROR_INVALID, "unknown type code %d", type);
      return VariantPtr();
  }
}

std::string value_to_text(GVariant *value) {
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING))
    return g_variant_get_string(value, nullptr);
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_INT32))
    return std::to_string(g_variant_get_int32(value));
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN))
    return g_variant_get_boolean(value) ? "true" : "false";
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_DOUBLE)) {
    gchar buffer[G_ASCII_DTOSTR_BUF_SIZE];
    return g_ascii_dtostr(buffer, sizeof buffer, g_variant_get_double(value));
  }
  g_autofree gchar *printed = g_variant_print(value, FALSE);
  return printed;
}

}  // namespace evpub

/* Internal to libevpub: typed values given as text. */
#pragma once

#include <glib.h>

#include <memory>
#include <string>

namespace evpub {

struct VariantUnref {
  void operator()(GVariant *value) const { g_variant_unref(value); }
};
/* Owns one (non-floating) reference. */
using VariantPtr = std::unique_ptr<GVariant, VariantUnref>;

bool type_is_known(gint type);
/* "int32", "boolean", "double", "string", or "unknown". */
const char *type_name(gint type);

/* @text as a value of @type: int32 in decimal, boolean as true/false/1/0,
 * double in the C locale (finite only), string as valid UTF-8. Nothing
 * else is accepted, not even surrounding white space. nullptr with
 * EVPUB_ERROR_INVALID when @text does not convert. */
VariantPtr value_from_text(gint type, const char *text, GError **error);

/* The text form of a converted value, as topics show it. */
std::string value_to_text(GVariant *value);

}  // namespace evpub

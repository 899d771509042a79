#include "common.h"

#include <algorithm>

namespace bzsim {

GVariant *string_array(const std::vector<std::string> &items) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE_STRING_ARRAY);
  for (const auto &item : items)
    g_variant_builder_add(&builder, "s", item.c_str());
  return g_variant_builder_end(&builder);
}


GVariant *manufacturer_variant(const std::map<uint16_t, std::vector<uint8_t>> &data) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a{qv}"));
  for (const auto &entry : data)
    g_variant_builder_add(&builder, "{qv}", entry.first,
                          g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, entry.second.data(), entry.second.size(), 1));
  return g_variant_builder_end(&builder);
}

std::map<uint16_t, std::vector<uint8_t>> manufacturer_map(GVariant *value) {
  std::map<uint16_t, std::vector<uint8_t>> out;
  if (value == nullptr || !g_variant_is_of_type(value, G_VARIANT_TYPE("a{qv}")))
    return out;
  GVariantIter iter;
  g_variant_iter_init(&iter, value);
  guint16 company;
  GVariant *boxed;
  while (g_variant_iter_next(&iter, "{qv}", &company, &boxed)) {
    if (g_variant_is_of_type(boxed, G_VARIANT_TYPE_BYTESTRING)) {
      gsize n = 0;
      const auto *bytes = static_cast<const uint8_t *>(g_variant_get_fixed_array(boxed, &n, 1));
      out[company] = std::vector<uint8_t>(bytes, bytes + n);
    }
    g_variant_unref(boxed);
  }
  return out;
}

bool valid_adapter_name(const std::string &name) {
  if (name.empty())
    return false;
  return std::all_of(name.begin(), name.end(), [](char c) { return g_ascii_isalnum(c) || c == '_'; });
}

bool looks_static_random(const std::string &address) {
  return !address.empty() && g_ascii_xdigit_value(address[0]) >= 0xc;
}

std::string new_nonresolvable_address() {
  guint8 bytes[6];
  for (;;) {
    for (auto &b : bytes)
      b = static_cast<guint8>(g_random_int_range(0, 256));
    bytes[0] &= 0x3f;
    bool zeros = bytes[0] == 0, ones = bytes[0] == 0x3f;
    for (int i = 1; i < 6; i++) {
      zeros = zeros && bytes[i] == 0;
      ones = ones && bytes[i] == 0xff;
    }
    if (!zeros && !ones)
      break;
  }
  g_autofree gchar *text = g_strdup_printf("%02X:%02X:%02X:%02X:%02X:%02X", bytes[0], bytes[1], bytes[2], bytes[3],
                                           bytes[4], bytes[5]);
  return text;
}
}  // namespace bzsim

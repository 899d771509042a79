#include "ad.h"

#include <algorithm>
#include <cstring>

namespace bzsim {

size_t ad_encoded_length(const AdData &data) {
  size_t length = 0;
  for (const auto &ad : data)
    length += 2 + ad.content.size();
  return length;
}

std::map<uint16_t, std::vector<uint8_t>> ad_manufacturer_data(const AdData &data) {
  std::map<uint16_t, std::vector<uint8_t>> out;
  for (const auto &ad : data) {
    if (ad.type != kAdManufacturerData || ad.content.size() < 2)
      continue;
    const uint16_t company = static_cast<uint16_t>(ad.content[0] | (ad.content[1] << 8));
    out[company] = std::vector<uint8_t>(ad.content.begin() + 2, ad.content.end());
  }
  return out;
}

AdData ad_from_manufacturer(uint16_t company_id, const std::vector<uint8_t> &payload) {
  AdStructure manufacturer{kAdManufacturerData, {static_cast<uint8_t>(company_id & 0xff),
                                                 static_cast<uint8_t>(company_id >> 8)}};
  manufacturer.content.insert(manufacturer.content.end(), payload.begin(), payload.end());
  return {AdStructure{kAdFlags, {kFlagsLeGeneralNoBrEdr}}, std::move(manufacturer)};
}

bool ad_type_is_valid(uint8_t type) {
  /* 0x3d (3D information data) is the last assigned type below 0xff. */
  return (type >= kAdFlags && type <= 0x3d) || type == kAdManufacturerData;
}

bool pattern_is_valid(const OrPattern &pattern, std::string *why) {
  if (!ad_type_is_valid(pattern.ad_type)) {
    g_autofree gchar *text = g_strdup_printf("AD type 0x%02x is not a valid AD type", pattern.ad_type);
    *why = text;
    return false;
  }
  if (pattern.content.empty()) {
    *why = "pattern content is empty";
    return false;
  }
  if (pattern.content.size() > kMaxAdvertisingData ||
      pattern.start > kMaxAdvertisingData - pattern.content.size()) {
    *why = "pattern at offset " + std::to_string(pattern.start) + " with " +
           std::to_string(pattern.content.size()) + " bytes exceeds " +
           std::to_string(kMaxAdvertisingData) + " bytes";
    return false;
  }
  return true;
}

bool pattern_matches(const OrPattern &pattern, const AdData &data) {
  for (const auto &ad : data) {
    if (ad.type != pattern.ad_type)
      continue;
    if (static_cast<size_t>(pattern.start) + pattern.content.size() > ad.content.size())
      continue;
    if (std::equal(pattern.content.begin(), pattern.content.end(), ad.content.begin() + pattern.start))
      return true;
  }
  return false;
}

bool any_pattern_matches(const std::vector<OrPattern> &patterns, const AdData &data) {
  return std::any_of(patterns.begin(), patterns.end(),
                     [&](const OrPattern &p) { return pattern_matches(p, data); });
}

bool patterns_from_variant(GVariant *value, std::vector<OrPattern> *out, std::string *why) {
  g_return_val_if_fail(value != nullptr && out != nullptr && why != nullptr, false);
  if (!g_variant_is_of_type(value, G_VARIANT_TYPE("a(yyay)"))) {
    *why = std::string("Patterns has type ") + g_variant_get_type_string(value) + ", expected a(yyay)";
    return false;
  }
  out->clear();
  GVariantIter iter;
  g_variant_iter_init(&iter, value);
  guint8 start, type;
  GVariant *content = nullptr;
  while (g_variant_iter_next(&iter, "(yy@ay)", &start, &type, &content)) {
    gsize n = 0;
    const auto *bytes = static_cast<const uint8_t *>(g_variant_get_fixed_array(content, &n, 1));
    out->push_back(OrPattern{start, type, std::vector<uint8_t>(bytes, bytes + n)});
    g_variant_unref(content);
  }
  return true;
}

static int hex_value(char c) {
  return g_ascii_isxdigit(c) ? g_ascii_xdigit_value(c) : -1;
}

bool uuid_to_bytes(const char *text, std::vector<uint8_t> *out) {
  g_return_val_if_fail(text != nullptr && out != nullptr, false);
  const size_t len = strlen(text);
  std::vector<uint8_t> big_endian;
  if (len == 4) {
    for (size_t i = 0; i < 4; i += 2) {
      int hi = hex_value(text[i]), lo = hex_value(text[i + 1]);
      if (hi < 0 || lo < 0)
        return false;
      big_endian.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
  } else if (len == 36) {
    for (size_t i = 0; i < 36;) {
      if (i == 8 || i == 13 || i == 18 || i == 23) {
        if (text[i] != '-')
          return false;
        i++;
        continue;
      }
      int hi = hex_value(text[i]), lo = hex_value(text[i + 1]);
      if (hi < 0 || lo < 0)
        return false;
      big_endian.push_back(static_cast<uint8_t>(hi << 4 | lo));
      i += 2;
    }
    /* 0000xxxx-0000-1000-8000-00805f9b34fb is the 16-bit UUID xxxx. */
    static const uint8_t base[16] = {0, 0, 0, 0, 0x00, 0x00, 0x10, 0x00,
                                     0x80, 0x00, 0x00, 0x80, 0x5f, 0x9b, 0x34, 0xfb};
    if (big_endian[0] == 0 && big_endian[1] == 0 &&
        std::equal(big_endian.begin() + 4, big_endian.end(), base + 4))
      big_endian = {big_endian[2], big_endian[3]};
  } else {
    return false;
  }
  out->assign(big_endian.rbegin(), big_endian.rend());
  return true;
}

namespace {

/* Appends UUID list structures (16-bit and 128-bit lists separately). */
bool append_uuid_lists(GVariant *value, uint8_t type16, uint8_t type128, const char *name, AdData *data,
                       std::string *why) {
  if (!g_variant_is_of_type(value, G_VARIANT_TYPE_STRING_ARRAY)) {
    *why = std::string(name) + " must be an array of strings";
    return false;
  }
  AdStructure list16{type16, {}}, list128{type128, {}};
  GVariantIter iter;
  g_variant_iter_init(&iter, value);
  const char *uuid;
  while (g_variant_iter_next(&iter, "&s", &uuid)) {
    std::vector<uint8_t> bytes;
    if (!uuid_to_bytes(uuid, &bytes)) {
      *why = std::string(name) + ": \"" + uuid + "\" is not a UUID";
      return false;
    }
    auto &list = bytes.size() == 2 ? list16 : list128;
    list.content.insert(list.content.end(), bytes.begin(), bytes.end());
  }
  if (!list16.content.empty())
    data->push_back(std::move(list16));
  if (!list128.content.empty())
    data->push_back(std::move(list128));
  return true;
}

bool bytes_of(GVariant *boxed, std::vector<uint8_t> *out) {
  g_autoptr(GVariant) inner = g_variant_is_of_type(boxed, G_VARIANT_TYPE_VARIANT)
                                  ? g_variant_get_variant(boxed)
                                  : g_variant_ref(boxed);
  if (!g_variant_is_of_type(inner, G_VARIANT_TYPE_BYTESTRING))
    return false;
  gsize n = 0;
  const auto *bytes = static_cast<const uint8_t *>(g_variant_get_fixed_array(inner, &n, 1));
  out->assign(bytes, bytes + n);
  return true;
}

bool expect_type(GVariant *value, const GVariantType *type, const char *name, std::string *why) {
  if (g_variant_is_of_type(value, type))
    return true;
  g_autofree gchar *expected = g_variant_type_dup_string(type);
  *why = std::string(name) + " has type " + g_variant_get_type_string(value) + ", expected " + expected;
  return false;
}

}  // namespace

AdError advertisement_from_properties(GVariant *props, const std::string &local_name, int8_t tx_power,
                                      AdvertisementRequest *out, std::string *why) {
  g_return_val_if_fail(props != nullptr && out != nullptr && why != nullptr, AdError::InvalidArguments);
  if (!g_variant_is_of_type(props, G_VARIANT_TYPE_VARDICT)) {
    *why = "advertisement properties are not a{sv}";
    return AdError::InvalidArguments;
  }
  g_autoptr(GVariantDict) dict = g_variant_dict_new(props);
  *out = AdvertisementRequest{};

  g_autoptr(GVariant) type = g_variant_dict_lookup_value(dict, "Type", nullptr);
  if (type == nullptr) {
    *why = "Type is missing";
    return AdError::InvalidArguments;
  }
  if (!expect_type(type, G_VARIANT_TYPE_STRING, "Type", why))
    return AdError::InvalidArguments;
  out->type = g_variant_get_string(type, nullptr);
  if (out->type != "broadcast" && out->type != "peripheral") {
    *why = "Type \"" + out->type + "\" is neither \"broadcast\" nor \"peripheral\"";
    return AdError::InvalidArguments;
  }

  /* Scalars first: every present property must have its documented type. */
  struct Scalar {
    const char *name;
    const char *type;
  };
  static const Scalar scalars[] = {
      {"Discoverable", "b"}, {"DiscoverableTimeout", "q"}, {"LocalName", "s"}, {"Appearance", "q"},
      {"Duration", "q"},     {"Timeout", "q"},             {"MinInterval", "u"}, {"MaxInterval", "u"},
      {"TxPower", "n"},      {"SecondaryChannel", "s"},    {"Includes", "as"},
  };
  for (const auto &s : scalars) {
    g_autoptr(GVariant) v = g_variant_dict_lookup_value(dict, s.name, nullptr);
    if (v != nullptr && !expect_type(v, G_VARIANT_TYPE(s.type), s.name, why))
      return AdError::InvalidArguments;
  }

  gboolean discoverable = out->type == "peripheral";
  bool discoverable_set = g_variant_dict_lookup(dict, "Discoverable", "b", &discoverable);
  if (out->type == "peripheral" || (discoverable_set && discoverable))
    out->data.push_back({kAdFlags, {static_cast<uint8_t>(discoverable ? kFlagsLeGeneralNoBrEdr : 0x04)}});

  if (g_autoptr(GVariant) v = g_variant_dict_lookup_value(dict, "ServiceUUIDs", nullptr))
    if (!append_uuid_lists(v, kAdUuid16Complete, kAdUuid128Complete, "ServiceUUIDs", &out->data, why))
      return AdError::InvalidArguments;
  if (g_autoptr(GVariant) v = g_variant_dict_lookup_value(dict, "SolicitUUIDs", nullptr))
    if (!append_uuid_lists(v, kAdSolicit16, kAdSolicit128, "SolicitUUIDs", &out->data, why))
      return AdError::InvalidArguments;

  if (g_autoptr(GVariant) v = g_variant_dict_lookup_value(dict, "ManufacturerData", nullptr)) {
    if (!expect_type(v, G_VARIANT_TYPE("a{qv}"), "ManufacturerData", why))
      return AdError::InvalidArguments;
    GVariantIter iter;
    g_variant_iter_init(&iter, v);
    guint16 company;
    GVariant *boxed;
    while (g_variant_iter_next(&iter, "{qv}", &company, &boxed)) {
      std::vector<uint8_t> payload;
      bool ok = bytes_of(boxed, &payload);
      g_variant_unref(boxed);
      if (!ok) {
        *why = "ManufacturerData of company " + std::to_string(company) + " is not a byte array";
        return AdError::InvalidArguments;
      }
      AdStructure ad{kAdManufacturerData, {static_cast<uint8_t>(company & 0xff), static_cast<uint8_t>(company >> 8)}};
      ad.content.insert(ad.content.end(), payload.begin(), payload.end());
      out->data.push_back(std::move(ad));
    }
  }

  if (g_autoptr(GVariant) v = g_variant_dict_lookup_value(dict, "ServiceData", nullptr)) {
    if (!expect_type(v, G_VARIANT_TYPE("a{sv}"), "ServiceData", why))
      return AdError::InvalidArguments;
    GVariantIter iter;
    g_variant_iter_init(&iter, v);
    const char *uuid;
    GVariant *boxed;
    while (g_variant_iter_next(&iter, "{&sv}", &uuid, &boxed)) {
      std::vector<uint8_t> uuid_bytes, payload;
      bool ok = bytes_of(boxed, &payload);
      g_variant_unref(boxed);
      if (!uuid_to_bytes(uuid, &uuid_bytes)) {
        *why = std::string("ServiceData: \"") + uuid + "\" is not a UUID";
        return AdError::InvalidArguments;
      }
      if (!ok) {
        *why = std::string("ServiceData of ") + uuid + " is not a byte array";
        return AdError::InvalidArguments;
      }
      AdStructure ad{uuid_bytes.size() == 2 ? kAdServiceData16 : kAdServiceData128, uuid_bytes};
      ad.content.insert(ad.content.end(), payload.begin(), payload.end());
      out->data.push_back(std::move(ad));
    }
  }

  if (g_autoptr(GVariant) v = g_variant_dict_lookup_value(dict, "Data", nullptr)) {
    if (!expect_type(v, G_VARIANT_TYPE("a{yv}"), "Data", why))
      return AdError::InvalidArguments;
    GVariantIter iter;
    g_variant_iter_init(&iter, v);
    guint8 ad_type;
    GVariant *boxed;
    while (g_variant_iter_next(&iter, "{yv}", &ad_type, &boxed)) {
      std::vector<uint8_t> payload;
      bool ok = bytes_of(boxed, &payload);
      g_variant_unref(boxed);
      if (!ad_type_is_valid(ad_type) || ad_type == kAdFlags) {
        *why = "Data: AD type " + std::to_string(ad_type) + " may not be set directly";
        return AdError::InvalidArguments;
      }
      if (!ok) {
        *why = "Data of AD type " + std::to_string(ad_type) + " is not a byte array";
        return AdError::InvalidArguments;
      }
      out->data.push_back({ad_type, std::move(payload)});
    }
  }

  bool include_name = false, include_appearance = false, include_tx_power = false;
  if (g_autoptr(GVariant) v = g_variant_dict_lookup_value(dict, "Includes", nullptr)) {
    GVariantIter iter;
    g_variant_iter_init(&iter, v);
    const char *include;
    while (g_variant_iter_next(&iter, "&s", &include)) {
      if (g_str_equal(include, "local-name")) {
        include_name = true;
      } else if (g_str_equal(include, "appearance")) {
        include_appearance = true;
      } else if (g_str_equal(include, "tx-power")) {
        include_tx_power = true;
      } else {
        *why = std::string("Includes: \"") + include + "\" is not supported";
        return AdError::InvalidArguments;
      }
    }
  }

  const char *name = nullptr;
  if (g_variant_dict_lookup(dict, "LocalName", "&s", &name) || include_name) {
    std::string text = name != nullptr ? name : local_name;
    out->data.push_back({kAdCompleteName, std::vector<uint8_t>(text.begin(), text.end())});
  }
  guint16 appearance = 0;
  if (g_variant_dict_lookup(dict, "Appearance", "q", &appearance) || include_appearance)
    out->data.push_back({kAdAppearance, {static_cast<uint8_t>(appearance & 0xff), static_cast<uint8_t>(appearance >> 8)}});
  gint16 power = tx_power;
  if (include_tx_power) {
    g_variant_dict_lookup(dict, "TxPower", "n", &power);
    out->data.push_back({kAdTxPower, {static_cast<uint8_t>(static_cast<int8_t>(CLAMP(power, -127, 20)))}});
  }

  guint16 timeout = 0;
  g_variant_dict_lookup(dict, "Timeout", "q", &timeout);
  out->timeout_s = timeout;

  guint32 min_interval = 0, max_interval = 0;
  bool has_min = g_variant_dict_lookup(dict, "MinInterval", "u", &min_interval);
  bool has_max = g_variant_dict_lookup(dict, "MaxInterval", "u", &max_interval);
  if (has_min && has_max && min_interval > max_interval) {
    *why = "MinInterval " + std::to_string(min_interval) + " ms exceeds MaxInterval " +
           std::to_string(max_interval) + " ms";
    return AdError::InvalidArguments;
  }
  guint interval = has_min ? min_interval : has_max ? max_interval : kDefaultIntervalMs;
  out->interval_ms = std::max(interval, kMinIntervalMs);

  const size_t length = ad_encoded_length(out->data);
  if (length > kMaxAdvertisingData) {
    *why = "advertising data of " + std::to_string(length) + " bytes exceeds " +
           std::to_string(kMaxAdvertisingData) + " bytes";
    return AdError::InvalidLength;
  }
  return AdError::None;
}

}  // namespace bzsim

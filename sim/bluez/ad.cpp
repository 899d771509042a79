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

std::vector<uint8_t> ad_encode(const AdData &data) {
  std::vector<uint8_t> out;
  for (const auto &ad : data) {
    out.push_back(static_cast<uint8_t>(ad.content.size() + 1));
    out.push_back(ad.type);
    out.insert(out.end(), ad.content.begin(), ad.content.end());
  }
  return out;
}

bool ad_parse(const std::vector<uint8_t> &bytes, AdData *out, std::string *why) {
  AdData data;
  size_t pos = 0;
  while (pos < bytes.size()) {
    const size_t length = bytes[pos];
    if (length == 0) {
      /* Zero padding ends the significant part, as controllers send it. */
      if (std::all_of(bytes.begin() + static_cast<long>(pos), bytes.end(), [](uint8_t b) { return b == 0; }))
        break;
      *why = "AD structure at byte " + std::to_string(pos) + " has length 0";
      return false;
    }
    if (pos + 1 + length > bytes.size()) {
      *why = "AD structure at byte " + std::to_string(pos) + " of length " + std::to_string(length) +
             " runs past the " + std::to_string(bytes.size()) + " bytes";
      return false;
    }
    const uint8_t type = bytes[pos + 1];
    if (!ad_type_is_valid(type)) {
      g_autofree gchar *text = g_strdup_printf("AD structure at byte %zu has the unassigned type 0x%02x", pos, type);
      *why = text;
      return false;
    }
    data.push_back({type, std::vector<uint8_t>(bytes.begin() + static_cast<long>(pos) + 2,
                                               bytes.begin() + static_cast<long>(pos + 1 + length))});
    pos += 1 + length;
  }
  *out = std::move(data);
  return true;
}

std::string uuid_to_string(const std::vector<uint8_t> &le) {
  std::vector<uint8_t> be(le.rbegin(), le.rend());
  if (be.size() == 2 || be.size() == 4) {
    std::vector<uint8_t> full = {0, 0, 0, 0, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0x80, 0x5f, 0x9b, 0x34, 0xfb};
    std::copy(be.begin(), be.end(), full.begin() + (4 - static_cast<long>(be.size())));
    be = full;
  }
  if (be.size() != 16)
    return "";
  std::string text;
  for (size_t i = 0; i < 16; i++) {
    if (i == 4 || i == 6 || i == 8 || i == 10)
      text += '-';
    g_autofree gchar *pair = g_strdup_printf("%02x", be[i]);
    text += pair;
  }
  return text;
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


AdFields ad_fields(const AdData &data) {
  AdFields out;
  auto add_uuids = [&](const std::vector<uint8_t> &content, size_t width) {
    for (size_t i = 0; i + width <= content.size(); i += width) {
      std::string uuid = uuid_to_string(std::vector<uint8_t>(content.begin() + static_cast<long>(i),
                                                             content.begin() + static_cast<long>(i + width)));
      if (std::find(out.uuids.begin(), out.uuids.end(), uuid) == out.uuids.end())
        out.uuids.push_back(uuid);
    }
  };
  auto add_service_data = [&](const std::vector<uint8_t> &content, size_t width) {
    if (content.size() < width)
      return;
    out.service_data[uuid_to_string(std::vector<uint8_t>(content.begin(), content.begin() + static_cast<long>(width)))] =
        std::vector<uint8_t>(content.begin() + static_cast<long>(width), content.end());
  };
  for (const auto &ad : data) {
    switch (ad.type) {
      case kAdFlags:
        out.flags = ad.content;
        break;
      case kAdUuid16Some:
      case kAdUuid16Complete:
        add_uuids(ad.content, 2);
        break;
      case kAdUuid32Some:
      case kAdUuid32Complete:
        add_uuids(ad.content, 4);
        break;
      case kAdUuid128Some:
      case kAdUuid128Complete:
        add_uuids(ad.content, 16);
        break;
      case kAdShortName:
      case kAdCompleteName:
        /* A complete name wins over a shortened one heard beside it. */
        if (!out.name_complete) {
          out.name = std::string(ad.content.begin(), ad.content.end());
          out.name_complete = ad.type == kAdCompleteName;
        }
        break;
      case kAdTxPower:
        if (ad.content.size() == 1)
          out.tx_power = static_cast<int8_t>(ad.content[0]);
        break;
      case kAdAppearance:
        if (ad.content.size() == 2)
          out.appearance = static_cast<uint16_t>(ad.content[0] | ad.content[1] << 8);
        break;
      case kAdServiceData16:
        add_service_data(ad.content, 2);
        break;
      case kAdServiceData32:
        add_service_data(ad.content, 4);
        break;
      case kAdServiceData128:
        add_service_data(ad.content, 16);
        break;
      case kAdManufacturerData:
        if (ad.content.size() >= 2)
          out.manufacturer_data[static_cast<uint16_t>(ad.content[0] | ad.content[1] << 8)] =
              std::vector<uint8_t>(ad.content.begin() + 2, ad.content.end());
        break;
      default:
        break;
    }
  }
  return out;
}

namespace {

/* AD types a client may not set through Data: those bluetoothd builds
 * itself or that belong to other protocols (its type reject list). */
bool data_type_is_settable(uint8_t type) {
  static const uint8_t rejected[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0d, 0x0e, 0x0f,
                                     0x10, 0x11, 0x12, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x1b, 0x1c, 0x1d,
                                     0x1e, 0x1f, 0x20, 0x21, 0x22, 0x23, 0x27, 0x28, 0x29, 0x2a, 0x2b, 0x3d, 0xff};
  return std::find(std::begin(rejected), std::end(rejected), type) == std::end(rejected);
}

/* The name as the scan response carries it: complete when it fits in the
 * room left, else shortened to that room. */
AdStructure name_structure(const std::string &name, size_t used) {
  const size_t room = kMaxAdvertisingData > used + 2 ? kMaxAdvertisingData - used - 2 : 0;
  if (name.size() <= room)
    return {kAdCompleteName, std::vector<uint8_t>(name.begin(), name.end())};
  return {kAdShortName, std::vector<uint8_t>(name.begin(), name.begin() + static_cast<long>(room))};
}

/* bluetoothd counts intervals in 0.625 ms units and accepts 0x20..0xffffff. */
bool interval_is_valid(guint32 ms) {
  const double units = ms / 0.625;
  return units >= 0x20 && units <= 0xffffff;
}

}  // namespace

AdError advertisement_from_properties(GVariant *props, const std::string &local_name, int8_t tx_power,
                                      AdvertisementRequest *out, std::string *why, bool adapter_discoverable) {
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
  const bool peripheral = out->type == "peripheral";

  /* Every present property must have its documented type. */
  struct Typed {
    const char *name;
    const char *type;
  };
  static const Typed typed[] = {
      {"ServiceUUIDs", "as"}, {"SolicitUUIDs", "as"}, {"ManufacturerData", "a{qv}"}, {"ServiceData", "a{sv}"},
      {"Data", "a{yv}"},      {"Includes", "as"},     {"LocalName", "s"},            {"Appearance", "q"},
      {"Duration", "q"},      {"Timeout", "q"},       {"Discoverable", "b"},         {"DiscoverableTimeout", "q"},
      {"MinInterval", "u"},   {"MaxInterval", "u"},   {"TxPower", "n"},              {"SecondaryChannel", "s"},
  };
  for (const auto &t : typed) {
    g_autoptr(GVariant) v = g_variant_dict_lookup_value(dict, t.name, nullptr);
    if (v != nullptr && !expect_type(v, G_VARIANT_TYPE(t.type), t.name, why))
      return AdError::InvalidArguments;
  }

  /* The client's data, in the order bluetoothd serializes it. */
  AdData uuids, solicits, manufacturer, service_data, other;
  if (g_autoptr(GVariant) v = g_variant_dict_lookup_value(dict, "ServiceUUIDs", nullptr))
    if (!append_uuid_lists(v, kAdUuid16Complete, kAdUuid128Complete, "ServiceUUIDs", &uuids, why))
      return AdError::InvalidArguments;
  if (g_autoptr(GVariant) v = g_variant_dict_lookup_value(dict, "SolicitUUIDs", nullptr))
    if (!append_uuid_lists(v, kAdSolicit16, kAdSolicit128, "SolicitUUIDs", &solicits, why))
      return AdError::InvalidArguments;

  if (g_autoptr(GVariant) v = g_variant_dict_lookup_value(dict, "ManufacturerData", nullptr)) {
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
      manufacturer.push_back(std::move(ad));
    }
  }

  if (g_autoptr(GVariant) v = g_variant_dict_lookup_value(dict, "ServiceData", nullptr)) {
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
      service_data.push_back(std::move(ad));
    }
  }

  /* Includes the adapter cannot provide are skipped, as bluetoothd does. */
  bool include_name = false, include_appearance = false, include_tx_power = false;
  if (g_autoptr(GVariant) v = g_variant_dict_lookup_value(dict, "Includes", nullptr)) {
    GVariantIter iter;
    g_variant_iter_init(&iter, v);
    const char *include;
    while (g_variant_iter_next(&iter, "&s", &include)) {
      include_name = include_name || g_str_equal(include, "local-name");
      include_appearance = include_appearance || g_str_equal(include, "appearance");
      include_tx_power = include_tx_power || g_str_equal(include, "tx-power");
    }
  }

  const char *name = nullptr;
  if (g_variant_dict_lookup(dict, "LocalName", "&s", &name)) {
    if (include_name) {
      *why = "LocalName is set while Includes has \"local-name\"";
      return AdError::InvalidArguments;
    }
    if (*name == '\0')
      name = nullptr;  /* an empty name takes room for nothing */
  }
  guint16 appearance = 0;
  const bool has_appearance = g_variant_dict_lookup(dict, "Appearance", "q", &appearance);
  if (has_appearance && include_appearance) {
    *why = "Appearance is set while Includes has \"appearance\"";
    return AdError::InvalidArguments;
  }

  guint16 timeout = 0, discoverable_timeout = 0;
  g_variant_dict_lookup(dict, "Timeout", "q", &timeout);
  g_variant_dict_lookup(dict, "DiscoverableTimeout", "q", &discoverable_timeout);

  if (g_autoptr(GVariant) v = g_variant_dict_lookup_value(dict, "Data", nullptr)) {
    GVariantIter iter;
    g_variant_iter_init(&iter, v);
    guint8 ad_type;
    GVariant *boxed;
    while (g_variant_iter_next(&iter, "{yv}", &ad_type, &boxed)) {
      std::vector<uint8_t> payload;
      bool ok = bytes_of(boxed, &payload);
      g_variant_unref(boxed);
      if (!data_type_is_settable(ad_type)) {
        g_autofree gchar *text = g_strdup_printf("Data: AD type 0x%02x may not be set directly", ad_type);
        *why = text;
        return AdError::InvalidArguments;
      }
      if (!ok) {
        *why = "Data of AD type " + std::to_string(ad_type) + " is not a byte array";
        return AdError::InvalidArguments;
      }
      other.push_back({ad_type, std::move(payload)});
    }
  }

  /* Flags only when the client says whether it is discoverable. Simulated
   * adapters are LE only, so BR/EDR is always announced as unsupported. */
  gboolean discoverable = FALSE;
  bool flags_from_client = false;
  if (g_variant_dict_lookup(dict, "Discoverable", "b", &discoverable)) {
    if (discoverable && !peripheral) {
      *why = "a broadcast advertisement cannot be discoverable";
      return AdError::InvalidArguments;
    }
    if (discoverable || peripheral) {
      const uint8_t flags = static_cast<uint8_t>(
          (discoverable ? (discoverable_timeout > 0 ? kFlagLimited : kFlagGeneral) : 0) | kFlagNoBrEdr);
      other.push_back({kAdFlags, {flags}});
      flags_from_client = true;
    }
  }
  if (timeout > 0 && discoverable && timeout < discoverable_timeout) {
    *why = "DiscoverableTimeout " + std::to_string(discoverable_timeout) + " s exceeds Timeout " +
           std::to_string(timeout) + " s";
    return AdError::InvalidArguments;
  }

  guint32 min_interval = 0, max_interval = 0;
  const bool has_min = g_variant_dict_lookup(dict, "MinInterval", "u", &min_interval);
  const bool has_max = g_variant_dict_lookup(dict, "MaxInterval", "u", &max_interval);
  if ((has_min && !interval_is_valid(min_interval)) || (has_max && !interval_is_valid(max_interval))) {
    *why = "MinInterval/MaxInterval " + std::to_string(has_min ? min_interval : max_interval) +
           " ms is outside 20 ms .. 10485 s";
    return AdError::InvalidArguments;
  }
  /* An absent bound counts as 0, so MinInterval alone is refused too. */
  if ((has_min || has_max) && min_interval > max_interval) {
    *why = "MinInterval " + std::to_string(min_interval) + " ms exceeds MaxInterval " +
           std::to_string(max_interval) + " ms";
    return AdError::InvalidArguments;
  }
  gint16 requested_power = 0;
  if (g_variant_dict_lookup(dict, "TxPower", "n", &requested_power) && (requested_power < -127 || requested_power > 20)) {
    *why = "TxPower " + std::to_string(requested_power) + " dBm is outside -127 .. 20";
    return AdError::InvalidArguments;
  }

  /* The kernel adds Flags to a peripheral advertisement without them while
   * the adapter is discoverable. */
  const bool kernel_flags = peripheral && adapter_discoverable && !flags_from_client;
  AdData client;
  for (AdData *part : {&uuids, &solicits, &manufacturer, &service_data})
    client.insert(client.end(), part->begin(), part->end());
  if (has_appearance || include_appearance)
    client.push_back({kAdAppearance, {static_cast<uint8_t>(appearance & 0xff), static_cast<uint8_t>(appearance >> 8)}});
  client.insert(client.end(), other.begin(), other.end());

  size_t room = kMaxAdvertisingData;
  if (include_tx_power)
    room -= 3;
  if (kernel_flags)
    room -= 3;
  if (include_appearance)
    room -= 4;
  const size_t length = ad_encoded_length(client);
  if (length > room) {
    *why = "advertising data of " + std::to_string(length) + " bytes exceeds the " + std::to_string(room) +
           " bytes left of " + std::to_string(kMaxAdvertisingData);
    return AdError::InvalidLength;
  }

  if (kernel_flags)
    out->data.push_back({kAdFlags, {kFlagsLeGeneralNoBrEdr}});
  out->data.insert(out->data.end(), client.begin(), client.end());
  if (include_tx_power)
    out->data.push_back({kAdTxPower, {static_cast<uint8_t>(tx_power)}});

  if (name != nullptr || include_name)
    out->scan_response.push_back(name_structure(name != nullptr ? name : local_name, 0));

  out->timeout_s = timeout;
  out->interval_ms = has_min ? min_interval : has_max ? max_interval : kDefaultIntervalMs;
  out->min_interval_ms = has_min ? min_interval : 0;
  out->max_interval_ms = has_max ? max_interval : 0;
  return AdError::None;
}

}  // namespace bzsim

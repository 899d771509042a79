/* Advertising data of the simulated radio: pattern checks and matching,
 * and the AD structures built from an LEAdvertisement1 property set. */
#include <gtest/gtest.h>

#include "ad.h"

using namespace bzsim;

namespace {

std::vector<uint8_t> bytes(std::initializer_list<int> values) {
  std::vector<uint8_t> out;
  for (int v : values)
    out.push_back(static_cast<uint8_t>(v));
  return out;
}

GVariant *ay(const std::vector<uint8_t> &data) {
  return g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, data.data(), data.size(), 1);
}

/* Properties of a broadcast advertisement carrying @payload for @company. */
GVariant *broadcast(uint16_t company, const std::vector<uint8_t> &payload,
                    std::function<void(GVariantBuilder *)> extra = nullptr) {
  GVariantBuilder md;
  g_variant_builder_init(&md, G_VARIANT_TYPE("a{qv}"));
  g_variant_builder_add(&md, "{qv}", company, ay(payload));
  GVariantBuilder props;
  g_variant_builder_init(&props, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&props, "{sv}", "Type", g_variant_new_string("broadcast"));
  g_variant_builder_add(&props, "{sv}", "ManufacturerData", g_variant_builder_end(&md));
  if (extra)
    extra(&props);
  return g_variant_ref_sink(g_variant_builder_end(&props));
}

}  // namespace

TEST(AdStructures, ManufacturerAdvertisementLayoutAndLength) {
  AdData data = ad_from_manufacturer(0x1234, bytes({1, 2, 3}));
  ASSERT_EQ(data.size(), 2u);
  EXPECT_EQ(data[0].type, kAdFlags);
  EXPECT_EQ(data[1].type, kAdManufacturerData);
  /* Company identifier low byte first, then the payload. */
  EXPECT_EQ(data[1].content, bytes({0x34, 0x12, 1, 2, 3}));
  EXPECT_EQ(ad_encoded_length(data), 3u + 7u);

  auto md = ad_manufacturer_data(data);
  ASSERT_EQ(md.size(), 1u);
  EXPECT_EQ(md.at(0x1234), bytes({1, 2, 3}));
  /* A manufacturer structure too short for a company identifier is ignored. */
  EXPECT_TRUE(ad_manufacturer_data({{kAdManufacturerData, bytes({0x34})}}).empty());
}

TEST(OrPatterns, ValidityBoundsAndTypes) {
  std::string why;
  EXPECT_TRUE(pattern_is_valid({0, 0xff, bytes({1})}, &why)) << why;
  /* Content may end exactly at the 31st byte but not beyond. */
  EXPECT_TRUE(pattern_is_valid({30, 0xff, bytes({1})}, &why)) << why;
  EXPECT_TRUE(pattern_is_valid({0, 0x09, std::vector<uint8_t>(31, 7)}, &why)) << why;
  EXPECT_FALSE(pattern_is_valid({31, 0xff, bytes({1})}, &why));
  EXPECT_NE(why.find("31"), std::string::npos) << why;
  EXPECT_FALSE(pattern_is_valid({1, 0xff, std::vector<uint8_t>(31, 7)}, &why));
  EXPECT_FALSE(pattern_is_valid({0, 0xff, std::vector<uint8_t>(32, 7)}, &why));
  EXPECT_FALSE(pattern_is_valid({0, 0xff, {}}, &why));
  EXPECT_NE(why.find("empty"), std::string::npos) << why;
  /* AD types: 0x01..0x3d and 0xff. */
  EXPECT_TRUE(pattern_is_valid({0, 0x01, bytes({1})}, &why));
  EXPECT_TRUE(pattern_is_valid({0, 0x3d, bytes({1})}, &why));
  EXPECT_FALSE(pattern_is_valid({0, 0x00, bytes({1})}, &why));
  EXPECT_FALSE(pattern_is_valid({0, 0x3e, bytes({1})}, &why));
  EXPECT_NE(why.find("0x3e"), std::string::npos) << why;
  EXPECT_FALSE(pattern_is_valid({0, 0xfe, bytes({1})}, &why));
}

TEST(OrPatterns, MatchingByTypeOffsetAndContent) {
  AdData data = ad_from_manufacturer(0xffff, bytes({1, 0xaa, 0xbb, 0xcc}));
  /* Manufacturer content: ff ff 01 aa bb cc */
  EXPECT_TRUE(pattern_matches({0, 0xff, bytes({0xff, 0xff, 0x01})}, data));
  EXPECT_TRUE(pattern_matches({3, 0xff, bytes({0xaa, 0xbb, 0xcc})}, data));
  EXPECT_FALSE(pattern_matches({2, 0xff, bytes({0xaa})}, data));            /* wrong offset */
  EXPECT_FALSE(pattern_matches({4, 0xff, bytes({0xbb, 0xcc, 0x00})}, data));  /* runs past the end */
  EXPECT_FALSE(pattern_matches({0, 0x09, bytes({0xff})}, data));            /* no such structure */
  EXPECT_TRUE(pattern_matches({0, kAdFlags, bytes({kFlagsLeGeneralNoBrEdr})}, data));

  std::vector<OrPattern> patterns = {{0, 0xff, bytes({0x00})}, {3, 0xff, bytes({0xaa})}};
  EXPECT_TRUE(any_pattern_matches(patterns, data));
  patterns.pop_back();
  EXPECT_FALSE(any_pattern_matches(patterns, data));
  EXPECT_FALSE(any_pattern_matches({}, data));
}

TEST(OrPatterns, ParsedFromVariant) {
  std::vector<OrPattern> patterns;
  std::string why;
  g_autoptr(GVariant) good = g_variant_ref_sink(g_variant_new_parsed("[(byte 2, byte 0xff, [byte 1, 2])]"));
  ASSERT_TRUE(patterns_from_variant(good, &patterns, &why)) << why;
  ASSERT_EQ(patterns.size(), 1u);
  EXPECT_EQ(patterns[0].start, 2);
  EXPECT_EQ(patterns[0].ad_type, 0xff);
  EXPECT_EQ(patterns[0].content, bytes({1, 2}));
  g_autoptr(GVariant) bad = g_variant_ref_sink(g_variant_new_parsed("[(2, 0xff, [byte 1])]"));
  EXPECT_FALSE(patterns_from_variant(bad, &patterns, &why));
  EXPECT_NE(why.find("a(yyay)"), std::string::npos) << why;
}

TEST(Uuids, ShortAndLongForms) {
  std::vector<uint8_t> out;
  ASSERT_TRUE(uuid_to_bytes("180d", &out));
  EXPECT_EQ(out, bytes({0x0d, 0x18}));
  /* On the Bluetooth base a 128-bit UUID shrinks to its 16-bit alias. */
  ASSERT_TRUE(uuid_to_bytes("0000180F-0000-1000-8000-00805f9b34fb", &out));
  EXPECT_EQ(out, bytes({0x0f, 0x18}));
  ASSERT_TRUE(uuid_to_bytes("12345678-9abc-def0-1234-56789abcdef0", &out));
  ASSERT_EQ(out.size(), 16u);
  EXPECT_EQ(out.front(), 0xf0);
  EXPECT_EQ(out.back(), 0x12);
  EXPECT_FALSE(uuid_to_bytes("18d", &out));
  EXPECT_FALSE(uuid_to_bytes("zz0d", &out));
  EXPECT_FALSE(uuid_to_bytes("12345678-9abc-def0-1234_56789abcdef0", &out));
}

TEST(AdvertisementProperties, BroadcastBeaconFitsAndCarriesItsData) {
  std::vector<uint8_t> payload(19, 0x5a);
  g_autoptr(GVariant) props = broadcast(0xffff, payload, [](GVariantBuilder *b) {
    g_variant_builder_add(b, "{sv}", "Timeout", g_variant_new_uint16(3));
  });
  AdvertisementRequest request;
  std::string why;
  ASSERT_EQ(advertisement_from_properties(props, "sim", 0, &request, &why), AdError::None) << why;
  EXPECT_EQ(request.type, "broadcast");
  EXPECT_EQ(request.timeout_s, 3u);
  EXPECT_EQ(request.interval_ms, kDefaultIntervalMs);
  /* A broadcast that is not discoverable carries no flags. */
  ASSERT_EQ(request.data.size(), 1u);
  auto md = ad_manufacturer_data(request.data);
  EXPECT_EQ(md.at(0xffff), payload);
  EXPECT_TRUE(pattern_matches({0, 0xff, bytes({0xff, 0xff, 0x5a})}, request.data));
}

TEST(AdvertisementProperties, LengthLimitIsThirtyOneBytes) {
  AdvertisementRequest request;
  std::string why;
  /* 2 header + 2 company + 27 = 31 bytes */
  g_autoptr(GVariant) fits = broadcast(1, std::vector<uint8_t>(27, 0));
  EXPECT_EQ(advertisement_from_properties(fits, "sim", 0, &request, &why), AdError::None) << why;
  g_autoptr(GVariant) too_long = broadcast(1, std::vector<uint8_t>(28, 0));
  EXPECT_EQ(advertisement_from_properties(too_long, "sim", 0, &request, &why), AdError::InvalidLength);
  EXPECT_NE(why.find("32 bytes"), std::string::npos) << why;
  /* Included parts count too: the name pushes a fitting payload over. */
  g_autoptr(GVariant) named = broadcast(1, std::vector<uint8_t>(24, 0), [](GVariantBuilder *b) {
    g_variant_builder_add(b, "{sv}", "LocalName", g_variant_new_string("ab"));
  });
  EXPECT_EQ(advertisement_from_properties(named, "sim", 0, &request, &why), AdError::InvalidLength);
}

TEST(AdvertisementProperties, RejectsBadTypesAndValues) {
  AdvertisementRequest request;
  std::string why;
  auto check = [&](std::function<void(GVariantBuilder *)> fill, const char *needle) {
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE_VARDICT);
    fill(&b);
    g_autoptr(GVariant) props = g_variant_ref_sink(g_variant_builder_end(&b));
    EXPECT_EQ(advertisement_from_properties(props, "sim", 0, &request, &why), AdError::InvalidArguments) << needle;
    EXPECT_NE(why.find(needle), std::string::npos) << why;
  };
  check([](GVariantBuilder *) {}, "Type is missing");
  check([](GVariantBuilder *b) { g_variant_builder_add(b, "{sv}", "Type", g_variant_new_string("beacon")); },
        "\"beacon\"");
  check([](GVariantBuilder *b) { g_variant_builder_add(b, "{sv}", "Type", g_variant_new_uint32(1)); }, "Type has type u");
  check([](GVariantBuilder *b) {
    g_variant_builder_add(b, "{sv}", "Type", g_variant_new_string("broadcast"));
    g_variant_builder_add(b, "{sv}", "Timeout", g_variant_new_uint32(5));
  }, "Timeout has type u, expected q");
  check([](GVariantBuilder *b) {
    g_variant_builder_add(b, "{sv}", "Type", g_variant_new_string("broadcast"));
    g_variant_builder_add(b, "{sv}", "ServiceUUIDs", g_variant_new_parsed("['not-a-uuid']"));
  }, "not-a-uuid");
  check([](GVariantBuilder *b) {
    g_variant_builder_add(b, "{sv}", "Type", g_variant_new_string("broadcast"));
    g_variant_builder_add(b, "{sv}", "ManufacturerData", g_variant_new_parsed("{uint16 7: <'text'>}"));
  }, "company 7");
  check([](GVariantBuilder *b) {
    g_variant_builder_add(b, "{sv}", "Type", g_variant_new_string("broadcast"));
    g_variant_builder_add(b, "{sv}", "MinInterval", g_variant_new_uint32(200));
    g_variant_builder_add(b, "{sv}", "MaxInterval", g_variant_new_uint32(100));
  }, "MinInterval 200 ms");
  check([](GVariantBuilder *b) {
    g_variant_builder_add(b, "{sv}", "Type", g_variant_new_string("peripheral"));
    g_variant_builder_add(b, "{sv}", "Includes", g_variant_new_parsed("['rsi']"));
  }, "\"rsi\"");
}

TEST(AdvertisementProperties, PeripheralFlagsUuidsIncludesAndInterval) {
  GVariantBuilder b;
  g_variant_builder_init(&b, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&b, "{sv}", "Type", g_variant_new_string("peripheral"));
  g_variant_builder_add(&b, "{sv}", "ServiceUUIDs", g_variant_new_parsed("['180d', '180f']"));
  g_variant_builder_add(&b, "{sv}", "Includes", g_variant_new_parsed("['tx-power', 'local-name']"));
  g_variant_builder_add(&b, "{sv}", "MinInterval", g_variant_new_uint32(5));
  g_autoptr(GVariant) props = g_variant_ref_sink(g_variant_builder_end(&b));
  AdvertisementRequest request;
  std::string why;
  ASSERT_EQ(advertisement_from_properties(props, "hostname", -7, &request, &why), AdError::None) << why;
  EXPECT_TRUE(pattern_matches({0, kAdFlags, bytes({kFlagsLeGeneralNoBrEdr})}, request.data));
  EXPECT_TRUE(pattern_matches({0, kAdUuid16Complete, bytes({0x0d, 0x18, 0x0f, 0x18})}, request.data));
  EXPECT_TRUE(pattern_matches({0, kAdCompleteName, bytes({'h', 'o', 's', 't'})}, request.data));
  EXPECT_TRUE(pattern_matches({0, kAdTxPower, bytes({0xf9})}, request.data));
  /* No controller advertises faster than every 20 ms. */
  EXPECT_EQ(request.interval_ms, kMinIntervalMs);
}

/* libadvwatch without BlueZ: or-patterns, the beacon decoder, config
 * checks, and the application a monitor exports on the bus. */
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "advwatch-utils.h"
#include "advwatch.h"
#include "advwatch-test.h"
#include "config.h"
#include "harness.h"

namespace {

const char kSystemId[] = "123e4567-e89b-12d3-a456-426614174000";
const char kOtherId[] = "A0B1C2D3-E4F5-4677-8899-AABBCCDDEEFF";

using advtest::call;
using advtest::library_name;

advtest::BusEnvironment *const environment = advtest::environment();
void unexpected_beacon(AdvwatchBeacon *beacon, gpointer) {
  ADD_FAILURE() << "no beacon expected, got one from " << advwatch_beacon_get_address(beacon);
}

/* ---- or-patterns --------------------------------------------------------- */

TEST(AdvwatchPatterns, SystemIdAcceptsUuidTextOfEitherCase) {
  g_autoptr(GPtrArray) patterns = advwatch_patterns_new();
  for (const char *value : {kSystemId, kOtherId, "ABCDEF01-2345-6789-abcd-ef0123456789"}) {
    g_autoptr(GError) error = nullptr;
    EXPECT_TRUE(advwatch_pattern_add(patterns, ADVWATCH_PATTERN_SYSTEM_ID, value, &error)) << value;
    EXPECT_EQ(error, nullptr);
  }
  EXPECT_EQ(patterns->len, 3u);
}

TEST(AdvwatchPatterns, InvalidSystemIdsAndUnknownKindsFailNamingTheirInput) {
  g_autoptr(GPtrArray) patterns = advwatch_patterns_new();
  const char *invalid[] = {
      "",
      "not-a-uuid",
      "123e4567e89b12d3a456426614174000",       // no dashes
      "123e4567-e89b-12d3-a456-42661417400",    // one digit short
      "123e4567-e89b-12d3-a456-4266141740000",  // one digit long
      "123e4567-e89b-12d3-a456-42661417400g",   // not hexadecimal
      " 123e4567-e89b-12d3-a456-426614174000",
  };
  for (const char *value : invalid) {
    g_autoptr(GError) error = nullptr;
    EXPECT_FALSE(advwatch_pattern_add(patterns, ADVWATCH_PATTERN_SYSTEM_ID, value, &error)) << value;
    ASSERT_NE(error, nullptr) << value;
    EXPECT_TRUE(g_error_matches(error, ADVWATCH_ERROR, ADVWATCH_ERROR_INVALID_ARGUMENT));
    EXPECT_NE(std::string(error->message).find(std::string("\"") + value + "\""), std::string::npos)
        << error->message;
  }
  {
    g_autoptr(GError) error = nullptr;
    EXPECT_FALSE(advwatch_pattern_add(patterns, ADVWATCH_PATTERN_SYSTEM_ID, nullptr, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_TRUE(g_error_matches(error, ADVWATCH_ERROR, ADVWATCH_ERROR_INVALID_ARGUMENT));
  }
  for (gint kind : {-1, 0, 1, 3, 255}) {
    g_autoptr(GError) error = nullptr;
    EXPECT_FALSE(advwatch_pattern_add(patterns, kind, kSystemId, &error)) << kind;
    ASSERT_NE(error, nullptr);
    EXPECT_TRUE(g_error_matches(error, ADVWATCH_ERROR, ADVWATCH_ERROR_INVALID_ARGUMENT));
    EXPECT_NE(std::string(error->message).find("kind " + std::to_string(kind)), std::string::npos)
        << error->message;
  }
  EXPECT_EQ(patterns->len, 0u);
}

/* ---- decoder ------------------------------------------------------------- */

TEST(AdvwatchDecoder, ReadsEveryFieldAndIgnoresExtraBytes) {
  for (const std::vector<guint8> &extra : {std::vector<guint8>{}, std::vector<guint8>{9, 8, 7, 6, 5, 4}}) {
    auto data = advtest::payload(kOtherId, 200, 77, 1, extra);
    g_autoptr(GError) error = nullptr;
    g_autoptr(AdvwatchBeacon) beacon =
        advwatch_beacon_decode(BEACON_COMPANY_ID, data.data(), data.size(), "AA:BB:CC:DD:EE:01", -61, &error);
    ASSERT_NE(beacon, nullptr) << error->message;
    EXPECT_EQ(advwatch_beacon_get_event_number(beacon), 200);
    EXPECT_EQ(advwatch_beacon_get_sequence_number(beacon), 77);
    // Lower-case whatever case the sender's System ID was written in.
    EXPECT_EQ(advwatch_beacon_get_system_id(beacon), advtest::lower(kOtherId));
    EXPECT_STREQ(advwatch_beacon_get_address(beacon), "AA:BB:CC:DD:EE:01");
    EXPECT_EQ(advwatch_beacon_get_rssi(beacon), -61);
  }
}

TEST(AdvwatchDecoder, RejectsWhatIsNotAVersionOneBeacon) {
  auto good = advtest::payload(kSystemId, 3, 4);
  struct Case {
    const char *what;
    guint16 company;
    std::vector<guint8> data;
    const char *needle;
  };
  std::vector<Case> cases;
  for (size_t length = 0; length < good.size(); length++)
    cases.push_back({"short", BEACON_COMPANY_ID, std::vector<guint8>(good.begin(), good.begin() + length), "bytes"});
  cases.push_back({"other company", static_cast<guint16>(BEACON_COMPANY_ID ^ 0x0101), good, "company"});
  cases.push_back({"apple", 0x004C, good, "company"});
  for (guint8 version : {0, 2, 255})
    cases.push_back({"version", BEACON_COMPANY_ID, advtest::payload(kSystemId, 3, 4, version), "version"});

  for (const auto &c : cases) {
    g_autoptr(GError) error = nullptr;
    AdvwatchBeacon *beacon = advwatch_beacon_decode(c.company, c.data.empty() ? nullptr : c.data.data(),
                                                    c.data.size(), "AA:BB:CC:DD:EE:02", -40, &error);
    EXPECT_EQ(beacon, nullptr) << c.what << " " << c.data.size();
    advwatch_beacon_free(beacon);
    ASSERT_NE(error, nullptr) << c.what;
    EXPECT_TRUE(g_error_matches(error, ADVWATCH_ERROR, ADVWATCH_ERROR_INVALID_ARGUMENT));
    EXPECT_NE(std::string(error->message).find(c.needle), std::string::npos) << error->message;
    EXPECT_NE(std::string(error->message).find("AA:BB:CC:DD:EE:02"), std::string::npos) << error->message;
  }
}

TEST(AdvwatchDecoder, ArbitraryInputDecodesExactlyWhenTheFormatHolds) {
  g_autoptr(GRand) rand = g_rand_new_with_seed(20240611);
  for (int round = 0; round < 2000; round++) {
    std::vector<guint8> data(g_rand_int_range(rand, 0, 40));
    for (auto &b : data)
      b = static_cast<guint8>(g_rand_int_range(rand, 0, 256));
    if (!data.empty() && g_rand_boolean(rand))
      data[0] = 1;  // make well-formed input common enough
    const guint16 company = g_rand_boolean(rand) ? BEACON_COMPANY_ID : static_cast<guint16>(g_rand_int(rand));
    const bool expected = company == BEACON_COMPANY_ID && data.size() >= 19 && data[0] == 1;
    g_autoptr(GError) error = nullptr;
    g_autoptr(AdvwatchBeacon) beacon =
        advwatch_beacon_decode(company, data.data(), data.size(), "00:11:22:33:44:55", 0, &error);
    ASSERT_EQ(beacon != nullptr, expected) << "round " << round;
    ASSERT_EQ(error != nullptr, !expected);
    if (beacon != nullptr) {
      EXPECT_EQ(advwatch_beacon_get_event_number(beacon), data[17]);
      EXPECT_EQ(advwatch_beacon_get_sequence_number(beacon), data[18]);
      EXPECT_EQ(advtest::uuid_bytes(advwatch_beacon_get_system_id(beacon)),
                std::vector<guint8>(data.begin() + 1, data.begin() + 17));
    }
  }
}

/* The published vectors: another implementation checks itself against the
 * same bytes. */
TEST(AdvwatchSigning, PublishedVectorsAndTheClockWindow) {
  guint8 key[ADVWATCH_KEY_LENGTH];
  for (int i = 0; i < ADVWATCH_KEY_LENGTH; i++)
    key[i] = static_cast<guint8>(i + 1);
  const struct {
    guint16 company;
    const char *expected;
  } vectors[] = {
      {0xFFFF, "013f2b8c1e5d4a4e6f9b7c0a1d2e3f4a5b0207007740830e"},
      {0x1234, "013f2b8c1e5d4a4e6f9b7c0a1d2e3f4a5b0207004aebe0b9"},
  };
  for (const auto &v : vectors) {
    auto payload = advtest::payload("3f2b8c1e-5d4a-4e6f-9b7c-0a1d2e3f4a5b", 2, 7, 1, std::vector<guint8>(5, 0xEE));
    ASSERT_EQ(payload.size(), static_cast<size_t>(ADVWATCH_BEACON_SIGNED_LENGTH));
    advwatch_beacon_sign(v.company, payload.data(), 1700000000, key);
    g_autofree gchar *hex = g_new0(gchar, 2 * payload.size() + 1);
    for (size_t i = 0; i < payload.size(); i++)
      g_snprintf(hex + 2 * i, 3, "%02x", payload[i]);
    EXPECT_STREQ(hex, v.expected) << "company " << v.company;
  }

  // The receiver's reading of the clock byte: the one value from its own
  // clock - 128 to + 127, across a wrap of the low byte.
  const gint64 now = 1700000000;  // low byte 0x00
  EXPECT_EQ(advwatch_beacon_full_clock(0x00, now), now);
  EXPECT_EQ(advwatch_beacon_full_clock(0xFF, now), now - 1);
  EXPECT_EQ(advwatch_beacon_full_clock(0x7F, now), now + 127);
  EXPECT_EQ(advwatch_beacon_full_clock(0x80, now), now - 128);
  EXPECT_EQ(advwatch_beacon_full_clock(0x1E, now + 5), now + 30);
}

/* ---- configuration ------------------------------------------------------- */

TEST(AdvwatchConfig, InvalidConfigsFailWithTheirCause) {
  g_autoptr(GPtrArray) patterns = advwatch_patterns_new();
  ASSERT_TRUE(advwatch_pattern_add(patterns, ADVWATCH_PATTERN_SYSTEM_ID, kSystemId, nullptr));
  gchar hci0[] = "/org/bluez/hci0";
  gchar system_id[] = "123e4567-e89b-12d3-a456-426614174000";
  const AdvwatchMonitorConfig good = {hci0, system_id, ADVWATCH_MONITOR_OPTIONS_NONE, unexpected_beacon, nullptr,
                                      patterns};

  struct Case {
    AdvwatchMonitorConfig config;
    const char *needle;
  };
  gchar relative[] = "hci0", trailing[] = "/org/bluez/hci0/", empty[] = "", dots[] = "/org/bluez/hci-0";
  std::vector<Case> cases;
  for (gchar *path : {static_cast<gchar *>(nullptr), relative, trailing, empty, dots}) {
    Case c{good, path != nullptr ? path : "(none)"};
    c.config.adapter_path = path;
    cases.push_back(c);
  }
  Case no_callback{good, "callback"};
  no_callback.config.callback = nullptr;
  cases.push_back(no_callback);
  Case options{good, "options 0x4"};
  options.config.options = 4;
  cases.push_back(options);

  for (const auto &c : cases) {
    g_autoptr(GError) error = nullptr;
    AdvwatchMonitor *monitor = advwatch_monitor_init(&c.config, &error);
    EXPECT_EQ(monitor, nullptr) << c.needle;
    if (monitor != nullptr)
      advwatch_monitor_cleanup(monitor);
    ASSERT_NE(error, nullptr) << c.needle;
    EXPECT_TRUE(g_error_matches(error, ADVWATCH_ERROR, ADVWATCH_ERROR_INVALID_ARGUMENT));
    EXPECT_NE(std::string(error->message).find(c.needle), std::string::npos) << error->message;
  }
}

/* ---- exported application ------------------------------------------------ */

class AdvwatchExport : public ::testing::Test {
 protected:
  void TearDown() override {
    for (AdvwatchMonitor *monitor : monitors_)
      advwatch_monitor_cleanup(monitor);
    // Let late replies and destroy notifies run before the next test.
    th::wait_until([] { return false; }, 50);
  }

  /* A monitor on an adapter no BlueZ serves; the texts and the patterns
   * are freed right after init, as the header allows. */
  AdvwatchMonitor *start(std::vector<std::string> system_ids, bool null_patterns = false) {
    GPtrArray *patterns = null_patterns ? nullptr : advwatch_patterns_new();
    for (const auto &id : system_ids)
      EXPECT_TRUE(advwatch_pattern_add(patterns, ADVWATCH_PATTERN_SYSTEM_ID, id.c_str(), nullptr));
    AdvwatchMonitorConfig config = {g_strdup("/org/bluez/hci0"), g_strdup(kSystemId),
                                    ADVWATCH_MONITOR_OPTIONS_NONE, unexpected_beacon, nullptr, patterns};
    g_autoptr(GError) error = nullptr;
    AdvwatchMonitor *monitor = advwatch_monitor_init(&config, &error);
    g_free(config.adapter_path);
    g_free(config.system_id);
    if (patterns != nullptr)
      g_ptr_array_unref(patterns);
    EXPECT_NE(monitor, nullptr) << (error != nullptr ? error->message : "");
    if (monitor != nullptr)
      monitors_.push_back(monitor);
    return monitor;
  }

  void cleanup(AdvwatchMonitor *monitor) {
    advwatch_monitor_cleanup(monitor);
    monitors_.erase(std::find(monitors_.begin(), monitors_.end(), monitor));
  }

  /* Application roots the library exports, found the way any peer could. */
  std::vector<std::string> roots() {
    g_autoptr(GVariant) reply =
        call(library_name(), "/com/vemo/advwatch", "org.freedesktop.DBus.Introspectable", "Introspect", nullptr,
             "(s)", nullptr);
    std::vector<std::string> out;
    if (reply == nullptr)
      return out;
    const gchar *xml;
    g_variant_get(reply, "(&s)", &xml);
    g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(xml, nullptr);
    for (GDBusNodeInfo **child = node != nullptr ? node->nodes : nullptr; child != nullptr && *child != nullptr;
         child++)
      out.push_back(std::string("/com/vemo/advwatch/") + (*child)->path);
    return out;
  }

  /* The Patterns BlueZ must be given for @system_ids (none: any beacon). */
  static GVariant *expected_patterns(const std::vector<std::string> &system_ids) {
    std::vector<guint8> prefix = {BEACON_COMPANY_ID & 0xFF, BEACON_COMPANY_ID >> 8, 1};
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a(yyay)"));
    auto add = [&](const std::vector<guint8> &content) {
      g_variant_builder_add(&builder, "(yy@ay)", 0, 0xFF,
                            g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, content.data(), content.size(), 1));
    };
    if (system_ids.empty())
      add(prefix);
    for (const auto &id : system_ids) {
      auto content = prefix;
      for (guint8 b : advtest::uuid_bytes(id))
        content.push_back(b);
      add(content);
    }
    return g_variant_ref_sink(g_variant_builder_end(&builder));
  }

  th::LogCapture log_;  // registrations fail here (no BlueZ); one capture only: they do not nest
  std::vector<AdvwatchMonitor *> monitors_;
};

TEST_F(AdvwatchExport, ApplicationCarriesOneOrPatternsMonitorWithTheSystemIdPatterns) {
  struct Case {
    std::vector<std::string> ids;
    bool null_patterns;
  };
  for (const Case &c : {Case{{kSystemId, kOtherId}, false}, Case{{}, false}, Case{{}, true}}) {
    auto before = roots();
    ASSERT_NE(start(c.ids, c.null_patterns), nullptr);
    auto after = roots();
    ASSERT_EQ(after.size(), before.size() + 1);
    std::string root;
    for (const auto &r : after)
      if (std::find(before.begin(), before.end(), r) == before.end())
        root = r;

    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) objects =
        call(library_name(), root, "org.freedesktop.DBus.ObjectManager", "GetManagedObjects", nullptr,
             "(a{oa{sa{sv}}})", &error);
    ASSERT_NE(objects, nullptr) << error->message;
    g_autoptr(GVariant) dict = g_variant_get_child_value(objects, 0);
    ASSERT_EQ(g_variant_n_children(dict), 1u);
    const gchar *path;
    g_autoptr(GVariant) interfaces = nullptr;
    g_variant_get_child(dict, 0, "{&o@a{sa{sv}}}", &path, &interfaces);
    EXPECT_TRUE(g_str_has_prefix(path, (root + "/").c_str())) << path;
    g_autoptr(GVariant) props =
        g_variant_lookup_value(interfaces, "org.bluez.AdvertisementMonitor1", G_VARIANT_TYPE_VARDICT);
    ASSERT_NE(props, nullptr);
    const gchar *type = nullptr;
    EXPECT_TRUE(g_variant_lookup(props, "Type", "&s", &type));
    EXPECT_STREQ(type, "or_patterns");
    g_autoptr(GVariant) patterns = g_variant_lookup_value(props, "Patterns", G_VARIANT_TYPE("a(yyay)"));
    g_autoptr(GVariant) expected = expected_patterns(c.ids);
    ASSERT_NE(patterns, nullptr);
    EXPECT_TRUE(g_variant_equal(patterns, expected)) << g_variant_print(patterns, TRUE);

    // The same values through the monitor object's own properties.
    g_autoptr(GVariant) got = call(library_name(), path, "org.freedesktop.DBus.Properties", "Get",
                                       g_variant_new("(ss)", "org.bluez.AdvertisementMonitor1", "Patterns"),
                                       "(v)", &error);
    ASSERT_NE(got, nullptr) << error->message;
    g_autoptr(GVariant) inner = nullptr;
    g_variant_get(got, "(v)", &inner);
    EXPECT_TRUE(g_variant_equal(inner, expected));
  }
}

TEST_F(AdvwatchExport, MonitorsHaveTheirOwnRootsAndCleanupUnexports) {
  auto before = roots().size();
  AdvwatchMonitor *first = start({kSystemId});
  AdvwatchMonitor *second = start({kSystemId});
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(roots().size(), before + 2);
  // Objects go once BlueZ answered the unregistration (here: the bus, at once).
  cleanup(first);
  EXPECT_TRUE(th::wait_until([&] { return roots().size() == before + 1; }));
  cleanup(second);
  EXPECT_TRUE(th::wait_until([&] { return roots().size() == before; }));
}

TEST_F(AdvwatchExport, OnlyBluezMayCallTheMonitor) {
  auto before = roots();
  ASSERT_NE(start({kSystemId}), nullptr);
  auto after = roots();
  ASSERT_EQ(after.size(), before.size() + 1);
  const std::string monitor_path = after.back() + "/monitor0";
  for (const char *method : {"Activate", "Release", "DeviceFound"}) {
    GVariant *args = g_str_equal(method, "DeviceFound") ? g_variant_new("(o)", "/org/bluez/hci0/dev_00_11_22_33_44_55")
                                                        : nullptr;
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = call(library_name(), monitor_path, "org.bluez.AdvertisementMonitor1", method, args, nullptr, &error);
    EXPECT_EQ(reply, nullptr) << method;
    EXPECT_TRUE(g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_ACCESS_DENIED))
        << method << ": " << (error != nullptr ? error->message : "");
  }
}

/* Pause and resume each need the other state; a registration BlueZ
 * refused (no BlueZ on this bus) is logged and leaves only cleanup. */
TEST_F(AdvwatchExport, PauseAndResumeCheckTheirStateAndAFailedRegistrationLeavesOnlyCleanup) {
  log_.clear();
  const auto exported = roots().size();
  AdvwatchMonitor *monitor = start({kSystemId});
  ASSERT_NE(monitor, nullptr);
  // The registration fails once the context runs; until then the monitor
  // is registering, so nothing iterates before the pause.
  g_autoptr(GError) error = nullptr;
  EXPECT_FALSE(advwatch_monitor_resume(monitor, &error));
  ASSERT_NE(error, nullptr);
  EXPECT_TRUE(g_error_matches(error, ADVWATCH_ERROR, ADVWATCH_ERROR_STATE));
  EXPECT_NE(std::string(error->message).find("not paused"), std::string::npos) << error->message;
  g_clear_error(&error);
  ASSERT_TRUE(advwatch_monitor_pause(monitor, &error));
  EXPECT_FALSE(advwatch_monitor_pause(monitor, &error));
  ASSERT_NE(error, nullptr);
  EXPECT_TRUE(g_error_matches(error, ADVWATCH_ERROR, ADVWATCH_ERROR_STATE));
  EXPECT_NE(std::string(error->message).find("already paused"), std::string::npos) << error->message;
  g_clear_error(&error);

  EXPECT_TRUE(th::wait_until([&] { return roots().size() == exported; }));  // unexported while paused
  ASSERT_TRUE(advwatch_monitor_resume(monitor, &error));
  EXPECT_EQ(roots().size(), exported + 1);

  ASSERT_TRUE(th::wait_until([&] { return log_.count(G_LOG_LEVEL_WARNING, "failed") > 0; }));
  EXPECT_EQ(log_.count(G_LOG_LEVEL_WARNING, "/org/bluez/hci0"), 1u);
  for (auto action : {advwatch_monitor_pause, advwatch_monitor_resume}) {
    g_autoptr(GError) refused = nullptr;
    EXPECT_FALSE(action(monitor, &refused));
    ASSERT_NE(refused, nullptr);
    EXPECT_TRUE(g_error_matches(refused, ADVWATCH_ERROR, ADVWATCH_ERROR_STATE));
    EXPECT_NE(std::string(refused->message).find("registration with BlueZ failed"), std::string::npos)
        << refused->message;
  }
}

}  // namespace

/* Choosing the System ID out of the action rules, and the byte search it
 * uses. */
#include <gtest/gtest.h>

#include <string>

#include "harness.h"
#include "systemid_handler.h"
#include "utils.h"

namespace {

const char kId3[] = "11111111-2222-3333-4444-555555555555";
const char kId7[] = "aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee";

std::string start_event(const std::string &id) {
  return "topic=tns1:Device/tnsvemo:Bluetooth/tnsvemo:BeaconReceived;UUID,value=" + id + ";";
}

struct Rule {
  gint32 id;
  bool enabled;
  std::string start_event;
};

GVariant *reply_of(const std::vector<Rule> &rules) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a(isbaysa{ss})"));
  for (const auto &r : rules) {
    GVariant *bytes = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, r.start_event.data(), r.start_event.size(), 1);
    g_variant_builder_add(&builder, "(isb@aysa{ss})", r.id, "rule", r.enabled, bytes, "<action/>", nullptr);
  }
  return g_variant_ref_sink(g_variant_new("(a(isbaysa{ss}))", &builder));
}

struct Outcome {
  bool ok;
  std::string id; /* "" when none */
  std::string error;
};

Outcome choose(GVariant *reply) {
  gchar *id = nullptr;
  g_autoptr(GError) error = nullptr;
  Outcome o;
  o.ok = systemid_handler_choose_from_reply(reply, &id, &error);
  o.id = id != nullptr ? id : "";
  o.error = error != nullptr ? error->message : "";
  g_free(id);
  g_variant_unref(reply);
  return o;
}

TEST(SystemIdChoice, HighestEnabledRuleIdWinsWhateverTheOrder) {
  EXPECT_EQ(choose(reply_of({{3, true, start_event(kId3)}, {7, true, start_event(kId7)}})).id, kId7);
  EXPECT_EQ(choose(reply_of({{7, true, start_event(kId7)}, {3, true, start_event(kId3)}})).id, kId7);
  // Ties: the earliest in the list.
  EXPECT_EQ(choose(reply_of({{5, true, start_event(kId3)}, {5, true, start_event(kId7)}})).id, kId3);
  // Disabled rules do not count, even with a higher id.
  EXPECT_EQ(choose(reply_of({{3, true, start_event(kId3)}, {9, false, start_event(kId7)}})).id, kId3);
}

TEST(SystemIdChoice, RuleIdsBelowOneAreNeverChosen) {
  Outcome zero = choose(reply_of({{0, true, start_event(kId3)}}));
  EXPECT_TRUE(zero.ok);
  EXPECT_EQ(zero.id, "");
  EXPECT_EQ(choose(reply_of({{-4, true, start_event(kId3)}})).id, "");
  EXPECT_TRUE(choose(reply_of({})).ok);
}

TEST(SystemIdChoice, LayoutOfTheStartEvent) {
  // The marker at p: p + 47 bytes are too few, p + 48 suffice.
  const std::string exact = std::string("UUID,value=") + kId3;
  EXPECT_EQ(choose(reply_of({{1, true, exact}})).id, "");
  EXPECT_EQ(choose(reply_of({{1, true, exact + ";"}})).id, kId3);
  // Only the first marker is examined.
  EXPECT_EQ(choose(reply_of({{1, true, "UUID;" + start_event(kId3)}})).id, "");
  // No marker, empty data.
  EXPECT_EQ(choose(reply_of({{1, true, "topic=x;"}})).id, "");
  EXPECT_EQ(choose(reply_of({{1, true, ""}})).id, "");
  // A zero byte shortens the text, which then is no UUID.
  std::string zero_in_id = std::string("UUID,value=") + "11111111-2222-3333" + std::string(1, '\0') +
                           "4444-555555555555;";
  EXPECT_EQ(choose(reply_of({{1, true, zero_in_id}})).id, "");
  // Either case, returned as it stands.
  const char upper[] = "AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE";
  EXPECT_EQ(choose(reply_of({{1, true, start_event(upper)}})).id, upper);
  EXPECT_EQ(choose(reply_of({{1, true, start_event("not-a-uuid-at-all-but-36-chars-long!")}})).id, "");
}

TEST(SystemIdChoice, MalformedRulesFailTheWholeReading) {
  th::LogCapture log;
  Outcome short_rule = choose(g_variant_ref_sink(g_variant_new_parsed("([(7, 'two members')],)")));
  EXPECT_FALSE(short_rule.ok);
  EXPECT_EQ(short_rule.error, "Failed to get 'enabled' variant from action rule");
  EXPECT_EQ(log.count(G_LOG_LEVEL_WARNING,
                      "Failed to parse system ID rule: Failed to get 'enabled' variant from action rule"),
            1u);

  // Disabled rules are not read beyond their flag.
  EXPECT_TRUE(choose(g_variant_ref_sink(g_variant_new_parsed("([(7, 'n', false)],)"))).ok);
  EXPECT_EQ(choose(g_variant_ref_sink(g_variant_new_parsed("([(7, 'n', true)],)"))).error,
            "Failed to get 'start event' variant from action rule");
  EXPECT_EQ(choose(g_variant_ref_sink(g_variant_new_parsed("([('7', 'n', true, b'x')],)"))).error,
            "Failed to get 'rule ID' variant from action rule");
  EXPECT_EQ(choose(g_variant_ref_sink(g_variant_new_parsed("([(7, 3, true, b'x')],)"))).error,
            "Failed to get 'nice name' variant from action rule");

  log.clear();
  Outcome no_members = choose(g_variant_ref_sink(g_variant_new_parsed("()")));
  EXPECT_FALSE(no_members.ok);
  EXPECT_EQ(log.count(G_LOG_LEVEL_WARNING, "Failed to get action rule variant"), 1u);
  EXPECT_FALSE(choose(g_variant_ref_sink(g_variant_new_parsed("('rules',)"))).ok);
}

TEST(SystemIdChoice, InvalidCandidatesAreLoggedBeforeTheTest) {
  th::LogCapture log;
  choose(reply_of({{1, true, start_event("zzzzzzzz-2222-3333-4444-555555555555")}}));
  EXPECT_EQ(log.count(G_LOG_LEVEL_DEBUG, "System ID: zzzzzzzz-2222-3333-4444-555555555555 from rule 'rule'"), 1u);
}

TEST(Subarray, FindsTheFirstOccurrence) {
  const guint8 data[] = {1, 2, 3, 1, 2, 3};
  const guint8 needle[] = {2, 3};
  const guint8 tail[] = {3, 1, 2, 3};
  const guint8 absent[] = {3, 3};
  guint32 index = 99;
  EXPECT_TRUE(utils_is_subarray(data, sizeof data, needle, sizeof needle, &index));
  EXPECT_EQ(index, 1u);
  EXPECT_TRUE(utils_is_subarray(data, sizeof data, tail, sizeof tail, &index));
  EXPECT_EQ(index, 2u);
  index = 99;
  EXPECT_FALSE(utils_is_subarray(data, sizeof data, absent, sizeof absent, &index));
  EXPECT_EQ(index, 99u);
  // Longer than the array; empty needle (also in an empty array).
  EXPECT_FALSE(utils_is_subarray(needle, sizeof needle, data, sizeof data, &index));
  EXPECT_TRUE(utils_is_subarray(data, 0, needle, 0, &index));
  EXPECT_EQ(index, 0u);
  // A match ending on the last byte.
  const guint8 last[] = {2, 3};
  EXPECT_TRUE(utils_is_subarray(data + 3, 3, last, 2, &index));
  EXPECT_EQ(index, 1u);
}

}  // namespace

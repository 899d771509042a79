/* Edge cases of rules files, start events and the action XML, without a bus. */
#include <glib/gstdio.h>
#include <gtest/gtest.h>

#include "rules.h"

namespace {

class RulesFile : public ::testing::Test {
 protected:
  RulesFile() {
    g_autoptr(GError) error = nullptr;
    gint fd = g_file_open_tmp("rules-XXXXXX.conf", &path_, &error);
    g_assert_no_error(error);
    close(fd);
  }
  ~RulesFile() override {
    g_unlink(path_);
    g_free(path_);
  }
  /* Loads @text; on failure returns the error message. */
  std::string load(const std::string &text, std::vector<ae::Rule> *rules) {
    g_assert_true(g_file_set_contents(path_, text.c_str(), -1, nullptr));
    g_autoptr(GError) error = nullptr;
    if (!ae::load_rules_file(path_, rules, &error))
      return error->message;
    return "";
  }
  gchar *path_ = nullptr;
};

TEST_F(RulesFile, MalformedFilesFailNamingFileGroupAndKey) {
  std::vector<ae::Rule> rules = {ae::Rule()};
  struct Case {
    const char *text;
    const char *expected;
  } cases[] = {
      {"[rule seven]\n", "group [rule seven] is not of the form [rule N]"},
      {"[rules 7]\n", "group [rules 7] is not of the form"},
      {"[rule 99999999999]\n", "group [rule 99999999999] is not of the form"},
      {"[rule 1]\nsofiel=/x.so\n", "[rule 1]: unknown key \"sofiel\""},
      {"[rule 1]\nparam_=x\n", "[rule 1]: unknown key \"param_\""},
      {"[rule 1]\nenabled=sometimes\n", "[rule 1]: key \"enabled\""},
      {"[rule 1]\nplugin=telvo\n", "[rule 1]: \"plugin\" given without \"sofile\""},
      {"[rule 1]\n[rule 01]\n", "rule 1 is defined twice"},
      {"no group=1\n", "cannot read rules file"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    std::string message = load(c.text, &rules);
    EXPECT_NE(message.find(c.expected), std::string::npos) << message;
    EXPECT_NE(message.find(path_), std::string::npos) << message;
    EXPECT_EQ(rules.size(), 1u) << "a failed load leaves the rules alone";
  }
}

TEST(StartEvent, SystemIdSitsElevenBytesAfterTheMarker) {
  ae::StartEvent e = ae::parse_start_event(
      "topic=tns1:Device/tnsvemo:Bluetooth/tnsvemo:BeaconReceived;UUID,value=0F5B-aa;");
  EXPECT_EQ(e.topic, "tns1:Device/tnsvemo:Bluetooth/tnsvemo:BeaconReceived");
  EXPECT_EQ(e.system_id, "0F5B-aa");

  /* Whatever the 11 bytes say; the text may also end without ';'. */
  e = ae::parse_start_event("UUID:xxxxxxABC;topic=t");
  EXPECT_EQ(e.system_id, "ABC");
  EXPECT_EQ(e.topic, "t");

  EXPECT_FALSE(ae::parse_start_event("topic=t;UUID,value=").valid());
  EXPECT_FALSE(ae::parse_start_event("topic=t").valid());
  EXPECT_FALSE(ae::parse_start_event("UUID,value=abc;").valid());
  EXPECT_FALSE(ae::parse_start_event("").valid());
}

TEST(StartEvent, MatchesTopicExactlyAndSystemIdInEitherCase) {
  ae::StartEvent e = ae::parse_start_event("topic=a/b;UUID,value=0f5b4c1e-aa;");
  EXPECT_TRUE(ae::start_event_matches(e, "a/b", "0f5b4c1e-aa"));
  EXPECT_TRUE(ae::start_event_matches(e, "a/b", "0F5B4C1E-AA"));
  EXPECT_FALSE(ae::start_event_matches(e, "a/b", "0f5b4c1e-ab"));
  EXPECT_FALSE(ae::start_event_matches(e, "a/b", "0f5b4c1e-aa0"));
  EXPECT_FALSE(ae::start_event_matches(e, "a/bc", "0f5b4c1e-aa"));
  EXPECT_FALSE(ae::start_event_matches(e, "A/B", "0f5b4c1e-aa"));
  EXPECT_FALSE(ae::start_event_matches(e, "a/b", nullptr));
  EXPECT_FALSE(ae::start_event_matches(ae::StartEvent(), "", ""));
}

TEST(Action, XmlEscapesAndNamesThePlugin) {
  EXPECT_EQ(ae::plugin_name_from_sofile("/usr/lib/plugins/libtelvo.so"), "telvo");
  EXPECT_EQ(ae::plugin_name_from_sofile("libtelvo.so.1.2"), "telvo");
  EXPECT_EQ(ae::plugin_name_from_sofile("/x/fixture.so"), "fixture");
  EXPECT_EQ(ae::plugin_name_from_sofile("/x/lib"), "lib");

  ae::Rule rule;
  rule.sofile = "/tmp/a&b/<lib>.so";
  rule.plugin = "p\"q";
  EXPECT_EQ(rule.action_xml(),
            "<action><plugin>p&quot;q</plugin><sofile>/tmp/a&amp;b/&lt;lib&gt;.so</sofile></action>");

  ae::Rule other = rule;
  other.name = "another name";
  other.enabled = false;
  EXPECT_TRUE(rule.same_action(other));
  other.parameters["x"] = "1";
  EXPECT_FALSE(rule.same_action(other));
}

}  // namespace

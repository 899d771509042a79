#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"
#include "xtag.h"

namespace {

std::vector<std::string> child_names(XtagNode *node) {
  std::vector<std::string> names;
  GList *list = xtag_get_all_tags(node);
  for (GList *l = list; l != nullptr; l = l->next)
    names.emplace_back(xtag_get_name(static_cast<XtagNode *>(l->data)));
  g_list_free(list);
  return names;
}

TEST(Xtag, TreeNamesAttributesAndText) {
  const char *doc =
      "<?xml version=\"1.0\"?>\n"
      "<!-- action configuration -->\n"
      "<action id=\"7\" kind='beacon'>\n"
      "  <plugin>telvo</plugin>\n"
      "  <sofile path=\"/x\">/usr/lib/libtelvo.so</sofile>\n"
      "  <plugin>second &amp; later</plugin>\n"
      "  <nested><plugin>deep</plugin></nested>\n"
      "</action>\n";
  g_autoptr(GError) error = nullptr;
  g_autoptr(XtagNode) root = xtag_parse(doc, -1, &error);
  ASSERT_NE(root, nullptr) << error->message;
  EXPECT_STREQ(xtag_get_name(root), "action");
  EXPECT_STREQ(xtag_get_attribute(root, "id"), "7");
  EXPECT_STREQ(xtag_get_attribute(root, "kind"), "beacon");
  EXPECT_EQ(xtag_get_attribute(root, "missing"), nullptr);

  EXPECT_EQ(child_names(root), (std::vector<std::string>{"plugin", "sofile", "plugin", "nested"}));

  /* First direct child of that name, never one further down. */
  XtagNode *plugin = xtag_find_tag(root, "plugin");
  ASSERT_NE(plugin, nullptr);
  EXPECT_STREQ(xtag_get_text(plugin), "telvo");
  XtagNode *sofile = xtag_find_tag(root, "sofile");
  ASSERT_NE(sofile, nullptr);
  EXPECT_STREQ(xtag_get_text(sofile), "/usr/lib/libtelvo.so");
  EXPECT_STREQ(xtag_get_attribute(sofile, "path"), "/x");
  EXPECT_EQ(xtag_find_tag(root, "deep"), nullptr);
  XtagNode *nested = xtag_find_tag(root, "nested");
  ASSERT_NE(nested, nullptr);
  XtagNode *deep = xtag_find_tag(nested, "plugin");
  ASSERT_NE(deep, nullptr);
  EXPECT_STREQ(xtag_get_text(deep), "deep");
  EXPECT_TRUE(child_names(deep).empty());

  /* The element's own text only, entities resolved, white space kept. */
  GList *all = xtag_get_all_tags(root);
  EXPECT_STREQ(xtag_get_text(static_cast<XtagNode *>(g_list_nth_data(all, 2))), "second & later");
  g_list_free(all);
  std::string own = xtag_get_text(root);
  EXPECT_EQ(own.find("telvo"), std::string::npos);
  EXPECT_EQ(own.find_first_not_of(" \n"), std::string::npos);
}

TEST(Xtag, LengthLimitsTheInput) {
  const char doc[] = "<a><b/></a><c/>";
  g_autoptr(GError) error = nullptr;
  g_autoptr(XtagNode) root = xtag_parse(doc, 11, &error);
  ASSERT_NE(root, nullptr) << error->message;
  EXPECT_EQ(child_names(root), std::vector<std::string>{"b"});
  EXPECT_STREQ(xtag_get_text(root), "");
}

struct BadDoc {
  const char *text;
  int code;
  const char *position; /* expected "line L char C" prefix */
  const char *detail;
};

TEST(Xtag, MalformedDocumentsNameLineAndColumn) {
  const BadDoc cases[] = {
      {"<a>\n  <b></c>\n</a>", XTAG_ERROR_PARSE, "Error on line 2 char 10", "c"},
      {"<a>\n<b>\n", XTAG_ERROR_PARSE, "Error on line 3 char ", "b"},
      {"<a/>\n<second/>", XTAG_ERROR_PARSE, "Error on line 2 char ", "follows the root element 'a'"},
      {"<a/> trailing", XTAG_ERROR_PARSE, "Error on line 1 char ", ""},
      {"  \n ", XTAG_ERROR_EMPTY, "", ""},
      {"", XTAG_ERROR_EMPTY, "", ""},
      {"<a x=\"1\" x=\"2\"/>", XTAG_ERROR_PARSE, "Error on line 1 char ", "Attribute 'x' given twice"},
      {"<a>\xff</a>", XTAG_ERROR_PARSE, "", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    g_autoptr(GError) error = nullptr;
    g_autoptr(XtagNode) root = xtag_parse(c.text, -1, &error);
    EXPECT_EQ(root, nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_TRUE(g_error_matches(error, XTAG_ERROR, c.code)) << error->message;
    EXPECT_TRUE(g_str_has_prefix(error->message, c.position)) << error->message;
    EXPECT_NE(std::string(error->message).find(c.detail), std::string::npos) << error->message;
  }
}

TEST(Xtag, NestingIsBoundedNotAStackOverflow) {
  std::string at_limit, beyond;
  for (guint i = 0; i < XTAG_MAX_DEPTH; i++)
    at_limit += "<a>";
  for (guint i = 0; i < XTAG_MAX_DEPTH; i++)
    at_limit += "</a>";
  g_autoptr(XtagNode) root = xtag_parse(at_limit.c_str(), -1, nullptr);
  EXPECT_NE(root, nullptr);

  // Far deeper than any stack could recurse through, unclosed as well.
  for (int i = 0; i < 300000; i++)
    beyond += "<a>";
  g_autoptr(GError) error = nullptr;
  g_autoptr(XtagNode) refused = xtag_parse(beyond.c_str(), -1, &error);
  EXPECT_EQ(refused, nullptr);
  ASSERT_NE(error, nullptr);
  EXPECT_NE(std::string(error->message).find("nested deeper than 256 levels"), std::string::npos) << error->message;
}

std::string nested(guint depth) {
  std::string doc;
  for (guint i = 0; i < depth; i++)
    doc += "<n>";
  for (guint i = 0; i < depth; i++)
    doc += "</n>";
  return doc;
}

/* Deep nesting is refused with an error rather than exhausting the stack. */
TEST(Xtag, NestingIsBounded) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(XtagNode) deepest = xtag_parse(nested(XTAG_MAX_DEPTH).c_str(), -1, &error);
  ASSERT_NE(deepest, nullptr) << error->message;
  guint depth = 1;
  for (XtagNode *n = xtag_find_tag(deepest, "n"); n != nullptr; n = xtag_find_tag(n, "n"))
    depth++;
  EXPECT_EQ(depth, XTAG_MAX_DEPTH);

  g_autoptr(XtagNode) too_deep = xtag_parse(nested(XTAG_MAX_DEPTH + 1).c_str(), -1, &error);
  EXPECT_EQ(too_deep, nullptr);
  ASSERT_NE(error, nullptr);
  EXPECT_TRUE(g_error_matches(error, XTAG_ERROR, XTAG_ERROR_PARSE));
  EXPECT_NE(std::string(error->message).find("nested deeper than"), std::string::npos) << error->message;
}

TEST(Xtag, PreconditionsAreCriticals) {
  th::LogCapture log;
  EXPECT_EQ(xtag_parse(nullptr, -1, nullptr), nullptr);
  EXPECT_EQ(xtag_find_tag(nullptr, "x"), nullptr);
  EXPECT_EQ(xtag_get_all_tags(nullptr), nullptr);
  EXPECT_EQ(xtag_get_name(nullptr), nullptr);
  EXPECT_EQ(log.count(G_LOG_LEVEL_CRITICAL, "assertion"), 4u);
  xtag_node_free(nullptr); /* like g_free: allowed */
  EXPECT_EQ(log.count(G_LOG_LEVEL_CRITICAL, "assertion"), 4u);
}

}  // namespace

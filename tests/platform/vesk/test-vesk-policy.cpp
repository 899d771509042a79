/* The policy model on its own: key-file parsing, who matches, and the
 * user-database lookups it relies on. */
#include <gtest/gtest.h>

#include <pwd.h>

#include <string>
#include <vector>

#include "harness.h"
#include "vesk-policy.h"
#include "vesk.h"

namespace {

const char test_path[] = "/etc/vesk/test-policy.conf";

std::unique_ptr<vesk::Policy> parse_ok(const std::string &text) {
  g_autoptr(GError) error = nullptr;
  auto policy = vesk::Policy::parse(test_path, text, &error);
  EXPECT_NE(policy, nullptr) << (error ? error->message : "");
  return policy;
}

vesk::Identity identity(uid_t uid, std::vector<gid_t> gids) {
  vesk::Identity who;
  who.uid = uid;
  who.gids = std::move(gids);
  return who;
}

uid_t nobody_uid() {
  uid_t uid = 0;
  EXPECT_TRUE(vesk::lookup_user_id("nobody", &uid)) << "this test needs the user 'nobody'";
  return uid;
}

gid_t nogroup_gid() {
  gid_t gid = 0;
  EXPECT_TRUE(vesk::lookup_group_id("nogroup", &gid)) << "this test needs the group 'nogroup'";
  return gid;
}

}  // namespace

TEST(VeskPolicy, AcceptsKeyFileSyntax) {
  auto policy = parse_ok(
      "# access policy\n"
      "\n"
      "   # indented comment\n"
      "[com.vemo.A]\r\n"
      "users = nobody ; 4242;\r\n"
      "groups=\n"
      "\n"
      "  [com.vemo.B]  \n"
      "groups=nogroup;;4343\n"
      "[com.vemo.C]\n");
  ASSERT_NE(policy, nullptr);
  EXPECT_EQ(policy->size(), 3u);
  EXPECT_TRUE(policy->has_action("com.vemo.A"));
  EXPECT_TRUE(policy->has_action("com.vemo.B"));
  EXPECT_TRUE(policy->has_action("com.vemo.C"));
  EXPECT_FALSE(policy->has_action("com.vemo.D"));

  // Entries are trimmed and empty ones skipped: each listed id matches.
  EXPECT_TRUE(policy->allows(identity(4242, {}), "com.vemo.A"));
  EXPECT_TRUE(policy->allows(identity(nobody_uid(), {}), "com.vemo.A"));
  EXPECT_TRUE(policy->allows(identity(5000, {4343}), "com.vemo.B"));
  EXPECT_TRUE(policy->allows(identity(5000, {nogroup_gid()}), "com.vemo.B"));
  // Rules do not leak into each other; a group without lists allows no one.
  EXPECT_FALSE(policy->allows(identity(4242, {}), "com.vemo.B"));
  EXPECT_FALSE(policy->allows(identity(5000, {4343}), "com.vemo.A"));
  EXPECT_FALSE(policy->allows(identity(4242, {4343}), "com.vemo.C"));
}

TEST(VeskPolicy, RejectsMalformedFilesNamingFileAndLine) {
  static const char with_nul[] = "[a]\nusers=x\n[b]\nusers=y\0z\n";
  struct Case {
    std::string text;
    guint line;
    const char *fragment;
  };
  const Case cases[] = {
      {"users=nobody\n", 1, "before any [action id]"},
      {"# c\n[a]\nusers=x\n[b\n", 4, "lacks the closing ']'"},
      {"[a] trailing\n", 1, "unexpected text after ']'"},
      {"\n\n[]\n", 3, "empty action id"},
      {"[a]\nusers=x\n[a]\n", 3, "already defined at line 1"},
      {"[a]\nuser=nobody\n", 2, "unknown key 'user'"},
      {"[a]\nusers[de]=nobody\n", 2, "unknown key"},
      {"[a]\nusers=a\ngroups=b\nusers=c\n", 4, "set twice"},
      {"[a]\njust some words\n", 2, "expected '[action id]'"},
      {"[a]\nusers=nobody,root\n", 2, "separate entries with ';'"},
      {"[a]\nusers=no body\n", 2, "white space"},
      {"[a]\ngroups=\\snobody\n", 2, "escape sequences"},
      {"[a]\nusers=4294967295\n", 2, "out of range"},
      {"[a]\nusers=99999999999999999999\n", 2, "out of range"},
      {"[a]\nusers=\xff\xfe\n", 2, "not valid UTF-8"},
      {std::string(with_nul, sizeof with_nul - 1), 4, "NUL byte"},
  };
  for (const Case &c : cases) {
    const std::string &text = c.text;
    g_autoptr(GError) error = nullptr;
    auto policy = vesk::Policy::parse(test_path, text, &error);
    EXPECT_EQ(policy, nullptr) << "accepted: " << text;
    ASSERT_NE(error, nullptr) << text;
    EXPECT_TRUE(g_error_matches(error, VESK_ERROR, VESK_ERROR_FAILED)) << error->message;
    const std::string message = error->message;
    EXPECT_NE(message.find(test_path), std::string::npos) << message;
    EXPECT_NE(message.find("line " + std::to_string(c.line) + ":"), std::string::npos)
        << "wanted line " << c.line << ": " << message;
    EXPECT_NE(message.find(c.fragment), std::string::npos) << message;
  }
}

TEST(VeskPolicy, MatchesUsersByNameAndNumber) {
  const uid_t nobody = nobody_uid();
  const std::string number = std::to_string(nobody);

  auto by_name = parse_ok("[act]\nusers=nobody\n");
  auto by_number = parse_ok("[act]\nusers=" + number + "\n");
  ASSERT_TRUE(by_name && by_number);
  for (const auto *policy : {by_name.get(), by_number.get()}) {
    EXPECT_TRUE(policy->allows(identity(nobody, {}), "act"));
    EXPECT_FALSE(policy->allows(identity(nobody + 1, {}), "act"));
    EXPECT_FALSE(policy->allows(identity(nobody, {}), "other"));
  }

  // A user name that does not resolve must not match anyone, even though
  // a failed lookup leaves no uid to compare.
  auto unknown = parse_ok("[act]\nusers=no-such-user-vesk\n");
  ASSERT_TRUE(unknown);
  EXPECT_FALSE(unknown->allows(identity(4242, {0}), "act"));
}

TEST(VeskPolicy, MatchesGroupsByNameAndNumber) {
  const gid_t nogroup = nogroup_gid();

  auto by_name = parse_ok("[act]\ngroups=nogroup\n");
  auto by_number = parse_ok("[act]\ngroups=" + std::to_string(nogroup) + "\n");
  ASSERT_TRUE(by_name && by_number);
  for (const auto *policy : {by_name.get(), by_number.get()}) {
    // Any of the caller's groups counts, not only the first.
    EXPECT_TRUE(policy->allows(identity(4242, {100, nogroup}), "act"));
    EXPECT_TRUE(policy->allows(identity(4242, {nogroup}), "act"));
    EXPECT_FALSE(policy->allows(identity(4242, {100, 101}), "act"));
    EXPECT_FALSE(policy->allows(identity(4242, {}), "act"));
    // The group list matches gids, never the uid.
    EXPECT_FALSE(policy->allows(identity(nogroup, {}), "act"));
  }

  auto unknown = parse_ok("[act]\ngroups=no-such-group-vesk\n");
  ASSERT_TRUE(unknown);
  EXPECT_FALSE(unknown->allows(identity(4242, {0}), "act"));
}

TEST(VeskPolicy, RootIsAlwaysAllowedAndNobodyElseWithoutARule) {
  auto policy = parse_ok("[act]\nusers=4242\n");
  auto root_only = vesk::Policy::root_only();
  ASSERT_TRUE(policy && root_only);
  EXPECT_TRUE(policy->allows(identity(0, {0}), "act"));
  EXPECT_TRUE(policy->allows(identity(0, {}), "not.in.file"));
  EXPECT_TRUE(root_only->allows(identity(0, {}), "act"));
  EXPECT_FALSE(policy->allows(identity(4242, {}), "not.in.file"));
  EXPECT_FALSE(root_only->allows(identity(4242, {0}), "act"));
  EXPECT_EQ(root_only->size(), 0u);
}

TEST(VeskIdentity, ComesFromTheUserDatabase) {
  g_autoptr(GError) error = nullptr;
  vesk::Identity root;
  ASSERT_TRUE(vesk::lookup_identity(0, &root, &error)) << error->message;
  EXPECT_TRUE(root.known);
  EXPECT_EQ(root.name, "root");
  EXPECT_NE(std::find(root.gids.begin(), root.gids.end(), 0u), root.gids.end());

  struct passwd *pw = getpwnam("nobody");
  ASSERT_NE(pw, nullptr);
  const uid_t nobody_id = pw->pw_uid;
  const gid_t nobody_gid = pw->pw_gid;
  vesk::Identity nobody;
  ASSERT_TRUE(vesk::lookup_identity(nobody_id, &nobody, &error)) << error->message;
  EXPECT_TRUE(nobody.known);
  EXPECT_EQ(nobody.uid, nobody_id);
  EXPECT_EQ(nobody.name, "nobody");
  EXPECT_NE(std::find(nobody.gids.begin(), nobody.gids.end(), nobody_gid), nobody.gids.end());
  EXPECT_EQ(std::find(nobody.gids.begin(), nobody.gids.end(), 0u), nobody.gids.end());

  // A uid without an entry is no failure, but it gets no groups.
  uid_t unused = 3999999;
  while (getpwuid(unused) != nullptr)
    unused++;
  vesk::Identity stranger;
  ASSERT_TRUE(vesk::lookup_identity(unused, &stranger, &error));
  EXPECT_FALSE(stranger.known);
  EXPECT_EQ(stranger.uid, unused);
  EXPECT_TRUE(stranger.gids.empty());
  EXPECT_TRUE(stranger.name.empty());
}

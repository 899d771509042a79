/* vesk_init and vesk_check_auth against a private bus, with callers
 * running as root (this test) and as "nobody" (a helper under setpriv). */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <glib/gstdio.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <thread>

#include "harness.h"
#include "vesk.h"

namespace {

/* A bus client running as "nobody" with its unique name. */
struct Peer {
  std::unique_ptr<th::Process> process;
  std::string name;
};

Peer start_nobody_peer() {
  Peer peer;
  peer.process = std::make_unique<th::Process>(std::vector<std::string>{
      "setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", BUS_PEER_BIN});
  const std::string marker = "unique-name=";
  if (!peer.process->wait_for_log(marker)) {
    ADD_FAILURE() << "bus peer did not start: " << peer.process->log();
    return peer;
  }
  size_t begin = peer.process->log().find(marker) + marker.size();
  if (!peer.process->wait_for_log("\n", 5000, begin)) {
    ADD_FAILURE() << "bus peer printed no whole name: " << peer.process->log();
    return peer;
  }
  std::string log = peer.process->log();
  peer.name = log.substr(begin, log.find('\n', begin) - begin);
  return peer;
}

class VeskBus : public ::testing::Test {
 protected:
  void SetUp() override {
    bus_ = std::make_unique<th::Bus>();
    char tmpl[] = "/tmp/vesk-test-XXXXXX";
    ASSERT_NE(g_mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    policy_ = dir_ + "/policy.conf";
    g_setenv("VESK_POLICY", policy_.c_str(), TRUE);
  }
  void TearDown() override {
    g_unsetenv("VESK_POLICY");
    g_unlink(policy_.c_str());
    g_rmdir((dir_ + "/sub").c_str());
    g_rmdir(dir_.c_str());
  }

  /* Rewrites the file in place (same inode), as an editor may. */
  void write_policy(const std::string &text) {
    std::ofstream out(policy_, std::ios::trunc);
    out << text;
    ASSERT_TRUE(out.good());
  }

  /* 1, 0 or -code, so EXPECT_EQ shows which. */
  int check(const std::string &sender, const char *action, std::string *message = nullptr) {
    g_autoptr(GError) error = nullptr;
    gint allowed = vesk_check_auth(sender.c_str(), action, &error);
    if (allowed != 0) {
      EXPECT_EQ(error, nullptr);
      return 1;
    }
    EXPECT_NE(error, nullptr);
    if (error == nullptr)
      return 0;
    EXPECT_EQ(error->domain, VESK_ERROR);
    if (message != nullptr)
      *message = error->message;
    return -error->code;
  }

  std::string own_name() { return g_dbus_connection_get_unique_name(bus_->connection()); }

  std::unique_ptr<th::Bus> bus_;
  std::string dir_;
  std::string policy_;
};

constexpr int allowed = 1;
constexpr int denied = -VESK_ERROR_DENIED;
constexpr int failed = -VESK_ERROR_FAILED;

}  // namespace

TEST_F(VeskBus, InitReadsPolicyOrNamesTheBrokenFileAndLine) {
  g_autoptr(GError) error = nullptr;
  // Missing file: fine, root only.
  EXPECT_TRUE(vesk_init(&error));
  EXPECT_EQ(error, nullptr);

  write_policy("[com.vemo.A]\nusers=nobody\n");
  EXPECT_TRUE(vesk_init(&error));

  write_policy("[com.vemo.A]\nusers=nobody\n\n# note\nowner=root\n");
  EXPECT_FALSE(vesk_init(&error));
  ASSERT_NE(error, nullptr);
  EXPECT_TRUE(g_error_matches(error, VESK_ERROR, VESK_ERROR_FAILED));
  EXPECT_NE(std::string(error->message).find(policy_), std::string::npos) << error->message;
  EXPECT_NE(std::string(error->message).find("line 5"), std::string::npos) << error->message;
  g_clear_error(&error);

  // Present but unreadable as a file.
  g_unlink(policy_.c_str());
  std::string sub = dir_ + "/sub";
  ASSERT_EQ(g_mkdir(sub.c_str(), 0700), 0);
  g_setenv("VESK_POLICY", sub.c_str(), TRUE);
  EXPECT_FALSE(vesk_init(&error));
  ASSERT_NE(error, nullptr);
  EXPECT_NE(std::string(error->message).find(sub), std::string::npos) << error->message;
}

TEST_F(VeskBus, RootCallerIsAlwaysAllowed) {
  write_policy("[com.vemo.A]\nusers=4242\n");
  EXPECT_EQ(check(own_name(), "com.vemo.A"), allowed);
  EXPECT_EQ(check(own_name(), "com.vemo.NotListed"), allowed);
  g_unlink(policy_.c_str());
  EXPECT_EQ(check(own_name(), "com.vemo.A"), allowed);
}

TEST_F(VeskBus, OtherUserIsCheckedAgainstThePolicy) {
  Peer peer = start_nobody_peer();
  ASSERT_FALSE(peer.name.empty());
  struct passwd *pw = getpwnam("nobody");
  struct group *gr = getgrnam("nogroup");
  ASSERT_TRUE(pw != nullptr && gr != nullptr);
  const std::string uid = std::to_string(pw->pw_uid);
  const std::string gid = std::to_string(gr->gr_gid);

  std::string message;
  // No file: root only.
  EXPECT_EQ(check(peer.name, "com.vemo.A", &message), denied);
  EXPECT_NE(message.find("com.vemo.A"), std::string::npos) << message;
  EXPECT_NE(message.find("uid " + uid), std::string::npos) << message;

  // Each rewrite is picked up at the next check.
  write_policy("[com.vemo.A]\nusers=root\n");
  EXPECT_EQ(check(peer.name, "com.vemo.A"), denied);
  write_policy("[com.vemo.A]\nusers=nobody\n");
  EXPECT_EQ(check(peer.name, "com.vemo.A"), allowed);
  EXPECT_EQ(check(peer.name, "com.vemo.B", &message), denied);
  EXPECT_NE(message.find("com.vemo.B"), std::string::npos) << message;
  // Same size as the previous text, rewritten in place.
  write_policy("[com.vemo.B]\nusers=nobody\n");
  EXPECT_EQ(check(peer.name, "com.vemo.A"), denied);
  EXPECT_EQ(check(peer.name, "com.vemo.B"), allowed);
  write_policy("[com.vemo.A]\nusers=" + uid + "\n");
  EXPECT_EQ(check(peer.name, "com.vemo.A"), allowed);
  write_policy("[com.vemo.A]\ngroups=nogroup\n");
  EXPECT_EQ(check(peer.name, "com.vemo.A"), allowed);
  write_policy("[com.vemo.A]\ngroups=" + gid + "\n");
  EXPECT_EQ(check(peer.name, "com.vemo.A"), allowed);
  write_policy("[com.vemo.A]\ngroups=root\nusers=4242\n");
  EXPECT_EQ(check(peer.name, "com.vemo.A"), denied);

  // A same-size rewrite that keeps the old modification time (as archive
  // tools set it), once the first text was read with settled time stamps:
  // the change time still tells.
  write_policy("[com.vemo.A]\nusers=nobody\n");
  const struct timespec old_times[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, policy_.c_str(), old_times, 0), 0);
  g_usleep(2500 * 1000);
  EXPECT_EQ(check(peer.name, "com.vemo.A"), allowed);
  EXPECT_EQ(check(peer.name, "com.vemo.A"), allowed);
  write_policy("[com.vemo.B]\nusers=nobody\n");
  ASSERT_EQ(utimensat(AT_FDCWD, policy_.c_str(), old_times, 0), 0);
  EXPECT_EQ(check(peer.name, "com.vemo.A"), denied);
  EXPECT_EQ(check(peer.name, "com.vemo.B"), allowed);
  // Replaced by another file (a new inode) of the same size and times.
  const std::string next = dir_ + "/next.conf";
  std::ofstream(next) << "[com.vemo.A]\nusers=nobody\n";
  ASSERT_EQ(utimensat(AT_FDCWD, next.c_str(), old_times, 0), 0);
  ASSERT_EQ(g_rename(next.c_str(), policy_.c_str()), 0);
  EXPECT_EQ(check(peer.name, "com.vemo.A"), allowed);
}

TEST_F(VeskBus, PolicyThatIsNoRegularFileFailsWithoutWaiting) {
  // A FIFO would block an open() for reading until a writer comes.
  ASSERT_EQ(mkfifo(policy_.c_str(), 0600), 0);
  g_autoptr(GError) error = nullptr;
  EXPECT_FALSE(vesk_init(&error));
  ASSERT_NE(error, nullptr);
  EXPECT_TRUE(g_error_matches(error, VESK_ERROR, VESK_ERROR_FAILED));
  EXPECT_NE(std::string(error->message).find(policy_), std::string::npos) << error->message;
  EXPECT_NE(std::string(error->message).find("FIFO"), std::string::npos) << error->message;
  std::string message;
  EXPECT_EQ(check(own_name(), "com.vemo.A", &message), failed);
  EXPECT_NE(message.find("not a regular file"), std::string::npos) << message;

  // Fixed: checks work again.
  g_unlink(policy_.c_str());
  write_policy("[com.vemo.A]\nusers=nobody\n");
  EXPECT_EQ(check(own_name(), "com.vemo.A"), allowed);

  // A character device read as a policy would never end.
  g_setenv("VESK_POLICY", "/dev/zero", TRUE);
  EXPECT_EQ(check(own_name(), "com.vemo.A", &message), failed);
  EXPECT_NE(message.find("/dev/zero"), std::string::npos) << message;
}

TEST_F(VeskBus, BrokenOrRemovedPolicyFailsClosed) {
  Peer peer = start_nobody_peer();
  ASSERT_FALSE(peer.name.empty());
  write_policy("[com.vemo.A]\nusers=nobody\n");
  EXPECT_EQ(check(peer.name, "com.vemo.A"), allowed);

  std::string message;
  write_policy("[com.vemo.A]\nusers=nobody\n[com.vemo.A\n");
  EXPECT_EQ(check(peer.name, "com.vemo.A", &message), failed);
  EXPECT_NE(message.find(policy_), std::string::npos) << message;
  EXPECT_NE(message.find("line 3"), std::string::npos) << message;
  // Not even root passes a policy that cannot be read.
  EXPECT_EQ(check(own_name(), "com.vemo.A"), failed);

  g_unlink(policy_.c_str());
  EXPECT_EQ(check(peer.name, "com.vemo.A"), denied);
  EXPECT_EQ(check(own_name(), "com.vemo.A"), allowed);

  write_policy("[com.vemo.A]\nusers=nobody\n");
  EXPECT_EQ(check(peer.name, "com.vemo.A"), allowed);
}

TEST_F(VeskBus, BadArgumentsAndUnknownSendersFail) {
  write_policy("[com.vemo.A]\nusers=nobody\n");
  std::string message;
  EXPECT_EQ(check(":1.9999", "com.vemo.A", &message), failed);
  EXPECT_NE(message.find(":1.9999"), std::string::npos) << message;
  EXPECT_EQ(check("com.vemo.NotOwned", "com.vemo.A"), failed);
  EXPECT_EQ(check("not a bus name", "com.vemo.A"), failed);
  EXPECT_EQ(check(own_name(), ""), failed);

  g_autoptr(GError) error = nullptr;
  EXPECT_EQ(vesk_check_auth(nullptr, "com.vemo.A", &error), 0);
  EXPECT_TRUE(g_error_matches(error, VESK_ERROR, VESK_ERROR_FAILED));
  g_clear_error(&error);
  EXPECT_EQ(vesk_check_auth(own_name().c_str(), nullptr, &error), 0);
  EXPECT_TRUE(g_error_matches(error, VESK_ERROR, VESK_ERROR_FAILED));
  // Callers may pass no GError; the answer must still be a refusal.
  EXPECT_EQ(vesk_check_auth(":1.9999", "com.vemo.A", nullptr), 0);
}

TEST_F(VeskBus, ChecksFromManyThreadsAgree) {
  Peer peer = start_nobody_peer();
  ASSERT_FALSE(peer.name.empty());
  write_policy("[com.vemo.A]\nusers=nobody\n");
  const std::string root = own_name();

  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 40; i++) {
        const bool as_root = (i + t) % 2 == 0;
        const char *action = i % 3 == 0 ? "com.vemo.B" : "com.vemo.A";
        g_autoptr(GError) error = nullptr;
        gint result = vesk_check_auth(as_root ? root.c_str() : peer.name.c_str(), action, &error);
        const bool expected = as_root || std::string(action) == "com.vemo.A";
        if ((result != 0) != expected ||
            (!expected && !g_error_matches(error, VESK_ERROR, VESK_ERROR_DENIED)))
          wrong++;
      }
    });
  }
  for (auto &thread : threads)
    thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST_F(VeskBus, SurvivesTheBusGoingAwayAndUsesTheNextOne) {
  EXPECT_EQ(check(own_name(), "com.vemo.A"), allowed);
  const std::string old_name = own_name();

  // The library's connection sees the bus vanish; the process must live on
  // and checks must fail, never allow.
  bus_.reset();
  EXPECT_EQ(check(old_name, "com.vemo.A"), failed);

  bus_ = std::make_unique<th::Bus>();
  Peer peer = start_nobody_peer();
  ASSERT_FALSE(peer.name.empty());
  write_policy("[com.vemo.A]\nusers=nobody\n");
  EXPECT_EQ(check(peer.name, "com.vemo.A"), allowed);
  EXPECT_EQ(check(own_name(), "com.vemo.B"), allowed);
}

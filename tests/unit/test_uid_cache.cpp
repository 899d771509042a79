/* The control service's memory of callers' uids, against a private bus. */
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "btreceive_dbus.h"
#include "harness.h"

namespace {

struct Answer {
  bool done = false;
  guint32 uid = G_MAXUINT32;
  std::string error;
};

void on_answer(guint32 uid, const GError *error, gpointer data) {
  auto *answer = static_cast<Answer *>(data);
  answer->done = true;
  answer->uid = uid;
  if (error != nullptr)
    answer->error = error->message;
}

bool own(GDBusConnection *connection, const char *name) {
  g_autoptr(GVariant) reply = th::call(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                       "org.freedesktop.DBus", "RequestName", g_variant_new("(su)", name, 4u), "(u)",
                                       nullptr);
  guint32 result = 0;
  if (reply != nullptr)
    g_variant_get(reply, "(u)", &result);
  return result == 1;
}

}  // namespace

TEST(UidCache, AnswersOnlyWhileTheNameKeepsItsOwner) {
  th::Bus bus;
  UidCache *cache = uid_cache_new(bus.connection());

  // Calls during a lookup wait for it; then the answer is remembered.
  g_autoptr(GDBusConnection) caller = bus.new_connection();
  ASSERT_NE(caller, nullptr);
  const std::string unique = g_dbus_connection_get_unique_name(caller);
  Answer first, second, third;
  uid_cache_lookup(cache, unique.c_str(), on_answer, &first);
  uid_cache_lookup(cache, unique.c_str(), on_answer, &second);
  EXPECT_FALSE(first.done);
  ASSERT_TRUE(th::wait_until([&] { return first.done && second.done; }));
  EXPECT_EQ(first.error, "");
  EXPECT_EQ(first.uid, static_cast<guint32>(getuid()));
  EXPECT_EQ(second.uid, first.uid);
  EXPECT_EQ(uid_cache_size(cache), 1u);
  uid_cache_lookup(cache, unique.c_str(), on_answer, &third);
  EXPECT_TRUE(third.done) << "a remembered uid is answered at once";

  // The caller goes: its entry goes, and its name is not answered from
  // memory any more.
  g_dbus_connection_close_sync(caller, nullptr, nullptr);
  ASSERT_TRUE(th::wait_until([&] { return uid_cache_size(cache) == 0; }));
  Answer gone;
  uid_cache_lookup(cache, unique.c_str(), on_answer, &gone);
  ASSERT_TRUE(th::wait_until([&] { return gone.done; }));
  EXPECT_NE(gone.error.find(unique), std::string::npos) << gone.error;

  // A well-known name that passes to another owner is asked about again.
  g_autoptr(GDBusConnection) owner1 = bus.new_connection();
  g_autoptr(GDBusConnection) owner2 = bus.new_connection();
  ASSERT_TRUE(owner1 != nullptr && owner2 != nullptr);
  ASSERT_TRUE(own(owner1, "com.vemo.Test.Caller"));
  Answer named;
  uid_cache_lookup(cache, "com.vemo.Test.Caller", on_answer, &named);
  ASSERT_TRUE(th::wait_until([&] { return named.done && uid_cache_size(cache) == 1; }));
  g_dbus_connection_close_sync(owner1, nullptr, nullptr);
  // The bus may handle our next request before it notices the close.
  ASSERT_TRUE(th::wait_until([&] { return !bus.has_owner("com.vemo.Test.Caller"); }));
  ASSERT_TRUE(own(owner2, "com.vemo.Test.Caller"));
  EXPECT_TRUE(th::wait_until([&] { return uid_cache_size(cache) == 0; }));
  Answer again;
  uid_cache_lookup(cache, "com.vemo.Test.Caller", on_answer, &again);
  EXPECT_FALSE(again.done) << "the new owner's uid must come from the bus daemon";
  ASSERT_TRUE(th::wait_until([&] { return again.done; }));
  EXPECT_EQ(again.error, "");

  // Lookups still running when the cache goes are answered, with an error.
  g_autoptr(GDBusConnection) late = bus.new_connection();
  ASSERT_NE(late, nullptr);
  Answer pending;
  uid_cache_lookup(cache, g_dbus_connection_get_unique_name(late), on_answer, &pending);
  uid_cache_free(cache);
  EXPECT_TRUE(pending.done);
  EXPECT_NE(pending.error, "");
  th::wait_until([] { return false; }, 100);
}

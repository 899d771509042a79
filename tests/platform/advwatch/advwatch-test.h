/* Test helpers: beacon payloads built independently of the library, and
 * the one private bus a test binary runs on. */
#pragma once

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "harness.h"

namespace advtest {

/* The 16 bytes a UUID text stands for, in text order. */
inline std::vector<guint8> uuid_bytes(const std::string &text) {
  std::vector<guint8> bytes;
  std::string hex;
  for (char c : text)
    if (c != '-')
      hex += c;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<guint8>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

/* Manufacturer data after the company identifier: version, System ID,
 * event number, sequence number, then @extra. */
inline std::vector<guint8> payload(const std::string &system_id, guint8 event, guint8 sequence,
                                   guint8 version = 1, std::vector<guint8> extra = {}) {
  std::vector<guint8> out{version};
  for (guint8 b : uuid_bytes(system_id))
    out.push_back(b);
  out.push_back(event);
  out.push_back(sequence);
  out.insert(out.end(), extra.begin(), extra.end());
  return out;
}

inline std::string lower(const std::string &text) {
  g_autofree gchar *down = g_ascii_strdown(text.c_str(), -1);
  return down;
}

/* One private bus for the whole binary: the library uses the process's
 * shared system bus connection, which stays bound to the first address. */
class BusEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    bus = std::make_unique<th::Bus>();
    shared = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    ASSERT_NE(shared, nullptr);
    // The host decides what a lost bus means; this one must outlive it.
    g_dbus_connection_set_exit_on_close(shared, FALSE);
  }
  void TearDown() override {
    g_clear_object(&shared);
    bus.reset();
  }
  std::unique_ptr<th::Bus> bus;
  GDBusConnection *shared = nullptr;
};

inline BusEnvironment *environment() {
  static BusEnvironment *const env =
      static_cast<BusEnvironment *>(::testing::AddGlobalTestEnvironment(new BusEnvironment));
  return env;
}

/* Unique name of the library's (shared) connection. */
inline std::string library_name() {
  return g_dbus_connection_get_unique_name(environment()->shared);
}

/* A call that may be answered by objects this very thread serves: the main
 * context runs while waiting, so no synchronous call. */
inline GVariant *call(const std::string &dest, const std::string &path, const char *iface, const char *method,
                      GVariant *args, const char *reply_type, GError **error) {
  struct Result {
    bool done = false;
    GVariant *reply = nullptr;
    GError *error = nullptr;
  } result;
  g_dbus_connection_call(
      environment()->bus->connection(), dest.c_str(), path.c_str(), iface, method, args,
      reply_type != nullptr ? G_VARIANT_TYPE(reply_type) : nullptr, G_DBUS_CALL_FLAGS_NONE, th::scaled(5000),
      nullptr,
      [](GObject *source, GAsyncResult *res, gpointer data) {
        auto *r = static_cast<Result *>(data);
        r->reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), res, &r->error);
        r->done = true;
      },
      &result);
  th::wait_until([&] { return result.done; }, 10000);
  if (!result.done)
    g_error("%s.%s on %s did not complete", iface, method, path.c_str());
  if (result.error != nullptr)
    g_propagate_error(error, result.error);
  return result.reply;
}

}  // namespace advtest

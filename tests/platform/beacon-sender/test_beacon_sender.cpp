/* beacon-sender on a private bus: its D-Bus contract, the argument checks
 * and the test controls, in record-only mode. */
#include <gtest/gtest.h>

#include "harness.h"

namespace {

constexpr const char kService[] = "com.vemo.bt.SendVemoBeacon";
constexpr const char kPath[] = "/com/vemo/bt/SendVemoBeacon";
constexpr const char kInterface[] = "com.vemo.bt.SendVemoBeacon";
constexpr const char kControl[] = "com.vemo.Sim.SendVemoBeacon1";
constexpr const char kSystemId[] = "6c1f2a9e-3b5d-4e8f-a0b1-c2d3e4f5a6b7";

GVariant *send_params(guint8 type, const char *system_id, GVariant *options = nullptr) {
  if (options == nullptr) {
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&b, "{sv}", "bad_time", g_variant_new_boolean(TRUE));
    options = g_variant_builder_end(&b);
  }
  return g_variant_new("(y@a{sv}sa{sv})", type, options, system_id, nullptr);
}

class BeaconSender : public ::testing::Test {
 protected:
  void SetUp() override {
    service_ = std::make_unique<th::Process>(std::vector<std::string>{th::env_path("BEACON_SENDER_BIN"), "--no-bluez"});
    ASSERT_TRUE(bus_.wait_for_name(kService)) << service_->log();
    connection_ = bus_.connection();
    signal_id_ = g_dbus_connection_signal_subscribe(connection_, kService, kControl, "SendReceived", kPath, nullptr,
                                                    G_DBUS_SIGNAL_FLAGS_NONE, on_signal, this, nullptr);
  }
  void TearDown() override {
    g_dbus_connection_signal_unsubscribe(connection_, signal_id_);
    if (service_->running()) {
      EXPECT_EQ(service_->stop(SIGTERM), 0) << service_->log();
    }
  }
  static void on_signal(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *,
                        GVariant *params, gpointer data) {
    auto *self = static_cast<BeaconSender *>(data);
    guint8 type;
    const gchar *id;
    g_variant_get(params, "(y&s)", &type, &id);
    self->signals_.emplace_back(type, id);
  }
  GVariant *send(GVariant *params, GError **error) {
    return th::call(connection_, kService, kPath, kInterface, "Send", params, "()", error);
  }
  GVariant *control(const char *method, GVariant *params, const char *reply_type) {
    g_autoptr(GError) error = nullptr;
    GVariant *reply = th::call(connection_, kService, kPath, kControl, method, params, reply_type, &error);
    if (reply == nullptr)
      ADD_FAILURE() << method << ": " << error->message;
    return reply;
  }
  size_t n_calls() {
    g_autoptr(GVariant) reply = control("GetCalls", nullptr, "(a(ya{sv}sa{sv}))");
    g_autoptr(GVariant) list = g_variant_get_child_value(reply, 0);
    return g_variant_n_children(list);
  }
  /* Starts Send without waiting; the result lands in *out. */
  void send_async(GVariant *params, GAsyncResult **out) {
    g_dbus_connection_call(connection_, kService, kPath, kInterface, "Send", params, G_VARIANT_TYPE("()"),
                           G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
                           [](GObject *, GAsyncResult *result, gpointer data) {
                             *static_cast<GAsyncResult **>(data) = G_ASYNC_RESULT(g_object_ref(result));
                           },
                           out);
  }

  th::Bus bus_;
  std::unique_ptr<th::Process> service_;
  GDBusConnection *connection_ = nullptr;
  guint signal_id_ = 0;
  std::vector<std::pair<guint8, std::string>> signals_;
};

TEST_F(BeaconSender, AcceptedSendsAreAnsweredRecordedAndAnnounced) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) r1 = send(send_params(3, kSystemId), &error);
  ASSERT_NE(r1, nullptr) << error->message;
  GVariantBuilder extra_opts;
  g_variant_builder_init(&extra_opts, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&extra_opts, "{sv}", "future", g_variant_new_int32(5));
  g_autoptr(GVariant) r2 = send(send_params(255, "6C1F2A9E-3B5D-4E8F-A0B1-C2D3E4F5A6B7", g_variant_builder_end(&extra_opts)), &error);
  ASSERT_NE(r2, nullptr) << error->message;

  ASSERT_TRUE(th::wait_until([&] { return signals_.size() == 2; }));
  EXPECT_EQ(signals_[0], std::make_pair(guint8{3}, std::string(kSystemId)));
  EXPECT_EQ(signals_[1], std::make_pair(guint8{255}, std::string("6C1F2A9E-3B5D-4E8F-A0B1-C2D3E4F5A6B7")));

  g_autoptr(GVariant) reply = control("GetCalls", nullptr, "(a(ya{sv}sa{sv}))");
  g_autoptr(GVariant) list = g_variant_get_child_value(reply, 0);
  ASSERT_EQ(g_variant_n_children(list), 2u);
  g_autoptr(GVariant) first = g_variant_get_child_value(list, 0);
  g_autoptr(GVariant) expected = g_variant_ref_sink(send_params(3, kSystemId));
  EXPECT_TRUE(g_variant_equal(first, expected)) << g_variant_print(first, TRUE);
  EXPECT_TRUE(service_->wait_for_log("device time not trusted"));

  g_autoptr(GVariant) cleared = control("ClearCalls", nullptr, "()");
  EXPECT_EQ(n_calls(), 0u);
}

TEST_F(BeaconSender, InvalidArgumentsAreRefusedAndNotRecorded) {
  GVariantBuilder b;
  g_variant_builder_init(&b, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&b, "{sv}", "bad_time", g_variant_new_string("yes"));
  GVariant *bad_option = g_variant_builder_end(&b);
  const struct {
    const char *what;
    GVariant *params;
    const char *needle;
  } cases[] = {
      {"not a UUID", send_params(1, "abc"), "abc"},
      {"UUID without dashes", send_params(1, "6c1f2a9e3b5d4e8fa0b1c2d3e4f5a6b7"), "not a UUID"},
      {"bad_time not boolean", send_params(1, kSystemId, bad_option), "bad_time"},
      {"wrong signature", g_variant_new("(ys)", 1, kSystemId), ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = send(c.params, &error);
    EXPECT_EQ(reply, nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_TRUE(g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS)) << error->message;
    EXPECT_NE(std::string(error->message).find(c.needle), std::string::npos) << error->message;
  }
  EXPECT_EQ(n_calls(), 0u);
  EXPECT_TRUE(signals_.empty());
}

TEST_F(BeaconSender, FaultModesShapeTheAnswer) {
  g_autoptr(GVariant) r = control("SetFault", g_variant_new("(su)", "fail", 0u), "()");
  g_autoptr(GError) error = nullptr;
  EXPECT_EQ(send(send_params(1, kSystemId), &error), nullptr);
  ASSERT_NE(error, nullptr);
  g_autofree gchar *remote = g_dbus_error_get_remote_error(error);
  EXPECT_STREQ(remote, "com.vemo.bt.SendVemoBeacon.Error.Failed");
  g_clear_error(&error);

  g_autoptr(GVariant) r2 = control("SetFault", g_variant_new("(su)", "values", 0u), "()");
  g_autoptr(GVariant) values =
      th::call(connection_, kService, kPath, kInterface, "Send", send_params(2, kSystemId), nullptr, &error);
  ASSERT_NE(values, nullptr) << error->message;
  EXPECT_STREQ(g_variant_get_type_string(values), "(s)");

  /* Delay: recorded at once, answered later (later enough that this
   * thread sees the announcement first even when the machine is slow). */
  g_autoptr(GVariant) r3 =
      control("SetFault", g_variant_new("(su)", "delay", static_cast<guint32>(th::scaled(1000))), "()");
  GAsyncResult *delayed = nullptr;
  send_async(send_params(3, kSystemId), &delayed);
  ASSERT_TRUE(th::wait_until([&] { return signals_.size() == 3; }));
  EXPECT_EQ(delayed, nullptr);
  ASSERT_TRUE(th::wait_until([&] { return delayed != nullptr; }));
  g_autoptr(GVariant) late = g_dbus_connection_call_finish(connection_, delayed, &error);
  EXPECT_NE(late, nullptr);
  g_object_unref(delayed);

  /* Back to normal, and unknown modes are refused. */
  g_autoptr(GVariant) r4 = control("SetFault", g_variant_new("(su)", "none", 0u), "()");
  g_autoptr(GVariant) ok = send(send_params(4, kSystemId), &error);
  EXPECT_NE(ok, nullptr);
  g_autoptr(GVariant) bad = th::call(connection_, kService, kPath, kControl, "SetFault",
                                     g_variant_new("(su)", "explode", 0u), "()", &error);
  EXPECT_EQ(bad, nullptr);
  EXPECT_TRUE(g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS));
  EXPECT_EQ(n_calls(), 4u);
}

/* A blocked Send is answered with an error when the service stops, instead
 * of leaving the caller to its timeout. */
TEST_F(BeaconSender, BlockedSendsGetAnErrorAtShutdown) {
  g_autoptr(GVariant) r = control("SetFault", g_variant_new("(su)", "block", 0u), "()");
  GAsyncResult *blocked = nullptr;
  send_async(send_params(9, kSystemId), &blocked);
  ASSERT_TRUE(th::wait_until([&] { return signals_.size() == 1; }));
  EXPECT_EQ(blocked, nullptr);
  EXPECT_EQ(service_->stop(SIGINT), 0) << service_->log();
  ASSERT_TRUE(th::wait_until([&] { return blocked != nullptr; }));
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = g_dbus_connection_call_finish(connection_, blocked, &error);
  g_object_unref(blocked);
  EXPECT_EQ(reply, nullptr);
  ASSERT_NE(error, nullptr);
  EXPECT_NE(std::string(error->message).find("stopping"), std::string::npos) << error->message;
}

TEST(BeaconSenderProgram, HelpAndNameConflict) {
  th::Process help({th::env_path("BEACON_SENDER_BIN"), "--help"});
  EXPECT_EQ(help.wait_exit(), 0);
  EXPECT_NE(help.log().find("--no-bluez"), std::string::npos) << help.log();
  EXPECT_NE(help.log().find("--adapter"), std::string::npos) << help.log();

  th::Bus bus;
  th::Process first({th::env_path("BEACON_SENDER_BIN"), "--no-bluez"});
  ASSERT_TRUE(bus.wait_for_name(kService));
  th::Process second({th::env_path("BEACON_SENDER_BIN"), "--no-bluez"});
  EXPECT_EQ(second.wait_exit(), 1);
  EXPECT_NE(second.log().find("Could not own the name com.vemo.bt.SendVemoBeacon"), std::string::npos)
      << second.log();
  EXPECT_EQ(first.stop(SIGTERM), 0);
  // The bus may see the exit a moment after we do.
  EXPECT_TRUE(th::wait_until([&] { return !bus.has_owner(kService); }));
}

}  // namespace

/* The plug-in against a real beacon-sending service on a private bus: the
 * worker's steps, the Send call, failures and cancellation. */
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <set>
#include <thread>

#include "harness.h"
#include "plugin_host.h"

namespace {

using Params = std::map<std::string, std::string>;

constexpr const char kService[] = "com.vemo.bt.SendVemoBeacon";
constexpr const char kPath[] = "/com/vemo/bt/SendVemoBeacon";
constexpr const char kControl[] = "com.vemo.Sim.SendVemoBeacon1";

/* One bus and one service for the whole binary; each test resets them. */
class ServiceEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    bus_ = std::make_unique<th::Bus>();
    service_ = std::make_unique<th::Process>(
        std::vector<std::string>{th::env_path("BEACON_SENDER_BIN"), "--no-bluez"});
    ASSERT_TRUE(bus_->wait_for_name(kService)) << service_->log();
    /* The plug-in uses the process's shared system-bus connection; as its
     * host we keep the process alive when the bus goes away at the end. */
    shared_ = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    ASSERT_NE(shared_, nullptr);
    g_dbus_connection_set_exit_on_close(shared_, FALSE);
  }
  void TearDown() override {
    if (service_ != nullptr) {
      EXPECT_EQ(service_->stop(SIGTERM), 0) << service_->log();
    }
    g_clear_object(&shared_);
    service_.reset();
    bus_.reset();
  }
  static ServiceEnvironment *instance;
  std::unique_ptr<th::Bus> bus_;
  std::unique_ptr<th::Process> service_;
  GDBusConnection *shared_ = nullptr;
};
ServiceEnvironment *ServiceEnvironment::instance =
    static_cast<ServiceEnvironment *>(::testing::AddGlobalTestEnvironment(new ServiceEnvironment));

GVariant *control(const char *method, GVariant *params, const char *reply_type) {
  g_autoptr(GError) error = nullptr;
  GVariant *reply = th::call(ServiceEnvironment::instance->bus_->connection(), kService, kPath, kControl, method,
                             params, reply_type, &error);
  if (reply == nullptr)
    ADD_FAILURE() << method << ": " << error->message;
  return reply;
}

void set_fault(const char *mode, guint32 delay_ms = 0) {
  g_autoptr(GVariant) r = control("SetFault", g_variant_new("(su)", mode, delay_ms), "()");
}

/* Every Send the service accepted, as (ya{sv}sa{sv}). */
GVariant *calls() {
  GVariant *reply = control("GetCalls", nullptr, "(a(ya{sv}sa{sv}))");
  if (reply == nullptr)
    return g_variant_new_array(G_VARIANT_TYPE("(ya{sv}sa{sv})"), nullptr, 0);
  GVariant *list = g_variant_get_child_value(reply, 0);
  g_variant_unref(reply);
  return list;
}

size_t n_calls() {
  g_autoptr(GVariant) list = calls();
  return g_variant_n_children(list);
}

/* References held on the shared connection, the instance's included. */
guint shared_refs() {
  return g_atomic_int_get(reinterpret_cast<gint *>(&G_OBJECT(ServiceEnvironment::instance->shared_)->ref_count));
}

class PluginSend : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(ServiceEnvironment::instance->shared_, nullptr);
    set_fault("none");
    g_autoptr(GVariant) r = control("ClearCalls", nullptr, "()");
    baseline_refs_ = shared_refs();
  }
  void TearDown() override {
    for (gpointer instance : instances_)
      p_.free(instance);
    /* Every instance gave its connection reference back. */
    EXPECT_TRUE(th::wait_until([&] { return shared_refs() == baseline_refs_; }, 2000))
        << shared_refs() << " vs " << baseline_refs_;
  }
  gpointer make(const Params &params = {{"message_type", "17"}, {"system_id", ph::kSystemId}}) {
    g_autoptr(GError) error = nullptr;
    gpointer instance = ph::create(host_, params, &error);
    EXPECT_NE(instance, nullptr) << error->message;
    if (instance != nullptr)
      instances_.push_back(instance);
    return instance;
  }
  void free_now(gpointer instance) {
    instances_.erase(std::find(instances_.begin(), instances_.end(), instance));
    p_.free(instance);
  }
  /* Initialised and holding its connection. */
  gpointer make_connected(const Params &params = {{"message_type", "17"}, {"system_id", ph::kSystemId}}) {
    gpointer instance = make(params);
    p_.initialize(instance);
    connected_++;
    EXPECT_TRUE(th::wait_until([&] { return shared_refs() == baseline_refs_ + connected_; }));
    return instance;
  }
  /* The worker clears its running flag just after logging the outcome. */
  bool wait_idle(gpointer instance) {
    return th::wait_until([&] { return !p_.check_running(instance); });
  }

  bool wait_sends_done(const th::LogCapture &log, size_t n) {
    return th::wait_until([&] {
      return log.count(G_LOG_LEVEL_DEBUG, "Successfully sent a Bluetooth beacon") +
                 log.count(G_LOG_LEVEL_WARNING, "D-Bus call to send beacon failed: ") >=
             n;
    });
  }

  const ph::Plugin &p_ = ph::plugin();
  ph::Host host_;
  std::vector<gpointer> instances_;
  guint baseline_refs_ = 0;
  guint connected_ = 0;
};

TEST_F(PluginSend, SendCarriesExactlyTheConfiguredArguments) {
  th::LogCapture log;
  gpointer instance = make_connected({{"message_type", "200"}, {"system_id", "0F9E3C52-7D41-4B8A-9A51-2C6F0E4D8B17"}});
  p_.start(instance);
  ASSERT_TRUE(wait_sends_done(log, 1));
  EXPECT_EQ(log.count(G_LOG_LEVEL_DEBUG, "Successfully sent a Bluetooth beacon"), 1u);
  EXPECT_EQ(log.count(G_LOG_LEVEL_WARNING, ""), 0u);

  g_autoptr(GVariant) list = calls();
  ASSERT_EQ(g_variant_n_children(list), 1u);
  g_autoptr(GVariant) call = g_variant_get_child_value(list, 0);
  guint8 type = 0;
  const gchar *system_id = nullptr;
  g_autoptr(GVariant) options = nullptr;
  g_autoptr(GVariant) extra = nullptr;
  g_variant_get(call, "(y@a{sv}&s@a{sv})", &type, &options, &system_id, &extra);
  EXPECT_EQ(type, 200);
  EXPECT_STREQ(system_id, "0F9E3C52-7D41-4B8A-9A51-2C6F0E4D8B17"); /* unaltered */
  ASSERT_EQ(g_variant_n_children(options), 1u);
  g_autoptr(GVariant) bad_time = g_variant_lookup_value(options, "bad_time", nullptr);
  ASSERT_NE(bad_time, nullptr);
  ASSERT_TRUE(g_variant_is_of_type(bad_time, G_VARIANT_TYPE_BOOLEAN));
  EXPECT_TRUE(g_variant_get_boolean(bad_time));
  EXPECT_EQ(g_variant_n_children(extra), 0u);
  EXPECT_TRUE(wait_idle(instance));
}

/* Accepted message-type texts, as the service receives them. */
TEST_F(PluginSend, MessageTypeTextsParseToTheirNumber) {
  const std::pair<const char *, guint8> cases[] = {
      {"255", 255}, {"0", 0}, {"12abc", 12}, {"  \t7", 7}, {"+9", 9}, {"abc", 0}, {"", 0}, {"007", 7},
  };
  th::LogCapture log;
  for (const auto &[text, expected] : cases) {
    gpointer instance = make_connected({{"message_type", text}, {"system_id", ph::kSystemId}});
    ASSERT_NE(instance, nullptr) << text;
    p_.start(instance);
  }
  ASSERT_TRUE(wait_sends_done(log, G_N_ELEMENTS(cases)));
  g_autoptr(GVariant) list = calls();
  ASSERT_EQ(g_variant_n_children(list), G_N_ELEMENTS(cases));
  /* Instances send in parallel: compare as multisets. */
  std::multiset<int> got, want;
  for (gsize i = 0; i < g_variant_n_children(list); i++) {
    g_autoptr(GVariant) call = g_variant_get_child_value(list, i);
    g_autoptr(GVariant) type = g_variant_get_child_value(call, 0);
    got.insert(g_variant_get_byte(type));
  }
  for (const auto &c : cases)
    want.insert(c.second);
  EXPECT_EQ(got, want);
}

TEST_F(PluginSend, StartWithoutInitializeFailsWithoutTraffic) {
  th::LogCapture log;
  gpointer instance = make();
  p_.start(instance);
  ASSERT_TRUE(wait_sends_done(log, 1));
  EXPECT_EQ(log.count(G_LOG_LEVEL_WARNING, "D-Bus call to send beacon failed: Unknown error"), 1u);
  EXPECT_TRUE(wait_idle(instance));
  EXPECT_EQ(n_calls(), 0u);
  ASSERT_EQ(host_.count(), 1u);
  EXPECT_EQ(host_.feedback()[0].status, ACTION_STATUS_STARTED);
}

TEST_F(PluginSend, AbortDropsTheConnectionUntilTheNextInitialize) {
  th::LogCapture log;
  gpointer instance = make_connected();
  p_.abort(instance);
  ASSERT_TRUE(th::wait_until([&] { return shared_refs() == baseline_refs_; }));
  p_.start(instance);
  ASSERT_TRUE(wait_sends_done(log, 1));
  EXPECT_EQ(log.count(G_LOG_LEVEL_WARNING, "D-Bus call to send beacon failed: Unknown error"), 1u);
  EXPECT_EQ(n_calls(), 0u);

  p_.initialize(instance);
  EXPECT_EQ(log.count(G_LOG_LEVEL_DEBUG, "Invoke setup D-Bus"), 2u);
  ASSERT_TRUE(th::wait_until([&] { return shared_refs() == baseline_refs_ + 1; }));
  p_.start(instance);
  ASSERT_TRUE(wait_sends_done(log, 2));
  EXPECT_EQ(n_calls(), 1u);
  EXPECT_EQ(log.count(G_LOG_LEVEL_DEBUG, "Successfully sent a Bluetooth beacon"), 1u);

  std::vector<gint32> statuses;
  for (const auto &f : host_.feedback())
    statuses.push_back(f.status);
  EXPECT_EQ(statuses, (std::vector<gint32>{ACTION_STATUS_INITIALIZED, ACTION_STATUS_ABORTED, ACTION_STATUS_STARTED,
                                           ACTION_STATUS_INITIALIZED, ACTION_STATUS_STARTED}));
}

/* Holding a connection, initialize posts nothing and takes no second
 * reference, yet reports. */
TEST_F(PluginSend, InitializeWhileConnectedPostsNothing) {
  th::LogCapture log;
  gpointer instance = make_connected();
  /* The reference shows a moment before the worker stores the connection;
   * a finished send shows that it has been stored. */
  p_.start(instance);
  ASSERT_TRUE(wait_sends_done(log, 1));
  ASSERT_EQ(log.count(G_LOG_LEVEL_DEBUG, "Successfully sent a Bluetooth beacon"), 1u);
  ASSERT_TRUE(wait_idle(instance));
  p_.initialize(instance);
  p_.initialize(instance);
  EXPECT_EQ(log.count(G_LOG_LEVEL_DEBUG, "Invoke setup D-Bus"), 1u);
  EXPECT_EQ(host_.count(), 4u);
  p_.start(instance);
  ASSERT_TRUE(wait_sends_done(log, 2));
  EXPECT_EQ(log.count(G_LOG_LEVEL_DEBUG, "Successfully sent a Bluetooth beacon"), 2u);
  EXPECT_TRUE(th::wait_until([&] { return shared_refs() == baseline_refs_ + 1; }));
  EXPECT_EQ(log.count(G_LOG_LEVEL_DEBUG, "Performing worker call to get D-Bus connection..."), 1u);
  EXPECT_TRUE(wait_idle(instance));
}

/* Holds the worker at the debug message starting with @hold_at; by default
 * inside its connection step, so that what the host posts meanwhile is
 * certain to be queued. Debug messages go to the gate while it lives. The
 * state lives for the whole process: GLib may still call a handler a
 * moment after it was removed. */
class WorkerGate {
 public:
  explicit WorkerGate(const char *hold_at = "Performing worker call to get D-Bus connection") {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.held = false;
    s.open = false;
    s.hold_at = hold_at;
    s.messages.clear();
    s.id = g_log_set_handler(nullptr, G_LOG_LEVEL_DEBUG, &WorkerGate::handler, &s);
  }
  ~WorkerGate() {
    open();
    g_log_remove_handler(nullptr, state().id);
  }
  bool wait_held() {
    State &s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    return s.cond.wait_for(lock, std::chrono::milliseconds(th::scaled(5000)), [&] { return s.held; });
  }
  void open() {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.open = true;
    s.cond.notify_all();
  }
  size_t count(const std::string &needle) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return std::count_if(s.messages.begin(), s.messages.end(),
                         [&](const std::string &m) { return m.find(needle) != std::string::npos; });
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable cond;
    bool held = false;
    bool open = true;
    std::string hold_at;
    std::vector<std::string> messages;
    guint id = 0;
  };
  static State &state() {
    static State *s = new State(); /* never destroyed, see above */
    return *s;
  }
  static void handler(const gchar *, GLogLevelFlags, const gchar *message, gpointer data) {
    auto *s = static_cast<State *>(data);
    std::unique_lock<std::mutex> lock(s->mutex);
    s->messages.emplace_back(message);
    if (!s->open && g_str_has_prefix(message, s->hold_at.c_str())) {
      s->held = true;
      s->cond.notify_all();
      s->cond.wait(lock, [&] { return s->open; });
    }
  }
};

TEST_F(PluginSend, StartWhileASendRunsSendsNothingMore) {
  th::LogCapture log;
  set_fault("delay", 400);
  gpointer instance = make_connected();
  {
    /* However slow this thread, the send is still running below: the
     * worker is held between the reply and the end of its step. */
    WorkerGate gate("Successfully sent a Bluetooth beacon");
    p_.start(instance);
    ASSERT_TRUE(th::wait_until([&] { return p_.check_running(instance); }));
    p_.start(instance);
    EXPECT_EQ(gate.count("Aborted 'send beacon' action, one is already in progress"), 1u);
    p_.stop(instance); /* neither cancels nor waits */
    EXPECT_TRUE(p_.check_running(instance));
    ASSERT_TRUE(gate.wait_held());
    EXPECT_TRUE(p_.check_running(instance));
  }
  EXPECT_TRUE(wait_idle(instance));
  EXPECT_EQ(n_calls(), 1u);
  std::vector<gint32> statuses;
  for (const auto &f : host_.feedback())
    statuses.push_back(f.status);
  EXPECT_EQ(statuses, (std::vector<gint32>{ACTION_STATUS_INITIALIZED, ACTION_STATUS_STARTED, ACTION_STATUS_STARTED,
                                           ACTION_STATUS_STOPPED}));
}

TEST_F(PluginSend, TwoStartsBeforeTheWorkerBeginsSendTwice) {
  th::LogCapture log;
  gpointer instance = make();
  {
    WorkerGate gate;
    p_.initialize(instance);
    ASSERT_TRUE(gate.wait_held());
    p_.start(instance);
    p_.start(instance);
    gate.open();
    ASSERT_TRUE(th::wait_until([&] { return gate.count("Successfully sent a Bluetooth beacon") == 2; }));
  }
  EXPECT_EQ(n_calls(), 2u);
  EXPECT_TRUE(wait_idle(instance));
}

/* Initialize twice before the first connection step ran: both steps run,
 * the second takes no second reference. */
TEST_F(PluginSend, InitializeTwiceBeforeTheStepRunsHoldsOneReference) {
  gpointer instance = make();
  {
    WorkerGate gate;
    p_.initialize(instance);
    ASSERT_TRUE(gate.wait_held());
    p_.initialize(instance);
    EXPECT_EQ(gate.count("Invoke setup D-Bus"), 2u);
    gate.open();
    ASSERT_TRUE(th::wait_until([&] { return gate.count("Performing worker call to get D-Bus connection...") == 2; }));
  }
  /* Let the second step finish: an abort queued behind it runs after. */
  th::LogCapture log;
  p_.start(instance);
  ASSERT_TRUE(wait_sends_done(log, 1));
  EXPECT_TRUE(th::wait_until([&] { return shared_refs() == baseline_refs_ + 1; }));
  p_.abort(instance);
  EXPECT_TRUE(th::wait_until([&] { return shared_refs() == baseline_refs_; }));
}

/* Destroy drops what is queued; the instance stays usable. */
TEST_F(PluginSend, DestroyRemovesPendingWorkOnly) {
  th::LogCapture log;
  gpointer instance = make();
  {
    WorkerGate gate;
    p_.initialize(instance);
    ASSERT_TRUE(gate.wait_held());
    p_.start(instance);
    p_.abort(instance);
    p_.destroy(instance);
    gate.open();
  }
  /* The connection step that had begun completed; start and abort did not run. */
  ASSERT_TRUE(th::wait_until([&] { return shared_refs() == baseline_refs_ + 1; }));
  p_.start(instance);
  ASSERT_TRUE(wait_sends_done(log, 1));
  EXPECT_EQ(log.count(G_LOG_LEVEL_DEBUG, "Successfully sent a Bluetooth beacon"), 1u);
  EXPECT_EQ(n_calls(), 1u);
  EXPECT_TRUE(th::wait_until([&] { return shared_refs() == baseline_refs_ + 1; }));
}

TEST_F(PluginSend, ServiceFailuresAreLoggedNotReported) {
  const struct {
    const char *mode;
    const char *needle;
  } cases[] = {
      {"values", "(s)"},
      {"fail", "Sending failed"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.mode);
    th::LogCapture log;
    set_fault(c.mode);
    host_.clear();
    gpointer instance = make_connected();
    p_.start(instance);
    ASSERT_TRUE(wait_sends_done(log, 1));
    EXPECT_EQ(log.count(G_LOG_LEVEL_WARNING, "D-Bus call to send beacon failed: "), 1u);
    EXPECT_EQ(log.count(G_LOG_LEVEL_WARNING, c.needle), 1u);
    EXPECT_EQ(log.count(G_LOG_LEVEL_DEBUG, "Successfully sent a Bluetooth beacon"), 0u);
    // The worker logs the failure just before it marks the send finished.
    EXPECT_TRUE(th::wait_until([&] { return !p_.check_running(instance); }, 2000));
    EXPECT_EQ(host_.count(), 2u); /* initialize and start only */
  }
  /* The reply was received, so the service did get both calls. */
  EXPECT_EQ(n_calls(), 2u);
}

/* A Send the service never answers is cut short by plugin_free. */
TEST_F(PluginSend, FreeDuringABlockedSendCancelsIt) {
  th::LogCapture log;
  set_fault("block");
  gpointer instance = make_connected();
  p_.start(instance);
  ASSERT_TRUE(th::wait_until([&] { return n_calls() == 1 && p_.check_running(instance); }));
  size_t reported = host_.count();
  free_now(instance);
  EXPECT_EQ(host_.count(), reported);

  g_autofree gchar *cleanup = g_strdup_printf("Clean up plugin instance %p", instance);
  const char *order[] = {"Canceled D-Bus operation due to shutdown", "D-Bus call to send beacon failed: ",
                         "Worker thread terminating...", cleanup};
  auto records = log.records();
  size_t at = 0;
  for (const char *needle : order) {
    while (at < records.size() && records[at].message.find(needle) == std::string::npos)
      at++;
    ASSERT_LT(at, records.size()) << "missing or out of order: " << needle;
  }
  EXPECT_EQ(log.count(G_LOG_LEVEL_MESSAGE, "Canceled D-Bus operation due to shutdown"), 1u);
  /* Ended by the cancellation, not by the call's timeout. */
  g_autoptr(GCancellable) cancellable = g_cancellable_new();
  g_cancellable_cancel(cancellable);
  g_autoptr(GError) cancelled = nullptr;
  g_cancellable_set_error_if_cancelled(cancellable, &cancelled);
  EXPECT_EQ(log.count(G_LOG_LEVEL_WARNING, std::string("D-Bus call to send beacon failed: ") + cancelled->message), 1u);
}

/* Free while connection and send steps are queued or running, over and
 * over: never a hang, never a reference left behind on the connection
 * (checked in TearDown). The yields let the worker get into its D-Bus
 * calls, so cancellations race with replies. */
TEST_F(PluginSend, FreeWhileWorkIsQueuedOrRunning) {
  th::LogCapture log; /* keeps the cancellation warnings out of the output */
  for (int i = 0; i < 1000; i++) {
    gpointer instance = make();
    p_.initialize(instance);
    p_.start(instance);
    if (i % 2 == 0)
      p_.start(instance);
    if (i % 3 != 0)
      std::this_thread::yield();
    free_now(instance);
  }
  EXPECT_EQ(log.count(G_LOG_LEVEL_CRITICAL, ""), 0u);
}

/* Slows the cancelling thread down inside its cancellation handlers (the
 * plug-in logs from the first one), so that the service's reply arrives
 * while the cancellation is still being delivered. State lives for the
 * whole process, as GLib may call a handler just after its removal. */
class SlowCancellation {
 public:
  explicit SlowCancellation(int ms) {
    delay_ms().store(ms);
    id_ = g_log_set_handler(nullptr, G_LOG_LEVEL_MESSAGE, &SlowCancellation::handler, nullptr);
  }
  ~SlowCancellation() {
    delay_ms().store(0);
    g_log_remove_handler(nullptr, id_);
  }

 private:
  static std::atomic<int> &delay_ms() {
    static std::atomic<int> ms{0};
    return ms;
  }
  static void handler(const gchar *, GLogLevelFlags, const gchar *message, gpointer) {
    if (g_str_has_prefix(message, "Canceled D-Bus operation due to shutdown"))
      g_usleep(static_cast<gulong>(delay_ms().load()) * 1000);
  }
  guint id_ = 0;
};

/* The reply wins the race against the cancellation: the plug-in must not
 * leave the finished call (and its connection reference) behind. */
TEST_F(PluginSend, CancellationRacingTheReplyLeavesNothingBehind) {
  set_fault("delay", 20);
  SlowCancellation slow(th::scaled(150));
  for (int i = 0; i < 3; i++) {
    g_autoptr(GVariant) r = control("ClearCalls", nullptr, "()");
    gpointer instance = make_connected();
    p_.start(instance);
    ASSERT_TRUE(th::wait_until([&] { return n_calls() == 1; }));
    free_now(instance);
    connected_--;
    EXPECT_TRUE(th::wait_until([&] { return shared_refs() == baseline_refs_; }, 1000))
        << "round " << i << ": " << shared_refs() << " vs " << baseline_refs_;
  }
}

}  // namespace

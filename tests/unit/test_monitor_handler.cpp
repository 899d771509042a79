/* Monitor states, activation and beacon dispatch against the recording
 * fakes of the monitor and event libraries. */
#include <gtest/gtest.h>

#include "event_handler.h"
#include "fakes.h"
#include "harness.h"
#include "monitor_handler.h"

namespace {

const char kIdA[] = "2f1a3c4e-5b6d-4e7f-8a9b-0c1d2e3f4a5b";
const char kIdB[] = "7e6d5c4b-3a29-4817-b6a5-f4e3d2c1b0a9";

class MonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    handler_ = g_new0(MonitorHandler, 1);
    handler_->adapter_str = g_strdup("/org/bluez/hci0");
    handler_->state = MONITOR_STATE_INACTIVE;
    ctx_.systemid = g_strdup(kIdA);
  }
  void TearDown() override {
    if (handler_ != nullptr)
      monitor_handler_teardown(handler_);
    g_free(ctx_.systemid);
    EXPECT_EQ(fake::advwatch.live_monitors, 0) << "a monitor was leaked";
  }
  void set_systemid(const char *id) {
    g_free(ctx_.systemid);
    ctx_.systemid = g_strdup(id);
  }
  size_t count(const std::string &name) {
    return static_cast<size_t>(std::count(fake::calls.begin(), fake::calls.end(), name));
  }

  MonitorHandler *handler_ = nullptr;
  SystemidCtx ctx_{};
};

TEST_F(MonitorTest, ActivationStartsOneFilteredMonitorOnTheAdapter) {
  th::LogCapture log;
  ASSERT_TRUE(monitor_handler_activate(handler_, &ctx_, nullptr));
  EXPECT_EQ(handler_->state, MONITOR_STATE_ACTIVE);
  EXPECT_EQ(fake::calls, (std::vector<std::string>{"advwatch_patterns_new",
                                                   std::string("advwatch_pattern_add(2,") + kIdA + ")",
                                                   "advwatch_monitor_init"}));
  EXPECT_EQ(fake::advwatch.adapter_path, "/org/bluez/hci0");
  EXPECT_EQ(fake::advwatch.system_id, kIdA);
  EXPECT_EQ(fake::advwatch.options, 0);
  EXPECT_EQ(fake::advwatch.callback, &dispatch_event);
  EXPECT_EQ(fake::advwatch.user_data, &ctx_);
  EXPECT_EQ(fake::advwatch.pattern_values, std::vector<std::string>{kIdA});
  EXPECT_EQ(log.count(G_LOG_LEVEL_MESSAGE, "Start bluetooth beacon monitoring process"), 1u);

  // Activating again with the same System ID starts nothing.
  ASSERT_TRUE(monitor_handler_activate(handler_, &ctx_, nullptr));
  EXPECT_EQ(count("advwatch_monitor_init"), 1u);
}

TEST_F(MonitorTest, FailedPatternFallsBackToUnfilteredMonitor) {
  th::LogCapture log;
  fake::advwatch.pattern_add_ok = false;
  ASSERT_TRUE(monitor_handler_activate(handler_, &ctx_, nullptr));
  EXPECT_EQ(fake::advwatch.pattern_count, -1);
  EXPECT_EQ(log.count(G_LOG_LEVEL_WARNING, std::string("Unable to create or-pattern: bad pattern value '") + kIdA +
                                               "'. Proceeding with no or-pattern filtering"),
            1u);
}

TEST_F(MonitorTest, FailedInitKeepsStateAndPassesTheLibraryError) {
  th::LogCapture log;
  fake::advwatch.init_ok = false;
  g_autoptr(GError) error = nullptr;
  EXPECT_FALSE(monitor_handler_activate(handler_, &ctx_, &error));
  ASSERT_NE(error, nullptr);
  EXPECT_STREQ(error->message, "adapter gone");
  EXPECT_EQ(handler_->state, MONITOR_STATE_INACTIVE);
  EXPECT_EQ(handler_->monitor, nullptr);
  EXPECT_EQ(log.count(G_LOG_LEVEL_WARNING, "Failed to initialize beacon monitoring process"), 1u);
}

TEST_F(MonitorTest, PauseAndResumeFollowTheStateTable) {
  // Inactive: nothing reaches the library.
  EXPECT_TRUE(monitor_handler_pause(handler_, nullptr));
  EXPECT_TRUE(monitor_handler_resume(handler_, nullptr));
  EXPECT_EQ(handler_->state, MONITOR_STATE_INACTIVE);
  EXPECT_TRUE(fake::calls.empty());

  ASSERT_TRUE(monitor_handler_activate(handler_, &ctx_, nullptr));
  fake::calls.clear();
  EXPECT_TRUE(monitor_handler_resume(handler_, nullptr));  // never paused
  EXPECT_TRUE(fake::calls.empty());

  EXPECT_TRUE(monitor_handler_pause(handler_, nullptr));
  EXPECT_TRUE(monitor_handler_pause(handler_, nullptr));  // already paused
  EXPECT_EQ(handler_->state, MONITOR_STATE_PAUSED);
  EXPECT_TRUE(monitor_handler_resume(handler_, nullptr));
  EXPECT_EQ(handler_->state, MONITOR_STATE_RESUMED);
  EXPECT_TRUE(monitor_handler_pause(handler_, nullptr));
  EXPECT_EQ(handler_->state, MONITOR_STATE_PAUSED);
  EXPECT_EQ(fake::calls, (std::vector<std::string>{"advwatch_monitor_pause", "advwatch_monitor_resume",
                                                   "advwatch_monitor_pause"}));
}

TEST_F(MonitorTest, LibraryFailuresLeaveTheStateAlone) {
  ASSERT_TRUE(monitor_handler_activate(handler_, &ctx_, nullptr));
  fake::advwatch.pause_ok = false;
  g_autoptr(GError) error = nullptr;
  EXPECT_FALSE(monitor_handler_pause(handler_, &error));
  EXPECT_STREQ(error->message, "pause refused by BlueZ");
  EXPECT_EQ(handler_->state, MONITOR_STATE_ACTIVE);

  fake::advwatch.pause_ok = true;
  ASSERT_TRUE(monitor_handler_pause(handler_, nullptr));
  fake::advwatch.resume_ok = false;
  g_clear_error(&error);
  EXPECT_FALSE(monitor_handler_resume(handler_, &error));
  EXPECT_STREQ(error->message, "resume refused by BlueZ");
  EXPECT_EQ(handler_->state, MONITOR_STATE_PAUSED);
}

TEST_F(MonitorTest, DeactivationReleasesAnyRunningMonitorButAPauseLastsUntilResume) {
  th::LogCapture log;
  monitor_handler_deactivate(handler_);  // inactive: silent
  EXPECT_EQ(log.count(G_LOG_LEVEL_MESSAGE, "Deactivate the beacon monitor"), 0u);

  ASSERT_TRUE(monitor_handler_activate(handler_, &ctx_, nullptr));
  ASSERT_TRUE(monitor_handler_pause(handler_, nullptr));
  monitor_handler_deactivate(handler_);
  EXPECT_EQ(handler_->state, MONITOR_STATE_INACTIVE);
  EXPECT_EQ(handler_->monitor, nullptr);
  EXPECT_EQ(fake::advwatch.live_monitors, 0);
  EXPECT_EQ(log.count(G_LOG_LEVEL_MESSAGE, "Deactivate the beacon monitor"), 1u);

  // BlueZ back (or the System ID back): the operator's pause still holds.
  fake::calls.clear();
  ASSERT_TRUE(monitor_handler_activate(handler_, &ctx_, nullptr));
  EXPECT_EQ(handler_->state, MONITOR_STATE_PAUSED);
  EXPECT_EQ(count("advwatch_monitor_pause"), 1u);
  ASSERT_TRUE(monitor_handler_resume(handler_, nullptr));
  EXPECT_EQ(handler_->state, MONITOR_STATE_RESUMED);

  // Resumed, a deactivation no longer brings a pause back.
  monitor_handler_deactivate(handler_);
  fake::calls.clear();
  ASSERT_TRUE(monitor_handler_activate(handler_, &ctx_, nullptr));
  EXPECT_EQ(handler_->state, MONITOR_STATE_ACTIVE);
  EXPECT_EQ(count("advwatch_monitor_pause"), 0u);
}

TEST_F(MonitorTest, RefusedOrReleasedMonitorIsRegisteredAgainWithBackoff) {
  th::LogCapture log;
  g_setenv("KAVROD_RETRY_MS", "20,40", TRUE);
  ASSERT_TRUE(monitor_handler_activate(handler_, &ctx_, nullptr));
  auto inits = [&] { return count("advwatch_monitor_init"); };

  // Refused: the dead monitor goes at once, a new one comes after the delay.
  fake::bluez_moves_monitor(ADVWATCH_MONITOR_STATE_FAILED);
  EXPECT_EQ(fake::advwatch.live_monitors, 0);
  EXPECT_EQ(handler_->state, MONITOR_STATE_ACTIVE);
  EXPECT_EQ(log.count(G_LOG_LEVEL_WARNING, "No beacon monitor on /org/bluez/hci0: BlueZ refused the monitor (told by "
                                           "BlueZ); trying again in 0.020 s"),
            1u);
  ASSERT_TRUE(th::wait_until([&] { return inits() == 2; }, 2000));

  // Refused again: the delay doubles up to its ceiling, one warning a step.
  fake::bluez_moves_monitor(ADVWATCH_MONITOR_STATE_FAILED);
  EXPECT_TRUE(log.contains("trying again in 0.040 s"));
  ASSERT_TRUE(th::wait_until([&] { return inits() == 3; }, 2000));
  fake::bluez_moves_monitor(ADVWATCH_MONITOR_STATE_RELEASED);
  EXPECT_EQ(log.count(G_LOG_LEVEL_WARNING, "BlueZ released the monitor (told by BlueZ); trying again in 0.040 s"), 1u);
  ASSERT_TRUE(th::wait_until([&] { return inits() == 4; }, 2000));

  // Activated: the next failure starts from the first delay again.
  fake::bluez_moves_monitor(ADVWATCH_MONITOR_STATE_ACTIVE);
  fake::bluez_moves_monitor(ADVWATCH_MONITOR_STATE_RELEASED);
  EXPECT_EQ(log.count(G_LOG_LEVEL_WARNING, "trying again in 0.020 s"), 2u);

  // A pause between attempts holds: no attempt until Resume, which starts one.
  ASSERT_TRUE(monitor_handler_pause(handler_, nullptr));
  EXPECT_EQ(handler_->state, MONITOR_STATE_PAUSED);
  th::wait_until([] { return false; }, 100);
  EXPECT_EQ(inits(), 4u);
  // Activating again for the same System ID keeps it paused.
  ASSERT_TRUE(monitor_handler_activate(handler_, &ctx_, nullptr));
  EXPECT_EQ(inits(), 4u);
  ASSERT_TRUE(monitor_handler_resume(handler_, nullptr));
  EXPECT_EQ(inits(), 5u);
  EXPECT_EQ(handler_->state, MONITOR_STATE_RESUMED);
  EXPECT_EQ(fake::advwatch.live_monitors, 1);

  // A dead monitor is replaced at once by an activation (BlueZ came back).
  fake::bluez_moves_monitor(ADVWATCH_MONITOR_STATE_FAILED);
  ASSERT_TRUE(monitor_handler_activate(handler_, &ctx_, nullptr));
  EXPECT_EQ(inits(), 6u);
  monitor_handler_deactivate(handler_);
  th::wait_until([] { return false; }, 100);
  EXPECT_EQ(inits(), 6u) << "a retry outlived the deactivation";
  g_unsetenv("KAVROD_RETRY_MS");
}

/* A new System ID restarts the monitor with the new pattern: a running
 * one runs again, a paused one stays paused; when the restart cannot
 * finish, no monitor is left behind. */
TEST_F(MonitorTest, NewSystemIdRestartsTheMonitorInTheSameState) {
  th::LogCapture log;
  ASSERT_TRUE(monitor_handler_activate(handler_, &ctx_, nullptr));
  set_systemid(kIdB);
  fake::calls.clear();
  ASSERT_TRUE(monitor_handler_activate(handler_, &ctx_, nullptr));
  EXPECT_LT(fake::index_of("advwatch_monitor_cleanup"), fake::index_of("advwatch_monitor_init"));
  EXPECT_EQ(fake::advwatch.system_id, kIdB);
  EXPECT_EQ(fake::advwatch.pattern_values, std::vector<std::string>{kIdB});
  EXPECT_EQ(handler_->state, MONITOR_STATE_ACTIVE);
  EXPECT_EQ(fake::advwatch.live_monitors, 1);

  // Paused: the same System ID changes nothing, not even the pause; a new
  // one gives a new monitor, paused at once.
  ASSERT_TRUE(monitor_handler_pause(handler_, nullptr));
  fake::calls.clear();
  ASSERT_TRUE(monitor_handler_activate(handler_, &ctx_, nullptr));
  EXPECT_TRUE(fake::calls.empty());
  EXPECT_EQ(handler_->state, MONITOR_STATE_PAUSED);
  set_systemid(kIdA);
  ASSERT_TRUE(monitor_handler_activate(handler_, &ctx_, nullptr));
  EXPECT_EQ(fake::calls, (std::vector<std::string>{"advwatch_monitor_cleanup", "advwatch_patterns_new",
                                                   std::string("advwatch_pattern_add(2,") + kIdA + ")",
                                                   "advwatch_monitor_init", "advwatch_monitor_pause"}));
  EXPECT_EQ(handler_->state, MONITOR_STATE_PAUSED);

  // Resumed: the pause is over, the next monitor runs.
  ASSERT_TRUE(monitor_handler_resume(handler_, nullptr));
  set_systemid(kIdB);
  fake::calls.clear();
  ASSERT_TRUE(monitor_handler_activate(handler_, &ctx_, nullptr));
  EXPECT_EQ(count("advwatch_monitor_pause"), 0u);
  EXPECT_EQ(handler_->state, MONITOR_STATE_ACTIVE);

  // A paused monitor whose successor cannot be paused: none runs.
  ASSERT_TRUE(monitor_handler_pause(handler_, nullptr));
  set_systemid(kIdA);
  fake::advwatch.pause_ok = false;
  g_autoptr(GError) error = nullptr;
  EXPECT_FALSE(monitor_handler_activate(handler_, &ctx_, &error));
  ASSERT_NE(error, nullptr);
  EXPECT_NE(strstr(error->message, "pause refused by BlueZ"), nullptr);
  EXPECT_EQ(handler_->state, MONITOR_STATE_INACTIVE);
  EXPECT_EQ(fake::advwatch.live_monitors, 0);

  // The operator's pause still holds for the monitor that then starts.
  fake::advwatch.pause_ok = true;
  ASSERT_TRUE(monitor_handler_activate(handler_, &ctx_, nullptr));
  EXPECT_EQ(handler_->state, MONITOR_STATE_PAUSED);
  ASSERT_TRUE(monitor_handler_resume(handler_, nullptr));

  // A running monitor whose successor cannot start: inactive until the
  // library works again.
  set_systemid(kIdB);
  fake::advwatch.init_ok = false;
  EXPECT_FALSE(monitor_handler_activate(handler_, &ctx_, nullptr));
  EXPECT_EQ(handler_->state, MONITOR_STATE_INACTIVE);
  EXPECT_EQ(fake::advwatch.live_monitors, 0);
  fake::advwatch.init_ok = true;
  EXPECT_TRUE(monitor_handler_activate(handler_, &ctx_, nullptr));
  EXPECT_EQ(fake::advwatch.system_id, kIdB);
}

TEST_F(MonitorTest, BrokenPreconditionsAreCriticalAndChangeNothing) {
  th::LogCapture log;
  EXPECT_FALSE(monitor_handler_activate(nullptr, &ctx_, nullptr));
  EXPECT_EQ(log.count(G_LOG_LEVEL_CRITICAL, "monitor_handler_activate: assertion 'monitor_handler != NULL' failed"), 1u);
  g_clear_pointer(&ctx_.systemid, g_free);
  EXPECT_FALSE(monitor_handler_activate(handler_, &ctx_, nullptr));
  EXPECT_EQ(log.count(G_LOG_LEVEL_CRITICAL, "assertion 'systemid_ctx->systemid != NULL' failed"), 1u);
  GError *pending = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_FAILED, "pending");
  EXPECT_FALSE(monitor_handler_pause(handler_, &pending));
  EXPECT_EQ(log.count(G_LOG_LEVEL_CRITICAL, "monitor_handler_pause: assertion 'err == NULL || *err == NULL' failed"), 1u);
  g_error_free(pending);
  monitor_handler_deactivate(nullptr);
  EXPECT_EQ(log.count(G_LOG_LEVEL_CRITICAL, "monitor_handler_deactivate: assertion 'monitor_handler != NULL' failed"), 1u);
  EXPECT_TRUE(fake::calls.empty());
}

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    ASSERT_TRUE(event_handler_init(nullptr));
    ctx_.systemid = g_strdup(kIdA);
  }
  void TearDown() override {
    event_handler_teardown();
    g_free(ctx_.systemid);
  }
  void dispatch(guint8 number) {
    AdvwatchBeacon beacon{number};
    dispatch_event(&beacon, &ctx_);
  }
  SystemidCtx ctx_{};
};

TEST_F(DispatchTest, EventNumbersAreClassified) {
  th::LogCapture log;
  dispatch(0);
  dispatch(1);
  dispatch(3);
  dispatch(255);
  EXPECT_EQ(log.count(G_LOG_LEVEL_DEBUG, "Event type was HELLO!"), 1u);
  EXPECT_EQ(log.count(G_LOG_LEVEL_DEBUG, "Event type was LIGHTBAR_ACTIVE!"), 1u);
  EXPECT_EQ(log.count(G_LOG_LEVEL_DEBUG, "Unlisted event: 3"), 1u);
  EXPECT_EQ(log.count(G_LOG_LEVEL_DEBUG, "Unlisted event: 255"), 1u);
  EXPECT_TRUE(fake::evpub.sent_values.empty());
}

TEST_F(DispatchTest, RecordingStartedSendsOneEventWithTheCurrentSystemId) {
  th::LogCapture log;
  dispatch(2);
  // The System ID in force when the beacon arrives is the one sent.
  g_free(ctx_.systemid);
  ctx_.systemid = g_strdup(kIdB);
  dispatch(2);
  EXPECT_EQ(fake::evpub.sent_values, (std::vector<std::string>{kIdA, kIdB}));
  EXPECT_EQ(log.count(G_LOG_LEVEL_MESSAGE, "'RECORDING_STARTED' event was triggered"), 2u);
}

TEST_F(DispatchTest, FailedSendIsLoggedAndDropped) {
  th::LogCapture log;
  fake::evpub.set_ok = false;
  dispatch(2);
  EXPECT_EQ(log.count(G_LOG_LEVEL_WARNING, "Failed to send event"), 1u);
  EXPECT_EQ(log.count(G_LOG_LEVEL_MESSAGE, "'RECORDING_STARTED' event was triggered"), 0u);
  EXPECT_EQ(fake::evpub.live_events, 0);
}

}  // namespace

/* The engine as plug-in host, driven with the fixture plug-in, which logs
 * every call into the engine's log. */
#include <csignal>

#include "engine-test.h"

using namespace aetest;

namespace {

constexpr char kDoorId[] = "0f5b4c1e-8a55-4e0b-9a3c-2d1f6b7e8a90";
constexpr char kGateId[] = "6a1d2c3b-0000-4aaa-8bbb-112233445566";

std::string rule(int id, const std::string &label, const std::string &system_id,
                 bool enabled = true, const std::string &extra = "") {
  return "[rule " + std::to_string(id) + "]\nname=" + label + "\nenabled=" +
         (enabled ? "true" : "false") + "\nstart_event=" + start_event(system_id) +
         "\nsofile=@FIXTURE@\nparam_label=" + label + "\n" + extra + "\n";
}

std::string feedback(int rule, int status, const std::string &error = "") {
  return "(" + std::to_string(rule) + ", " + std::to_string(status) + ", '" + error + "')";
}

/* Position of @needle in @log, npos when missing. */
size_t at(const std::string &log, const std::string &needle) { return log.find(needle); }

}  // namespace

TEST_F(EngineTest, LoadCreatesValidatesAndInitializesOneInstancePerRuleOffTheMainThread) {
  start_engine(rule(7, "door", kDoorId, true, "param_message_type=2") + rule(8, "gate", kGateId));
  ASSERT_TRUE(wait_signal("ActionFeedback", feedback(7, 1)));
  ASSERT_TRUE(wait_signal("ActionFeedback", feedback(8, 1)));
  EXPECT_EQ(count("ActionFeedback", feedback(7, 0)), 1u);

  // The log comes through another pipe than the signals: the engine logs
  // this line just before it sends the feedback we waited for.
  ASSERT_TRUE(engine_->wait_for_log("rule 7: plug-in status 1 (INITIALIZED)"));
  const std::string log = engine_->log();
  EXPECT_NE(at(log, std::string("fixture[door]: create on host thread: root=action "
                                "plugin=fixture-plugin sofile=") +
                        FIXTURE_PLUGIN +
                        " params={label=door,message_type=2} setup=set user_data=set reserved=null"),
            std::string::npos)
      << log;
  size_t create = at(log, "fixture[door]: create");
  size_t validate = at(log, "fixture[door]: validate on host thread");
  size_t initialize = at(log, "fixture[door]: initialize on host thread");
  ASSERT_NE(validate, std::string::npos);
  ASSERT_NE(initialize, std::string::npos);
  EXPECT_LT(create, validate);
  EXPECT_LT(validate, initialize);
  EXPECT_EQ(engine_->count("fixture[door]: create"), 1u);
  EXPECT_NE(at(log, "rule 7: plug-in status 1 (INITIALIZED)"), std::string::npos);
  EXPECT_EQ(engine_->count("on main thread"), 0u);
}

TEST_F(EngineTest, TriggerStartsTheInstanceOfAnEnabledRuleOnly) {
  start_engine(rule(7, "door", kDoorId) + rule(9, "off", kGateId, false) +
               "[rule 4]\nname=no action\nstart_event=" + start_event(kGateId) + "\n");
  ASSERT_TRUE(wait_signal("ActionFeedback", feedback(7, 1)));

  call_ok(kRuleIface, "Trigger", g_variant_new("(i)", 7));
  ASSERT_TRUE(wait_signal("ActionFeedback", feedback(7, 2)));
  EXPECT_EQ(count("RuleFired", "(7,)"), 1u);
  EXPECT_TRUE(engine_->wait_for_log("fixture[door]: start on host thread"));
  EXPECT_TRUE(engine_->wait_for_log("rule 7: plug-in status 2 (STARTED)"));

  EXPECT_EQ(call_error(kRuleIface, "Trigger", g_variant_new("(i)", 9)),
            "com.vemo.Event.ActionEngine.Error.Disabled");
  EXPECT_EQ(call_error(kRuleIface, "Trigger", g_variant_new("(i)", 4)),
            "com.vemo.Event.ActionEngine.Error.NoAction");
  EXPECT_EQ(call_error(kRuleIface, "Trigger", g_variant_new("(i)", 5)),
            "com.vemo.Event.ActionEngine.Error.NoSuchRule");

  /* Enabling makes it fire. */
  call_ok(kRuleIface, "SetEnabled", g_variant_new("(ib)", 9, TRUE));
  call_ok(kRuleIface, "Trigger", g_variant_new("(i)", 9));
  ASSERT_TRUE(wait_signal("ActionFeedback", feedback(9, 2)));
  EXPECT_EQ(count("RuleFired"), 2u);
  ASSERT_TRUE(engine_->wait_for_log("rule 9: plug-in status 2 (STARTED)"));
  EXPECT_EQ(engine_->count("fixture[off]: start"), 1u);
}

TEST_F(EngineTest, EventFiresTheRulesWhoseTopicAndSystemIdMatch) {
  start_engine(rule(7, "door", kDoorId) + rule(8, "gate", kGateId) +
               rule(9, "off", kDoorId, false));
  ASSERT_TRUE(wait_signal("ActionFeedback", feedback(8, 1)));
  ASSERT_TRUE(wait_signal("ActionFeedback", feedback(7, 1)));

  /* Near misses first; the engine handles signals of one sender in order,
   * so once the gate's rule fired, these had their chance. */
  emit_event(kTopic, "0f5b4c1e-8a55-4e0b-9a3c-2d1f6b7e8a91");
  emit_event("tns1:Device/tnsvemo:Bluetooth/tnsvemo:Other", kDoorId);
  emit_event(kTopic, nullptr);
  emit_event(kTopic, kGateId);
  ASSERT_TRUE(wait_signal("RuleFired", "(8,)"));
  ASSERT_TRUE(wait_signal("ActionFeedback", feedback(8, 2)));
  EXPECT_EQ(count("RuleFired"), 1u);

  /* Hexadecimal digits of either case name the same System ID; the
   * disabled rule with that System ID stays quiet. */
  g_autofree gchar *upper = g_ascii_strup(kDoorId, -1);
  emit_event(kTopic, upper);
  ASSERT_TRUE(wait_signal("ActionFeedback", feedback(7, 2)));
  emit_event(kTopic, kGateId);
  ASSERT_TRUE(wait_signal("RuleFired", "(8,)", 2));
  EXPECT_EQ(count("RuleFired", "(7,)"), 1u);
  EXPECT_EQ(count("RuleFired", "(9,)"), 0u);
  EXPECT_EQ(engine_->count("fixture[off]: start"), 0u);
}

TEST_F(EngineTest, RemovingARuleStopsAbortsDestroysAndFreesItsInstance) {
  start_engine(rule(7, "door", kDoorId) + rule(8, "gate", kGateId));
  ASSERT_TRUE(wait_signal("ActionFeedback", feedback(7, 1)));
  call_ok(kRuleIface, "Trigger", g_variant_new("(i)", 7));
  ASSERT_TRUE(wait_signal("ActionFeedback", feedback(7, 2)));

  call_ok(kRuleIface, "RemoveRule", g_variant_new("(i)", 7));
  ASSERT_TRUE(wait_signal("ActionFeedback", feedback(7, 5)));
  EXPECT_EQ(count("ActionFeedback", feedback(7, 3)), 1u);
  EXPECT_EQ(count("ActionFeedback", feedback(7, 4)), 1u);
  ASSERT_TRUE(engine_->wait_for_log("fixture[door]: free on host thread"));

  const std::string log = engine_->log();
  size_t running = at(log, "fixture[door]: check_running on host thread: yes");
  size_t stop = at(log, "fixture[door]: stop on host thread");
  size_t abort = at(log, "fixture[door]: abort on host thread");
  size_t destroy = at(log, "fixture[door]: destroy on host thread");
  size_t free = at(log, "fixture[door]: free on host thread");
  ASSERT_NE(running, std::string::npos) << log;
  EXPECT_LT(running, stop);
  EXPECT_LT(stop, abort);
  EXPECT_LT(abort, destroy);
  EXPECT_LT(destroy, free);
  EXPECT_NE(at(log, "rule 7: plug-in status 5 (DESTROYED)"), std::string::npos);
  EXPECT_EQ(engine_->count("fixture[gate]: stop"), 0u) << "the other rule's instance lives on";

  /* The rule is gone for events too. */
  emit_event(kTopic, kDoorId);
  emit_event(kTopic, kGateId);
  ASSERT_TRUE(wait_signal("RuleFired", "(8,)"));
  EXPECT_EQ(count("RuleFired", "(7,)"), 1u) << "only the Trigger before removal";
}

TEST_F(EngineTest, AddRuleAndReloadCreateAndReplaceInstances) {
  start_engine(rule(7, "door", kDoorId) + rule(8, "gate", kGateId));
  ASSERT_TRUE(wait_signal("ActionFeedback", feedback(8, 1)));
  ASSERT_TRUE(wait_signal("ActionFeedback", feedback(7, 1)));

  GVariantBuilder params;
  g_variant_builder_init(&params, G_VARIANT_TYPE("a{ss}"));
  g_variant_builder_add(&params, "{ss}", "label", "added");
  const std::string start = start_event(kDoorId);
  call_ok(kRuleIface, "AddRule",
          g_variant_new("(isb@ays@a{ss})", 20, "Added", TRUE,
                        g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, start.data(), start.size(), 1),
                        FIXTURE_PLUGIN, g_variant_builder_end(&params)));
  ASSERT_TRUE(wait_signal("ActionFeedback", feedback(20, 1)));
  EXPECT_TRUE(engine_->wait_for_log("fixture[added]: create on host thread: root=action "
                                    "plugin=fixture-plugin"));

  /* Reload: rule 7 unchanged but renamed and disabled (its instance stays),
   * rule 8 with other parameters (replaced), rule 20 gone (torn down). */
  write_rules("[rule 7]\nname=renamed\nenabled=false\nstart_event=" + start_event(kDoorId) +
              "\nsofile=@FIXTURE@\nparam_label=door\n\n" +
              rule(8, "gate", kGateId, true, "param_message_type=9"));
  ASSERT_EQ(kill(engine_->pid(), SIGHUP), 0);
  ASSERT_TRUE(wait_signal("ActionFeedback", feedback(20, 5)));
  ASSERT_TRUE(wait_signal("ActionFeedback", feedback(8, 5)));
  ASSERT_TRUE(wait_signal("ActionFeedback", feedback(8, 1), 2));
  EXPECT_TRUE(engine_->wait_for_log("params={label=gate,message_type=9}"));
  EXPECT_EQ(engine_->count("fixture[door]: create"), 1u);
  EXPECT_EQ(count("ActionFeedback", feedback(7, 5)), 0u);
  EXPECT_NE(list().find("(7, 'renamed', false,"), std::string::npos);
}

TEST_F(EngineTest, PluginErrorsAreReportedAndBrokenPluginsLeaveTheRuleListed) {
  start_engine(rule(7, "door", kDoorId, true, "param_fail=validate") +
               rule(8, "gate", kGateId, true, "param_fail=create") +
               "[rule 30]\nname=missing file\nsofile=/nonexistent/libnothing.so\n\n"
               "[rule 31]\nname=no abort\nsofile=@FIXTURE_NO_ABORT@\n");
  ASSERT_TRUE(wait_signal("ActionFeedback", feedback(7, 0, "fixture validate failed on request")));
  EXPECT_TRUE(engine_->wait_for_log("rule 7: plug-in status 0 (VALIDATED): fixture validate failed"));
  EXPECT_TRUE(engine_->wait_for_log("rule 8: plug-in " FIXTURE_PLUGIN
                                    " did not create an instance: fixture create failed on request"));

  const std::string log = engine_->log();
  EXPECT_NE(at(log, "rule 30: cannot load plug-in /nonexistent/libnothing.so: "), std::string::npos)
      << log;
  EXPECT_NE(at(log, "rule 31: plug-in " FIXTURE_PLUGIN_NO_ABORT " does not export plugin_abort"),
            std::string::npos)
      << log;

  const std::string listed = list();
  EXPECT_NE(listed.find("(30, 'missing file', true,"), std::string::npos) << listed;
  EXPECT_NE(listed.find("(31, 'no abort', true,"), std::string::npos) << listed;

  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = call(kRuleIface, "Trigger", g_variant_new("(i)", 31), &error);
  ASSERT_EQ(reply, nullptr);
  EXPECT_NE(std::string(error->message).find("does not export plugin_abort"), std::string::npos)
      << error->message;

  /* An instance that failed validation is never initialized nor started,
   * but is still torn down. */
  call_ok(kRuleIface, "Trigger", g_variant_new("(i)", 7));
  EXPECT_TRUE(engine_->wait_for_log("rule 7: plug-in instance is not ready; not starting it"));
  call_ok(kRuleIface, "RemoveRule", g_variant_new("(i)", 7));
  ASSERT_TRUE(engine_->wait_for_log("fixture[door]: free"));
  EXPECT_EQ(engine_->count("fixture[door]: initialize"), 0u);
  EXPECT_EQ(engine_->count("fixture[door]: start"), 0u);
}

TEST_F(EngineTest, TerminationTearsDownLiveInstancesAndExitsZero) {
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    clear_signals();
    start_engine(rule(7, "door", kDoorId) + rule(8, "gate", kGateId));
    ASSERT_TRUE(wait_signal("ActionFeedback", feedback(7, 1)));
    ASSERT_TRUE(wait_signal("ActionFeedback", feedback(8, 1)));
    call_ok(kRuleIface, "Trigger", g_variant_new("(i)", 8));
    ASSERT_TRUE(wait_signal("ActionFeedback", feedback(8, 2)));

    EXPECT_EQ(engine_->stop(sig), 0) << engine_->log();
    EXPECT_EQ(engine_->count("fixture[door]: free on host thread"), 1u);
    EXPECT_EQ(engine_->count("fixture[gate]: free on host thread"), 1u);
    EXPECT_EQ(engine_->count("fixture[gate]: stop on host thread"), 1u);
    /* Teardown feedback made it onto the bus before the engine left. */
    EXPECT_TRUE(wait_signal("ActionFeedback", feedback(7, 5)));
    EXPECT_TRUE(wait_signal("ActionFeedback", feedback(8, 5)));
    ASSERT_TRUE(th::wait_until([&] { return !bus_.has_owner(kName); }));
  }
}

TEST_F(EngineTest, TerminationDoesNotWaitForeverForAPluginStuckInStart) {
  write_rules(rule(7, "door", kDoorId) + rule(8, "stuck", kGateId, true, "param_hang=start"));
  const std::string timeout = std::to_string(th::scaled(300));
  engine_ = std::make_unique<th::Process>(std::vector<std::string>{
      th::env_path("ACTION_ENGINE_SIM_BIN"), "--rules", rules_path_, "--teardown-timeout", timeout});
  ASSERT_TRUE(bus_.wait_for_name(kName));
  ASSERT_TRUE(wait_signal("ActionFeedback", feedback(7, 1)));
  ASSERT_TRUE(wait_signal("ActionFeedback", feedback(8, 1)));
  call_ok(kRuleIface, "Trigger", g_variant_new("(i)", 8));
  ASSERT_TRUE(wait_signal("ActionFeedback", feedback(8, 2)));

  EXPECT_EQ(engine_->stop(SIGTERM), 0) << engine_->log();
  EXPECT_EQ(engine_->count("rule 8: plug-in instance did not finish its teardown within " + timeout +
                           " ms"),
            1u)
      << engine_->log();
  /* The well-behaved instance was torn down all the same. */
  EXPECT_EQ(engine_->count("fixture[door]: free on host thread"), 1u);
  EXPECT_EQ(engine_->count("fixture[stuck]: stop"), 0u);
}

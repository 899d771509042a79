/* The engine's rules on the bus: List, changes, reload and List faults. */
#include <csignal>

#include "engine-test.h"

using namespace aetest;

namespace {

constexpr char kDoorId[] = "0f5b4c1e-8a55-4e0b-9a3c-2d1f6b7e8a90";

const char kTwoRules[] =
    "[rule 7]\n"
    "name=Front door\n"
    "enabled=true\n"
    "start_event=topic=tns1:Device/tnsvemo:Bluetooth/tnsvemo:BeaconReceived;UUID,value="
    "0f5b4c1e-8a55-4e0b-9a3c-2d1f6b7e8a90;\n"
    "sofile=@FIXTURE@\n"
    "param_message_type=2\n"
    "param_label=door\n"
    "\n"
    "[rule 3]\n"
    "name=Back <gate> & yard\n"
    "enabled=false\n"
    "start_event=topic=x;UUID,value=abc;\n";

const char kPropertiesChanged[] = "('com.vemo.Event.ActionEngine.ActionRule', {}, ['Rules'])";

std::string bytes_of(const std::string &text) {
  g_autoptr(GVariant) v = g_variant_ref_sink(
      g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, text.data(), text.size(), 1));
  g_autofree gchar *printed = g_variant_print(v, FALSE);
  return printed;
}

}  // namespace

TEST_F(EngineTest, ListCarriesEveryRuleOfTheFileInIdOrder) {
  start_engine(kTwoRules);
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = call(kRuleIface, "List", nullptr, &error);
  ASSERT_NE(reply, nullptr) << error->message;
  ASSERT_STREQ(g_variant_get_type_string(reply), "(a(isbaysa{ss}))");

  g_autoptr(GVariant) rules = g_variant_get_child_value(reply, 0);
  ASSERT_EQ(g_variant_n_children(rules), 2u);

  gint32 id;
  const gchar *name;
  gboolean enabled;
  g_autoptr(GVariant) start = nullptr;
  const gchar *xml;
  g_autoptr(GVariant) params = nullptr;

  g_variant_get_child(rules, 0, "(i&sb@ay&s@a{ss})", &id, &name, &enabled, &start, &xml, &params);
  EXPECT_EQ(id, 3);
  EXPECT_STREQ(name, "Back <gate> & yard");
  EXPECT_FALSE(enabled);
  EXPECT_STREQ(xml, "") << "a rule without plug-in has no action";
  EXPECT_EQ(g_variant_n_children(params), 0u);
  g_clear_pointer(&start, g_variant_unref);
  g_clear_pointer(&params, g_variant_unref);

  g_variant_get_child(rules, 1, "(i&sb@ay&s@a{ss})", &id, &name, &enabled, &start, &xml, &params);
  EXPECT_EQ(id, 7);
  EXPECT_STREQ(name, "Front door");
  EXPECT_TRUE(enabled);
  /* The bytes are the text, without a terminating zero, with the System ID
   * 11 bytes after the UUID marker. */
  gsize n = 0;
  const char *bytes = static_cast<const char *>(g_variant_get_fixed_array(start, &n, 1));
  std::string start_text(bytes, n);
  EXPECT_EQ(start_text, start_event(kDoorId));
  size_t marker = start_text.find("UUID");
  ASSERT_NE(marker, std::string::npos);
  EXPECT_EQ(start_text.compare(marker + 11, 36, kDoorId), 0);
  EXPECT_EQ(xml, std::string("<action><plugin>fixture-plugin</plugin><sofile>") + FIXTURE_PLUGIN +
                     "</sofile></action>");
  const gchar *value = nullptr;
  EXPECT_TRUE(g_variant_lookup(params, "message_type", "&s", &value));
  EXPECT_STREQ(value, "2");
  EXPECT_TRUE(g_variant_lookup(params, "label", "&s", &value));
  EXPECT_STREQ(value, "door");
  EXPECT_EQ(g_variant_n_children(params), 2u);

  /* The Rules property that PropertiesChanged invalidates says the same. */
  g_autoptr(GVariant) prop = th::call(connection(), kName, kPath, "org.freedesktop.DBus.Properties",
                                      "Get", g_variant_new("(ss)", kRuleIface, "Rules"), "(v)",
                                      &error);
  ASSERT_NE(prop, nullptr) << error->message;
  g_autoptr(GVariant) boxed = g_variant_get_child_value(prop, 0);
  g_autoptr(GVariant) prop_rules = g_variant_get_variant(boxed);
  EXPECT_TRUE(g_variant_equal(prop_rules, rules));
}

TEST_F(EngineTest, ChangesEmitPropertiesChangedAndShowInList) {
  start_engine("");
  EXPECT_EQ(list(), "([],)");

  GVariantBuilder params;
  g_variant_builder_init(&params, G_VARIANT_TYPE("a{ss}"));
  g_variant_builder_add(&params, "{ss}", "message_type", "4");
  const std::string start = start_event(kDoorId);
  call_ok(kRuleIface, "AddRule",
          g_variant_new("(isb@ays@a{ss})", 12, "Garage", TRUE,
                        g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, start.data(), start.size(), 1),
                        "", g_variant_builder_end(&params)));
  ASSERT_TRUE(wait_signal("PropertiesChanged", kPropertiesChanged, 1));
  EXPECT_EQ(list(), "([(12, 'Garage', true, " + bytes_of(start) + ", '', {'message_type': '4'})],)");

  call_ok(kRuleIface, "SetEnabled", g_variant_new("(ib)", 12, FALSE));
  ASSERT_TRUE(wait_signal("PropertiesChanged", kPropertiesChanged, 2));
  EXPECT_NE(list().find("(12, 'Garage', false,"), std::string::npos);

  /* Refusals change nothing and say why. */
  EXPECT_EQ(call_error(kRuleIface, "AddRule",
                       g_variant_new("(isb@ays@a{ss})", 12, "Again", TRUE,
                                     g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "", 0, 1), "",
                                     g_variant_new_array(G_VARIANT_TYPE("{ss}"), nullptr, 0))),
            "com.vemo.Event.ActionEngine.Error.RuleExists");
  EXPECT_EQ(call_error(kRuleIface, "RemoveRule", g_variant_new("(i)", 99)),
            "com.vemo.Event.ActionEngine.Error.NoSuchRule");
  EXPECT_EQ(call_error(kRuleIface, "SetEnabled", g_variant_new("(ib)", 99, TRUE)),
            "com.vemo.Event.ActionEngine.Error.NoSuchRule");

  call_ok(kRuleIface, "RemoveRule", g_variant_new("(i)", 12));
  ASSERT_TRUE(wait_signal("PropertiesChanged", kPropertiesChanged, 3));
  EXPECT_EQ(list(), "([],)");

  call_ok(kControlIface, "EmitChanged", nullptr);
  ASSERT_TRUE(wait_signal("PropertiesChanged", kPropertiesChanged, 4));
  EXPECT_EQ(count("PropertiesChanged"), 4u) << "one signal per change, no more";
}

TEST_F(EngineTest, SighupReloadsTheRulesFileAndKeepsRulesWhenItIsBroken) {
  start_engine(kTwoRules);
  ASSERT_NE(list().find("(3, 'Back <gate> & yard', false"), std::string::npos);

  write_rules("[rule 5]\nname=Only one\nstart_event=topic=a;UUID,value=b;\n");
  ASSERT_EQ(kill(engine_->pid(), SIGHUP), 0);
  ASSERT_TRUE(wait_signal("PropertiesChanged", kPropertiesChanged, 1));
  EXPECT_EQ(list(), "([(5, 'Only one', true, " + bytes_of("topic=a;UUID,value=b;") + ", '', {})],)");

  write_rules("[rule 5]\nname=Broken\nenabled=maybe\n");
  size_t from = engine_->log_size();
  ASSERT_EQ(kill(engine_->pid(), SIGHUP), 0);
  ASSERT_TRUE(engine_->wait_for_log("reload failed, keeping the current rules", 5000, from));
  EXPECT_NE(engine_->log().find("rules.conf: [rule 5]: key \"enabled\"", from), std::string::npos);
  EXPECT_NE(list().find("'Only one'"), std::string::npos);
  EXPECT_EQ(count("PropertiesChanged"), 1u);
}

TEST_F(EngineTest, ListFaultModesAnswerAsAsked) {
  start_engine(kTwoRules);
  const std::string good = list();

  auto set_fault = [this](const char *mode, guint32 delay) {
    call_ok(kControlIface, "SetListFault", g_variant_new("(su)", mode, delay));
  };
  auto raw_type = [this]() -> std::string {
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = call(kRuleIface, "List", nullptr, &error);
    return reply != nullptr ? g_variant_get_type_string(reply) : std::string("error: ") + error->message;
  };

  set_fault("error", 0);
  EXPECT_EQ(call_error(kRuleIface, "List", nullptr), "com.vemo.Sim.Error.Failed");

  /* Malformed shapes really go out on the wire. */
  set_fault("short", 0);
  EXPECT_EQ(raw_type(), "(a(is))");
  set_fault("badtypes", 0);
  EXPECT_EQ(raw_type(), "(a(sibay))");
  set_fault("empty-reply", 0);
  EXPECT_EQ(raw_type(), "()");

  set_fault("delay", 300);
  gint64 before = g_get_monotonic_time();
  EXPECT_EQ(list(), good);
  EXPECT_GE(g_get_monotonic_time() - before, 300 * 1000);

  set_fault("noreply", 0);
  {
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = call(kRuleIface, "List", nullptr, &error, 300);
    EXPECT_EQ(reply, nullptr);
    EXPECT_TRUE(g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT))
        << (error ? error->message : "answered");
  }

  EXPECT_EQ(call_error(kControlIface, "SetListFault", g_variant_new("(su)", "sometimes", 0u)),
            "org.freedesktop.DBus.Error.InvalidArgs");

  set_fault("none", 0);
  EXPECT_EQ(list(), good);

  /* A call held by noreply when the engine stops is let go cleanly. */
  set_fault("noreply", 0);
  g_dbus_connection_call(connection(), kName, kPath, kRuleIface, "List", nullptr, nullptr,
                         G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
  ASSERT_TRUE(engine_->wait_for_log("List fault mode noreply"));
  g_dbus_connection_flush_sync(connection(), nullptr, nullptr);
  EXPECT_EQ(engine_->stop(SIGTERM), 0) << engine_->log();
}

TEST_F(EngineTest, StartupAndCommandLine) {
  th::Process help({th::env_path("ACTION_ENGINE_SIM_BIN"), "--help"});
  EXPECT_EQ(help.wait_exit(), 0);
  EXPECT_NE(help.log().find("--rules"), std::string::npos);

  write_rules("[rule x]\nname=bad\n");
  th::Process bad({th::env_path("ACTION_ENGINE_SIM_BIN"), "--rules", rules_path_});
  EXPECT_EQ(bad.wait_exit(), 1);
  EXPECT_NE(bad.log().find("group [rule x] is not of the form [rule N]"), std::string::npos)
      << bad.log();

  th::Process missing({th::env_path("ACTION_ENGINE_SIM_BIN"), "--rules", dir_ + "/none.conf"});
  EXPECT_EQ(missing.wait_exit(), 1);
  EXPECT_NE(missing.log().find("cannot read rules file " + dir_ + "/none.conf"), std::string::npos)
      << missing.log();

  start_engine("");
  EXPECT_EQ(engine_->stop(SIGINT), 0);
}

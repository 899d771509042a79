#include "engine-test.h"

#include <glib/gstdio.h>

#include <fstream>

namespace aetest {

namespace {

void replace_all(std::string *text, const std::string &from, const std::string &to) {
  for (size_t pos = text->find(from); pos != std::string::npos; pos = text->find(from, pos + to.size()))
    text->replace(pos, from.size(), to);
}

}  // namespace

std::string start_event(const std::string &system_id) {
  return std::string("topic=") + kTopic + ";UUID,value=" + system_id + ";";
}

EngineTest::EngineTest() {
  char tmpl[] = "/tmp/action-engine-test-XXXXXX";
  if (g_mkdtemp(tmpl) == nullptr)
    g_error("mkdtemp: %s", g_strerror(errno));
  dir_ = tmpl;
  rules_path_ = dir_ + "/rules.conf";
  /* Subscribed before the engine starts, so no signal of it is missed. */
  subscription_ = g_dbus_connection_signal_subscribe(connection(), nullptr, nullptr, nullptr, kPath,
                                                     nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                                                     &EngineTest::on_signal, this, nullptr);
}

EngineTest::~EngineTest() {
  engine_.reset();
  g_dbus_connection_signal_unsubscribe(connection(), subscription_);
  g_unlink(rules_path_.c_str());
  g_rmdir(dir_.c_str());
}

void EngineTest::write_rules(const std::string &text) {
  std::string expanded = text;
  replace_all(&expanded, "@FIXTURE_NO_ABORT@", FIXTURE_PLUGIN_NO_ABORT);
  replace_all(&expanded, "@FIXTURE@", FIXTURE_PLUGIN);
  g_autoptr(GError) error = nullptr;
  ASSERT_TRUE(g_file_set_contents(rules_path_.c_str(), expanded.c_str(), -1, &error))
      << error->message;
}

void EngineTest::start_engine(const std::string &rules_text) {
  write_rules(rules_text);
  engine_ = std::make_unique<th::Process>(
      std::vector<std::string>{th::env_path("ACTION_ENGINE_SIM_BIN"), "--rules", rules_path_});
  ASSERT_TRUE(bus_.wait_for_name(kName)) << engine_->log();
}

GVariant *EngineTest::call(const char *iface, const char *method, GVariant *params, GError **error,
                           int timeout_ms) {
  return th::call(connection(), kName, kPath, iface, method, params, nullptr, error, timeout_ms);
}

void EngineTest::call_ok(const char *iface, const char *method, GVariant *params) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = call(iface, method, params, &error);
  ASSERT_NE(reply, nullptr) << method << ": " << error->message;
  EXPECT_STREQ(g_variant_get_type_string(reply), "()") << method;
}

std::string EngineTest::call_error(const char *iface, const char *method, GVariant *params) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = call(iface, method, params, &error);
  if (reply != nullptr)
    return "";
  g_autofree gchar *name = g_dbus_error_get_remote_error(error);
  return name != nullptr ? name : error->message;
}

std::string EngineTest::list() {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = call(kRuleIface, "List", nullptr, &error);
  if (reply == nullptr) {
    ADD_FAILURE() << "List: " << error->message;
    return "";
  }
  EXPECT_STREQ(g_variant_get_type_string(reply), "(a(isbaysa{ss}))");
  g_autofree gchar *text = g_variant_print(reply, FALSE);
  return text;
}

void EngineTest::emit_event(const char *topic, const char *uuid) {
  GVariantBuilder values;
  g_variant_builder_init(&values, G_VARIANT_TYPE("a{sv}"));
  if (uuid != nullptr)
    g_variant_builder_add(&values, "{sv}", "UUID", g_variant_new_string(uuid));
  g_variant_builder_add(&values, "{sv}", "EventNumber", g_variant_new_int32(2));
  g_autoptr(GError) error = nullptr;
  ASSERT_TRUE(g_dbus_connection_emit_signal(
      connection(), nullptr, "/com/vemo/Event/Producer/test", "com.vemo.Event.Producer1", "Event",
      g_variant_new("(ssxa{sv})", "test", topic, g_get_real_time(), &values), &error))
      << error->message;
}

void EngineTest::on_signal(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                           const gchar *member, GVariant *params, gpointer data) {
  g_autofree gchar *args = g_variant_print(params, FALSE);
  static_cast<EngineTest *>(data)->signals_.push_back({member, args});
}

size_t EngineTest::count(const std::string &member, const std::string &args) const {
  size_t n = 0;
  for (const auto &s : signals_)
    if (s.member == member && (args.empty() || s.args == args))
      n++;
  return n;
}

bool EngineTest::wait_signal(const std::string &member, const std::string &args, size_t n,
                             int timeout_ms) {
  return th::wait_until([&] { return count(member, args) >= n; }, timeout_ms);
}

}  // namespace aetest

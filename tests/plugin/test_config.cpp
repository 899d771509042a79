/* The plug-in's exported surface, its configuration and its feedback: all
 * without a bus. */
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>

#include "harness.h"
#include "plugin_host.h"

namespace {

using Params = std::map<std::string, std::string>;

GQuark plugin_domain() { return g_quark_from_static_string("telvo_plugin"); }

TEST(PluginExports, ExactlyTheNineEntryPoints) {
  std::string path = th::env_path("TELVO_PLUGIN");
  const gchar *argv[] = {"nm", "-D", "--defined-only", path.c_str(), nullptr};
  g_autofree gchar *out = nullptr;
  g_autofree gchar *err = nullptr;
  gint status = 0;
  g_autoptr(GError) error = nullptr;
  ASSERT_TRUE(g_spawn_sync(nullptr, const_cast<gchar **>(argv), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr,
                           &out, &err, &status, &error))
      << error->message;
  ASSERT_TRUE(g_spawn_check_wait_status(status, nullptr)) << err;

  std::set<std::string> symbols;
  g_auto(GStrv) lines = g_strsplit(out, "\n", -1);
  for (gchar **line = lines; *line != nullptr; line++) {
    g_auto(GStrv) fields = g_strsplit_set(g_strstrip(*line), " \t", -1);
    guint n = g_strv_length(fields);
    if (n >= 2)
      symbols.insert(fields[n - 1]);
  }
  const std::set<std::string> expected = {"plugin_create",        "plugin_validate", "plugin_initialize",
                                          "plugin_start",         "plugin_stop",     "plugin_abort",
                                          "plugin_check_running", "plugin_destroy",  "plugin_free"};
  EXPECT_EQ(symbols, expected);
}

struct RefusedCase {
  const char *what;
  Params parameters;
  const char *xml;
  const char *message;
};

TEST(PluginCreate, RefusedConfigurationsNameTheirCause) {
  const std::string id = ph::kSystemId;
  const RefusedCase cases[] = {
      {"message type missing", {{"system_id", id}}, ph::kGoodConfig, "Configuration parameter missing: Message type"},
      {"both missing: message type first", {{"other", "1"}}, ph::kGoodConfig,
       "Configuration parameter missing: Message type"},
      {"system id missing", {{"message_type", "3"}}, ph::kGoodConfig, "Configuration parameter missing: System ID"},
      {"256", {{"message_type", "256"}, {"system_id", id}}, ph::kGoodConfig,
       "Message type '256' is not a valid guint8 number"},
      {"-1", {{"message_type", "-1"}, {"system_id", id}}, ph::kGoodConfig,
       "Message type '-1' is not a valid guint8 number"},
      {"beyond 64 bits", {{"message_type", "99999999999999999999"}, {"system_id", id}}, ph::kGoodConfig,
       "Message type '99999999999999999999' is not a valid guint8 number"},
      {"bad message type wins over missing system id", {{"message_type", "300"}}, ph::kGoodConfig,
       "Message type '300' is not a valid guint8 number"},
      {"no plugin tag", {{"message_type", "1"}, {"system_id", id}},
       "<action><sofile>x</sofile><other/></action>",
       "invalid configuration: Corrupt plugin configuration, could not find <plugin> XML tag"},
      {"plugin only deeper down", {{"message_type", "1"}, {"system_id", id}},
       "<action><group><plugin/></group><sofile>x</sofile></action>",
       "invalid configuration: Corrupt plugin configuration, could not find <plugin> XML tag"},
      {"no sofile tag", {{"message_type", "1"}, {"system_id", id}}, "<action><plugin/><plugin/></action>",
       "invalid configuration: Corrupt plugin configuration, could not find <sofile> XML tag"},
      {"three tags", {{"message_type", "1"}, {"system_id", id}},
       "<action><plugin/><sofile/><extra/></action>",
       "Corrupt plugin configuration, expected two XML tags and got 3"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    ph::Host host;
    th::LogCapture log;
    GError *error = nullptr;
    gpointer instance = ph::create(host, c.parameters, &error, c.xml);
    EXPECT_EQ(instance, nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_STREQ(error->message, c.message);
    EXPECT_EQ(error->domain, plugin_domain());
    EXPECT_EQ(error->code, -1);
    g_error_free(error);
    EXPECT_EQ(host.count(), 0u);
    /* The refusal is the caller's to report; the plug-in itself stays quiet. */
    EXPECT_EQ(log.count(G_LOG_LEVEL_WARNING, ""), 0u);
    EXPECT_EQ(log.count(G_LOG_LEVEL_CRITICAL, ""), 0u);
    /* A NULL error argument just receives nothing. */
    EXPECT_EQ(ph::create(host, c.parameters, nullptr, c.xml), nullptr);
  }
}

TEST(PluginCreate, TooManyTagsReleasesThePartialInstance) {
  ph::Host host;
  th::LogCapture log;
  g_autoptr(GError) error = nullptr;
  EXPECT_EQ(ph::create(host, {{"message_type", "1"}, {"system_id", ph::kSystemId}}, &error,
                       "<action><plugin/><sofile/><sofile/></action>"),
            nullptr);
  ASSERT_NE(error, nullptr);
  std::string created, cleaned;
  for (const auto &r : log.records()) {
    if (g_str_has_prefix(r.message.c_str(), "Creating plugin instance "))
      created = r.message.substr(strlen("Creating plugin instance "));
    if (g_str_has_prefix(r.message.c_str(), "Clean up plugin instance "))
      cleaned = r.message.substr(strlen("Clean up plugin instance "));
  }
  EXPECT_FALSE(created.empty());
  EXPECT_EQ(created, cleaned);
}

TEST(PluginCreate, PreconditionCriticalsNameTheFirstFailure) {
  const ph::Plugin &p = ph::plugin();
  ph::Host host;
  int setup = 0;
  g_autoptr(XtagNode) config = ph::parse_config(ph::kGoodConfig);
  g_autoptr(GHashTable) params = ph::make_parameters({{"message_type", "1"}, {"system_id", ph::kSystemId}});
  GError *preset = g_error_new_literal(plugin_domain(), 1, "already set");

  struct Case {
    const char *expression;
    XtagNode *config;
    GHashTable *parameters;
    gpointer setup;
    ActionFeedbackFunc feedback;
    gpointer user_data;
    GError **error;
  } cases[] = {
      {"'config'", nullptr, params, &setup, nullptr, &host, nullptr},
      {"'feedback_cb'", config, params, &setup, nullptr, nullptr, nullptr},
      {"'user_data'", config, params, nullptr, ph::Host::on_feedback, nullptr, nullptr},
      {"'setup_parameters'", config, nullptr, nullptr, ph::Host::on_feedback, &host, nullptr},
      {"'parameters'", config, nullptr, &setup, ph::Host::on_feedback, &host, nullptr},
      {"'error == NULL || *error == NULL'", config, params, &setup, ph::Host::on_feedback, &host, &preset},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.expression);
    th::LogCapture log;
    EXPECT_EQ(p.create(c.config, c.parameters, c.setup, nullptr, nullptr, c.feedback, c.user_data, c.error),
              nullptr);
    auto records = log.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, G_LOG_LEVEL_CRITICAL);
    EXPECT_EQ(records[0].message, std::string("plugin_create: assertion ") + c.expression + " failed");
  }
  /* The preset error was left alone. */
  EXPECT_STREQ(preset->message, "already set");
  g_error_free(preset);
}

TEST(PluginEntryPoints, NullInstanceIsACriticalWithoutFeedback) {
  const ph::Plugin &p = ph::plugin();
  const struct {
    const char *name;
    ActionPluginFunc fn;
    const char *expression;
  } entries[] = {
      {"plugin_validate", p.validate, "instance"}, {"plugin_initialize", p.initialize, "instance"},
      {"plugin_start", p.start, "instance"},       {"plugin_stop", p.stop, "instance"},
      {"plugin_abort", p.abort, "instance"},       {"plugin_destroy", p.destroy, "pi"},
      {"plugin_free", p.free, "pi"},
  };
  for (const auto &e : entries) {
    th::LogCapture log;
    e.fn(nullptr);
    EXPECT_EQ(log.count(G_LOG_LEVEL_CRITICAL, std::string(e.name) + ": assertion '" + e.expression + "' failed"),
              1u)
        << e.name;
    EXPECT_EQ(log.records().size(), 1u) << e.name;
  }
  th::LogCapture log;
  EXPECT_FALSE(p.check_running(nullptr));
  EXPECT_EQ(log.count(G_LOG_LEVEL_CRITICAL, "plugin_check_running: assertion 'instance' failed"), 1u);
}

TEST(PluginValidate, ReportsStatusZeroWithTheValidationError) {
  const ph::Plugin &p = ph::plugin();
  const struct {
    const char *system_id;
    const char *error; /* nullptr: valid */
  } cases[] = {
      {ph::kSystemId, nullptr},
      {"0F9E3C52-7D41-4B8A-9A51-2C6F0E4D8B17", nullptr},
      {"abc", "System ID parameter is not a valid UUID: abc"},
      {"0f9e3c52-7d41-4b8a-9a51-2c6f0e4d8b1", "System ID parameter is not a valid UUID: 0f9e3c52-7d41-4b8a-9a51-2c6f0e4d8b1"},
      {"0f9e3c52x7d41-4b8a-9a51-2c6f0e4d8b17", "System ID parameter is not a valid UUID: 0f9e3c52x7d41-4b8a-9a51-2c6f0e4d8b17"},
      {"", "System ID parameter is not a valid UUID: "},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.system_id);
    ph::Host host;
    th::LogCapture log;
    gpointer instance = ph::create(host, {{"message_type", "9"}, {"system_id", c.system_id}}, nullptr);
    ASSERT_NE(instance, nullptr);
    p.validate(instance);
    auto fb = host.feedback();
    ASSERT_EQ(fb.size(), 1u);
    EXPECT_EQ(fb[0].status, ACTION_STATUS_VALIDATED);
    if (c.error == nullptr) {
      EXPECT_FALSE(fb[0].has_error) << fb[0].error;
      EXPECT_TRUE(log.contains("Validation succeeded"));
    } else {
      ASSERT_TRUE(fb[0].has_error);
      EXPECT_EQ(fb[0].error, c.error);
      EXPECT_EQ(fb[0].domain, plugin_domain());
      EXPECT_EQ(fb[0].code, -1);
      EXPECT_FALSE(log.contains("Validation succeeded"));
    }
    p.free(instance);
    EXPECT_EQ(host.count(), 1u); /* free reports nothing */
  }
}

/* Each status arrives once, in call order, on the calling thread, before the
 * entry point returns. */
TEST(PluginFeedback, StatusesArriveOnTheCallingThread) {
  const ph::Plugin &p = ph::plugin();
  ph::Host host;
  gpointer instance = ph::create(host, {{"message_type", "4"}, {"system_id", ph::kSystemId}}, nullptr);
  ASSERT_NE(instance, nullptr);

  const std::pair<ActionPluginFunc, gint32> calls[] = {
      {p.validate, ACTION_STATUS_VALIDATED}, {p.stop, ACTION_STATUS_STOPPED},
      {p.destroy, ACTION_STATUS_DESTROYED},  {p.validate, ACTION_STATUS_VALIDATED},
      {p.abort, ACTION_STATUS_ABORTED},      {p.stop, ACTION_STATUS_STOPPED},
  };
  std::vector<std::thread::id> callers;
  std::vector<bool> reported_before_return;
  for (const auto &[fn, status] : calls) {
    std::thread caller([&, fn = fn] {
      size_t before = host.count();
      fn(instance);
      reported_before_return.push_back(host.count() == before + 1);
    });
    callers.push_back(caller.get_id());
    caller.join();
  }
  auto fb = host.feedback();
  ASSERT_EQ(fb.size(), G_N_ELEMENTS(calls));
  for (size_t i = 0; i < fb.size(); i++) {
    EXPECT_EQ(fb[i].status, calls[i].second) << i;
    EXPECT_EQ(fb[i].thread, callers[i]) << i;
    EXPECT_TRUE(reported_before_return[i]) << i;
  }
  EXPECT_FALSE(p.check_running(instance));
  p.free(instance);
  EXPECT_EQ(host.count(), G_N_ELEMENTS(calls));
}

/* The feedback is the last thing an entry point does: a host may free the
 * instance from inside it (AddressSanitizer would see any later access). */
TEST(PluginFeedback, HostMayFreeTheInstanceFromTheCallback) {
  struct Ctx {
    gpointer instance;
    int freed;
  } ctx{nullptr, 0};
  static int setup;
  g_autoptr(XtagNode) config = ph::parse_config(ph::kGoodConfig);
  g_autoptr(GHashTable) params = ph::make_parameters({{"message_type", "1"}, {"system_id", ph::kSystemId}});
  auto on_feedback = [](gpointer data, gint32 status, GError *error) {
    auto *c = static_cast<Ctx *>(data);
    if (error != nullptr)
      g_error_free(error);
    if (status == ACTION_STATUS_DESTROYED || status == ACTION_STATUS_VALIDATED) {
      ph::plugin().free(c->instance);
      c->freed++;
    }
  };
  for (ActionPluginFunc last : {ph::plugin().destroy, ph::plugin().validate}) {
    ctx.instance = ph::plugin().create(config, params, &setup, nullptr, nullptr, on_feedback, &ctx, nullptr);
    ASSERT_NE(ctx.instance, nullptr);
    last(ctx.instance);
  }
  EXPECT_EQ(ctx.freed, 2);
}

/* The instance keeps its own copies: the host frees its table and node
 * right after plugin_create. */
TEST(PluginCreate, KeepsCopiesOfTheConfiguration) {
  const ph::Plugin &p = ph::plugin();
  ph::Host host;
  gpointer instance = ph::create(host, {{"message_type", "1"}, {"system_id", "not-a-uuid"}}, nullptr);
  ASSERT_NE(instance, nullptr);
  p.validate(instance);
  ASSERT_EQ(host.count(), 1u);
  EXPECT_EQ(host.feedback()[0].error, "System ID parameter is not a valid UUID: not-a-uuid");
  p.free(instance);
}

/* plugin_free right after plugin_create must never lose the quit, whether
 * the worker is not yet running, just starting or idle; posted work that
 * has not begun is dropped. A hang fails the test by its timeout, a leak
 * under the sanitizers or valgrind. */
TEST(PluginLifetime, FreeRightAfterCreateNeverHangs) {
  const ph::Plugin &p = ph::plugin();
  ph::Host host;
  for (int i = 0; i < 3000; i++) {
    gpointer instance = ph::create(host, {{"message_type", "1"}, {"system_id", ph::kSystemId}}, nullptr);
    ASSERT_NE(instance, nullptr);
    switch (i % 4) {
      case 1:
        p.destroy(instance);
        break;
      case 2:
        p.abort(instance);
        p.destroy(instance);
        p.abort(instance);
        break;
      case 3:
        if (i % 3 == 0)
          std::this_thread::yield();
        p.abort(instance);
        break;
      default:
        break;
    }
    p.free(instance);
  }
  /* Destroy and abort reported; free did not. */
  size_t expected = 0;
  for (int i = 0; i < 3000; i++)
    expected += (i % 4 == 1) ? 1 : (i % 4 == 2) ? 3 : (i % 4 == 3) ? 1 : 0;
  EXPECT_EQ(host.count(), expected);
}

}  // namespace

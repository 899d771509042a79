/* The plug-in host creates, starts and frees libtelvo instances in a loop
 * while the beacon-sending service answers Send at random: at once, with an
 * error, late, or never. No call to the host may hang (each has a deadline),
 * and the host's threads, fds and RSS must not grow. */
#include <random>

#include "action-plugin.h"
#include "daemon_fixture.h"
#include "bench.h"

namespace {

gint seconds = 600;
gint live_rules = 4;
gint64 seed = 0;
GOptionEntry entries[] = {
    {"seconds", 't', 0, G_OPTION_ARG_INT, &seconds, "How long to run (default 600)", "S"},
    {"rules", 'r', 0, G_OPTION_ARG_INT, &live_rules, "Rules (instances) alive at once (default 4)", "N"},
    {"seed", 0, 0, G_OPTION_ARG_INT64, &seed, "Random seed (default: from the clock; printed)", "N"},
    {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};

/* Longer than any answer a working host gives; reaching it is a hang. */
constexpr int kWatchdogMs = 15000;

void on_feedback(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *,
                 GVariant *parameters, gpointer user_data) {
  auto *statuses = static_cast<std::map<std::pair<gint32, bool>, guint> *>(user_data);
  gint32 rule = 0, status = 0;
  const gchar *error = nullptr;
  g_variant_get(parameters, "(ii&s)", &rule, &status, &error);
  (*statuses)[{status, *error != '\0'}]++;
}

}  // namespace

int main(int argc, char **argv) {
  bench::parse_options(&argc, &argv, nullptr, "libtelvo instances in a loop under Send faults; prints figures.", entries,
                      {{"seconds", seconds}, {"rules", live_rules}});
  bench::default_paths();
  bench::Verdict verdict;
  if (seed == 0)
    seed = g_get_real_time();
  std::mt19937_64 random(static_cast<guint64>(seed));
  g_print("seed %" G_GINT64_FORMAT "\n", seed);

  kt::DaemonTest t;
  const auto sender = bench::start_service(t.bus, "BEACON_SENDER_BIN", {"--no-bluez"}, bench::kSendName);
  // No rules at the start; the loop adds and removes them.
  t.engine = bench::start_engine(t.bus, "");

  GDBusConnection *bus = t.bus.connection();
  std::map<std::pair<gint32, bool>, guint> statuses;
  const guint feedback = g_dbus_connection_signal_subscribe(bus, bench::kEngineName, bench::kEngineControl,
                                                            "ActionFeedback", bench::kEnginePath, nullptr,
                                                            G_DBUS_SIGNAL_FLAGS_NONE, on_feedback, &statuses, nullptr);
  guint64 sends = 0;
  const guint send_received = g_dbus_connection_signal_subscribe(
      bus, bench::kSendName, bench::kSendControl, "SendReceived", bench::kSendPath, nullptr,
      G_DBUS_SIGNAL_FLAGS_NONE,
      [](GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *, GVariant *, gpointer data) {
        (*static_cast<guint64 *>(data))++;
      },
      &sends, nullptr);
  const std::string telvo = th::env_path("TELVO_PLUGIN");
  const std::string start = std::string("topic=") + bench::kTopic + ";UUID,value=" + kt::kIdA + ";";

  guint64 calls = 0, hangs = 0, created = 0, freed = 0, triggers = 0, trigger_errors = 0;
  std::map<std::string, guint> faults;
  std::string first_hang;
  // Every call to the host and the service has the watchdog's deadline.
  // @dest is the service (its control) or the host (its rules).
  auto call = [&](const char *dest, const char *method, GVariant *params, GError **error) {
    calls++;
    const bool service = g_str_equal(dest, bench::kSendName);
    GVariant *reply = th::call(bus, dest, service ? bench::kSendPath : bench::kEnginePath,
                               service ? bench::kSendControl : bench::kRuleInterface, method, params, nullptr, error,
                               kWatchdogMs);
    if (reply == nullptr && g_error_matches(*error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT)) {
      if (hangs++ == 0)
        first_hang = std::string(method) + ": " + (*error)->message;
    }
    return reply;
  };

  std::vector<gint32> alive;
  gint32 next_id = 1;
  bench::ProcStat baseline, warm, last;
  baseline = bench::proc_stat(t.engine->pid());
  const gint64 started = g_get_monotonic_time();
  const gint64 deadline = started + static_cast<gint64>(seconds) * G_USEC_PER_SEC;
  const gint64 warm_at = started + std::min<gint64>(30, seconds / 10 + 1) * G_USEC_PER_SEC;
  gint64 next_report = started + 60 * G_USEC_PER_SEC;
  guint64 loops = 0;

  while (g_get_monotonic_time() < deadline && hangs == 0 && t.engine->running()) {
    loops++;
    g_autoptr(GError) error = nullptr;
    // The service's next behaviour.
    static const char *modes[] = {"none", "fail", "delay", "block"};
    const char *mode = modes[random() % G_N_ELEMENTS(modes)];
    const guint delay = static_cast<guint>(random() % 3000);
    faults[mode]++;
    g_autoptr(GVariant) set = call(bench::kSendName, "SetFault", g_variant_new("(su)", mode, delay), &error);
    verdict.check(set != nullptr, "SetFault %s: %s", mode, error != nullptr ? error->message : "");
    g_clear_error(&error);

    // A new instance (create, validate, initialize in the host).
    if (alive.size() < static_cast<size_t>(live_rules)) {
      const gint32 id = next_id++;
      GVariantBuilder params;
      g_variant_builder_init(&params, G_VARIANT_TYPE("a{ss}"));
      g_variant_builder_add(&params, "{ss}", "message_type", std::to_string(random() % 256).c_str());
      g_variant_builder_add(&params, "{ss}", "system_id", kt::kIdA);
      GVariant *bytes = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, start.data(), start.size(), 1);
      g_autoptr(GVariant) added = call(
          bench::kEngineName, "AddRule",
          g_variant_new("(isb@aysa{ss})", id, "soak", TRUE, bytes, telvo.c_str(), &params), &error);
      verdict.check(added != nullptr, "AddRule %d: %s", id, error != nullptr ? error->message : "");
      g_clear_error(&error);
      if (added != nullptr) {
        alive.push_back(id);
        created++;
      }
    }
    // Starts on random instances: each start is one Send.
    for (int i = static_cast<int>(random() % 4); i > 0 && !alive.empty(); i--) {
      const gint32 id = alive[random() % alive.size()];
      g_autoptr(GVariant) fired = call(bench::kEngineName, "Trigger", g_variant_new("(i)", id), &error);
      triggers++;
      if (fired == nullptr)
        trigger_errors++;
      g_clear_error(&error);
    }
    // Let some of it happen, then free an instance (stop, abort, destroy,
    // free), often while its Send is still outstanding.
    th::wait_until([] { return false; }, static_cast<int>(random() % 200));
    if (alive.size() >= static_cast<size_t>(live_rules) || random() % 3 == 0) {
      const size_t at = random() % alive.size();
      g_autoptr(GVariant) removed = call(bench::kEngineName, "RemoveRule", g_variant_new("(i)", alive[at]), &error);
      verdict.check(removed != nullptr, "RemoveRule %d: %s", alive[at], error != nullptr ? error->message : "");
      g_clear_error(&error);
      alive.erase(alive.begin() + static_cast<long>(at));
      freed++;
    }
    g_autoptr(GVariant) cleared = call(bench::kSendName, "ClearCalls", nullptr, &error);
    g_clear_error(&error);

    const gint64 now = g_get_monotonic_time();
    if (warm.rss_kb < 0 && now >= warm_at)
      warm = bench::proc_stat(t.engine->pid());
    if (now >= next_report) {
      g_print("%4.0f s: %" G_GUINT64_FORMAT " instances created, engine %s\n",
              static_cast<double>(now - started) / G_USEC_PER_SEC, created,
              bench::describe(bench::proc_stat(t.engine->pid())).c_str());
      next_report += 60 * G_USEC_PER_SEC;
    }
  }

  // Free what is left; the host's threads must go back to where they were.
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) unblocked = call(bench::kSendName, "SetFault", g_variant_new("(su)", "none", 0u), &error);
  g_clear_error(&error);
  for (gint32 id : alive) {
    g_autoptr(GVariant) removed = call(bench::kEngineName, "RemoveRule", g_variant_new("(i)", id), &error);
    g_clear_error(&error);
    freed++;
  }
  const bool settled = th::wait_until(
      [&] { return bench::proc_stat(t.engine->pid()).threads <= baseline.threads; }, 20000);
  // Every freed instance said so.
  auto destroyed = [&] {
    guint n = 0;
    for (bool with_error : {false, true}) {
      auto found = statuses.find({ACTION_STATUS_DESTROYED, with_error});
      n += found != statuses.end() ? found->second : 0;
    }
    return n;
  };
  const bool all_destroyed = th::wait_until([&] { return destroyed() >= freed; }, 10000);
  last = bench::proc_stat(t.engine->pid());
  if (warm.rss_kb < 0)
    warm = last;

  verdict.check(hangs == 0, "a call got no answer within %d ms (%s)", kWatchdogMs, first_hang.c_str());
  verdict.check(all_destroyed, "%u destroyed feedbacks for %" G_GUINT64_FORMAT " freed instances", destroyed(),
                freed);
  verdict.check(t.engine->running(), "the host ended during the run:\n%s", t.engine->log().c_str());
  verdict.check(settled, "the host kept %ld threads after every instance was freed (%ld before any)", last.threads,
                baseline.threads);
  verdict.check(last.fds <= baseline.fds, "the host's fds went from %ld to %ld", baseline.fds, last.fds);
  verdict.check(last.rss_kb <= warm.rss_kb + warm.rss_kb / 10, "the host's RSS grew from %ld to %ld KiB (over 10 %%)",
                warm.rss_kb, last.rss_kb);
  g_dbus_connection_signal_unsubscribe(bus, feedback);
  g_dbus_connection_signal_unsubscribe(bus, send_received);
  const int status = t.engine->stop(SIGTERM, 30000);
  verdict.check(status == 0, "the host exited with %d", status);
  verdict.check(t.engine->count("left behind") == 0, "an instance was left behind at exit");

  g_print("ran %.0f s: %" G_GUINT64_FORMAT " loops, %" G_GUINT64_FORMAT " instances created, %" G_GUINT64_FORMAT
          " freed, %" G_GUINT64_FORMAT " starts (%" G_GUINT64_FORMAT " refused), %" G_GUINT64_FORMAT
          " calls, %" G_GUINT64_FORMAT " hangs, %" G_GUINT64_FORMAT " Send calls seen\n",
          static_cast<double>(g_get_monotonic_time() - started) / G_USEC_PER_SEC, loops, created, freed, triggers,
          trigger_errors, calls, hangs, sends);
  g_print("Send faults:");
  for (const auto &f : faults)
    g_print(" %s %u", f.first.c_str(), f.second);
  g_print("\nfeedback (status, with error):");
  for (const auto &s : statuses)
    g_print(" %d%s %u", s.first.first, s.first.second ? "+error" : "", s.second);
  g_print("\nhost before any instance: %s\nhost after warm-up:      %s\nhost at the end:         %s\n",
          bench::describe(baseline).c_str(), bench::describe(warm).c_str(), bench::describe(last).c_str());
  const int sender_status = sender->stop(SIGTERM);
  verdict.check(sender_status == 0, "beacon-sender exited with %d", sender_status);
  return verdict.exit_status();
}

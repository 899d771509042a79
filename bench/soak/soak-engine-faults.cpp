/* The action-rule engine misbehaves: List answers with errors, malformed
 * rules, too late or never, and the engine restarts. A failed reading must
 * keep the System ID and the monitor; the mended engine (or a restarted
 * one) must bring the new System ID and a monitor filtering on it. */
#include "daemon_fixture.h"
#include "bench.h"

namespace {

gint rounds = 100;
gint slow_rounds = 3;
gint restart_every = 10;
GOptionEntry entries[] = {
    {"rounds", 'n', 0, G_OPTION_ARG_INT, &rounds, "Fault rounds in total (default 100)", "N"},
    {"slow", 's', 0, G_OPTION_ARG_INT, &slow_rounds,
     "Of them, answers past the timeout (5 s each reading, default 3)", "N"},
    {"restart-every", 'r', 0, G_OPTION_ARG_INT, &restart_every, "Restart the engine every N rounds (default 10)",
     "N"},
    {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};

/* A fresh valid System ID per round, so every mend is a visible change. */
std::string systemid(int round) {
  char buf[37];
  g_snprintf(buf, sizeof buf, "5e1f0000-0000-4000-8000-%012x", static_cast<unsigned>(round));
  return buf;
}

}  // namespace

int main(int argc, char **argv) {
  bench::parse_options(&argc, &argv, nullptr, "Engine faults and restarts; prints figures.", entries,
                      {{"rounds", rounds}, {"restart-every", restart_every}});
  if (slow_rounds < 0 || slow_rounds > rounds) {
    g_printerr("--slow must be between 0 and --rounds\n");
    return 2;
  }
  bench::default_paths();
  bench::Verdict verdict;

  kt::DaemonTest t;
  std::string current = systemid(0);
  int rule_id = 1;
  verdict.check(bench::start_daemon(t, {"--device-timeout", "0"}, kt::rule(rule_id, current), current),
                "kavrod did not start monitoring");

  const char *fast_modes[] = {"error", "short", "badtypes", "empty-reply"};
  std::map<std::string, unsigned> by_mode;
  unsigned restarts = 0, kept = 0, followed = 0, sequence = 0;
  size_t expected_events = 0;
  int slow_left = slow_rounds;
  const gint64 started = g_get_monotonic_time();
  const bench::ProcStat first = bench::proc_stat(t.kavrod->pid());

  // One beacon of @id must give one event carrying @id.
  auto beacon_reaches = [&](const std::string &id) {
    const size_t before = t.events.size();
    t.inject_beacon(id, 2, static_cast<guint8>(sequence), "hci0", bench::address(sequence).c_str());
    sequence++;
    expected_events++;
    return t.wait_events(before + 1) && t.events.back().uuid == id;
  };

  for (int round = 1; round <= rounds; round++) {
    const std::string next = systemid(round);
    if (round % restart_every == 0) {
      // The engine goes away and comes back with other rules: its
      // appearance alone must trigger a new reading.
      const int status = t.engine->stop(SIGTERM);
      verdict.check(status == 0, "round %d: the engine exited with %d", round, status);
      rule_id = 1;
      t.start_engine(kt::rule(rule_id, next));
      by_mode["restart"]++;
      restarts++;
    } else {
      std::string mode;
      guint delay_ms = 0;
      // Spread the slow rounds over the run.
      if (slow_left > 0 && round % (rounds / (slow_rounds + 1) + 1) == 0) {
        mode = slow_left % 2 == 1 ? "delay" : "noreply";
        delay_ms = 6000;
        slow_left--;
      } else {
        mode = fast_modes[round % G_N_ELEMENTS(fast_modes)];
      }
      by_mode[mode]++;
      const size_t warnings = t.kavrod->count("Could not read the System ID");
      t.set_list_fault(mode.c_str(), delay_ms);
      // Each change is one reading, and each reading fails.
      t.remove_rule(rule_id);
      t.add_rule(++rule_id, next);
      const bool failed_twice =
          t.kavrod->wait_for_log("Could not read the System ID", 15000) &&
          th::wait_until([&] { return t.kavrod->count("Could not read the System ID") >= warnings + 2; }, 15000);
      verdict.check(failed_twice, "round %d (%s): kavrod did not report two failed readings", round, mode.c_str());
      const std::string seen = t.list_systemid();
      const bool monitor_kept = t.wait_monitors(1, 1000);
      if (seen == current && monitor_kept && beacon_reaches(current))
        kept++;
      else
        verdict.check(false, "round %d (%s): after a failed reading List gave '%s' (kept '%s'), monitor %s", round,
                      mode.c_str(), seen.c_str(), current.c_str(), monitor_kept ? "active" : "not active");
      // The mend: a good answer on the next change.
      t.set_list_fault("none");
      g_variant_unref(t.engine_call(bench::kEngineControl, "EmitChanged", nullptr));
    }

    const bool follows = t.wait_systemid(next, 10000) && t.wait_monitors(1) && beacon_reaches(next);
    verdict.check(follows, "round %d: kavrod did not follow to %s (List gives '%s')", round, next.c_str(),
                  t.list_systemid().c_str());
    if (follows)
      followed++;
    current = next;
    if (!t.kavrod->running())
      break;
  }

  const bench::ProcStat last = bench::proc_stat(t.kavrod->pid());
  verdict.check(t.kavrod->running(), "kavrod ended during the run:\n%s", t.kavrod->log().c_str());
  verdict.check(t.events.size() == expected_events, "%zu events for %zu beacons", t.events.size(), expected_events);
  const int status = t.kavrod->stop(SIGTERM);
  verdict.check(status == 0, "kavrod exited with %d on SIGTERM", status);

  g_print("rounds: %d in %.1f s; by fault:", rounds,
          static_cast<double>(g_get_monotonic_time() - started) / G_USEC_PER_SEC);
  for (const auto &m : by_mode)
    g_print(" %s %u", m.first.c_str(), m.second);
  g_print("\nfailed readings that kept System ID and monitor: %u/%d; mends followed: %u/%d; engine restarts: %u\n",
          kept, rounds - restarts, followed, rounds, restarts);
  g_print("events: %zu for %zu beacons\n", t.events.size(), expected_events);
  g_print("kavrod at the start: %s\nkavrod at the end:   %s\n", bench::describe(first).c_str(),
          bench::describe(last).c_str());
  return verdict.exit_status();
}

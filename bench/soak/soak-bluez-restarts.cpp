/* BlueZ leaves the bus and returns, again and again, while beacons flow.
 * After each return the monitor and the control service must be back,
 * every beacon heard while the monitor is active must become exactly one
 * event, none may come while BlueZ is away, and kavrod's fds and RSS must
 * stay flat. */
#include "daemon_fixture.h"
#include "bench.h"

namespace {

gint cycles = 100;
gint beacons_per_cycle = 20;
GOptionEntry entries[] = {
    {"cycles", 'n', 0, G_OPTION_ARG_INT, &cycles, "Leave/Return cycles (default 100)", "N"},
    {"beacons", 'b', 0, G_OPTION_ARG_INT, &beacons_per_cycle, "Beacons per cycle while present (default 20)", "N"},
    {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};

}  // namespace

int main(int argc, char **argv) {
  bench::parse_options(&argc, &argv, nullptr, "BlueZ restarts while beacons flow; prints figures.", entries,
                      {{"cycles", cycles}, {"beacons", beacons_per_cycle}});
  bench::default_paths();
  bench::Verdict verdict;

  kt::DaemonTest t;
  verdict.check(bench::start_daemon(t, {"--device-timeout", "0"}, kt::rule(1, kt::kIdA), kt::kIdA),
                "kavrod did not start monitoring");

  const gint64 started = g_get_monotonic_time();
  // A few fixed senders, each with its own sequence numbers, so kavrod's
  // state does not grow with the run and no beacon repeats a recent one.
  constexpr guint kSenders = 8;
  guint8 next_sequence[kSenders] = {};
  guint32 sent = 0;
  size_t expected = 0, lost = 0, extra = 0, while_away = 0, survived = 0;
  bench::ProcStat first, last;
  auto inject = [&](guint n) {
    for (guint i = 0; i < n; i++, sent++) {
      const guint sender = sent % kSenders;
      t.inject_beacon(kt::kIdA, 2, next_sequence[sender]++, "hci0", bench::address(sender).c_str());
    }
  };

  for (int cycle = 1; cycle <= cycles; cycle++) {
    g_variant_unref(t.bluez_control("Leave", nullptr));
    const bool gone = th::wait_until([&] { return !t.bus.has_owner(bench::kReceiveName); });
    verdict.check(gone, "cycle %d: the control service stayed while BlueZ was away", cycle);
    // Beacons on the air while BlueZ is away reach nobody.
    const size_t before_away = t.events.size();
    inject(3);

    g_variant_unref(t.bluez_control("Return", nullptr));
    const bool control_back = t.wait_systemid(kt::kIdA);
    const bool monitor_back = t.wait_monitors(1);
    verdict.check(control_back, "cycle %d: control List did not answer the System ID after the return (%s)", cycle,
                  t.list_systemid().c_str());
    verdict.check(monitor_back, "cycle %d: the monitor was not registered and active after the return", cycle);
    while_away += t.events.size() - before_away;
    if (!control_back || !monitor_back || !t.kavrod->running())
      break;

    const size_t before = t.events.size();
    inject(static_cast<guint>(beacons_per_cycle));
    expected += static_cast<size_t>(beacons_per_cycle);
    t.wait_events(before + static_cast<size_t>(beacons_per_cycle));
    // Anything beyond the expected count would be a duplicate; it has had
    // the whole wait to arrive.
    const size_t got = t.events.size() - before;
    if (got < static_cast<size_t>(beacons_per_cycle))
      lost += static_cast<size_t>(beacons_per_cycle) - got;
    else
      extra += got - static_cast<size_t>(beacons_per_cycle);
    survived++;

    last = bench::proc_stat(t.kavrod->pid());
    if (cycle == 1)
      first = last;
    if (cycle == 1 || cycle % 10 == 0)
      g_print("cycle %3d: %s\n", cycle, bench::describe(last).c_str());
  }

  verdict.check(t.kavrod->running(), "kavrod ended during the run:\n%s", t.kavrod->log().c_str());
  const int status = t.kavrod->stop(SIGTERM);
  verdict.check(status == 0, "kavrod exited with %d on SIGTERM", status);
  verdict.check(survived == static_cast<size_t>(cycles), "survived %zu of %d restarts", survived, cycles);
  verdict.check(lost == 0, "%zu events lost while BlueZ was present", lost);
  verdict.check(extra == 0, "%zu events more than beacons", extra);
  verdict.check(while_away == 0, "%zu events while BlueZ was away", while_away);
  verdict.check(last.fds == first.fds, "fd count grew from %ld to %ld", first.fds, last.fds);
  verdict.check(last.rss_kb <= first.rss_kb + first.rss_kb / 10, "RSS grew from %ld to %ld KiB (over 10 %%)",
                first.rss_kb, last.rss_kb);

  g_print("restarts survived: %zu/%d in %.1f s\n", survived, cycles,
          static_cast<double>(g_get_monotonic_time() - started) / G_USEC_PER_SEC);
  g_print("beacons while present: %zu, events: %zu, lost: %zu, extra: %zu; beacons while away: %zu, events: %zu\n",
          expected, expected - lost + extra, lost, extra, static_cast<size_t>(cycles) * 3, while_away);
  g_print("kavrod after cycle 1: fds %ld, RSS %ld KiB; at the end: fds %ld, RSS %ld KiB\n", first.fds, first.rss_kb,
          last.fds, last.rss_kb);
  return verdict.exit_status();
}

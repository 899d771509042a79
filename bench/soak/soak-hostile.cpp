/* kavrod beside a hostile peer and a crowded radio: a beacon's event delay
 * on a quiet bus and right behind a flood of PropertiesChanged signals from
 * a peer that is not the engine (side by side, one run), and kavrod's RSS
 * idle and after beacons from many distinct senders that BlueZ keeps. */
#include "bench.h"
#include "daemon_fixture.h"

namespace {

gint flood = 5000;
gint samples = 20;
gint senders = 10000;
GOptionEntry entries[] = {
    {"flood", 'f', 0, G_OPTION_ARG_INT, &flood, "PropertiesChanged signals in the flood (default 5000)", "N"},
    {"samples", 'n', 0, G_OPTION_ARG_INT, &samples, "Beacons timed per phase (default 20)", "N"},
    {"senders", 's', 0, G_OPTION_ARG_INT, &senders, "Distinct senders for the memory figure (default 10000)", "N"},
    {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};

guint8 next_sequence = 0;

/* Injects one own beacon and returns the time to its event in ms, or -1. */
double time_one_beacon(kt::DaemonTest &t) {
  const size_t before = t.events.size();
  const gint64 start = g_get_monotonic_time();
  t.inject_beacon(kt::kIdA, 2, next_sequence++);
  if (!t.wait_events(before + 1, 60000))
    return -1;
  return static_cast<double>(g_get_monotonic_time() - start) / 1000.0;
}

struct Summary {
  double median = -1, worst = -1;
  int lost = 0;
};

Summary summarise(std::vector<double> delays) {
  Summary s;
  std::vector<double> got;
  for (double d : delays) {
    if (d < 0)
      s.lost++;
    else
      got.push_back(d);
  }
  if (!got.empty()) {
    const bench::Spread spread = bench::spread(got);
    s.median = spread.p50;
    s.worst = spread.max;
  }
  return s;
}

}  // namespace

int main(int argc, char **argv) {
  bench::parse_options(&argc, &argv, nullptr, "kavrod's event delay under a signal flood, and its RSS with many senders.",
                      entries, {{"flood", flood}, {"samples", samples}, {"senders", senders}});
  bench::default_paths();
  bench::Verdict verdict;

  kt::DaemonTest t;
  // BlueZ keeps every device it heard: the worst case for the memory figure.
  if (!bench::start_daemon(t, {"--device-timeout", "0"}, kt::rule(1, kt::kIdA), kt::kIdA)) {
    verdict.check(false, "kavrod did not start monitoring");
    return verdict.exit_status();
  }
  time_one_beacon(t);  // warm-up
  const bench::ProcStat idle = bench::proc_stat(t.kavrod->pid());

  // The flooding peer: a connection of its own, sending to kavrod directly
  // (which the bus delivers whatever kavrod subscribed to) and broadcast.
  g_autoptr(GDBusConnection) peer = t.bus.new_connection();
  const std::string kavrod_name = bench::name_owner(t.bus.connection(), bench::kReceiveName);

  // Side by side: a quiet sample, then a flood and a sample right behind it.
  std::vector<double> quiet, flooded;
  for (int i = 0; i < samples; i++) {
    quiet.push_back(time_one_beacon(t));
    for (int k = 0; k < flood / samples; k++) {
      GVariant *changed = g_variant_new_parsed("(%s, @a{sv} {}, @as [])", bench::kRuleInterface);
      g_dbus_connection_emit_signal(peer, k % 2 == 0 ? kavrod_name.c_str() : nullptr, bench::kEnginePath,
                                    "org.freedesktop.DBus.Properties", "PropertiesChanged", changed, nullptr);
    }
    g_dbus_connection_flush_sync(peer, nullptr, nullptr);
    flooded.push_back(time_one_beacon(t));
  }
  const Summary q = summarise(quiet), f = summarise(flooded);
  g_print("event delay, quiet bus:        median %.1f ms, worst %.1f ms, lost %d of %d\n", q.median, q.worst, q.lost,
          samples);
  g_print("event delay, behind %d signals: median %.1f ms, worst %.1f ms, lost %d of %d\n", flood, f.median,
          f.worst, f.lost, samples);
  if (q.median > 0)
    g_print("flooded / quiet median: %.2f\n", f.median / q.median);
  verdict.check(q.lost == 0 && f.lost == 0, "%d beacons gave no event", q.lost + f.lost);

  // Memory: beacons from many distinct senders, a window of injections in
  // flight, every one awaited as an event.
  const size_t events_before = t.events.size();
  bench::Calls calls;
  int injected = 0;
  while (injected < senders || calls.in_flight > 0) {
    while (injected < senders && calls.in_flight < 64) {
      bench::inject(t.bus.connection(), "hci0", bench::address(0x100000u + static_cast<guint32>(injected)),
                    bench::beacon_payload(kt::kIdA, 2, 0), 30000, bench::Calls::on_reply, &calls);
      calls.in_flight++;
      injected++;
    }
    g_main_context_iteration(nullptr, TRUE);
  }
  t.wait_events(events_before + static_cast<size_t>(senders), 60000);
  const bench::ProcStat after = bench::proc_stat(t.kavrod->pid());
  const size_t got = t.events.size() - events_before;
  g_print("kavrod RSS idle %ld KiB, after %d distinct senders %ld KiB (%+ld KiB); events %zu\n", idle.rss_kb,
          senders, after.rss_kb, after.rss_kb - idle.rss_kb, got);
  verdict.check(got == static_cast<size_t>(senders), "%zu events for %d senders", got, senders);
  verdict.check(t.kavrod->running(), "kavrod ended during the run");
  const int status = t.kavrod->stop(SIGTERM);
  verdict.check(status == 0, "kavrod exited with %d on SIGTERM", status);
  return verdict.exit_status();
}

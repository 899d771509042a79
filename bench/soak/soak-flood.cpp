/* Beacons flat out: every one must become an event, kavrod's RSS at the end
 * must be within 10 % of its RSS after the first 10,000, and the CPU time
 * per beacon is printed. Injections are pipelined (a window of calls in
 * flight) and paced by the events, so the bus never buffers without bound. */
#include "config.h"
#include "daemon_fixture.h"
#include "bench.h"

namespace {

gint64 total = 1000000;
gint window = 64;
gint senders = 4096;
GOptionEntry entries[] = {
    {"beacons", 'n', 0, G_OPTION_ARG_INT64, &total, "Beacons to send (default 1000000, at least 10001)", "N"},
    {"window", 'w', 0, G_OPTION_ARG_INT, &window, "Injections in flight (default 64)", "N"},
    {"senders", 's', 0, G_OPTION_ARG_INT, &senders, "Distinct sender addresses (default 4096)", "N"},
    {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};

constexpr gint64 kWarmup = 10000;

struct Flow {
  guint64 in_flight = 0;
  guint64 failed = 0;
  std::string first_error;
};

void on_injected(GObject *source, GAsyncResult *result, gpointer user_data) {
  auto *flow = static_cast<Flow *>(user_data);
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
  flow->in_flight--;
  if (reply == nullptr) {
    if (flow->failed++ == 0)
      flow->first_error = error->message;
  }
}

}  // namespace

int main(int argc, char **argv) {
  bench::parse_options(&argc, &argv, nullptr, "Beacons flat out through bluez-sim and kavrod; prints figures.", entries,
                      {{"beacons", total}, {"window", window}, {"senders", senders}});
  if (total <= kWarmup) {
    g_printerr("--beacons must be above %" G_GINT64_FORMAT "\n", kWarmup);
    return 2;
  }
  bench::default_paths();
  bench::Verdict verdict;

  kt::DaemonTest t;
  // Quiet logs: a line per beacon would dominate the figures.
  t.bluez = std::make_unique<th::Process>(std::vector<std::string>{th::env_path("BLUEZ_SIM_BIN")},
                                          std::map<std::string, std::string>{{"G_MESSAGES_DEBUG", ""}});
  if (!t.bus.wait_for_name("org.bluez") || !t.bus.wait_for_name("com.vemo.Sim.BlueZ"))
    g_error("bluez-sim did not start:\n%s", t.bluez->log().c_str());
  t.start_engine(kt::rule(1, kt::kIdA));
  t.start_kavrod({}, {{"G_MESSAGES_DEBUG", ""}});
  if (!t.wait_systemid(kt::kIdA) || !t.wait_monitors(1)) {
    verdict.check(false, "kavrod did not start monitoring");
    return verdict.exit_status();
  }

  GDBusConnection *connection = t.bus.connection();
  GMainContext *context = g_main_context_default();
  Flow flow;
  guint64 injected = 0, events = 0;
  // Sender n sends its k-th beacon with sequence number k: with more
  // senders than the monitor remembers, no beacon looks like a repeat.
  std::vector<guint8> next_sequence(static_cast<size_t>(senders), 0);
  std::vector<std::string> addresses;
  for (gint i = 0; i < senders; i++)
    addresses.push_back(bench::address(static_cast<guint32>(i)));
  bench::ProcStat warm, end;
  // Progress with kavrod's figures, ten times in a run.
  const guint64 report_every = MAX(static_cast<guint64>(total) / 10, 1);
  double warm_bluez_cpu = 0;
  const gint64 started = g_get_monotonic_time();
  gint64 warm_time = 0, last_progress = started;
  guint64 next_report = report_every;
  // Wakes the loop once a second, so a stalled flow is noticed.
  const guint heartbeat = g_timeout_add_seconds(1, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
  const guint64 events_ahead = static_cast<guint64>(window) * 16;
  const guint64 n = static_cast<guint64>(total);

  while (events < n) {
    while (injected < n && flow.in_flight < static_cast<guint64>(window) && injected - events < events_ahead) {
      const size_t sender = injected % addresses.size();
      g_dbus_connection_call(connection, "com.vemo.Sim.BlueZ", "/com/vemo/Sim/BlueZ", "com.vemo.Sim.BlueZ1",
                             "InjectAdvertisement",
                             g_variant_new("(ssq@ayn)", "hci0", addresses[sender].c_str(),
                                           static_cast<guint16>(BEACON_COMPANY_ID),
                                           bench::beacon_payload(kt::kIdA, 2, next_sequence[sender]++),
                                           static_cast<gint16>(-60)),
                             nullptr, G_DBUS_CALL_FLAGS_NONE, 30000, nullptr, on_injected, &flow);
      flow.in_flight++;
      injected++;
    }
    g_main_context_iteration(context, TRUE);
    const gint64 now = g_get_monotonic_time();
    if (!t.events.empty())
      last_progress = now;
    events += t.events.size();
    t.events.clear();  // counted; keeping a million would only cost the soak program
    if (warm_time == 0 && events >= static_cast<guint64>(kWarmup)) {
      warm = bench::proc_stat(t.kavrod->pid());
      warm_bluez_cpu = bench::proc_stat(t.bluez->pid()).cpu_s;
      warm_time = now;
      g_print("after %" G_GINT64_FORMAT " events: kavrod %s\n", kWarmup, bench::describe(warm).c_str());
    }
    if (injected == n && flow.in_flight == 0 && now - last_progress > 10 * G_USEC_PER_SEC)
      break;  // the rest is lost; no event for 10 s
    if (events >= next_report) {
      g_print("  %" G_GUINT64_FORMAT " events, %.0f s, kavrod %s\n", events,
              static_cast<double>(now - started) / G_USEC_PER_SEC,
              bench::describe(bench::proc_stat(t.kavrod->pid())).c_str());
      next_report += report_every;
    }
  }
  g_source_remove(heartbeat);
  const gint64 finished = g_get_monotonic_time();
  end = bench::proc_stat(t.kavrod->pid());
  const double bluez_cpu = bench::proc_stat(t.bluez->pid()).cpu_s - warm_bluez_cpu;

  verdict.check(flow.failed == 0, "%" G_GUINT64_FORMAT " injections failed (first: %s)", flow.failed,
                flow.first_error.c_str());
  verdict.check(events == n, "%" G_GUINT64_FORMAT " events for %" G_GUINT64_FORMAT " beacons", events, n);
  verdict.check(end.rss_kb <= warm.rss_kb + warm.rss_kb / 10, "RSS grew from %ld KiB to %ld KiB (over 10 %%)",
                warm.rss_kb, end.rss_kb);
  verdict.check(end.fds == warm.fds, "fd count went from %ld to %ld", warm.fds, end.fds);
  verdict.check(t.kavrod->running(), "kavrod ended during the run");
  const int status = t.kavrod->stop(SIGTERM);
  verdict.check(status == 0, "kavrod exited with %d on SIGTERM", status);

  const double measured = static_cast<double>(n - static_cast<guint64>(kWarmup));
  const double seconds = static_cast<double>(finished - warm_time) / G_USEC_PER_SEC;
  g_print("beacons: %" G_GUINT64_FORMAT ", events: %" G_GUINT64_FORMAT ", lost: %" G_GUINT64_FORMAT
          ", in %.1f s (%.0f beacons/s after the first %" G_GINT64_FORMAT ")\n",
          n, events, n - events, static_cast<double>(finished - started) / G_USEC_PER_SEC, measured / seconds,
          kWarmup);
  g_print("kavrod RSS: %ld KiB after %" G_GINT64_FORMAT ", %ld KiB at the end (%+.1f %%); fds %ld -> %ld\n",
          warm.rss_kb, kWarmup, end.rss_kb, 100.0 * static_cast<double>(end.rss_kb - warm.rss_kb) / warm.rss_kb,
          warm.fds, end.fds);
  g_print("kavrod CPU: %.1f us per beacon (%.2f s for %.0f); bluez-sim %.1f us per beacon\n",
          (end.cpu_s - warm.cpu_s) * 1e6 / measured, end.cpu_s - warm.cpu_s, measured, bluez_cpu * 1e6 / measured);
  return verdict.exit_status();
}

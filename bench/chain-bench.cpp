/* End-to-end latency of the whole device: an action starts (Trigger →
 * plugin_start), libtelvo asks beacon-sender to Send, the simulated radio
 * carries the advertisement to kavrod's adapter, kavrod publishes
 * BeaconReceived, and the engine fires the rule waiting for it (RuleFired).
 * Prints p50/p99 over ACTIONS actions for 1, 10 and 100 concurrent plug-in
 * instances.
 *
 *   build/normal/bench/chain-bench [ACTIONS]     (default 1000)
 *
 * Each Send keeps an advertisement on air for seconds and the sender keeps
 * at most 32 on air: actions are paced at RATE per second (default 10, what
 * that allows) so that latency, not a growing queue, is measured.
 *
 *   build/normal/bench/chain-bench [ACTIONS] [RATE]  */
#include <gio/gio.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "bench.h"
#include "daemon_fixture.h"

namespace {

using bench::kSystemId;
constexpr int kReceivingRule = 1000;

struct Run {
  std::deque<gint64> pending; /* start times of actions not yet answered */
  std::vector<double> latencies_ms;
  int fired = 0;
};

void on_rule_fired(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *, GVariant *params,
                   gpointer data) {
  auto *run = static_cast<Run *>(data);
  gint32 id;
  g_variant_get(params, "(i)", &id);
  if (id != kReceivingRule)
    return;
  run->fired++;
  if (!run->pending.empty()) {
    run->latencies_ms.push_back((g_get_monotonic_time() - run->pending.front()) / 1000.0);
    run->pending.pop_front();
  }
}

}  // namespace

int main(int argc, char **argv) {
  const int actions = argc > 1 ? atoi(argv[1]) : 1000;
  const double rate = argc > 2 ? atof(argv[2]) : 10.0;
  g_setenv("G_MESSAGES_DEBUG", "", TRUE);
  bench::default_paths();
  printf("%-12s %8s %8s %8s %10s %10s %10s\n", "instances", "actions", "events", "fired", "p50 (ms)", "p99 (ms)",
         "secs");
  const char *only = g_getenv("CHAIN_BENCH_INSTANCES");
  for (int concurrency : {1, 10, 100}) {
    if (only != nullptr && atoi(only) != concurrency)
      continue;
    kt::DaemonTest t;
    std::string rules;
    for (int i = 1; i <= concurrency; i++)
      rules += "[rule " + std::to_string(i) + "]\nname=send\nenabled=true\n"
               "start_event=topic=tns1:Device/tnsvemo:Manual/tnsvemo:Trigger;\nsofile=" +
               th::env_path("TELVO_PLUGIN") + "\nparam_message_type=2\nparam_system_id=" + kSystemId + "\n\n";
    rules += "[rule " + std::to_string(kReceivingRule) + "]\nname=heard\nenabled=true\nstart_event=topic=tns1:Device/"
             "tnsvemo:Bluetooth/tnsvemo:BeaconReceived;UUID,value=" + kSystemId + ";\n";
    t.start_bluez({"--adapter", "hci0:nomonitor", "--adapter", "hci1", "--advertising-instances", "128"});
    t.start_engine(rules);
    th::Process sender({th::env_path("BEACON_SENDER_BIN"), "--adapter", "hci0"}, {{"G_MESSAGES_DEBUG", ""}});
    t.bus.wait_for_name(bench::kSendName);
    t.start_kavrod({}, {{"G_MESSAGES_DEBUG", ""}});
    t.wait_monitors(1);

    Run run;
    guint sub = g_dbus_connection_signal_subscribe(t.bus.connection(), nullptr, bench::kEngineControl,
                                                   "RuleFired", nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                                                   on_rule_fired, &run, nullptr);
    const gint64 begin = g_get_monotonic_time();
    int started = 0;
    while (started < actions) {
      const int batch = std::min(concurrency, actions - started);
      const int target = run.fired + batch;
      for (int i = 1; i <= batch; i++) {
        run.pending.push_back(g_get_monotonic_time());
        g_dbus_connection_call(t.bus.connection(), bench::kEngineName, bench::kEnginePath, bench::kRuleInterface,
                               "Trigger", g_variant_new("(i)", i), nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
                               nullptr, nullptr);
      }
      started += batch;
      const gint64 due = begin + static_cast<gint64>(started / rate * 1e6);
      if (!th::wait_until([&] { return run.fired >= target; }, 30000)) {
        printf("  (gave up waiting: %d of %d fired)\n", run.fired, target);
        run.pending.clear();
        break;
      }
      th::wait_until([&] { return g_get_monotonic_time() >= due; }, 60000);
    }
    const double secs = (g_get_monotonic_time() - begin) / 1e6;
    // Late duplicates would show as more firings than actions.
    th::wait_until([] { return false; }, 500);
    const bench::Spread ms = bench::spread(run.latencies_ms);
    printf("%-12d %8d %8zu %8d %10.1f %10.1f %10.1f\n", concurrency, started, t.events.size(), run.fired, ms.p50,
           ms.p99, secs);
    const size_t failed = t.engine->count("D-Bus call to send beacon failed");
    if (failed > 0)
      printf("  %zu sends failed, e.g.: %s\n", failed,
             t.engine->log().substr(t.engine->log().find("D-Bus call to send beacon failed"), 300).c_str());
    fflush(stdout);
    g_dbus_connection_signal_unsubscribe(t.bus.connection(), sub);
  }
  return 0;
}

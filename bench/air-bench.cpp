/* air-bench: bursts of Sends on bluez-sim's modelled air (--air), side by
 * side in one run: bursts of 1, 5 and 20 on a legacy controller (one
 * advertising set) and on one with 4 hardware sets, at 0 % and 30 % packet
 * loss, kavrod's monitor scanning 30 of every 60 ms on a third adapter.
 * Per case: beacons delivered (kavrod's own event count), Send ->
 * BeaconReceived p50/p99 (the i-th Send with the i-th event: they go on air
 * in order) and the last event's delay after the first Send.
 *
 *   bench/with-env.sh build/normal build/normal/bench/air-bench [--air-time MS] [--seed N]
 *
 * --air-time is beacon-sender's (default its own, 3000 ms); the whole run
 * takes about 5 minutes with it. */
#include <gio/gio.h>

#include <string>
#include <vector>

#include "bench.h"

namespace {

constexpr char kSystemId[] = "6c1f2a9e-3b5d-4e8f-a0b1-c2d3e4f5a6b7";

guint64 published(GDBusConnection *bus) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = th::call(bus, bench::kReceiveName, bench::kReceivePath, bench::kDiagnostics, "Status",
                                       nullptr, "(a{sv})", &error);
  guint64 events = 0;
  if (reply != nullptr) {
    g_autoptr(GVariant) dict = g_variant_get_child_value(reply, 0);
    g_variant_lookup(dict, "events", "t", &events);
  }
  return events;
}

bool no_advertisements(GDBusConnection *bus) {
  g_autoptr(GVariant) reply = bench::bluez_control(bus, "ListAdvertisements", nullptr, "(a(sos))", nullptr);
  if (reply == nullptr)
    return false;
  g_autoptr(GVariant) list = g_variant_get_child_value(reply, 0);
  return g_variant_n_children(list) == 0;
}

}  // namespace

int main(int argc, char **argv) {
  gint air_time = 0;
  gint64 seed = 18;
  const GOptionEntry entries[] = {
      {"air-time", 0, 0, G_OPTION_ARG_INT, &air_time, "beacon-sender's --air-time (default its own)", "MS"},
      {"seed", 0, 0, G_OPTION_ARG_INT64, &seed, "Seed of the air model (default 18)", "N"},
      {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};
  bench::parse_options(&argc, &argv, nullptr, "Bursts of Sends on bluez-sim's modelled air; prints figures.",
                       entries);
  bench::default_paths();
  g_print("%-8s %-6s %5s %10s %12s %12s %14s\n", "adapter", "loss", "burst", "delivered", "p50 ms", "p99 ms",
          "last ms");
  bench::Verdict verdict;
  bench::Arrivals events;  // outlives each bus and its filter
  for (const char *loss : {"0", "0.3"}) {
    th::Bus bus;
    auto bluez = bench::start_bluez(bus, {"--adapter", "hci0:nomonitor:sets=0", "--adapter", "hci1",
                                          "--adapter", "hci2:nomonitor:sets=4", "--advertising-instances", "5",
                                          "--air", "--packet-loss", loss, "--seed", std::to_string(seed)});
    bench::TempFile rules("air-bench-XXXXXX.conf", bench::idle_rule(kSystemId));
    auto engine = bench::start_engine(bus, rules.path());
    th::Process kavrod({bench::program("KAVROD_BIN")}, bench::kTarget);
    if (!bus.wait_for_name(bench::kReceiveName, 10000) ||
        !th::wait_until([&] { return bluez->count("monitor") > 0 && published(bus.connection()) == 0; }, 10000))
      g_error("kavrod did not start:\n%s", kavrod.log().c_str());
    th::wait_until([&] { return false; }, 500);  // its monitor registered and activated
    events.watch(bus.connection(), bench::kProducerInterface, "Event");
    for (const char *adapter : {"hci0", "hci2"}) {
      for (int burst : {1, 5, 20}) {
        std::vector<gint64> sent_us;
        std::vector<std::string> args = {bench::program("BEACON_SENDER_BIN"), "--adapter", adapter};
        if (air_time > 0)
          args.insert(args.end(), {"--air-time", std::to_string(air_time)});
        th::Process sender(args);
        if (!bus.wait_for_name(bench::kSendName, 10000))
          g_error("beacon-sender did not start:\n%s", sender.log().c_str());
        events.arm();
        const guint64 before = published(bus.connection());
        int failed = 0;
        for (int i = 0; i < burst; i++) {
          sent_us.push_back(g_get_monotonic_time());
          g_dbus_connection_call(bus.connection(), bench::kSendName, bench::kSendPath, bench::kSendName, "Send",
                                 g_variant_new("(y@a{sv}sa{sv})", 2,
                                               g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0), kSystemId,
                                               nullptr),
                                 G_VARIANT_TYPE("()"), G_DBUS_CALL_FLAGS_NONE, 10000, nullptr,
                                 [](GObject *source, GAsyncResult *result, gpointer data) {
                                   g_autoptr(GVariant) r =
                                       g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
                                   *static_cast<int *>(data) += r == nullptr;
                                 },
                                 &failed);
        }
        th::wait_until([&] {
          return sender.count(" on air on /org/bluez/") == static_cast<size_t>(burst) && no_advertisements(bus.connection());
        }, 300000);
        bench::wait_quiet(kavrod.pid(), 300);
        const guint64 delivered = published(bus.connection()) - before;
        th::wait_until([&] { return events.count() >= delivered; }, 2000);
        events.disarm();
        const std::vector<gint64> event_us = events.times();
        std::vector<double> delays;
        for (size_t i = 0; i < event_us.size() && i < sent_us.size(); i++)
          delays.push_back(static_cast<double>(event_us[i] - sent_us[i]));
        const bench::Spread s = bench::spread(delays, 1e-3);
        const double last = event_us.empty() ? 0 : (event_us.back() - sent_us.front()) / 1e3;
        g_print("%-8s %-6s %5d %9.0f%% %12.0f %12.0f %14.0f\n", adapter, loss, burst, 100.0 * delivered / burst, s.p50,
                s.p99, last);
        verdict.check(failed == 0, "%d Sends of a burst of %d on %s failed", failed, burst, adapter);
        verdict.check(delivered <= static_cast<guint64>(burst), "%" G_GUINT64_FORMAT " events for %d beacons",
                      delivered, burst);
        sender.stop(SIGTERM);
      }
    }
    kavrod.stop(SIGTERM);
    engine->stop(SIGTERM);
    bluez->stop(SIGTERM);
  }
  g_print("air model seed %" G_GINT64_FORMAT "\n", seed);
  return verdict.exit_status();
}

/* beacon-bench: beacon -> event through the real path, kavrod against
 * bare-relay (plain GDBus, same D-Bus shape, none of our libraries).
 *
 * Each target gets a private bus with bluez-sim (one adapter, hci0),
 * action-engine-sim with one enabled rule carrying the System ID, and the
 * target: kavrod (G_MESSAGES_DEBUG unset, VESK_POLICY=/nonexistent) or
 * bare-relay. The rule's start event names another topic than the
 * daemon's, so the engine only reads the Event signals and never fires;
 * it runs for both targets alike. The bench injects beacons through
 * bluez-sim's InjectAdvertisement (version 1, the System ID, event number
 * 2, a sequence byte), each from its own sender address (a counter in the
 * last three bytes), so repeat suppression never drops one, and timestamps
 * the Event signals as they come off the socket (a connection filter on
 * GDBus's worker thread). Events keep the order of the injections along
 * the path, so the n-th event is paired with the n-th injection; with
 * beacons lost that pairing, and so the latency, is approximate.
 *
 * Phases per target: a short warm-up, then each paced rate for --seconds,
 * then flat out for --burst beacons (at most --window beacons injected and
 * not yet seen as events), then flat out for --beacons beacons for the
 * memory figure (the target's RSS before the first beacon, after 10,000
 * events and at the end). Figures: events/s sustained (events over first
 * injection to last event), latency from the start of the inject call to
 * the signal's arrival (p50, p99, max), lost beacons (not seen within
 * --drain-ms of the last event), CPU time of the target and of bluez-sim
 * per delivered event (/proc/<pid>/stat utime+stime), and the ratios
 * kavrod/bare.
 *
 * With --instructions N the targets run under callgrind instead and the
 * bench prints instructions (all threads) per event, counted over measured
 * windows only (see callgrind.h): N beacons from one sender with distinct
 * sequence numbers; N beacons from N new senders; and a realistic mix,
 * where the bench itself runs discovery on hci0 (so BlueZ reports every
 * device nearby) while 1,000 foreign devices (beacons of another System
 * ID) and 10 own senders advertise: instructions per own event, and per
 * advertisement of a foreign device once all are known to BlueZ. Devices
 * do not expire in this mode (bluez-sim --device-timeout 0), so removals
 * are not counted.
 *
 * Run from a build directory (it starts its own dbus-daemon):
 *   bench/beacon-bench [--target both|kavrod|bare] [--rates 100,1000]
 *       [--seconds 10] [--burst 20000] [--beacons 200000] [--window 256]
 *       [--device-timeout 30] [--drain-ms 3000] [--instructions N]
 * Defaults as shown; --beacons 1000000 gives the long memory figure (a
 * few minutes per target). Programs come from this build; override with
 * KAVROD_BIN, BLUEZ_SIM_BIN, ACTION_ENGINE_SIM_BIN, BARE_RELAY_BIN. */
#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "advwatch-utils.h"
#include "config.h"
#include "bench.h"
#include "callgrind.h"

namespace {

using bench::kSystemId;
constexpr guint8 kEventRecordingStarted = 2;
constexpr size_t kWarmup = 200;
constexpr size_t kRssMark = 10000;
/* Unanswered inject calls at most: the bus refuses more than 128 pending
 * replies per connection. Paced phases keep their rate up to this bound. */
constexpr size_t kMaxCallsInFlight = 64;

struct Options {
  std::string target = "both";
  std::vector<int> rates = {100, 1000};
  int seconds = 10;
  int burst = 20000;
  int beacons = 200000;
  int window = 256;
  int device_timeout = 30;
  int drain_ms = 3000;
  int instructions = 0; /* events per callgrind window; 0: wall-clock mode */
  bool key = false;      /* also count kavrod with an installation key */
};

/* ---- Event arrivals ------------------------------------------------------ */

bench::Arrivals arrivals;

bool is_our_event(GDBusMessage *message) {
  GVariant *body = g_dbus_message_get_body(message);
  if (body == nullptr || !g_variant_is_of_type(body, G_VARIANT_TYPE("(ssxa{sv})")))
    return false;
  const gchar *topic;
  g_autoptr(GVariant) data = nullptr;
  g_variant_get(body, "(&s&sx@a{sv})", nullptr, &topic, nullptr, &data);
  const gchar *uuid = nullptr;
  return g_str_equal(topic, bench::kTopic) && g_variant_lookup(data, "UUID", "&s", &uuid) &&
         g_ascii_strcasecmp(uuid, kSystemId) == 0;
}

/* ---- the rig: bus, simulators, target ---------------------------------- */

/* KavrodKey: kavrod given an installation key, fed signed beacons. */
enum class Target { Kavrod, Bare, KavrodKey };

/* The key beacons are signed with while a KavrodKey rig runs, else NULL. */
const guint8 *signing_key = nullptr;

const char *target_name(Target target) {
  return target == Target::Kavrod ? "kavrod" : target == Target::KavrodKey ? "kavrod-key" : "bare";
}

class Rig {
 public:
  Rig(Target target, const Options &options, bench::Callgrind *callgrind = nullptr) {
    bluez_ = bench::start_bluez(bus_, {"--device-timeout", std::to_string(options.device_timeout)});
    engine_ = bench::start_engine(bus_, rules_.path());

    std::vector<std::string> argv;
    std::map<std::string, std::string> env = bench::kTarget;
    if (target == Target::KavrodKey) {
      std::vector<guint8> key(ADVWATCH_KEY_LENGTH);
      for (size_t i = 0; i < key.size(); i++)
        key[i] = static_cast<guint8>(0x21 * i + 7);
      credentials_.put("beacon-key", key);
      memcpy(key_, key.data(), sizeof key_);
      signing_key = key_;
      env["CREDENTIALS_DIRECTORY"] = credentials_.path();
    }
    if (target == Target::Kavrod || target == Target::KavrodKey)
      argv = {bench::program("KAVROD_BIN")};
    else
      argv = {bench::program("BARE_RELAY_BIN"), "--system-id", kSystemId};
    if (callgrind != nullptr)
      argv = callgrind->wrap(argv);
    relay_ = std::make_unique<th::Process>(argv, env);
    const int start_ms = callgrind != nullptr ? 120000 : 15000;
    if (!th::wait_until([this] { return bench::monitor_active(bus_.connection()) > 0; }, start_ms))
      bench::fail("the monitor was not activated", *relay_);

    filter_id_ = arrivals.watch(bus_.connection(), bench::kProducerInterface, "Event", is_our_event);
  }

  ~Rig() {
    signing_key = nullptr;
    g_dbus_connection_remove_filter(bus_.connection(), filter_id_);
    bench::stop(*relay_, "the target");
  }

  Rig(const Rig &) = delete;
  Rig &operator=(const Rig &) = delete;

  GDBusConnection *connection() { return bus_.connection(); }
  pid_t target_pid() const { return relay_->pid(); }
  pid_t bluez_pid() const { return bluez_->pid(); }
  th::Process &target() { return *relay_; }

 private:
  th::Bus bus_;  // first: it sets DBUS_SYSTEM_BUS_ADDRESS for the others
  std::unique_ptr<th::Process> bluez_;
  // The topic differs from the daemon's: the engine reads the System ID
  // from the rule but never fires on the bench's events.
  bench::TempFile rules_{"beacon-bench-rules-XXXXXX.conf", bench::idle_rule(kSystemId)};
  th::Credentials credentials_;
  guint8 key_[ADVWATCH_KEY_LENGTH] = {};
  std::unique_ptr<th::Process> engine_, relay_;
  guint filter_id_ = 0;
};

/* ---- injection ------------------------------------------------------------ */

struct Result {
  std::string target, phase;
  double offered = 0;  // beacons/s, 0 when flat out
  size_t sent = 0, received = 0, errors = 0;
  double events_per_s = 0;
  double p50_ms = 0, p99_ms = 0, max_ms = 0;
  double target_cpu_us = 0, bluez_cpu_us = 0;  // per delivered event
  long rss_start = -1, rss_mark = -1, rss_end = -1;
};

class Injector {
 public:
  Injector(Rig &rig, const Options &options) : rig_(rig), options_(options) {}

  /* Injects @total beacons at @rate per second (0: flat out, bounded by
   * the window), waits for their events, and measures. */
  Result run(const std::string &phase, int rate, size_t total, bool sample_rss = false) {
    Result result;
    result.phase = phase;
    result.offered = rate;
    rate_ = rate;
    total_ = total;
    sent_ = 0;
    in_flight_ = 0;
    errors_ = 0;
    rss_mark_ = -1;
    sample_rss_ = sample_rss;
    starts_.assign(total, 0);
    arrivals.arm(total);

    const guint64 target_before = bench::process_ticks(rig_.target_pid());
    const guint64 bluez_before = bench::process_ticks(rig_.bluez_pid());
    if (sample_rss)
      result.rss_start = bench::proc_status(rig_.target_pid()).rss_kb;

    loop_ = g_main_loop_new(nullptr, FALSE);
    t0_ = g_get_monotonic_time();
    last_progress_ = t0_;
    last_received_ = 0;
    const guint tick = g_timeout_add(1, on_tick, this);
    pump();
    g_main_loop_run(loop_);
    g_source_remove(tick);
    g_clear_pointer(&loop_, g_main_loop_unref);
    arrivals.disarm();

    const std::vector<gint64> times = arrivals.times();
    const size_t received = times.size();
    result.sent = sent_;
    result.received = received;
    result.errors = errors_;
    if (received > 0) {
      std::vector<gint64> latencies(received);
      for (size_t i = 0; i < received; i++)
        latencies[i] = times[i] - starts_[i];
      const bench::Spread ms = bench::spread(latencies, 1e-3);
      result.p50_ms = ms.p50;
      result.p99_ms = ms.p99;
      result.max_ms = ms.max;
      const gint64 span = *std::max_element(times.begin(), times.end()) - starts_[0];
      result.events_per_s = span > 0 ? received * 1e6 / static_cast<double>(span) : 0;
      result.target_cpu_us = bench::ticks_to_us(bench::process_ticks(rig_.target_pid()) - target_before) / received;
      result.bluez_cpu_us = bench::ticks_to_us(bench::process_ticks(rig_.bluez_pid()) - bluez_before) / received;
    }
    if (sample_rss) {
      result.rss_mark = rss_mark_;
      result.rss_end = bench::proc_status(rig_.target_pid()).rss_kb;
    }
    if (!first_error_.empty()) {
      g_printerr("%s: %zu inject calls failed, first: %s\n", phase.c_str(), errors_, first_error_.c_str());
      first_error_.clear();
    }
    return result;
  }

 private:
  size_t received() const { return arrivals.count(); }

  void send_one() {
    const guint32 number = next_beacon_++;
    starts_[sent_++] = g_get_monotonic_time();
    in_flight_++;
    bench::inject(rig_.connection(), "hci0", bench::address(number),
                  bench::beacon_payload(kSystemId, kEventRecordingStarted, static_cast<guint8>(number & 0xff)), 60000,
                  on_injected, this);
  }

  static void on_injected(GObject *source, GAsyncResult *result, gpointer user_data) {
    auto *self = static_cast<Injector *>(user_data);
    self->in_flight_--;
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (reply == nullptr) {
      if (self->errors_++ == 0)
        self->first_error_ = error->message;
    }
    self->pump();
  }

  static gboolean on_tick(gpointer user_data) {
    static_cast<Injector *>(user_data)->pump();
    return G_SOURCE_CONTINUE;
  }

  void pump() {
    if (loop_ == nullptr)
      return;  // a late reply after the phase ended
    const gint64 now = g_get_monotonic_time();
    if (rate_ > 0) {
      const size_t due = std::min(total_, static_cast<size_t>(static_cast<double>(rate_) * (now - t0_) / 1e6) + 1);
      while (sent_ < due && in_flight_ < kMaxCallsInFlight)
        send_one();
    } else {
      const auto window = static_cast<size_t>(options_.window);
      while (sent_ < total_ && in_flight_ < kMaxCallsInFlight && sent_ - std::min(sent_, received()) < window)
        send_one();
    }

    const size_t got = received();
    if (got != last_received_) {
      last_received_ = got;
      last_progress_ = now;
    }
    if (sample_rss_ && rss_mark_ < 0 && got >= kRssMark)
      rss_mark_ = bench::proc_status(rig_.target_pid()).rss_kb;
    // Done when every event came, or when none came for a while: the rest
    // is lost (and a window full of lost beacons would stall the phase).
    const bool stalled = now - last_progress_ > static_cast<gint64>(options_.drain_ms) * 1000;
    if (bench::interrupted() || (in_flight_ == 0 && (got >= total_ || stalled)))
      g_main_loop_quit(loop_);
  }

  Rig &rig_;
  const Options &options_;
  GMainLoop *loop_ = nullptr;
  int rate_ = 0;
  size_t total_ = 0, sent_ = 0, in_flight_ = 0, errors_ = 0, last_received_ = 0;
  gint64 t0_ = 0, last_progress_ = 0;
  long rss_mark_ = -1;
  bool sample_rss_ = false;
  std::string first_error_;
  std::vector<gint64> starts_;
  /* Every beacon of the run gets a sender address of its own. */
  guint32 next_beacon_ = 1;
};

/* ---- instruction counts ------------------------------------------------- */

struct Advertisement {
  std::string address;
  std::string system_id;
  guint8 sequence;
};

/* Injects @ads with at most kMaxCallsInFlight calls out; returns failures. */
size_t inject_all(GDBusConnection *connection, const std::vector<Advertisement> &ads) {
  bench::Calls calls;
  size_t next = 0;
  while (next < ads.size() || calls.in_flight > 0) {
    while (next < ads.size() && calls.in_flight < kMaxCallsInFlight) {
      const Advertisement &ad = ads[next++];
      calls.in_flight++;
      std::vector<guint8> payload = th::beacon_bytes(ad.system_id, kEventRecordingStarted, ad.sequence);
      if (signing_key != nullptr) {
        payload.resize(ADVWATCH_BEACON_SIGNED_LENGTH);
        advwatch_beacon_sign(BEACON_COMPANY_ID, payload.data(),
                             static_cast<guint64>(g_get_real_time() / G_USEC_PER_SEC), signing_key);
      }
      bench::inject(connection, "hci0", ad.address,
                    g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, payload.data(), payload.size(), 1), 120000,
                    bench::Calls::on_reply, &calls);
    }
    g_main_context_iteration(nullptr, TRUE);
  }
  return calls.failed;
}

struct Count {
  std::string target, window;
  size_t units = 0, events = 0, failed = 0;
  guint64 instructions = 0;
  double per_unit() const { return units > 0 ? static_cast<double>(instructions) / static_cast<double>(units) : 0; }
};

/* Zeroes the target's counters, injects @ads, waits for @events events and
 * for the target to fall quiet, and counts. */
Count measure(Rig &rig, bench::Callgrind &callgrind, const char *window, const std::vector<Advertisement> &ads,
              size_t events) {
  Count count;
  count.window = window;
  count.units = events > 0 ? events : ads.size();
  bench::wait_quiet(rig.target_pid());
  arrivals.arm(ads.size() + 1);
  bench::Callgrind::zero(rig.target_pid());
  count.failed = inject_all(rig.connection(), ads);
  th::wait_until([&] { return arrivals.count() >= events; }, bench::Callgrind::dry() ? 5000 : 120000);
  bench::wait_quiet(rig.target_pid());
  count.instructions = callgrind.dump(rig.target_pid());
  count.events = arrivals.count();
  arrivals.disarm();
  g_printerr("   %-28s %6zu units %6zu events %14" G_GUINT64_FORMAT " instructions\n", window, count.units, count.events,
             count.instructions);
  return count;
}

constexpr char kForeignSystemId[] = "0f0e0d0c-0b0a-4908-8706-050403020100";
constexpr size_t kMixOwnSenders = 10;
constexpr size_t kMixForeignDevices = 1000;
/* Own senders' sequence numbers start apart, as signing senders' do (they
 * start at random): the same bytes from two senders in one second would be
 * a replay to a receiver with a key. Distinct senders differ likewise. */
constexpr size_t kOwnSequenceStep = 23;

/* One sender, then distinct senders. */
void count_senders(Rig &rig, bench::Callgrind &callgrind, size_t n, std::vector<Count> &counts) {
  std::vector<Advertisement> ads;

  // One sender: a warm-up (its first beacon alone, so that the target
  // follows the device before the rest), then new sequence numbers only.
  measure(rig, callgrind, "warm-up", {{bench::address(1, "C1:C1"), kSystemId, 0}}, 1);
  for (guint8 i = 1; i < 20; i++)
    ads.push_back({bench::address(1, "C1:C1"), kSystemId, i});
  measure(rig, callgrind, "warm-up", ads, ads.size());
  ads.clear();
  for (size_t i = 0; i < n; i++)
    ads.push_back({bench::address(1, "C1:C1"), kSystemId, static_cast<guint8>(20 + i % 200)});
  counts.push_back(measure(rig, callgrind, "one sender", ads, ads.size()));

  // Distinct senders: each beacon from a device BlueZ has not seen.
  ads.clear();
  for (size_t i = 0; i < n; i++)
    ads.push_back({bench::address(static_cast<guint32>(i), "C2:C2"), kSystemId, static_cast<guint8>(i)});
  counts.push_back(measure(rig, callgrind, "distinct senders", ads, ads.size()));
}

/* The realistic mix: another client discovers, so BlueZ reports every
 * device it hears; most are not ours. */
void count_mix(Rig &rig, bench::Callgrind &callgrind, size_t n, std::vector<Count> &counts) {
  std::vector<Advertisement> ads;
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) started = th::call(rig.connection(), "org.bluez", "/org/bluez/hci0", "org.bluez.Adapter1",
                                         "StartDiscovery", nullptr, nullptr, &error);
  if (started == nullptr)
    throw std::runtime_error(std::string("StartDiscovery failed: ") + error->message);
  ads.clear();
  for (size_t i = 0; i < kMixForeignDevices; i++)
    ads.push_back({bench::address(static_cast<guint32>(i), "F0:F0"), kForeignSystemId, 0});
  for (size_t i = 0; i < kMixOwnSenders; i++)
    ads.push_back({bench::address(static_cast<guint32>(i), "C3:C3"), kSystemId, static_cast<guint8>(kOwnSequenceStep * i)});
  counts.push_back(measure(rig, callgrind, "mix: first advertisements", ads, kMixOwnSenders));
  counts.back().units = ads.size();

  ads.clear();
  for (size_t i = 0; i < n; i++)
    ads.push_back({bench::address(static_cast<guint32>(i % kMixOwnSenders), "C3:C3"), kSystemId,
                   static_cast<guint8>(kOwnSequenceStep * (i % kMixOwnSenders) + 1 + i / kMixOwnSenders)});
  counts.push_back(measure(rig, callgrind, "mix: own events", ads, ads.size()));

  ads.clear();
  for (size_t i = 0; i < kMixForeignDevices; i++)
    ads.push_back({bench::address(static_cast<guint32>(i), "F0:F0"), kForeignSystemId, 1});
  counts.push_back(measure(rig, callgrind, "mix: foreign advertisements", ads, 0));
}

/* The windows with a target of its own (fresh, as after
 * start-up) under callgrind: the senders, or the realistic mix. */
std::vector<Count> count_target(Target target, const Options &options, bool mix) {
  g_printerr("== %s under callgrind%s: starting bus, bluez-sim, action-engine-sim and %s\n", target_name(target),
             mix ? ", realistic mix" : "", target == Target::Bare ? "bare-relay" : "kavrod");
  bench::Callgrind callgrind;
  // Devices never expire here: each window counts what advertisements
  // cost, not removals that would fall into later windows.
  Options rig_options = options;
  rig_options.device_timeout = 0;
  Rig rig(target, rig_options, &callgrind);
  std::vector<Count> counts;
  (mix ? count_mix : count_senders)(rig, callgrind, static_cast<size_t>(options.instructions), counts);
  for (auto &c : counts)
    c.target = target_name(target);
  return counts;
}

void print_counts(const std::vector<Count> &counts) {
  printf("\ninstructions of the target (callgrind, all threads, measured windows only)\n\n");
  printf("%-10s %-28s %7s %7s %7s %14s %12s\n", "target", "window", "units", "events", "failed", "instructions",
         "per unit");
  for (const auto &c : counts)
    printf("%-10s %-28s %7zu %7zu %7zu %14" G_GUINT64_FORMAT " %12.0f\n", c.target.c_str(), c.window.c_str(), c.units,
           c.events, c.failed, c.instructions, c.per_unit());
  printf("\n(units: events, except 'mix: first advertisements' and 'mix: foreign advertisements': advertisements)\n");
  bool header = false;
  bench::pairs(counts, &Count::window, [&](const Count &k, const Count &b) {
    if (b.per_unit() <= 0)
      return;
    if (!std::exchange(header, true))
      printf("\nratios kavrod / bare, instructions per unit\n");
    printf("%-28s %8.2f\n", k.window.c_str(), k.per_unit() / b.per_unit());
  });
  header = false;
  bench::pairs(
      counts, &Count::window,
      [&](const Count &k, const Count &plain) {
        if (plain.per_unit() <= 0 || k.window.find("foreign") != std::string::npos)
          return;
        if (!std::exchange(header, true))
          printf("\nsigned beacons: kavrod with a key / without, instructions per unit (verification's share)\n");
        printf("%-28s %8.3f  (%+.1f %%)\n", k.window.c_str(), k.per_unit() / plain.per_unit(),
               100.0 * (k.per_unit() - plain.per_unit()) / plain.per_unit());
      },
      "kavrod-key", "kavrod");
  for (const auto &own : counts)
    for (const auto &foreign : counts)
      if (own.window == "mix: own events" && foreign.window == "mix: foreign advertisements" &&
          own.target == foreign.target && own.per_unit() > 0)
        printf("%s: a foreign advertisement costs %.1f %% of an own event\n", own.target.c_str(),
               100.0 * foreign.per_unit() / own.per_unit());
  fflush(stdout);
}

std::vector<Result> bench_target(Target target, const Options &options) {
  g_printerr("== %s: starting bus, bluez-sim, action-engine-sim and %s\n", target_name(target),
             target == Target::Kavrod ? "kavrod" : "bare-relay");
  Rig rig(target, options);
  Injector injector(rig, options);
  const long rss_before = bench::proc_status(rig.target_pid()).rss_kb;
  std::vector<Result> results;
  auto check = [] {
    if (bench::interrupted())
      throw std::runtime_error("interrupted");
  };
  injector.run("warm-up", 0, kWarmup);
  for (int rate : options.rates) {
    check();
    g_printerr("   %d/s for %d s\n", rate, options.seconds);
    results.push_back(injector.run(std::to_string(rate) + "/s", rate, static_cast<size_t>(rate) * options.seconds));
  }
  check();
  g_printerr("   flat out, %d beacons\n", options.burst);
  results.push_back(injector.run("flat out", 0, static_cast<size_t>(options.burst)));
  check();
  g_printerr("   flat out, %d beacons (memory)\n", options.beacons);
  results.push_back(injector.run("flat out x" + std::to_string(options.beacons), 0,
                                 static_cast<size_t>(options.beacons), true));
  check();
  results.back().rss_start = rss_before;
  for (auto &r : results)
    r.target = target_name(target);
  return results;
}

void print(const std::vector<Result> &results, const Options &options) {
  printf("\nbeacon -> Event signal: private bus, bluez-sim (hci0), action-engine-sim (1 rule), "
         "flat out = at most %d beacons in flight\n",
         options.window);
  printf("latency: inject call start -> Event arrival; CPU: utime+stime per delivered event\n\n");
  printf("%-7s %-16s %9s %8s %8s %6s %6s %10s %8s %8s %8s %12s %12s\n", "target", "phase", "offered/s", "beacons",
         "events", "lost", "errors", "events/s", "p50 ms", "p99 ms", "max ms", "target us/ev", "bluez us/ev");
  for (const auto &r : results) {
    g_autofree gchar *offered = r.offered > 0 ? g_strdup_printf("%.0f", r.offered) : g_strdup("max");
    printf("%-7s %-16s %9s %8zu %8zu %6zu %6zu %10.0f %8.2f %8.2f %8.2f %12.1f %12.1f\n", r.target.c_str(),
           r.phase.c_str(), offered, r.sent, r.received, r.sent - r.received, r.errors, r.events_per_s, r.p50_ms,
           r.p99_ms, r.max_ms, r.target_cpu_us, r.bluez_cpu_us);
  }

  bool header = false;
  bench::pairs(results, &Result::phase, [&](const Result &k, const Result &b) {
    if (!std::exchange(header, true))
      printf("\nratios kavrod / bare\n%-16s %10s %8s %8s %12s\n", "phase", "events/s", "p50", "p99", "CPU/event");
    printf("%-16s %10.2f %8.2f %8.2f %12.2f\n", k.phase.c_str(), bench::ratio(k.events_per_s, b.events_per_s),
           bench::ratio(k.p50_ms, b.p50_ms), bench::ratio(k.p99_ms, b.p99_ms),
           bench::ratio(k.target_cpu_us, b.target_cpu_us));
  });

  printf("\nRSS of the target (kB)\n");
  printf("%-7s %10s %14s %14s %10s\n", "target", "start", "after 10,000", "at end", "beacons");
  for (const auto &r : results)
    if (r.rss_end >= 0)
      printf("%-7s %10ld %14ld %14ld %10zu\n", r.target.c_str(), r.rss_start, r.rss_mark, r.rss_end, r.sent);
  fflush(stdout);
}

bool parse_rates(const char *text, std::vector<int> *rates) {
  rates->clear();
  g_auto(GStrv) parts = g_strsplit(text, ",", -1);
  for (gchar **p = parts; *p != nullptr; p++) {
    guint64 value = 0;
    if (!g_ascii_string_to_unsigned(g_strstrip(*p), 10, 1, 1000000, &value, nullptr))
      return false;
    rates->push_back(static_cast<int>(value));
  }
  return !rates->empty();
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  g_autofree gchar *target = nullptr;
  g_autofree gchar *rates = nullptr;
  const GOptionEntry entries[] = {
      {"target", 0, 0, G_OPTION_ARG_STRING, &target, "both, kavrod or bare (default both)", "T"},
      {"rates", 0, 0, G_OPTION_ARG_STRING, &rates, "Paced rates in beacons/s (default 100,1000)", "R,R"},
      {"seconds", 0, 0, G_OPTION_ARG_INT, &options.seconds, "Length of each paced phase (default 10)", "S"},
      {"burst", 0, 0, G_OPTION_ARG_INT, &options.burst, "Beacons of the flat-out phase (default 20000)", "N"},
      {"beacons", 0, 0, G_OPTION_ARG_INT, &options.beacons, "Beacons of the memory phase (default 200000)", "N"},
      {"window", 0, 0, G_OPTION_ARG_INT, &options.window, "Beacons in flight when flat out (default 256)", "N"},
      {"device-timeout", 0, 0, G_OPTION_ARG_INT, &options.device_timeout,
       "bluez-sim's device timeout in seconds (default 30)", "S"},
      {"drain-ms", 0, 0, G_OPTION_ARG_INT, &options.drain_ms,
       "Beacons not seen this long after the last event are lost (default 3000)", "MS"},
      {"instructions", 0, 0, G_OPTION_ARG_INT, &options.instructions,
       "Count instructions under callgrind instead, N events per window (try 200)", "N"},
      {"key", 0, 0, G_OPTION_ARG_NONE, &options.key,
       "With --instructions: also count kavrod given an installation key, fed signed beacons", nullptr},
      {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr},
  };
  bench::parse_options(&argc, &argv, "- beacon to event throughput, latency, CPU and memory", nullptr, entries);
  if (target != nullptr)
    options.target = target;
  if (rates != nullptr && !parse_rates(rates, &options.rates)) {
    g_printerr("beacon-bench: --rates needs positive numbers separated by commas, got \"%s\"\n", rates);
    return 2;
  }
  bench::check_target(options.target);
  if (options.seconds < 1 || options.burst < 1 || options.beacons < 1 || options.window < 1 ||
      options.device_timeout < 0 || options.drain_ms < 1) {
    g_printerr("beacon-bench: counts, --seconds, --window and --drain-ms must be positive\n");
    return 2;
  }

  bench::catch_interrupts();
  if (options.instructions < 0 || options.instructions > 255 * 200) {
    g_printerr("beacon-bench: --instructions must be 0..%d\n", 255 * 200);
    return 2;
  }
  if (options.instructions > 0) {
    std::vector<Count> counts;
    for (Target t : {Target::Kavrod, Target::KavrodKey, Target::Bare}) {
      if (t == Target::KavrodKey ? !options.key || !bench::wants(options.target, "kavrod")
                                 : !bench::wants(options.target, target_name(t)))
        continue;
      try {
        for (bool mix : {false, true}) {
          auto c = count_target(t, options, mix);
          counts.insert(counts.end(), c.begin(), c.end());
        }
      } catch (const std::exception &e) {
        g_printerr("beacon-bench: %s: %s\n", target_name(t), e.what());
        return 1;
      }
    }
    print_counts(counts);
    return 0;
  }
  std::vector<Result> results;
  for (Target t : {Target::Kavrod, Target::Bare}) {
    if (!bench::wants(options.target, target_name(t)))
      continue;
    try {
      auto r = bench_target(t, options);
      results.insert(results.end(), r.begin(), r.end());
    } catch (const std::exception &e) {
      g_printerr("beacon-bench: %s: %s\n", target_name(t), e.what());
      return 1;
    }
  }
  if (arrivals.others() > 0)
    g_printerr("note: %zu Event signals with another topic or System ID were ignored\n", arrivals.others());
  print(results, options);
  return 0;
}

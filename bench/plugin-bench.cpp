/* plugin-bench: libtelvo driven by a host, as the action engine drives it.
 *
 * The bench process is the host: it loads libtelvo with dlopen, resolves
 * the nine entry points and creates instances from the configuration node
 * of one action (<plugin>, <sofile>) with the parameters message_type and
 * system_id. It starts its own dbus-daemon and beacon-sender --no-bluez
 * (every Send is recorded and answered at once, or held by a fault) and
 * timestamps the service's SendReceived signals as they come off the
 * socket, on a private connection of its own (a connection filter on
 * GDBus's worker thread, so the main thread need not run a loop).
 *
 * Figures:
 *  1. latency: plugin_start until SendReceived arrives, against a bare
 *     synchronous GDBus Send with the same arguments from the bench
 *     thread on the same (shared) connection the plug-in uses. The two
 *     alternate, one of each per round, after a warm-up. Also the time
 *     plugin_start itself takes to return. p50, p99, max, ratios.
 *  2. plugin_free: how long it takes to return while the instance's Send
 *     is held by the service (SetFault block), and for an idle connected
 *     instance. p50 and max over --rounds rounds.
 *  3. instances: create and free --instances instances in one host, all
 *     created then all freed, and in create/free pairs. Total times, the
 *     peak thread count and VmRSS (before, peak, after) of the process,
 *     sampled from /proc/self/status every millisecond by a thread of the
 *     bench (counted in the figures) and after every create.
 *
 * Run from a build directory:
 *   bench/plugin-bench [--sends 1000] [--warmup 50] [--rounds 50] [--instances 1000]
 * Programs come from this build; override with BEACON_SENDER_BIN and
 * TELVO_PLUGIN (bench/with-env.sh sets both). */
#include <unistd.h>
#include <gio/gio.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <utility>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "action-plugin.h"
#include "bench.h"
#include "harness.h"
#include "plugin_host.h"

namespace {

using bench::kSendControl;
using bench::kSendName;
using bench::kSendPath;
using bench::kSystemId;
constexpr guint8 kMessageType = 17;
constexpr char kConfig[] = "<action><plugin>telvo</plugin><sofile>x</sofile></action>";
/* How long any single wait may take before the bench gives up. */
constexpr gint64 kWaitUs = 10 * G_USEC_PER_SEC;

struct Options {
  int sends = 1000;
  int warmup = 50;
  int rounds = 50;
  int instances = 1000;
};

/* ---- the plug-in, as a host loads it ---------------------------------- */

/* How many things went wrong, from any thread, and the first one's text. */
class Tally {
 public:
  void add(const std::string &text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_++ == 0)
      first_ = text;
  }
  /* The count since the last take, and the first one's text. */
  size_t take(std::string *first) {
    std::lock_guard<std::mutex> lock(mutex_);
    *first = std::move(first_);
    first_.clear();
    return std::exchange(count_, 0);
  }

 private:
  std::mutex mutex_;
  size_t count_ = 0;
  std::string first_;
};

/* Feedback errors of every instance; the entry points report on host
 * threads. */
Tally feedback_errors;

void on_feedback(gpointer errors, gint32 status, GError *error) {
  if (error == nullptr)
    return;
  static_cast<Tally *>(errors)->add("status " + std::to_string(status) + ": " + error->message);
  g_error_free(error);  // handed over to the host
}

/* What every create gets: one parsed node and one parameter table, as the
 * engine keeps them per rule. plugin_create copies what it needs. */
struct Action {
  XtagNode *config = nullptr;
  GHashTable *parameters = nullptr;
  int setup_parameters = 0;

  Action()
      : config(ph::parse_config(kConfig)),
        parameters(ph::make_parameters({{"message_type", std::to_string(kMessageType)}, {"system_id", kSystemId}})) {}
  ~Action() {
    xtag_node_free(config);
    g_hash_table_unref(parameters);
  }
  Action(const Action &) = delete;
  Action &operator=(const Action &) = delete;
};

/* ---- log of the bench process (the plug-in logs here) ----------------- */

/* The plug-in's warnings, counted instead of printed; criticals and
 * errors go to GLib's handler (fatal as usual). Debug output is dropped:
 * it would dominate the timings. */
Tally plugin_warnings;

void count_warnings(const gchar *domain, GLogLevelFlags level, const gchar *message, gpointer) {
  if (level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL))
    g_log_default_handler(domain, level, message, nullptr);
  else if (level & G_LOG_LEVEL_WARNING)
    plugin_warnings.add(message);
}

/* ---- SendReceived arrivals --------------------------------------------- */

bench::Arrivals arrivals;

/* ---- /proc/self -------------------------------------------------------- */

bench::ProcStat read_status() {
  return bench::proc_status(getpid());
}

/* Keeps the peaks of threads and VmRSS, from its own thread every
 * millisecond and from note() calls of the measuring thread. */
class Sampler {
 public:
  Sampler() : thread_([this] { run(); }) {}
  ~Sampler() {
    stop_.store(true);
    thread_.join();
  }
  Sampler(const Sampler &) = delete;
  Sampler &operator=(const Sampler &) = delete;

  void note() { keep(read_status()); }
  bench::ProcStat peak() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return peak_;
  }

 private:
  void run() {
    while (!stop_.load()) {
      note();
      g_usleep(1000);
    }
  }
  void keep(const bench::ProcStat &s) {
    std::lock_guard<std::mutex> lock(mutex_);
    peak_.threads = std::max(peak_.threads, s.threads);
    peak_.rss_kb = std::max(peak_.rss_kb, s.rss_kb);
  }
  mutable std::mutex mutex_;
  bench::ProcStat peak_;
  std::atomic<bool> stop_{false};
  std::thread thread_;  // last: starts once the rest exists
};

/* ---- figures ----------------------------------------------------------- */

void print_stats(const char *name, const bench::Spread &s) {
  g_print("  %-42s p50 %8.1f us  p99 %8.1f us  max %8.1f us\n", name, s.p50, s.p99, s.max);
}

/* ---- the rig ----------------------------------------------------------- */

class Rig {
 public:
  Rig(const ph::Plugin &plugin, Action &action) : plugin_(plugin), action_(action) {
    service_ = bench::start_service(bus_, "BEACON_SENDER_BIN", {"--no-bluez"}, kSendName);

    /* The plug-in uses the process's shared system-bus connection; the
     * host must outlive the bus going away at the end. */
    g_autoptr(GError) error = nullptr;
    shared_ = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    if (shared_ == nullptr)
      g_error("cannot connect to the bench's bus: %s", error->message);
    g_dbus_connection_set_exit_on_close(shared_, FALSE);

    arrivals.arm();
    filter_id_ = arrivals.watch(bus_.connection(), kSendControl, "SendReceived");
  }

  ~Rig() {
    g_dbus_connection_remove_filter(bus_.connection(), filter_id_);
    bench::stop(*service_, "beacon-sender");
    g_clear_object(&shared_);
  }
  Rig(const Rig &) = delete;
  Rig &operator=(const Rig &) = delete;

  GDBusConnection *shared() { return shared_; }

  bool set_fault(const char *mode) {
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = th::call(bus_.connection(), kSendName, kSendPath, kSendControl, "SetFault",
                                         g_variant_new("(su)", mode, 0u), "()", &error);
    if (reply == nullptr)
      g_printerr("SetFault %s failed: %s\n", mode, error->message);
    return reply != nullptr;
  }
  void clear_calls() {
    g_autoptr(GVariant) reply =
        th::call(bus_.connection(), kSendName, kSendPath, kSendControl, "ClearCalls", nullptr, "()", nullptr);
  }

  gpointer create() {
    g_autoptr(GError) error = nullptr;
    gpointer instance = plugin_.create(action_.config, action_.parameters, &action_.setup_parameters, nullptr,
                                       nullptr, on_feedback, &feedback_errors, &error);
    if (instance == nullptr)
      g_error("plugin_create failed: %s", error != nullptr ? error->message : "no error given");
    return instance;
  }

  /* Created, validated, initialised and holding the shared connection;
   * nullptr when the connection did not come. */
  gpointer create_connected() {
    const guint before = shared_refs();
    gpointer instance = create();
    plugin_.validate(instance);
    plugin_.initialize(instance);
    if (!poll_until([&] { return shared_refs() > before; })) {
      g_printerr("the instance did not get its connection\n");
      plugin_.free(instance);
      return nullptr;
    }
    return instance;
  }

  /* The worker's Send ended (its reply or failure is handled). */
  bool wait_idle(gpointer instance) {
    return poll_until([&] { return !plugin_.check_running(instance); });
  }

 private:
  /* References held on the shared connection; an instance holds one
   * while connected. */
  guint shared_refs() {
    return static_cast<guint>(g_atomic_int_get(reinterpret_cast<gint *>(&G_OBJECT(shared_)->ref_count)));
  }

  template <typename Cond>
  static bool poll_until(Cond cond) {
    const gint64 deadline = g_get_monotonic_time() + kWaitUs;
    while (!cond()) {
      if (g_get_monotonic_time() > deadline)
        return false;
      g_usleep(10);
    }
    return true;
  }

  const ph::Plugin &plugin_;
  Action &action_;
  th::Bus bus_;  // sets DBUS_SYSTEM_BUS_ADDRESS before anything connects
  std::unique_ptr<th::Process> service_;
  GDBusConnection *shared_ = nullptr;
  guint filter_id_ = 0;
};

/* ---- 1. plugin_start -> SendReceived ------------------------------------ */

bool bench_latency(Rig &rig, const ph::Plugin &plugin, const Options &options) {
  g_print("\n1. plugin_start -> SendReceived vs bare synchronous Send (%d rounds after %d warm-up)\n",
          options.sends, options.warmup);
  if (!rig.set_fault("none"))
    return false;
  gpointer instance = rig.create_connected();
  if (instance == nullptr)
    return false;

  g_autoptr(GVariant) options_dict = nullptr;
  {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&builder, "{sv}", "bad_time", g_variant_new_boolean(TRUE));
    options_dict = g_variant_ref_sink(g_variant_builder_end(&builder));
  }
  std::vector<gint64> plugin_latency, start_return, bare_latency, bare_return;
  bool ok = true;
  size_t next = arrivals.count();
  const int total = options.warmup + options.sends;
  for (int round = 0; round < total && ok; round++) {
    const bool measured = round >= options.warmup;

    gint64 t0 = g_get_monotonic_time();
    plugin.start(instance);
    gint64 returned = g_get_monotonic_time();
    gint64 arrived = arrivals.wait_for(next++, kWaitUs);
    if (arrived < 0 || !rig.wait_idle(instance)) {
      g_printerr("round %d: the plug-in's Send %s\n", round, arrived < 0 ? "never arrived" : "never ended");
      ok = false;
      break;
    }
    if (measured) {
      plugin_latency.push_back(arrived - t0);
      start_return.push_back(returned - t0);
    }

    g_autoptr(GError) error = nullptr;
    t0 = g_get_monotonic_time();
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        rig.shared(), kSendName, kSendPath, kSendName, "Send",
        g_variant_new("(y@a{sv}sa{sv})", kMessageType, options_dict, kSystemId, nullptr), G_VARIANT_TYPE("()"),
        G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, &error);
    returned = g_get_monotonic_time();
    if (reply == nullptr) {
      g_printerr("round %d: bare Send failed: %s\n", round, error->message);
      ok = false;
      break;
    }
    arrived = arrivals.wait_for(next++, kWaitUs);
    if (arrived < 0) {
      g_printerr("round %d: the bare Send's signal never arrived\n", round);
      ok = false;
      break;
    }
    if (measured) {
      bare_latency.push_back(arrived - t0);
      bare_return.push_back(returned - t0);
    }
  }
  plugin.free(instance);
  rig.clear_calls();

  std::string first;
  const size_t warnings = plugin_warnings.take(&first);
  if (warnings > 0)
    g_printerr("the plug-in logged %zu warnings, first: %s\n", warnings, first.c_str());
  if (!ok)
    return false;

  const bench::Spread plugin_s = bench::spread(plugin_latency), bare_s = bench::spread(bare_latency);
  print_stats("plugin_start -> SendReceived", plugin_s);
  print_stats("bare Send call -> SendReceived", bare_s);
  print_stats("plugin_start returns", bench::spread(start_return));
  print_stats("bare Send call returns (reply)", bench::spread(bare_return));
  g_print("  ratio plugin/bare to SendReceived:          p50 %.2f  p99 %.2f\n", bench::ratio(plugin_s.p50, bare_s.p50),
          bench::ratio(plugin_s.p99, bare_s.p99));
  return warnings == 0;
}

/* ---- 2. plugin_free ----------------------------------------------------- */

bool bench_free(Rig &rig, const ph::Plugin &plugin, const Options &options) {
  g_print("\n2. plugin_free (%d rounds each)\n", options.rounds);
  std::vector<gint64> blocked, idle;
  bool ok = rig.set_fault("block");
  for (int round = 0; round < options.rounds && ok; round++) {
    gpointer instance = rig.create_connected();
    if (instance == nullptr) {
      ok = false;
      break;
    }
    const size_t index = arrivals.count();
    plugin.start(instance);
    /* Recorded and signalled, then held by the service. */
    if (arrivals.wait_for(index, kWaitUs) < 0 || !plugin.check_running(instance)) {
      g_printerr("round %d: the Send was not held by the service\n", round);
      plugin.free(instance);
      ok = false;
      break;
    }
    const gint64 t0 = g_get_monotonic_time();
    plugin.free(instance);
    blocked.push_back(g_get_monotonic_time() - t0);
  }
  std::string first;
  /* Each cancelled Send is a warning of the plug-in. */
  const size_t cancelled = plugin_warnings.take(&first);

  ok = rig.set_fault("none") && ok;
  for (int round = 0; round < options.rounds && ok; round++) {
    gpointer instance = rig.create_connected();
    if (instance == nullptr) {
      ok = false;
      break;
    }
    const gint64 t0 = g_get_monotonic_time();
    plugin.free(instance);
    idle.push_back(g_get_monotonic_time() - t0);
  }
  rig.clear_calls();
  std::string unexpected_first;
  const size_t unexpected = plugin_warnings.take(&unexpected_first);
  if (unexpected > 0)
    g_printerr("the plug-in logged %zu warnings freeing idle instances, first: %s\n", unexpected,
               unexpected_first.c_str());
  if (!ok)
    return false;

  const bench::Spread b = bench::spread(blocked), i = bench::spread(idle);
  g_print("  %-42s p50 %8.1f us  max %8.1f us  (%zu cancelled-Send warnings%s%s)\n",
          "plugin_free, Send held by the service", b.p50, b.max, cancelled, cancelled > 0 ? ", e.g. " : "",
          first.c_str());
  g_print("  %-42s p50 %8.1f us  max %8.1f us\n", "plugin_free, connected and idle", i.p50, i.max);
  return unexpected == 0;
}

/* ---- 3. many instances ------------------------------------------------------ */

void print_instances(const char *mode, int n, gint64 create_us, gint64 free_us, const bench::ProcStat &before,
                     const bench::ProcStat &peak, const bench::ProcStat &after) {
  g_print("  %s\n", mode);
  if (create_us >= 0)
    g_print("    create %d: %9.1f ms (%.1f us each)   free %d: %9.1f ms (%.1f us each)\n", n, create_us / 1000.0,
            static_cast<double>(create_us) / n, n, free_us / 1000.0, static_cast<double>(free_us) / n);
  else
    g_print("    create+free %d: %9.1f ms (%.1f us per pair)\n", n, free_us / 1000.0,
            static_cast<double>(free_us) / n);
  g_print("    threads  before %ld  peak %ld  after %ld\n", before.threads, peak.threads, after.threads);
  g_print("    VmRSS    before %ld kB  peak %ld kB  after %ld kB\n", before.rss_kb, peak.rss_kb, after.rss_kb);
}

bool bench_instances(Rig &rig, const ph::Plugin &plugin, const Options &options) {
  const int n = options.instances;
  g_print("\n3. %d instances in one host (the bench's sampler thread is counted)\n", n);
  {
    std::vector<gpointer> instances;
    instances.reserve(static_cast<size_t>(n));
    Sampler sampler;
    const bench::ProcStat before = read_status();
    const gint64 t0 = g_get_monotonic_time();
    for (int i = 0; i < n; i++) {
      instances.push_back(rig.create());
      sampler.note();
    }
    const gint64 t1 = g_get_monotonic_time();
    for (gpointer instance : instances)
      plugin.free(instance);
    const gint64 t2 = g_get_monotonic_time();
    sampler.note();
    print_instances("all created, then all freed", n, t1 - t0, t2 - t1, before, sampler.peak(), read_status());
  }
  {
    Sampler sampler;
    const bench::ProcStat before = read_status();
    const gint64 t0 = g_get_monotonic_time();
    for (int i = 0; i < n; i++) {
      gpointer instance = rig.create();
      sampler.note();
      plugin.free(instance);
    }
    const gint64 t1 = g_get_monotonic_time();
    sampler.note();
    print_instances("create/free pairs", n, -1, t1 - t0, before, sampler.peak(), read_status());
  }
  std::string first;
  const size_t warnings = plugin_warnings.take(&first);
  if (warnings > 0)
    g_printerr("the plug-in logged %zu warnings creating and freeing instances, first: %s\n", warnings,
               first.c_str());
  return warnings == 0;
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  const GOptionEntry entries[] = {
      {"sends", 0, 0, G_OPTION_ARG_INT, &options.sends, "Measured Sends of each kind (default 1000)", "N"},
      {"warmup", 0, 0, G_OPTION_ARG_INT, &options.warmup, "Unmeasured Sends of each kind first (default 50)", "N"},
      {"rounds", 0, 0, G_OPTION_ARG_INT, &options.rounds, "Rounds of each plugin_free figure (default 50)", "N"},
      {"instances", 0, 0, G_OPTION_ARG_INT, &options.instances, "Instances created and freed (default 1000)",
       "N"},
      {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr},
  };
  bench::parse_options(&argc, &argv, "- libtelvo's Send latency, plugin_free and instance costs", nullptr, entries);
  if (options.sends < 1 || options.warmup < 0 || options.rounds < 1 || options.instances < 1) {
    g_printerr("plugin-bench: --sends, --rounds and --instances must be positive, --warmup not negative\n");
    return 2;
  }

  bench::default_paths();
  const std::string path = bench::program("TELVO_PLUGIN");
  const ph::Plugin &plugin = ph::plugin();

  g_log_set_default_handler(count_warnings, nullptr);
  Action action;
  bool ok = true;
  {
    Rig rig(plugin, action);
    g_print("plugin-bench: %s against %s --no-bluez\n", path.c_str(),
            bench::program("BEACON_SENDER_BIN").c_str());
    ok = bench_latency(rig, plugin, options) && ok;
    ok = bench_free(rig, plugin, options) && ok;
    ok = bench_instances(rig, plugin, options) && ok;
  }
  g_log_set_default_handler(g_log_default_handler, nullptr);
  std::string first;
  if (const size_t errors = feedback_errors.take(&first)) {
    g_printerr("plugin-bench: %zu feedback errors, first: %s\n", errors, first.c_str());
    ok = false;
  }
  return ok ? 0 : 1;
}

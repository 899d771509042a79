/* control-bench: authorised List calls on kavrod's control service
 * (com.vemo.bt.ReceiveVemoBeacon) against a bare GDBus method of the same
 * shape without access check (bare-method), both on one private bus.
 *
 * The bus carries bluez-sim (one adapter, so the control service is up),
 * action-engine-sim with one rule carrying the System ID, kavrod
 * (G_MESSAGES_DEBUG unset, VESK_POLICY=/nonexistent: root only) and
 * bare-method. The bench calls as root, so every List is allowed. For
 * each target: a warm-up, then --calls sequential synchronous calls
 * (calls/s, p50, p99, max of each call), then --pipelined calls with
 * --depth in flight (calls/s and the per-call latency under that load),
 * with the server's CPU time per call (/proc/<pid>/stat utime+stime), and
 * the ratios kavrod/bare.
 *
 * With --instructions N both servers run under callgrind and the bench
 * prints the instructions (all threads) each spends per call, counted over
 * N sequential and N pipelined calls only (see callgrind.h), instead of
 * the timed figures.
 *
 * Run from a build directory (as root; it starts its own dbus-daemon):
 *   bench/control-bench [--target both|kavrod|bare] [--calls 20000]
 *       [--pipelined 20000] [--depth 64] [--instructions N]
 * Defaults as shown; --depth stays below the bus's 128 pending replies per
 * connection. Programs come from this build; override with KAVROD_BIN,
 * BLUEZ_SIM_BIN, ACTION_ENGINE_SIM_BIN, BARE_METHOD_BIN. */
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "bench.h"
#include "callgrind.h"

namespace {

using bench::kSystemId;
constexpr int kWarmup = 500;
constexpr int kMaxDepth = 120;  // the bus refuses more than 128 pending replies

struct Options {
  std::string target = "both";
  int calls = 20000;
  int pipelined = 20000;
  int depth = 64;
  int instructions = 0; /* calls per callgrind window; 0: timed mode */
};

/* Where and what to call. */
struct Endpoint {
  const char *label, *name, *path, *interface;
};

constexpr Endpoint kKavrod = {"kavrod", bench::kReceiveName, bench::kReceivePath, bench::kReceiveName};
constexpr Endpoint kBare = {"bare", "com.vemo.Bench.BareMethod", "/com/vemo/Bench/BareMethod",
                            "com.vemo.Bench.BareMethod1"};

class Rig {
 public:
  explicit Rig(bench::Callgrind *callgrind = nullptr) {
    auto wrap = [callgrind](std::vector<std::string> argv) {
      return callgrind != nullptr ? callgrind->wrap(argv) : argv;
    };
    const int start_ms = callgrind != nullptr ? 120000 : 15000;
    bluez_ = bench::start_bluez(bus_);
    engine_ = bench::start_engine(bus_, rules_.path());
    kavrod_ = std::make_unique<th::Process>(wrap({bench::program("KAVROD_BIN")}), bench::kTarget);
    bare_ = std::make_unique<th::Process>(wrap({bench::program("BARE_METHOD_BIN"), "--value", kSystemId}),
                                          bench::kTarget);
    if (!bus_.wait_for_name(kBare.name, start_ms))
      bench::fail("bare-method did not start", *bare_);
    // The control service answers once kavrod has read the System ID.
    if (!th::wait_until([this] { return list_once(kKavrod) == kSystemId; }, start_ms))
      bench::fail("kavrod's List does not answer the System ID: " + list_once(kKavrod), *kavrod_);
  }

  Rig(const Rig &) = delete;
  Rig &operator=(const Rig &) = delete;

  ~Rig() {
    for (auto *process : {kavrod_.get(), bare_.get()})
      bench::stop(*process, "a server");
  }

  GDBusConnection *connection() { return bus_.connection(); }
  pid_t pid(const Endpoint &endpoint) const {
    return &endpoint == &kKavrod ? kavrod_->pid() : bare_->pid();
  }

  /* The one string List answers, or the error. */
  std::string list_once(const Endpoint &endpoint) {
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply =
        th::call(bus_.connection(), endpoint.name, endpoint.path, endpoint.interface, "List", nullptr, "(as)", &error);
    if (reply == nullptr)
      return std::string("<error: ") + error->message + ">";
    g_autofree const gchar **ids = nullptr;
    g_variant_get(reply, "(^a&s)", &ids);
    return g_strv_length(const_cast<gchar **>(ids)) == 1 ? ids[0] : "<not one element>";
  }

 private:
  th::Bus bus_;  // first: it sets DBUS_SYSTEM_BUS_ADDRESS for the others
  std::unique_ptr<th::Process> bluez_;
  bench::TempFile rules_{"control-bench-rules-XXXXXX.conf", bench::idle_rule(kSystemId)};
  std::unique_ptr<th::Process> engine_, kavrod_, bare_;
};

struct Result {
  std::string target, mode;
  int calls = 0, errors = 0;
  double calls_per_s = 0, p50_us = 0, p99_us = 0, max_us = 0, server_cpu_us = 0;
};

void summarise(Result *result, const std::vector<gint64> &latencies, gint64 span_us, double cpu_us_total) {
  if (latencies.empty())
    return;
  const size_t n = latencies.size();
  const bench::Spread us = bench::spread(latencies);
  result->p50_us = us.p50;
  result->p99_us = us.p99;
  result->max_us = us.max;
  result->calls_per_s = span_us > 0 ? static_cast<double>(n) * 1e6 / static_cast<double>(span_us) : 0;
  result->server_cpu_us = cpu_us_total / static_cast<double>(n);
}

std::string first_error;

bool check_reply(GVariant *reply, GError *error) {
  if (reply != nullptr && g_variant_is_of_type(reply, G_VARIANT_TYPE("(as)")))
    return true;
  if (first_error.empty())
    first_error = error != nullptr ? error->message : "a reply of another type";
  return false;
}

Result sequential(Rig &rig, const Endpoint &endpoint, int calls) {
  Result result{endpoint.label, "sequential"};
  result.calls = calls;
  std::vector<gint64> latencies;
  latencies.reserve(static_cast<size_t>(calls));
  const double cpu_before = bench::cpu_us(rig.pid(endpoint));
  const gint64 start = g_get_monotonic_time();
  for (int i = 0; i < calls && !bench::interrupted(); i++) {
    g_autoptr(GError) error = nullptr;
    const gint64 t = g_get_monotonic_time();
    g_autoptr(GVariant) reply =
        g_dbus_connection_call_sync(rig.connection(), endpoint.name, endpoint.path, endpoint.interface, "List",
                                    nullptr, G_VARIANT_TYPE("(as)"), G_DBUS_CALL_FLAGS_NONE, 25000, nullptr, &error);
    latencies.push_back(g_get_monotonic_time() - t);
    if (!check_reply(reply, error))
      result.errors++;
    // Signals from the unix signal sources wait on the main context.
    g_main_context_iteration(nullptr, FALSE);
  }
  const gint64 span = g_get_monotonic_time() - start;
  summarise(&result, latencies, span, bench::cpu_us(rig.pid(endpoint)) - cpu_before);
  return result;
}

/* @depth calls in flight until @calls were answered. */
class Pipeline {
 public:
  Pipeline(Rig &rig, const Endpoint &endpoint, int calls, int depth)
      : rig_(rig), endpoint_(endpoint), calls_(calls), depth_(depth) {}

  Result run() {
    Result result{endpoint_.label, "pipelined x" + std::to_string(depth_)};
    result.calls = calls_;
    latencies_.reserve(static_cast<size_t>(calls_));
    const double cpu_before = bench::cpu_us(rig_.pid(endpoint_));
    loop_ = g_main_loop_new(nullptr, FALSE);
    const gint64 start = g_get_monotonic_time();
    fill();
    if (answered_ < calls_)
      g_main_loop_run(loop_);
    const gint64 span = g_get_monotonic_time() - start;
    // Calls still out (interrupted): their replies need this object.
    while (in_flight_ > 0)
      g_main_context_iteration(nullptr, TRUE);
    g_clear_pointer(&loop_, g_main_loop_unref);
    result.errors = errors_;
    summarise(&result, latencies_, span, bench::cpu_us(rig_.pid(endpoint_)) - cpu_before);
    return result;
  }

 private:
  struct Call {
    Pipeline *self;
    gint64 start;
  };

  void fill() {
    while (!bench::interrupted() && sent_ < calls_ && in_flight_ < depth_) {
      sent_++;
      in_flight_++;
      g_dbus_connection_call(rig_.connection(), endpoint_.name, endpoint_.path, endpoint_.interface, "List", nullptr,
                             G_VARIANT_TYPE("(as)"), G_DBUS_CALL_FLAGS_NONE, 25000, nullptr, on_reply,
                             new Call{this, g_get_monotonic_time()});
    }
  }

  static void on_reply(GObject *source, GAsyncResult *res, gpointer user_data) {
    auto *call = static_cast<Call *>(user_data);
    Pipeline *self = call->self;
    self->latencies_.push_back(g_get_monotonic_time() - call->start);
    delete call;
    self->in_flight_--;
    self->answered_++;
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), res, &error);
    if (!check_reply(reply, error))
      self->errors_++;
    self->fill();
    if (self->loop_ != nullptr &&
        (self->answered_ >= self->calls_ || (bench::interrupted() && self->in_flight_ == 0)))
      g_main_loop_quit(self->loop_);
  }

  Rig &rig_;
  const Endpoint &endpoint_;
  const int calls_, depth_;
  int sent_ = 0, answered_ = 0, in_flight_ = 0, errors_ = 0;
  GMainLoop *loop_ = nullptr;
  std::vector<gint64> latencies_;
};

/* Instructions per call of @endpoint's server over @calls sequential and
 * @calls pipelined calls. */
std::vector<Result> count(Rig &rig, bench::Callgrind &callgrind, const Endpoint &endpoint, int calls, int depth) {
  std::vector<Result> results;
  const pid_t pid = rig.pid(endpoint);
  for (int pipelined = 0; pipelined < 2; pipelined++) {
    bench::wait_quiet(pid);
    bench::Callgrind::zero(pid);
    Result result = pipelined ? Pipeline(rig, endpoint, calls, depth).run() : sequential(rig, endpoint, calls);
    bench::wait_quiet(pid);
    // The instruction count goes where the timed mode puts CPU time.
    result.server_cpu_us = static_cast<double>(callgrind.dump(pid)) / calls;
    results.push_back(result);
  }
  return results;
}

void print_counts(const std::vector<Result> &results) {
  printf("\nList calls, root caller, private bus: instructions of the server per call (callgrind, all threads, "
         "measured windows only)\n\n");
  printf("%-7s %-14s %7s %6s %14s\n", "target", "mode", "calls", "errors", "instr/call");
  for (const auto &r : results)
    printf("%-7s %-14s %7d %6d %14.0f\n", r.target.c_str(), r.mode.c_str(), r.calls, r.errors, r.server_cpu_us);
  bench::pairs(results, &Result::mode, [](const Result &k, const Result &b) {
    if (b.server_cpu_us > 0)
      printf("ratio kavrod / bare, %-14s %6.2f\n", k.mode.c_str(), k.server_cpu_us / b.server_cpu_us);
  });
  fflush(stdout);
}

void print(const std::vector<Result> &results) {
  printf("\nList calls, root caller, private bus (kavrod: access-checked control service; bare: plain GDBus "
         "method)\n\n");
  printf("%-7s %-14s %7s %6s %10s %9s %9s %9s %14s\n", "target", "mode", "calls", "errors", "calls/s", "p50 us",
         "p99 us", "max us", "server us/call");
  for (const auto &r : results)
    printf("%-7s %-14s %7d %6d %10.0f %9.0f %9.0f %9.0f %14.1f\n", r.target.c_str(), r.mode.c_str(), r.calls,
           r.errors, r.calls_per_s, r.p50_us, r.p99_us, r.max_us, r.server_cpu_us);
  bool header = false;
  bench::pairs(results, &Result::mode, [&](const Result &k, const Result &b) {
    if (b.calls_per_s <= 0 || b.p50_us <= 0 || b.p99_us <= 0)
      return;
    if (!std::exchange(header, true))
      printf("\nratios kavrod / bare\n%-14s %10s %8s %8s %14s\n", "mode", "calls/s", "p50", "p99", "CPU/call");
    printf("%-14s %10.2f %8.2f %8.2f %14.2f\n", k.mode.c_str(), k.calls_per_s / b.calls_per_s, k.p50_us / b.p50_us,
           k.p99_us / b.p99_us, bench::ratio(k.server_cpu_us, b.server_cpu_us));
  });
  fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  g_autofree gchar *target = nullptr;
  const GOptionEntry entries[] = {
      {"target", 0, 0, G_OPTION_ARG_STRING, &target, "both, kavrod or bare (default both)", "T"},
      {"calls", 0, 0, G_OPTION_ARG_INT, &options.calls, "Sequential calls (default 20000)", "N"},
      {"pipelined", 0, 0, G_OPTION_ARG_INT, &options.pipelined, "Pipelined calls (default 20000)", "N"},
      {"depth", 0, 0, G_OPTION_ARG_INT, &options.depth, "Pipelined calls in flight (default 64)", "N"},
      {"instructions", 0, 0, G_OPTION_ARG_INT, &options.instructions,
       "Count instructions under callgrind instead, N calls per window (try 2000)", "N"},
      {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr},
  };
  bench::parse_options(&argc, &argv, "- List calls per second and latency", nullptr, entries);
  if (target != nullptr)
    options.target = target;
  bench::check_target(options.target);
  if (options.calls < 1 || options.pipelined < 1 || options.depth < 1 || options.depth > kMaxDepth) {
    g_printerr("control-bench: --calls and --pipelined must be positive, --depth 1..%d\n", kMaxDepth);
    return 2;
  }
  if (getuid() != 0) {
    // Without a policy file only root may call List.
    g_printerr("control-bench: run as root: kavrod allows only root to call List here\n");
    return 2;
  }

  bench::catch_interrupts();
  std::vector<Result> results;
  const bool counting = options.instructions > 0;
  try {
    g_printerr("== %sstarting bus, bluez-sim, action-engine-sim, kavrod and bare-method\n",
               counting ? "under callgrind: " : "");
    std::unique_ptr<bench::Callgrind> callgrind(counting ? new bench::Callgrind : nullptr);
    Rig rig(callgrind.get());
    for (const Endpoint *endpoint : {&kKavrod, &kBare}) {
      if (!bench::wants(options.target, endpoint->label))
        continue;
      if (counting) {
        sequential(rig, *endpoint, 50);
        auto counted = count(rig, *callgrind, *endpoint, options.instructions, options.depth);
        results.insert(results.end(), counted.begin(), counted.end());
        continue;
      }
      g_printerr("   %s: warm-up, %d sequential, %d pipelined x%d\n", endpoint->label, options.calls,
                 options.pipelined, options.depth);
      sequential(rig, *endpoint, kWarmup);
      results.push_back(sequential(rig, *endpoint, options.calls));
      results.push_back(Pipeline(rig, *endpoint, options.pipelined, options.depth).run());
      if (bench::interrupted())
        throw std::runtime_error("interrupted");
    }
  } catch (const std::exception &e) {
    g_printerr("control-bench: %s\n", e.what());
    return 1;
  }
  if (!first_error.empty())
    g_printerr("note: some calls failed, first: %s\n", first_error.c_str());
  if (counting)
    print_counts(results);
  else
    print(results);
  return 0;
}

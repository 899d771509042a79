/* The bench library: what every bench and soak program needs besides its
 * own measurement. Programs from this build, the command line, a private
 * bus with the simulators, CPU time and memory of a process from /proc,
 * percentile figures, beacons to inject, and a verdict for the soaks.
 * Private buses and processes come from the test harness (harness.h). */
#pragma once

#include <gio/gio.h>
#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"

namespace bench {

/* ---- programs and command line ------------------------------------------ */

/* The program named by $@variable, else this build's (KAVROD_BIN,
 * BLUEZ_SIM_BIN, ACTION_ENGINE_SIM_BIN, BEACON_SENDER_BIN, TELVO_PLUGIN,
 * BARE_RELAY_BIN, BARE_METHOD_BIN, BUS_POLICY_FILE). */
std::string program(const char *variable);

/* Points the harness (th::env_path) at this build's programs unless the
 * environment already names them (the test suite sets the same
 * variables). */
void default_paths();

/* Parses the command line; exits 2 with "<program>: <message>" on a bad
 * option or when an integer option in @positive is not above zero.
 * @parameter and @summary as g_option_context_new and _set_summary take
 * them (either may be nullptr). */
void parse_options(int *argc, char ***argv, const char *parameter, const char *summary,
                   const GOptionEntry *entries,
                   std::initializer_list<std::pair<const char *, gint64>> positive = {});

/* --target of the benches that set kavrod against a bare program: exits 2
 * unless it is both, kavrod or bare. wants(): whether it includes @label. */
void check_target(const std::string &target);
bool wants(const std::string &target, const std::string &label);

/* SIGINT and SIGTERM set interrupted() instead of ending the program, so
 * that it stops its processes; seen while the main context runs. */
void catch_interrupts();
bool interrupted();

/* ---- names on the bus ------------------------------------------------------ */

/* Spelt out here as a client would spell them, not taken from the
 * programs' own headers: a renamed service shows up as a failing bench. */
inline constexpr char kReceiveName[] = "com.vemo.bt.ReceiveVemoBeacon";
inline constexpr char kReceivePath[] = "/com/vemo/bt/ReceiveVemoBeacon";
inline constexpr char kDiagnostics[] = "com.vemo.bt.ReceiveVemoBeacon.Diagnostics";
inline constexpr char kSendName[] = "com.vemo.bt.SendVemoBeacon";
inline constexpr char kSendPath[] = "/com/vemo/bt/SendVemoBeacon";
inline constexpr char kSendControl[] = "com.vemo.Sim.SendVemoBeacon1";
inline constexpr char kEngineName[] = "com.vemo.Event.ActionEngine.User";
inline constexpr char kEnginePath[] = "/com/vemo/Event/ActionEngine";
inline constexpr char kRuleInterface[] = "com.vemo.Event.ActionEngine.ActionRule";
inline constexpr char kEngineControl[] = "com.vemo.Sim.ActionEngine1";
inline constexpr char kProducerInterface[] = "com.vemo.Event.Producer1";
inline constexpr char kTopic[] = "tns1:Device/tnsvemo:Bluetooth/tnsvemo:BeaconReceived";
/* The System ID the benches' own beacons carry. */
inline constexpr char kSystemId[] = "5b0c9a3e-1f2d-4c6b-8e7a-9d0f1e2a3b4c";

/* A call on bluez-sim's control interface; the reply or nullptr with
 * @error set. */
GVariant *bluez_control(GDBusConnection *connection, const char *method, GVariant *params, const char *reply_type,
                        GError **error, int timeout_ms = 5000);

/* ---- a private bus with the simulators ---------------------------------- */

/* Environment of a simulator or target whose logs would cost time. */
extern const std::map<std::string, std::string> kQuiet;
/* Environment of a measured target: quiet, plain malloc (valgrind on GLib
 * 2.74 needs it for GSlice), and no access policy (root only). */
extern const std::map<std::string, std::string> kTarget;

/* A file removed with its owner. */
class TempFile {
 public:
  /* A new file named after @pattern (g_file_open_tmp) holding @text. */
  TempFile(const char *pattern, const std::string &text);
  ~TempFile();
  TempFile(const TempFile &) = delete;
  TempFile &operator=(const TempFile &) = delete;
  const std::string &path() const { return path_; }
  /* Replaces the file (a new inode, as an editor would) with @text. */
  void write(const std::string &text) const;

 private:
  std::string path_;
};

/* The program $@variable names (see program()) with @args, quiet, on @bus;
 * waits until it owns @name. Throws std::runtime_error with its log when
 * it does not come up. */
std::unique_ptr<th::Process> start_service(th::Bus &bus, const char *variable, const std::vector<std::string> &args,
                                           const char *name);
/* For a rig's constructor: throws std::runtime_error "@what; its log:" and
 * @process's log, so that the members started so far stop. */
[[noreturn]] void fail(const std::string &what, const th::Process &process);
/* Stops @process (called @label in the warning) with SIGTERM; warns with
 * its log when it exits otherwise than with 0. */
void stop(th::Process &process, const char *label);

/* bluez-sim with @args (it owns org.bluez and its control name). */
std::unique_ptr<th::Process> start_bluez(th::Bus &bus, const std::vector<std::string> &args = {});
/* action-engine-sim with the rules in @rules_path ("": none). */
std::unique_ptr<th::Process> start_engine(th::Bus &bus, const std::string &rules_path);
/* One enabled rule carrying @system_id whose start event names a topic no
 * one sends: the engine reads the System ID but never fires. */
std::string idle_rule(const char *system_id);

/* 1 when bluez-sim holds an activated monitor of @client (of anyone with
 * nullptr), 0 when not, -1 when it cannot tell. */
int monitor_active(GDBusConnection *connection, const char *client = nullptr);

/* For the soaks (daemon_fixture.h's kt::DaemonTest as @Fixture): bluez-sim
 * with @bluez_args, the engine with @rules and kavrod, all quiet; whether
 * kavrod reads System ID @id and monitors. */
template <typename Fixture>
bool start_daemon(Fixture &t, const std::vector<std::string> &bluez_args, const std::string &rules,
                  const std::string &id) {
  t.bluez = start_bluez(t.bus, bluez_args);
  t.start_engine(rules);
  t.start_kavrod({}, kQuiet);
  return t.wait_systemid(id) && t.wait_monitors(1);
}

/* Arrival times of a signal, taken as it comes off the socket (a
 * connection filter on GDBus's worker thread) before it queues for the main
 * thread, and read by the measuring thread. */
class Arrivals {
 public:
  /* Records the signals @interface.@member on @connection from now on and
   * consumes them; @ours (may be nullptr: all are) tells those to time
   * from others, which are only counted. The filter's id. */
  guint watch(GDBusConnection *connection, const char *interface, const char *member,
              bool (*ours)(GDBusMessage *) = nullptr);
  /* Times the next @capacity arrivals (earlier ones are forgotten); later
   * ones are only counted. */
  void arm(size_t capacity = SIZE_MAX);
  /* Stops timing and counting: late signals of a phase are ignored. */
  void disarm();
  size_t count() const;
  size_t others() const;
  std::vector<gint64> times() const;
  /* The arrival time of the signal numbered @index since arm(), or -1
   * when it did not come within @timeout_us. */
  gint64 wait_for(size_t index, gint64 timeout_us);

 private:
  static GDBusMessage *filter(GDBusConnection *, GDBusMessage *message, gboolean incoming, gpointer self);
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<gint64> times_;
  size_t capacity_ = 0, count_ = 0, others_ = 0;
  bool armed_ = false;
  std::string interface_, member_;
  bool (*ours_)(GDBusMessage *) = nullptr;
};

/* ---- process figures ----------------------------------------------------- */

/* Figures of a process, read from /proc; -1 where unreadable. */
struct ProcStat {
  long fds = -1;
  long rss_kb = -1;
  long threads = -1;
  double cpu_s = -1;  // user + system
};
ProcStat proc_stat(pid_t pid);
/* Only RSS and threads (/proc/PID/status): cheap enough to sample often. */
ProcStat proc_status(pid_t pid);
std::string describe(const ProcStat &s);

/* utime + stime of @pid in clock ticks, or 0 when unreadable. */
guint64 process_ticks(pid_t pid);
double ticks_to_us(guint64 ticks);
/* utime + stime of @pid in microseconds. */
double cpu_us(pid_t pid);

/* Waits until @pid used no CPU for @quiet_ms (it has handled what was sent
 * to it), iterating the default main context meanwhile. */
void wait_quiet(pid_t pid, int quiet_ms = 600, int timeout_ms = 120000);

/* ---- figures ---------------------------------------------------------------- */

/* Median, 99th percentile and maximum of samples, each times the scale
 * given: the sorted sample at q * n. Zeros without samples. */
struct Spread {
  double p50 = 0, p99 = 0, max = 0;
};
Spread spread(std::vector<double> samples, double scale = 1);
Spread spread(const std::vector<gint64> &samples, double scale = 1);

/* @a / @b, 0 when @b is not above zero. */
double ratio(double a, double b);

/* For the tables of kavrod against bare: @f(k, b) for each row k of target
 * @first and row b of target @second with the same @key. */
template <typename Row, typename F>
void pairs(const std::vector<Row> &rows, std::string Row::*key, F f, const char *first = "kavrod",
           const char *second = "bare") {
  for (const Row &k : rows)
    if (k.target == first)
      for (const Row &b : rows)
        if (b.target == second && b.*key == k.*key)
          f(k, b);
}

/* ---- beacons --------------------------------------------------------------- */

/* The 19 bytes after the company identifier: version, System ID, event,
 * sequence number. */
GVariant *beacon_payload(const std::string &systemid, guint8 event, guint8 sequence);
/* "C0:FF:EE:xx:xx:xx" from the low 24 bits of @n; @prefix replaces "C0:FF". */
std::string address(guint32 n, const char *prefix = "C0:FF");
/* bluez-sim's InjectAdvertisement of @payload (our company's data) from
 * @address on @adapter, RSSI -60; @callback (may be nullptr) gets the
 * reply. */
void inject(GDBusConnection *connection, const char *adapter, const std::string &address, GVariant *payload,
            int timeout_ms, GAsyncReadyCallback callback, gpointer user_data);

/* Calls in flight and their failures, counted by on_reply (user data: the
 * Calls); the caller counts a call in when it makes it. */
struct Calls {
  guint64 in_flight = 0, failed = 0;
  std::string first_error;
  static void on_reply(GObject *source, GAsyncResult *result, gpointer calls);
};

/* The unique name that owns @name, or "" when none does. */
std::string name_owner(GDBusConnection *connection, const char *name);

/* ---- verdict ---------------------------------------------------------------- */

/* Collects broken invariants; the program exits 1 when any broke. */
class Verdict {
 public:
  void check(bool ok, const char *format, ...) G_GNUC_PRINTF(3, 4);
  unsigned failures() const { return failures_; }
  int exit_status() const;

 private:
  unsigned failures_ = 0;
};

}  // namespace bench

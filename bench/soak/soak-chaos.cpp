/* Chaos soak: kavrod against bluez-sim and action-engine-sim while faults
 * drawn at random from a seeded schedule hit it one after another, and own
 * beacons (with foreign ones among them) arrive at a steady rate.
 *
 * After each fault kavrod must reach the right state (Status) within the
 * back-off ceiling plus a processing allowance; then, after a quiet window
 * of one ceiling, every own beacon must become exactly one event. Status
 * must never say `listening` while bluez-sim holds no active monitor of
 * kavrod's: the two are compared in quiet windows, and whenever a
 * disagreement outlives the ceiling. No beacon may ever become two events,
 * no foreign beacon any; no event may come while paused. kavrod's fds and
 * RSS must stay flat after the warm-up, and it must exit 0 on SIGTERM.
 *
 * The schedule (kinds, holds, counts, System IDs) follows from the seed;
 * timing does not, so a replay repeats the faults, not every interleaving. */
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <set>

#include "bench.h"
#include "daemon_fixture.h"

namespace {

gint faults = 10000;
gchar *seed_text = nullptr;
gint first_ms = 5;
gint ceiling_ms = 50;
gint interval_ms = 5;
gint quiet_beacons = 4;
gint warmup = 0;
gint rss_bound = 10;
gboolean no_fifo = FALSE;
gint reach_bound_ms = 0;
GOptionEntry entries[] = {
    {"faults", 'n', 0, G_OPTION_ARG_INT, &faults, "Faults to inject (default 10000)", "N"},
    {"seed", 's', 0, G_OPTION_ARG_STRING, &seed_text, "Seed of the schedule (default: random, printed)", "S"},
    {"backoff-first", 0, 0, G_OPTION_ARG_INT, &first_ms,
     "kavrod's first re-registration delay, via KAVROD_RETRY_MS (default 5 ms)", "MS"},
    {"backoff-ceiling", 'c', 0, G_OPTION_ARG_INT, &ceiling_ms,
     "kavrod's back-off ceiling, via KAVROD_RETRY_MS; also the quiet time after each fault (default 50 ms)", "MS"},
    {"interval", 'i', 0, G_OPTION_ARG_INT, &interval_ms, "Time between beacons; every 4th is foreign (default 5 ms)",
     "MS"},
    {"quiet-beacons", 'q', 0, G_OPTION_ARG_INT, &quiet_beacons,
     "Own beacons checked in the quiet window after each fault (default 4)", "N"},
    {"warmup", 'w', 0, G_OPTION_ARG_INT, &warmup, "Faults before the RSS/fd baseline (default a tenth, at most 500)",
     "N"},
    {"rss-bound", 0, 0, G_OPTION_ARG_INT, &rss_bound,
     "Allowed RSS growth after the warm-up in percent; -1 prints it only (sanitizer builds) (default 10)", "P"},
    {"reach-bound", 0, 0, G_OPTION_ARG_INT, &reach_bound_ms,
     "Only fail when Status is not in the right state this long after a fault (scaled by $TEST_TIMEOUT_SCALE); "
     "later than the ceiling is then a printed figure, not a failure (default 0: fail after the ceiling)",
     "MS"},
    {"no-fifo", 0, 0, G_OPTION_ARG_NONE, &no_fifo,
     "Break the policy file otherwise where the schedule makes it a FIFO (same schedule)", nullptr},
    {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};

const char kForeignId[] = "0b5e55ed-f00d-4bad-8c0d-e5ca1ab1e000";
const char kListening[] = "listening";
constexpr guint kOwnSenders = 8;
constexpr guint kForeignSenders = 4;
constexpr guint kMaxInFlight = 16;
/* kavrod's List call time-out (fixed in kavrod, not scaled). */
constexpr gint64 kListTimeoutMs = 5000;
constexpr int kFaultsAfterHang = 30;

enum Kind {
  kBluezKilled,
  kBluezLeft,
  kRefused,
  kReleased,
  kAdapterRenamed,
  kEngineKilled,
  kEngineRestarted,
  kEngineHung,
  kSystemIdChanged,
  kPolicy,
  kFlood,
  kMalformed,
  kPauseResume,
  kKinds
};
const char *const kKindNames[kKinds] = {
    "BlueZ killed and restarted",  "BlueZ left and returned",        "RegisterMonitor refused",
    "monitor released",            "adapter back under a new name", "engine killed, started later",
    "engine restarted",            "engine hung past the time-out", "System ID changed in the rules",
    "policy rewritten, broken, restored", "PropertiesChanged flood", "malformed ObjectManager signal",
    "Pause/Resume"};

const char *kind_name(int kind) { return kind >= 0 && kind < kKinds ? kKindNames[kind] : "start"; }

enum Phase { kInside, kQuiet, kPhases };

gint64 now_us() { return g_get_monotonic_time(); }
double ms_since(gint64 from) { return static_cast<double>(now_us() - from) / 1000.0; }

/* Iterates the main context (the beacon timer keeps running) for @ms. */
void sleep_ms(gint64 ms) {
  if (ms <= 0) {
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    return;
  }
  bool done = false;
  g_timeout_add(static_cast<guint>(ms), +[](gpointer p) -> gboolean {
    *static_cast<bool *>(p) = true;
    return G_SOURCE_REMOVE;
  }, &done);
  while (!done)
    g_main_context_iteration(nullptr, TRUE);
}

/* Iterates until @cond holds or @ms passed (not scaled); the last value.
 * Not th::wait_until: that scales every time-out, also those derived from
 * the back-off ceiling, and sleeps between polls, which delays the beacons. */
template <typename F>
bool wait_for(F cond, gint64 ms) {
  const gint64 deadline = now_us() + ms * 1000;
  while (!cond()) {
    if (now_us() >= deadline)
      return cond();
    sleep_ms(1);
  }
  return true;
}

struct Status {
  bool ok = false;
  bool missing_method = false;
  std::string error;
  std::string state;
  guint64 events = 0, own_beacons = 0, failures = 0;
};

struct KindFigures {
  guint count = 0, reached = 0;
  double worst_ms = 0, sum_ms = 0;
};

class Chaos {
 public:
  Chaos(guint64 seed) : rng_(seed) {}
  int run();

 private:
  // Set-up.
  void start_bluez() { t_->bluez = bench::start_bluez(t_->bus, {"--device-timeout", "0", "--adapter", adapter_}); }
  void start_engine() { t_->engine = bench::start_engine(t_->bus, rules_.path()); }
  void write_rules() { rules_.write(kt::rule(1, own_id_) + kt::rule(2, kForeignId, false)); }
  void connect_allowed_user();

  // Beacons and events.
  static gboolean on_tick(gpointer self);
  void tick();
  static void on_injected(GObject *source, GAsyncResult *result, gpointer user_data);
  static void on_event(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *,
                       GVariant *parameters, gpointer user_data);
  static GDBusMessage *watch_reads(GDBusConnection *connection, GDBusMessage *message, gboolean incoming,
                                   gpointer user_data);
  void start_watching_reads();
  size_t reads_in_flight();

  // Observation.
  Status status();
  int monitor_active() { return bench::monitor_active(conn_, kavrod_name_.c_str()); }
  bool barrier();
  double await_state(const char *want, gint64 from, gint64 allowance_ms, bool check_id);
  void check_listening_truth(bool strict, const char *where);
  bool control_gone();
  bool responsive();
  void show_kavrod_log();

  // Faults.
  Kind draw();
  gint64 hold() { return std::uniform_int_distribution<gint64>(0, ceiling_ms)(rng_); }
  gint64 inject_fault(Kind kind);
  void quiet_window();
  void bluez_call(const char *method, GVariant *params);
  void engine_call(const char *method, GVariant *params);
  std::string new_uuid();

  gint64 allowance_ms() const { return ceiling_ms + th::scaled(500); }

  std::mt19937_64 rng_;
  bench::Verdict verdict_;
  std::unique_ptr<kt::DaemonTest> t_;
  GDBusConnection *conn_ = nullptr;
  GDBusConnection *user_conn_ = nullptr;  // the allowed non-root caller
  GDBusConnection *monitor_conn_ = nullptr;  // watches kavrod's device readings
  guint user_uid_ = 0;
  bench::TempFile policy_{"kavrod-chaos-policy-XXXXXX.conf", ""}, rules_{"kavrod-chaos-rules-XXXXXX.conf", ""};
  std::string kavrod_name_;
  std::string adapter_ = "hci0";
  guint adapter_serial_ = 0;
  std::string own_id_ = kt::kIdA;
  std::set<std::string> own_ids_;
  bool have_status_ = true;
  bool barrier_works_ = true;
  // Device readings (GetAll) kavrod has asked BlueZ for and not yet had
  // answered, by serial; seen by eavesdropping, in GDBus's worker thread.
  std::mutex reads_mutex_;
  std::set<guint32> reads_;
  gint64 hung_until_ = 0;
  int hung_until_fault_ = 0;
  guint hangs_ = 0;
  int fault_index_ = 0;
  size_t fault_log_offset_ = 0;
  Kind last_kind_ = kKinds;

  // Injection.
  bool own_enabled_ = true;
  Phase phase_ = kInside;
  guint ticks_ = 0, in_flight_ = 0, own_count_ = 0, foreign_count_ = 0;
  guint8 own_seq_[kOwnSenders] = {}, foreign_seq_[kForeignSenders] = {};
  guint64 launched_[kPhases] = {}, sent_[kPhases] = {}, uncertain_[kPhases] = {}, events_[kPhases] = {};
  guint64 not_on_air_ = 0, foreign_sent_ = 0, foreign_events_ = 0, events_total_ = 0;
  guint64 paused_sent_ = 0, paused_events_ = 0;

  // Figures.
  KindFigures kinds_[kKinds];
  guint64 quiet_lost_ = 0, quiet_doubled_ = 0, false_listening_ = 0, disagreements_ = 0, stuck_ = 0, late_ = 0;
  guint64 quiet_windows_ = 0, truth_checks_ = 0;
  double worst_to_listening_ = 0;
  Kind worst_kind_ = kKinds;
};

/* ---- set-up ------------------------------------------------------------ */

std::string policy_text(guint uid, int variant) {
  const std::string u = std::to_string(uid);
  switch (variant) {
    case 0:
      return "# the operator's account may read, pause and resume\n"
             "[com.vemo.bt.receivevemobeacon.list]\nusers=" + u + "\n"
             "[com.vemo.bt.receivevemobeacon.pause]\nusers=" + u + "\n"
             "[com.vemo.bt.receivevemobeacon.resume]\nusers=" + u + "\n";
    default:
      // The same rights written otherwise: order, spacing, CRLF, extra entries.
      return "[com.vemo.bt.receivevemobeacon.resume]\r\nusers = root;" + u + "\r\ngroups=nogroup\r\n\r\n"
             "# rewritten by hand\r\n[com.vemo.bt.receivevemobeacon.pause]\r\nusers=" + u + "\r\n"
             "[com.vemo.bt.receivevemobeacon.list]\r\nusers=" + u + ";0\r\n";
  }
}

/* A second connection for the operator's Pause/Resume: as nobody when we
 * are root (so the policy file decides), else as ourselves. The bus takes
 * the caller's uid from the socket when it connects. */
void Chaos::connect_allowed_user() {
  const bool root = geteuid() == 0;
  user_uid_ = root ? 65534 : static_cast<guint>(geteuid());
  if (root && seteuid(user_uid_) != 0)
    g_error("seteuid(%u): %s", user_uid_, g_strerror(errno));
  user_conn_ = t_->bus.new_connection();
  if (root && seteuid(0) != 0)
    g_error("seteuid(0): %s", g_strerror(errno));
}

/* ---- beacons and events -------------------------------------------------- */

struct Shot {
  Chaos *self;
  bool own;
  Phase phase;
};

gboolean Chaos::on_tick(gpointer self) {
  static_cast<Chaos *>(self)->tick();
  return G_SOURCE_CONTINUE;
}

void Chaos::tick() {
  if (in_flight_ >= kMaxInFlight)
    return;
  const bool foreign = ticks_++ % 4 == 3;
  if (!foreign && !own_enabled_)
    return;
  std::string address;
  GVariant *payload;
  if (foreign) {
    const guint sender = foreign_count_++ % kForeignSenders;
    address = bench::address(0x100 + sender);
    payload = bench::beacon_payload(kForeignId, 2, foreign_seq_[sender]++);
  } else {
    const guint sender = own_count_++ % kOwnSenders;
    address = bench::address(sender);
    payload = bench::beacon_payload(own_id_, 2, own_seq_[sender]++);
    launched_[phase_]++;
  }
  in_flight_++;
  bench::inject(conn_, adapter_.c_str(), address, payload, 5000, on_injected, new Shot{this, !foreign, phase_});
}

void Chaos::on_injected(GObject *source, GAsyncResult *result, gpointer user_data) {
  std::unique_ptr<Shot> shot(static_cast<Shot *>(user_data));
  Chaos *self = shot->self;
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
  self->in_flight_--;
  if (reply != nullptr) {
    if (shot->own)
      self->sent_[shot->phase]++;
    else
      self->foreign_sent_++;
    return;
  }
  if (!shot->own)
    return;
  // Refused before it reached the radio (no bluez-sim, no such adapter):
  // nobody heard it. Anything else (bluez-sim died with the call in hand)
  // may or may not have been heard.
  if (g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
      g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER) ||
      g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS))
    self->not_on_air_++;
  else
    self->uncertain_[shot->phase]++;
}

void Chaos::on_event(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *,
                     GVariant *parameters, gpointer user_data) {
  auto *self = static_cast<Chaos *>(user_data);
  g_autoptr(GVariant) data = nullptr;
  g_variant_get_child(parameters, 3, "@a{sv}", &data);
  const gchar *uuid = "";
  g_variant_lookup(data, "UUID", "&s", &uuid);
  self->events_total_++;
  self->events_[self->phase_]++;
  if (self->own_ids_.count(uuid) == 0) {
    self->foreign_events_++;
    self->verdict_.check(false, "fault %d: an event for System ID '%s', which no own beacon carried",
                         self->fault_index_, uuid);
  }
}

/* A beacon from a device the monitor has not seen yet becomes an event only
 * after kavrod read the device back from BlueZ, possibly long after the
 * beacon: the barrier between phases waits for those readings too. */
GDBusMessage *Chaos::watch_reads(GDBusConnection *, GDBusMessage *message, gboolean incoming, gpointer user_data) {
  if (!incoming)
    return message;
  auto *self = static_cast<Chaos *>(user_data);
  {
    std::lock_guard<std::mutex> lock(self->reads_mutex_);
    switch (g_dbus_message_get_message_type(message)) {
      case G_DBUS_MESSAGE_TYPE_METHOD_CALL:
        if (g_strcmp0(g_dbus_message_get_member(message), "GetAll") == 0 &&
            g_strcmp0(g_dbus_message_get_sender(message), self->kavrod_name_.c_str()) == 0)
          self->reads_.insert(g_dbus_message_get_serial(message));
        break;
      case G_DBUS_MESSAGE_TYPE_METHOD_RETURN:
      case G_DBUS_MESSAGE_TYPE_ERROR:
        if (g_strcmp0(g_dbus_message_get_destination(message), self->kavrod_name_.c_str()) == 0)
          self->reads_.erase(g_dbus_message_get_reply_serial(message));
        break;
      default:
        break;
    }
  }
  // A monitoring connection must never answer: nothing reaches GDBus.
  g_object_unref(message);
  return nullptr;
}

/* A connection of its own that becomes a bus monitor for kavrod's GetAll
 * calls and the replies to kavrod. */
void Chaos::start_watching_reads() {
  g_autoptr(GError) error = nullptr;
  monitor_conn_ = t_->bus.new_connection();
  const std::string rules[] = {
      "type='method_call',sender='" + kavrod_name_ + "',interface='org.freedesktop.DBus.Properties',member='GetAll'",
      "type='method_return',destination='" + kavrod_name_ + "'",
      "type='error',destination='" + kavrod_name_ + "'",
  };
  const gchar *strv[] = {rules[0].c_str(), rules[1].c_str(), rules[2].c_str(), nullptr};
  g_autoptr(GVariant) reply = th::call(monitor_conn_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                       "org.freedesktop.DBus.Monitoring", "BecomeMonitor",
                                       g_variant_new("(^asu)", strv, 0u), nullptr, &error);
  if (reply == nullptr)
    g_error("BecomeMonitor: %s", error->message);
  g_dbus_connection_add_filter(monitor_conn_, watch_reads, this, nullptr);
}

size_t Chaos::reads_in_flight() {
  std::lock_guard<std::mutex> lock(reads_mutex_);
  return reads_.size();
}

/* ---- observation --------------------------------------------------------- */

Status Chaos::status() {
  Status s;
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = th::call(conn_, bench::kReceiveName, bench::kReceivePath, bench::kDiagnostics, "Status",
                                       nullptr, "(a{sv})", &error, 2000);
  if (reply == nullptr) {
    s.error = error->message;
    s.missing_method = g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD) ||
                       g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_INTERFACE);
    if (s.missing_method && !have_status_) {
      // A kavrod without Status: the soak still runs on what bluez-sim says
      // (and fails at the end).
      const int active = monitor_active();
      s.ok = active >= 0;
      s.state = active > 0 ? kListening : "registering";
      s.events = events_total_;
    }
    return s;
  }
  g_autoptr(GVariant) dict = g_variant_get_child_value(reply, 0);
  const gchar *state = nullptr;
  if (!g_variant_lookup(dict, "state", "&s", &state)) {
    s.error = "Status has no state";
    return s;
  }
  s.ok = true;
  s.state = state;
  g_variant_lookup(dict, "events", "t", &s.events);
  g_variant_lookup(dict, "own_beacons", "t", &s.own_beacons);
  g_variant_lookup(dict, "registration_failures", "t", &s.failures);
  return s;
}

/* Every event kavrod has published so far has reached us, and it published
 * none for a moment: the phases before and after do not mix. */
bool Chaos::barrier() {
  if (!have_status_ || !barrier_works_) {
    guint64 seen = events_total_;
    sleep_ms(3 * interval_ms);
    while (events_total_ != seen) {
      seen = events_total_;
      sleep_ms(3 * interval_ms);
    }
    return true;
  }
  if (!wait_for([&] { return reads_in_flight() == 0; }, th::scaled(3000))) {
    std::lock_guard<std::mutex> lock(reads_mutex_);
    g_print("note: fault %d: %zu device readings of kavrod's still unanswered after 3 s; forgotten\n", fault_index_,
            reads_.size());
    reads_.clear();
  }
  guint64 previous = G_MAXUINT64;
  bool answered = false;
  const bool done = wait_for(
      [&] {
        const Status s = status();
        if (!s.ok)
          return false;
        answered = true;
        const bool settled = s.events == events_total_ && s.events == previous;
        previous = s.events;
        if (!settled)
          sleep_ms(interval_ms);
        return settled;
      },
      th::scaled(3000));
  if (!done && answered) {
    const Status s = status();
    g_print("note: kavrod's Status counts %" G_GUINT64_FORMAT " events, %" G_GUINT64_FORMAT
            " arrived; later phases are separated by time instead\n",
            s.events, events_total_);
    barrier_works_ = false;
  }
  return done;
}

/* Polls Status until it says @want (and, with @check_id, List gives the
 * own System ID); the ms it took from @from, or -1 after the allowance. */
double Chaos::await_state(const char *want, gint64 from, gint64 allowance_ms, bool check_id) {
  // With a reach bound, taking longer than the ceiling is counted, not
  // failed: on a busy machine it is a figure, and a state never reached is
  // the fault this guards against.
  const gint64 bound_ms = reach_bound_ms > 0 ? MAX(allowance_ms, static_cast<gint64>(th::scaled(reach_bound_ms)))
                                             : allowance_ms;
  const gint64 deadline = from + bound_ms * 1000;
  std::string last;
  for (;;) {
    if (!check_id || t_->list_systemid() == own_id_) {
      const Status s = status();
      last = s.ok ? s.state : "<" + s.error + ">";
      if (s.ok && s.state == want) {
        const double took = ms_since(from);
        if (took > static_cast<double>(allowance_ms))
          late_++;
        return took;
      }
    } else {
      last = "<List still gives another System ID>";
    }
    if (now_us() > deadline) {
      stuck_++;
      verdict_.check(false, "fault %d (%s): Status did not say %s within %" G_GINT64_FORMAT " ms; it says %s",
                     fault_index_, kind_name(last_kind_), want, bound_ms, last.c_str());
      return -1;
    }
    sleep_ms(1);
  }
}

/* Status, ListMonitors, Status: kavrod claimed listening before and after
 * bluez-sim listed no active monitor of its. Right after a fault a release
 * may still be on its way to kavrod, so there only a disagreement that
 * lasts the ceiling counts; in a quiet window any does. */
void Chaos::check_listening_truth(bool strict, const char *where) {
  truth_checks_++;
  const gint64 start = now_us();
  bool disagreed = false;
  for (;;) {
    const Status before = status();
    if (!before.ok || before.state != kListening)
      return;
    const int active = monitor_active();
    if (active != 0)
      return;
    const Status after = status();
    if (!after.ok || after.state != kListening)
      return;
    if (!disagreed)
      disagreements_++;
    disagreed = true;
    if (strict || ms_since(start) > ceiling_ms) {
      false_listening_++;
      verdict_.check(false, "fault %d (%s), %s: Status says listening while bluez-sim holds no active monitor of %s",
                     fault_index_, kind_name(last_kind_), where, kavrod_name_.c_str());
      return;
    }
    sleep_ms(2);
  }
}

/* kavrod's lines about beacons and its monitor since the last fault began
 * (per beacon only when it runs with G_MESSAGES_DEBUG=all, e.g. through
 * KAVROD_WRAPPER="env G_MESSAGES_DEBUG=all"), to tell what went wrong. */
void Chaos::show_kavrod_log() {
  const std::string log = t_->kavrod->log();
  std::vector<std::string> lines;
  g_auto(GStrv) all = g_strsplit(log.c_str() + std::min(fault_log_offset_, log.size()), "\n", -1);
  for (gchar **line = all; *line != nullptr; line++)
    if (strstr(*line, "beacon") || strstr(*line, "monitor") || strstr(*line, "Beacon") || strstr(*line, "event"))
      lines.push_back(*line);
  const size_t from = lines.size() > 60 ? lines.size() - 60 : 0;
  g_printerr("---- kavrod since fault %d began (last %zu of %zu lines) ----\n", fault_index_, lines.size() - from,
             lines.size());
  for (size_t i = from; i < lines.size(); i++)
    g_printerr("%s\n", lines[i].c_str());
}

/* kavrod answers at all (a Status refused or failing is an answer). When
 * it does not, the run stops: every later check would only repeat it. */
bool Chaos::responsive() {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = th::call(conn_, kavrod_name_.c_str(), bench::kReceivePath, bench::kDiagnostics, "Status",
                                       nullptr, nullptr, &error);
  if (!g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT))
    return true;
  std::string threads;
  g_autofree gchar *task_dir = g_strdup_printf("/proc/%d/task", static_cast<int>(t_->kavrod->pid()));
  if (GDir *dir = g_dir_open(task_dir, 0, nullptr)) {
    while (const gchar *tid = g_dir_read_name(dir)) {
      g_autofree gchar *comm = nullptr, *wchan = nullptr;
      g_autofree gchar *comm_path = g_build_filename(task_dir, tid, "comm", nullptr);
      g_autofree gchar *wchan_path = g_build_filename(task_dir, tid, "wchan", nullptr);
      g_file_get_contents(comm_path, &comm, nullptr, nullptr);
      g_file_get_contents(wchan_path, &wchan, nullptr, nullptr);
      threads += std::string(" ") + tid + ":" + (comm != nullptr ? g_strstrip(comm) : "?") + "@" +
                 (wchan != nullptr ? wchan : "?");
    }
    g_dir_close(dir);
  }
  verdict_.check(false, "fault %d (%s): kavrod stopped answering on the bus (threads:%s); the run stops", fault_index_,
                 kind_name(last_kind_), threads.c_str());
  return false;
}

/* kavrod takes its control service off the bus while BlueZ is absent. */
bool Chaos::control_gone() {
  const bool gone = wait_for([&] { return !t_->bus.has_owner(bench::kReceiveName); }, allowance_ms());
  verdict_.check(gone, "fault %d (%s): the control service stayed on the bus while BlueZ was away", fault_index_,
                 kind_name(last_kind_));
  return gone;
}

/* ---- faults -------------------------------------------------------------- */

void Chaos::bluez_call(const char *method, GVariant *params) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = bench::bluez_control(conn_, method, params, nullptr, &error);
  verdict_.check(reply != nullptr, "fault %d: bluez-sim %s failed: %s", fault_index_, method,
                 error != nullptr ? error->message : "");
}

void Chaos::engine_call(const char *method, GVariant *params) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply =
      th::call(conn_, bench::kEngineName, bench::kEnginePath, bench::kEngineControl, method, params, nullptr, &error);
  verdict_.check(reply != nullptr, "fault %d: action-engine-sim %s failed: %s", fault_index_, method,
                 error != nullptr ? error->message : "");
}

std::string Chaos::new_uuid() {
  // A version 4 UUID drawn from the schedule.
  std::uniform_int_distribution<int> byte(0, 255);
  std::string text;
  for (int i = 0; i < 16; i++) {
    const int b = i == 6 ? (byte(rng_) & 0x0f) | 0x40 : i == 8 ? (byte(rng_) & 0x3f) | 0x80 : byte(rng_);
    g_autofree gchar *hex = g_strdup_printf(i == 4 || i == 6 || i == 8 || i == 10 ? "-%02x" : "%02x", b);
    text += hex;
  }
  return text;
}

Kind Chaos::draw() {
  std::uniform_int_distribution<int> pick(0, kKinds - 1);
  for (;;) {
    const Kind kind = static_cast<Kind>(pick(rng_));
    // A reading held by a hung engine lasts until kavrod's List time-out,
    // and delays the next reading until then: for a number of faults after
    // a hang (a count, so that the schedule follows from the seed alone)
    // the engine is neither restarted, hung again nor given a new System
    // ID, and if the time-out is still ahead after them, such a fault waits
    // for it.
    const bool needs_engine = kind == kSystemIdChanged || kind == kEngineKilled || kind == kEngineRestarted ||
                              kind == kEngineHung;
    if (needs_engine && fault_index_ < hung_until_fault_)
      continue;
    if (needs_engine)
      sleep_ms((hung_until_ - now_us()) / 1000);
    return kind;
  }
}

/* Injects one fault; returns the monotonic time at which it ended. */
gint64 Chaos::inject_fault(Kind kind) {
  switch (kind) {
    case kBluezKilled: {
      t_->bluez->stop(SIGKILL);
      control_gone();
      sleep_ms(hold());
      start_bluez();
      return now_us();
    }
    case kBluezLeft: {
      bluez_call("Leave", nullptr);
      control_gone();
      sleep_ms(hold());
      bluez_call("Return", nullptr);
      return now_us();
    }
    case kRefused: {
      const guint count = std::uniform_int_distribution<guint>(1, 3)(rng_);
      const Status base = status();
      bluez_call("FailNextRegisterMonitor", g_variant_new("(u)", count));
      bluez_call("ReleaseMonitors", g_variant_new("(s)", kavrod_name_.c_str()));
      // The release and each refusal count as a registration failure; the
      // fault ends with the last refusal.
      if (have_status_) {
        const bool refused = wait_for(
            [&] {
              const Status s = status();
              return s.ok && s.failures >= base.failures + 1 + count;
            },
            static_cast<gint64>(count + 1) * ceiling_ms + th::scaled(1000));
        verdict_.check(refused, "fault %d (%s): Status did not count %u refusals after a release", fault_index_,
                       kKindNames[kind], count);
      } else {
        sleep_ms(static_cast<gint64>(count + 1) * ceiling_ms);
      }
      return now_us();
    }
    case kReleased:
      bluez_call("ReleaseMonitors", g_variant_new("(s)", kavrod_name_.c_str()));
      return now_us();
    case kAdapterRenamed: {
      const std::string renamed = "hci" + std::to_string(1 + adapter_serial_++ % 9);
      const std::string old = adapter_;
      if (std::uniform_int_distribution<int>(0, 1)(rng_) == 0) {
        // A re-plugged controller while BlueZ restarts.
        bluez_call("Leave", nullptr);
        control_gone();
        bluez_call("RemoveAdapter", g_variant_new("(s)", old.c_str()));
        bluez_call("AddAdapter", g_variant_new("(sbb)", renamed.c_str(), TRUE, TRUE));
        adapter_ = renamed;
        sleep_ms(hold());
        bluez_call("Return", nullptr);
      } else {
        // Unplugged and plugged back while BlueZ runs.
        bluez_call("RemoveAdapter", g_variant_new("(s)", old.c_str()));
        if (have_status_)
          await_state("no-adapter", now_us(), 2 * ceiling_ms + th::scaled(500), false);
        sleep_ms(hold());
        bluez_call("AddAdapter", g_variant_new("(sbb)", renamed.c_str(), TRUE, TRUE));
        adapter_ = renamed;
      }
      return now_us();
    }
    case kEngineKilled:
      t_->engine->stop(SIGKILL);
      sleep_ms(hold());
      start_engine();
      return now_us();
    case kEngineRestarted: {
      const int status = t_->engine->stop(SIGTERM);
      verdict_.check(status == 0, "fault %d: action-engine-sim exited with %d", fault_index_, status);
      start_engine();
      return now_us();
    }
    case kEngineHung: {
      // kavrod's reading hangs until its own time-out; meanwhile the engine
      // answers others again.
      engine_call("SetListFault", g_variant_new("(su)", "noreply", 0u));
      engine_call("EmitChanged", nullptr);
      sleep_ms(std::max<gint64>(hold(), 5));
      engine_call("SetListFault", g_variant_new("(su)", "none", 0u));
      hung_until_ = now_us() + (kListTimeoutMs + allowance_ms()) * 1000;
      hung_until_fault_ = fault_index_ + kFaultsAfterHang;
      hangs_++;
      return now_us();
    }
    case kSystemIdChanged: {
      own_id_ = new_uuid();
      own_ids_.insert(own_id_);
      write_rules();
      kill(t_->engine->pid(), SIGHUP);
      return now_us();
    }
    case kPolicy: {
      policy_.write(policy_text(user_uid_, 1));
      std::string got = t_->list_systemid(user_conn_);
      verdict_.check(got == own_id_, "fault %d: List as uid %u failed after the policy was rewritten: %s",
                     fault_index_, user_uid_, got.c_str());
      int broken = std::uniform_int_distribution<int>(0, 3)(rng_);
      if (broken == 2 && no_fifo)
        broken = 0;
      g_unlink(policy_.path().c_str());
      switch (broken) {
        case 0:
          policy_.write("[com.vemo.bt.receivevemobeacon.list\nusers=" + std::to_string(user_uid_) + "\n");
          break;
        case 1:
          policy_.write("[com.vemo.bt.receivevemobeacon.list]\nuser=" + std::to_string(user_uid_) + "\n");
          break;
        case 2:
          if (mkfifo(policy_.path().c_str(), 0644) != 0)
            g_error("mkfifo %s: %s", policy_.path().c_str(), g_strerror(errno));
          break;
        default:
          break;  // missing: root only
      }
      got = t_->list_systemid(user_conn_);
      static const char *const kBroken[] = {"unclosed", "misspelt", "a FIFO", "missing"};
      verdict_.check(g_str_has_prefix(got.c_str(), "<error"), "fault %d: List as uid %u answered '%s' with the policy %s",
                     fault_index_, user_uid_, got.c_str(), kBroken[broken]);
      sleep_ms(hold());
      policy_.write(policy_text(user_uid_, 0));
      got = t_->list_systemid(user_conn_);
      verdict_.check(got == own_id_, "fault %d: List as uid %u failed after the policy was restored: %s",
                     fault_index_, user_uid_, got.c_str());
      return now_us();
    }
    case kFlood: {
      static const gchar *const kChanged[] = {"Rules", nullptr};
      const int n = std::uniform_int_distribution<int>(100, 1000)(rng_);
      if (std::uniform_int_distribution<int>(0, 1)(rng_) == 0) {
        // A peer that is not the engine, broadcasting and straight to kavrod.
        for (int i = 0; i < n; i++) {
          const gchar *destination = i % 2 == 0 ? nullptr : kavrod_name_.c_str();
          g_dbus_connection_emit_signal(conn_, destination, bench::kEnginePath, "org.freedesktop.DBus.Properties",
                                        "PropertiesChanged",
                                        g_variant_new("(s@a{sv}^as)", bench::kRuleInterface,
                                                      g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0),
                                                      kChanged),
                                        nullptr);
        }
      } else {
        // The engine itself, announcing changes faster than kavrod reads.
        for (int i = 0; i < n / 10; i++)
          engine_call("EmitChanged", nullptr);
      }
      g_dbus_connection_flush_sync(conn_, nullptr, nullptr);
      return now_us();
    }
    case kMalformed:
      bluez_call("EmitMalformedObjectManagerSignal",
                 g_variant_new("(s)", std::uniform_int_distribution<int>(0, 1)(rng_) == 0 ? "InterfacesAdded"
                                                                                            : "InterfacesRemoved"));
      return now_us();
    case kPauseResume: {
      g_autoptr(GError) error = nullptr;
      g_autoptr(GVariant) paused = th::call(user_conn_, bench::kReceiveName, bench::kReceivePath, bench::kReceiveName,
                                            "Pause", nullptr, nullptr, &error, 2000);
      verdict_.check(paused != nullptr, "fault %d: Pause as uid %u failed: %s", fault_index_, user_uid_,
                     error != nullptr ? error->message : "");
      if (have_status_)
        await_state("paused", now_us(), allowance_ms(), false);
      // Nothing kavrod publishes from here to Resume may be an event.
      barrier();
      const guint64 events_before = events_total_, sent_before = sent_[kInside];
      sleep_ms(std::max<gint64>(hold(), 4 * interval_ms));
      own_enabled_ = false;
      wait_for([&] { return in_flight_ == 0; }, th::scaled(5000));
      barrier();
      paused_sent_ += sent_[kInside] - sent_before;
      paused_events_ += events_total_ - events_before;
      verdict_.check(events_total_ == events_before, "fault %d: %" G_GUINT64_FORMAT " event(s) while paused",
                     fault_index_, events_total_ - events_before);
      own_enabled_ = true;
      g_clear_error(&error);
      g_autoptr(GVariant) resumed = th::call(user_conn_, bench::kReceiveName, bench::kReceivePath, bench::kReceiveName,
                                             "Resume", nullptr, nullptr, &error, 2000);
      verdict_.check(resumed != nullptr, "fault %d: Resume as uid %u failed: %s", fault_index_, user_uid_,
                     error != nullptr ? error->message : "");
      return now_us();
    }
    case kKinds:
      break;
  }
  g_assert_not_reached();
}

/* One ceiling after the last fault ended: every own beacon must give
 * exactly one event, and Status must tell the truth. */
void Chaos::quiet_window() {
  quiet_windows_++;
  const Status s = status();
  if (!s.ok || s.state != kListening) {
    stuck_++;
    verdict_.check(false, "fault %d (%s): Status says %s in the quiet window", fault_index_,
                   kind_name(last_kind_), s.ok ? s.state.c_str() : s.error.c_str());
  }
  check_listening_truth(true, "quiet window");
  // Events from here on belong to the quiet window's beacons.
  phase_ = kQuiet;
  const guint64 launched = launched_[kQuiet], sent = sent_[kQuiet], events = events_[kQuiet],
                uncertain = uncertain_[kQuiet];
  own_enabled_ = true;
  wait_for([&] { return launched_[kQuiet] - launched >= static_cast<guint64>(quiet_beacons); }, th::scaled(5000));
  own_enabled_ = false;
  wait_for([&] { return in_flight_ == 0; }, th::scaled(5000));
  const guint64 n = sent_[kQuiet] - sent;
  verdict_.check(n == launched_[kQuiet] - launched && uncertain_[kQuiet] == uncertain,
                 "fault %d: %" G_GUINT64_FORMAT " of %" G_GUINT64_FORMAT
                 " own beacons reached bluez-sim in a quiet window",
                 fault_index_, n, launched_[kQuiet] - launched);
  wait_for([&] { return events_[kQuiet] - events >= n; }, th::scaled(5000));
  barrier();
  const guint64 got = events_[kQuiet] - events;
  if (got != n)
    show_kavrod_log();
  if (got < n) {
    quiet_lost_ += n - got;
    verdict_.check(false,
                   "fault %d (%s): %" G_GUINT64_FORMAT " of %" G_GUINT64_FORMAT
                   " own beacons in the quiet window gave no event",
                   fault_index_, kind_name(last_kind_), n - got, n);
  } else if (got > n) {
    quiet_doubled_ += got - n;
    verdict_.check(false,
                   "fault %d (%s): %" G_GUINT64_FORMAT " own beacons in the quiet window gave %" G_GUINT64_FORMAT
                   " events",
                   fault_index_, kind_name(last_kind_), n, got);
  }
  phase_ = kInside;
  own_enabled_ = true;
}

int Chaos::run() {
  t_ = std::make_unique<kt::DaemonTest>();
  conn_ = t_->bus.connection();
  own_ids_.insert(own_id_);
  const guint subscription = g_dbus_connection_signal_subscribe(
      conn_, nullptr, bench::kProducerInterface, "Event", nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE, on_event, this,
      nullptr);

  connect_allowed_user();
  policy_.write(policy_text(user_uid_, 0));
  write_rules();
  start_bluez();
  start_engine();
  const std::string retry = std::to_string(first_ms) + "," + std::to_string(ceiling_ms);
  t_->start_kavrod({}, {{"G_MESSAGES_DEBUG", ""}, {"KAVROD_RETRY_MS", retry}, {"VESK_POLICY", policy_.path()}});
  if (!t_->wait_systemid(own_id_) || !t_->wait_monitors(1))
    g_error("kavrod did not start monitoring:\n%s", t_->kavrod->log().c_str());
  kavrod_name_ = bench::name_owner(conn_, bench::kReceiveName);
  if (kavrod_name_.empty())
    g_error("kavrod's control service has no owner");
  start_watching_reads();
  const Status first = status();
  if (!first.ok) {
    have_status_ = false;
    verdict_.check(false, "kavrod answers no Status (%s); the states below come from bluez-sim", first.error.c_str());
  }

  if (warmup <= 0)
    warmup = std::min(500, std::max(1, faults / 10));
  // Stopped from outside (a test time-out): the figures so far, and the
  // processes shut down.
  bench::catch_interrupts();
  const gint64 started = now_us();
  const guint timer = g_timeout_add(static_cast<guint>(interval_ms), on_tick, this);
  quiet_window();
  const bench::ProcStat at_start = bench::proc_stat(t_->kavrod->pid());
  bench::ProcStat at_warm = at_start;

  int completed = 0;
  for (fault_index_ = 1; fault_index_ <= faults; fault_index_++) {
    if (bench::interrupted()) {
      verdict_.check(false, "interrupted before fault %d", fault_index_);
      break;
    }
    const Kind kind = draw();
    last_kind_ = kind;
    fault_log_offset_ = t_->kavrod->log_size();
    KindFigures &figures = kinds_[kind];
    figures.count++;
    phase_ = kInside;
    own_enabled_ = true;

    const gint64 ended = inject_fault(kind);
    const double took = await_state(kListening, ended, allowance_ms(), kind == kSystemIdChanged);
    if (took >= 0) {
      figures.reached++;
      figures.sum_ms += took;
      figures.worst_ms = std::max(figures.worst_ms, took);
      if (took > worst_to_listening_) {
        worst_to_listening_ = took;
        worst_kind_ = kind;
      }
      check_listening_truth(false, "after the fault");
    }
    // Beacons go on until one ceiling after the fault's end; then the
    // phases are separated and the quiet window is checked.
    sleep_ms((ended + static_cast<gint64>(ceiling_ms) * 1000 - now_us()) / 1000);
    own_enabled_ = false;
    wait_for([&] { return in_flight_ == 0; }, th::scaled(5000));
    // A beacon from a sender the monitor had not seen yet is read back from
    // BlueZ first: give such a reading time to end before the barrier.
    sleep_ms(4 * interval_ms);
    barrier();
    quiet_window();
    t_->events.clear();

    if (!responsive())
      break;
    if (!t_->kavrod->running()) {
      verdict_.check(false, "fault %d (%s): kavrod ended:\n%s", fault_index_, kKindNames[kind],
                     t_->kavrod->log().c_str());
      break;
    }
    completed++;
    if (fault_index_ == warmup)
      at_warm = bench::proc_stat(t_->kavrod->pid());
    if (faults >= 10 && fault_index_ % (faults / 10) == 0)
      g_print("fault %5d: %.0f s, kavrod %s\n", fault_index_, ms_since(started) / 1000.0,
              bench::describe(bench::proc_stat(t_->kavrod->pid())).c_str());
  }
  const int done = completed;
  g_source_remove(timer);
  wait_for([&] { return in_flight_ == 0; }, th::scaled(5000));
  const bench::ProcStat at_end = bench::proc_stat(t_->kavrod->pid());
  const double seconds = ms_since(started) / 1000.0;
  const Status last = status();

  const bool alive = t_->kavrod->running();
  verdict_.check(alive, "kavrod ended during the run");
  const int exit_status = t_->kavrod->stop(SIGTERM);
  verdict_.check(exit_status == 0, "kavrod exited with %d on SIGTERM", exit_status);
  const size_t timeouts = t_->kavrod->count("Could not read the System ID (Timeout was reached)");

  const guint64 own_sent = sent_[kInside] + sent_[kQuiet];
  const guint64 uncertain = uncertain_[kInside] + uncertain_[kQuiet];
  verdict_.check(events_total_ <= own_sent + uncertain,
                 "%" G_GUINT64_FORMAT " events for %" G_GUINT64_FORMAT " own beacons (%" G_GUINT64_FORMAT
                 " more may have been heard): some beacon became two",
                 events_total_, own_sent, uncertain);
  verdict_.check(events_[kInside] <= sent_[kInside] + uncertain_[kInside],
                 "%" G_GUINT64_FORMAT " events inside fault windows for %" G_GUINT64_FORMAT " own beacons there",
                 events_[kInside], sent_[kInside]);
  verdict_.check(at_end.fds <= at_warm.fds, "kavrod's fds grew from %ld after the warm-up to %ld", at_warm.fds,
                 at_end.fds);
  if (rss_bound >= 0)
    verdict_.check(at_end.rss_kb <= at_warm.rss_kb + at_warm.rss_kb * rss_bound / 100,
                   "kavrod's RSS grew from %ld KiB after the warm-up to %ld KiB (over %d %%)", at_warm.rss_kb,
                   at_end.rss_kb, rss_bound);
  if (have_status_ && last.ok)
    verdict_.check(last.events == events_total_,
                   "Status counts %" G_GUINT64_FORMAT " events, %" G_GUINT64_FORMAT " arrived", last.events,
                   events_total_);

  g_print("seed %s; replay: soak-chaos --faults %d --seed %s --backoff-first %d --backoff-ceiling %d --interval %d "
          "--quiet-beacons %d%s\n",
          seed_text, faults, seed_text, first_ms, ceiling_ms, interval_ms, quiet_beacons, no_fifo ? " --no-fifo" : "");
  g_print("faults: %d in %.1f s (KAVROD_RETRY_MS=%s; allowance to the right state: ceiling + %d ms)\n", done, seconds,
          retry.c_str(), th::scaled(500));
  g_print("%-36s %6s %8s %11s %10s\n", "kind", "count", "reached", "mean ms", "worst ms");
  for (int k = 0; k < kKinds; k++) {
    const KindFigures &f = kinds_[k];
    g_print("%-36s %6u %8u %11.1f %10.1f\n", kKindNames[k], f.count, f.reached,
            f.reached > 0 ? f.sum_ms / f.reached : 0.0, f.worst_ms);
  }
  g_print("engine hangs: %u, of which %zu reached kavrod's List time-out (its log)\n", hangs_, timeouts);
  g_print("longest time from a fault's end to listening: %.1f ms (%s)\n", worst_to_listening_,
          kind_name(worst_kind_));
  const guint64 inside_lost = sent_[kInside] > events_[kInside] ? sent_[kInside] - events_[kInside] : 0;
  g_print("own beacons inside fault windows (up to a ceiling after): sent %" G_GUINT64_FORMAT ", evented %" G_GUINT64_FORMAT
          ", lost %" G_GUINT64_FORMAT " (%" G_GUINT64_FORMAT " of them sent while paused, %" G_GUINT64_FORMAT
          " events while paused); %" G_GUINT64_FORMAT " more maybe heard, %" G_GUINT64_FORMAT " not on air\n",
          sent_[kInside], events_[kInside], inside_lost, paused_sent_, paused_events_, uncertain_[kInside], not_on_air_);
  g_print("own beacons outside (quiet windows, %" G_GUINT64_FORMAT "): sent %" G_GUINT64_FORMAT ", evented %" G_GUINT64_FORMAT
          ", lost %" G_GUINT64_FORMAT ", doubled %" G_GUINT64_FORMAT "\n",
          quiet_windows_, sent_[kQuiet], events_[kQuiet], quiet_lost_, quiet_doubled_);
  g_print("foreign beacons: sent %" G_GUINT64_FORMAT ", events %" G_GUINT64_FORMAT "\n", foreign_sent_,
          foreign_events_);
  g_print("Status: %" G_GUINT64_FORMAT " listening checks against ListMonitors, %" G_GUINT64_FORMAT
          " brief disagreements right after a fault, %" G_GUINT64_FORMAT " false listening, %" G_GUINT64_FORMAT
          " times not in the right state in time, %" G_GUINT64_FORMAT " reached later than the ceiling\n",
          truth_checks_, disagreements_, false_listening_, stuck_, late_);
  if (have_status_ && last.ok)
    g_print("kavrod's own count: %" G_GUINT64_FORMAT " events, %" G_GUINT64_FORMAT " own beacons, %" G_GUINT64_FORMAT
            " registration failures\n",
            last.events, last.own_beacons, last.failures);
  g_print("kavrod at start: fds %ld, RSS %ld KiB; after %d faults: fds %ld, RSS %ld KiB; at the end: fds %ld, "
          "RSS %ld KiB\n",
          at_start.fds, at_start.rss_kb, warmup, at_warm.fds, at_warm.rss_kb, at_end.fds, at_end.rss_kb);
  g_print("kavrod: running until SIGTERM: %s, exit status %d\n", alive ? "yes" : "no", exit_status);

  g_dbus_connection_signal_unsubscribe(conn_, subscription);
  g_dbus_connection_close_sync(user_conn_, nullptr, nullptr);
  g_clear_object(&user_conn_);
  g_dbus_connection_close_sync(monitor_conn_, nullptr, nullptr);
  g_clear_object(&monitor_conn_);
  t_.reset();
  return verdict_.exit_status();
}

}  // namespace

int main(int argc, char **argv) {
  bench::parse_options(&argc, &argv, nullptr, "Random faults from a seeded schedule while beacons flow; prints figures.",
                      entries,
                      {{"faults", faults},
                       {"backoff-first", first_ms},
                       {"backoff-ceiling", ceiling_ms},
                       {"interval", interval_ms},
                       {"quiet-beacons", quiet_beacons}});
  if (ceiling_ms < first_ms) {
    g_printerr("%s: --backoff-ceiling must not be below --backoff-first\n", g_get_prgname());
    return 2;
  }
  guint64 seed = 0;
  if (seed_text == nullptr) {
    seed = (static_cast<guint64>(g_random_int()) << 32) | g_random_int();
    seed_text = g_strdup_printf("%" G_GUINT64_FORMAT, seed);
  } else if (!g_ascii_string_to_unsigned(seed_text, 10, 0, G_MAXUINT64, &seed, nullptr)) {
    g_printerr("%s: --seed must be a decimal number, got '%s'\n", g_get_prgname(), seed_text);
    return 2;
  }
  g_print("seed %s\n", seed_text);
  bench::default_paths();
  Chaos chaos(seed);
  return chaos.run();
}

#include "bench.h"

#include <glib-unix.h>
#include <glib/gstdio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "bench-paths.h"
#include "config.h"

namespace bench {

namespace {

struct Built {
  const char *variable, *path;
};
constexpr Built kBuilt[] = {
    {"KAVROD_BIN", BENCH_KAVROD_BIN},
    {"BLUEZ_SIM_BIN", BENCH_BLUEZ_SIM_BIN},
    {"ACTION_ENGINE_SIM_BIN", BENCH_ACTION_ENGINE_SIM_BIN},
    {"BEACON_SENDER_BIN", BENCH_BEACON_SENDER_BIN},
    {"TELVO_PLUGIN", BENCH_TELVO_PLUGIN},
    {"BARE_RELAY_BIN", BENCH_BARE_RELAY_BIN},
    {"BARE_METHOD_BIN", BENCH_BARE_METHOD_BIN},
    {"BUS_POLICY_FILE", BENCH_BUS_POLICY_FILE},
};

constexpr char kBluezSim[] = "com.vemo.Sim.BlueZ";
constexpr char kBluezSimPath[] = "/com/vemo/Sim/BlueZ";
constexpr char kBluezSimControl[] = "com.vemo.Sim.BlueZ1";

bool interrupted_ = false;

gboolean on_interrupt(gpointer) {
  interrupted_ = true;
  return G_SOURCE_CONTINUE;
}

}  // namespace

std::string program(const char *variable) {
  const char *value = g_getenv(variable);
  if (value != nullptr && *value != '\0')
    return value;
  for (const Built &built : kBuilt)
    if (strcmp(built.variable, variable) == 0)
      return built.path;
  g_error("no program is known as %s", variable);
}

void default_paths() {
  for (const Built &built : kBuilt)
    g_setenv(built.variable, built.path, FALSE);
}

void parse_options(int *argc, char ***argv, const char *parameter, const char *summary, const GOptionEntry *entries,
                   std::initializer_list<std::pair<const char *, gint64>> positive) {
  g_autoptr(GOptionContext) context = g_option_context_new(parameter);
  if (summary != nullptr)
    g_option_context_set_summary(context, summary);
  g_option_context_add_main_entries(context, entries, nullptr);
  g_autoptr(GError) error = nullptr;
  if (!g_option_context_parse(context, argc, argv, &error)) {
    g_printerr("%s: %s\n", g_get_prgname(), error->message);
    exit(2);
  }
  for (const auto &option : positive) {
    if (option.second <= 0) {
      g_printerr("%s: --%s must be above zero, got %" G_GINT64_FORMAT "\n", g_get_prgname(), option.first,
                 option.second);
      exit(2);
    }
  }
}

void check_target(const std::string &target) {
  if (target != "both" && target != "kavrod" && target != "bare") {
    g_printerr("%s: --target must be both, kavrod or bare, got \"%s\"\n", g_get_prgname(), target.c_str());
    exit(2);
  }
}

bool wants(const std::string &target, const std::string &label) {
  return target == "both" || target == label;
}

void catch_interrupts() {
  g_unix_signal_add(SIGINT, on_interrupt, nullptr);
  g_unix_signal_add(SIGTERM, on_interrupt, nullptr);
}

bool interrupted() {
  return interrupted_;
}

/* ---- a private bus with the simulators ---------------------------------- */

const std::map<std::string, std::string> kQuiet = {{"G_MESSAGES_DEBUG", ""}};
const std::map<std::string, std::string> kTarget = {{"G_MESSAGES_DEBUG", ""},
                                                    {"G_SLICE", "always-malloc"},
                                                    {"VESK_POLICY", "/nonexistent/vesk-policy.conf"}};

TempFile::TempFile(const char *pattern, const std::string &text) {
  gchar *path = nullptr;
  g_autoptr(GError) error = nullptr;
  const int fd = g_file_open_tmp(pattern, &path, &error);
  if (fd < 0)
    throw std::runtime_error(std::string("cannot create a temporary file: ") + error->message);
  close(fd);
  path_ = path;
  g_free(path);
  write(text);
}

void TempFile::write(const std::string &text) const {
  g_autoptr(GError) error = nullptr;
  g_unlink(path_.c_str());
  if (!g_file_set_contents(path_.c_str(), text.c_str(), static_cast<gssize>(text.size()), &error))
    throw std::runtime_error(std::string("cannot write ") + path_ + ": " + error->message);
}

TempFile::~TempFile() {
  g_unlink(path_.c_str());
}

std::unique_ptr<th::Process> start_service(th::Bus &bus, const char *variable, const std::vector<std::string> &args,
                                           const char *name) {
  std::vector<std::string> argv = {program(variable)};
  argv.insert(argv.end(), args.begin(), args.end());
  auto process = std::make_unique<th::Process>(argv, kQuiet);
  if (!bus.wait_for_name(name, 10000)) {
    g_autofree gchar *base = g_path_get_basename(argv[0].c_str());
    throw std::runtime_error(std::string(base) + " did not start; its log:\n" + process->log());
  }
  return process;
}

void fail(const std::string &what, const th::Process &process) {
  throw std::runtime_error(what + "; its log:\n" + process.log());
}

void stop(th::Process &process, const char *label) {
  const int status = process.stop(SIGTERM);
  if (status != 0)
    g_printerr("warning: %s exited with status %d; its log:\n%s\n", label, status, process.log().c_str());
}

std::unique_ptr<th::Process> start_bluez(th::Bus &bus, const std::vector<std::string> &args) {
  auto bluez = start_service(bus, "BLUEZ_SIM_BIN", args, kBluezSim);
  if (!bus.wait_for_name("org.bluez", 10000))
    throw std::runtime_error("bluez-sim did not own org.bluez; its log:\n" + bluez->log());
  return bluez;
}

std::unique_ptr<th::Process> start_engine(th::Bus &bus, const std::string &rules_path) {
  std::vector<std::string> args;
  if (!rules_path.empty())
    args = {"--rules", rules_path};
  return start_service(bus, "ACTION_ENGINE_SIM_BIN", args, kEngineName);
}

std::string idle_rule(const char *system_id) {
  return std::string("[rule 1]\nname=Bench\nenabled=true\nstart_event=topic=bench:none;UUID,value=") + system_id +
         ";\n";
}


GVariant *bluez_control(GDBusConnection *connection, const char *method, GVariant *params, const char *reply_type,
                        GError **error, int timeout_ms) {
  return th::call(connection, kBluezSim, kBluezSimPath, kBluezSimControl, method, params, reply_type, error,
                  timeout_ms);
}

int monitor_active(GDBusConnection *connection, const char *client) {
  g_autoptr(GVariant) reply = bluez_control(connection, "ListMonitors", nullptr, "(a(sosb))", nullptr, 2000);
  if (reply == nullptr)
    return -1;
  g_autoptr(GVariantIter) iter = nullptr;
  g_variant_get(reply, "(a(sosb))", &iter);
  const gchar *owner, *path, *adapter;
  gboolean activated;
  int active = 0;
  while (g_variant_iter_next(iter, "(&s&o&sb)", &owner, &path, &adapter, &activated))
    if (activated && (client == nullptr || g_strcmp0(client, owner) == 0))
      active = 1;
  return active;
}

guint Arrivals::watch(GDBusConnection *connection, const char *interface, const char *member,
                      bool (*ours)(GDBusMessage *)) {
  interface_ = interface;
  member_ = member;
  ours_ = ours;
  const guint id = g_dbus_connection_add_filter(connection, filter, this, nullptr);
  const std::string rule = "type='signal',interface='" + interface_ + "',member='" + member_ + "'";
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply =
      th::call(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "AddMatch",
               g_variant_new("(s)", rule.c_str()), nullptr, &error);
  if (reply == nullptr)
    g_error("AddMatch %s failed: %s", rule.c_str(), error->message);
  return id;
}

GDBusMessage *Arrivals::filter(GDBusConnection *, GDBusMessage *message, gboolean incoming, gpointer data) {
  auto *self = static_cast<Arrivals *>(data);
  if (!incoming || g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_SIGNAL ||
      g_strcmp0(g_dbus_message_get_interface(message), self->interface_.c_str()) != 0 ||
      g_strcmp0(g_dbus_message_get_member(message), self->member_.c_str()) != 0)
    return message;
  const gint64 now = g_get_monotonic_time();
  const bool ours = self->ours_ == nullptr || self->ours_(message);
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    if (!ours) {
      self->others_++;
    } else if (self->armed_) {
      if (self->count_++ < self->capacity_)
        self->times_.push_back(now);
      self->arrived_.notify_all();
    }
  }
  // Consumed here: nobody else in the process wants them.
  g_object_unref(message);
  return nullptr;
}

void Arrivals::arm(size_t capacity) {
  std::lock_guard<std::mutex> lock(mutex_);
  // A phase's arrivals get their memory up front, not in the filter.
  if (capacity != SIZE_MAX)
    times_.assign(capacity, 0);
  times_.clear();
  capacity_ = capacity;
  count_ = 0;
  armed_ = true;
}

void Arrivals::disarm() {
  std::lock_guard<std::mutex> lock(mutex_);
  armed_ = false;
}

size_t Arrivals::count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return count_;
}

size_t Arrivals::others() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return others_;
}

std::vector<gint64> Arrivals::times() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return times_;
}

gint64 Arrivals::wait_for(size_t index, gint64 timeout_us) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!arrived_.wait_for(lock, std::chrono::microseconds(timeout_us), [&] { return times_.size() > index; }))
    return -1;
  return times_[index];
}

/* ---- process figures ----------------------------------------------------- */

namespace {

long status_field(const gchar *text, const char *name) {
  const gchar *line = strstr(text, name);
  return line != nullptr ? strtol(line + strlen(name), nullptr, 10) : -1;
}

/* Fields 14 and 15 (utime, stime) of /proc/PID/stat, counted after the
 * command name, which may itself hold spaces and parentheses. */
bool read_ticks(pid_t pid, guint64 *ticks) {
  g_autofree gchar *path = g_strdup_printf("/proc/%d/stat", static_cast<int>(pid));
  g_autofree gchar *text = nullptr;
  if (!g_file_get_contents(path, &text, nullptr, nullptr))
    return false;
  const gchar *p = strrchr(text, ')');
  if (p == nullptr)
    return false;
  g_auto(GStrv) fields = g_strsplit(p + 2, " ", -1);
  if (g_strv_length(fields) < 13)
    return false;
  *ticks = g_ascii_strtoull(fields[11], nullptr, 10) + g_ascii_strtoull(fields[12], nullptr, 10);
  return true;
}

}  // namespace

ProcStat proc_status(pid_t pid) {
  ProcStat s;
  g_autofree gchar *path = g_strdup_printf("/proc/%d/status", static_cast<int>(pid));
  g_autofree gchar *text = nullptr;
  if (!g_file_get_contents(path, &text, nullptr, nullptr))
    return s;
  s.threads = status_field(text, "\nThreads:");
  s.rss_kb = status_field(text, "\nVmRSS:");
  return s;
}

ProcStat proc_stat(pid_t pid) {
  ProcStat s = proc_status(pid);
  g_autofree gchar *fd_dir = g_strdup_printf("/proc/%d/fd", static_cast<int>(pid));
  if (GDir *dir = g_dir_open(fd_dir, 0, nullptr)) {
    s.fds = 0;
    while (g_dir_read_name(dir) != nullptr)
      s.fds++;
    g_dir_close(dir);
  }
  guint64 ticks = 0;
  if (read_ticks(pid, &ticks))
    s.cpu_s = static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
  return s;
}

std::string describe(const ProcStat &s) {
  char buf[160];
  g_snprintf(buf, sizeof buf, "fds %ld, RSS %ld KiB, threads %ld, CPU %.2f s", s.fds, s.rss_kb, s.threads,
             s.cpu_s);
  return buf;
}

guint64 process_ticks(pid_t pid) {
  guint64 ticks = 0;
  return read_ticks(pid, &ticks) ? ticks : 0;
}

double ticks_to_us(guint64 ticks) {
  return static_cast<double>(ticks) * 1e6 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double cpu_us(pid_t pid) {
  return ticks_to_us(process_ticks(pid));
}

void wait_quiet(pid_t pid, int quiet_ms, int timeout_ms) {
  const gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(timeout_ms) * 1000;
  guint64 last = process_ticks(pid);
  gint64 since = g_get_monotonic_time();
  while (g_get_monotonic_time() < deadline) {
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    g_usleep(50000);
    const guint64 now_ticks = process_ticks(pid);
    if (now_ticks != last) {
      last = now_ticks;
      since = g_get_monotonic_time();
    } else if (g_get_monotonic_time() - since >= static_cast<gint64>(quiet_ms) * 1000) {
      return;
    }
  }
}

/* ---- figures ---------------------------------------------------------------- */

Spread spread(std::vector<double> samples, double scale) {
  Spread s;
  if (samples.empty())
    return s;
  std::sort(samples.begin(), samples.end());
  const size_t n = samples.size();
  auto at = [&](double q) { return samples[std::min(n - 1, static_cast<size_t>(q * static_cast<double>(n)))] * scale; };
  s.p50 = at(0.50);
  s.p99 = at(0.99);
  s.max = samples.back() * scale;
  return s;
}

Spread spread(const std::vector<gint64> &samples, double scale) {
  return spread(std::vector<double>(samples.begin(), samples.end()), scale);
}

double ratio(double a, double b) {
  return b > 0 ? a / b : 0;
}

/* ---- beacons --------------------------------------------------------------- */

GVariant *beacon_payload(const std::string &systemid, guint8 event, guint8 sequence) {
  const std::vector<guint8> payload = th::beacon_bytes(systemid, event, sequence);
  return g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, payload.data(), payload.size(), 1);
}

std::string address(guint32 n, const char *prefix) {
  char buf[18];
  g_snprintf(buf, sizeof buf, "%.5s:EE:%02X:%02X:%02X", prefix, (n >> 16) & 0xff, (n >> 8) & 0xff, n & 0xff);
  return buf;
}

void inject(GDBusConnection *connection, const char *adapter, const std::string &address, GVariant *payload,
            int timeout_ms, GAsyncReadyCallback callback, gpointer user_data) {
  g_dbus_connection_call(connection, kBluezSim, kBluezSimPath, kBluezSimControl, "InjectAdvertisement",
                         g_variant_new("(ssq@ayn)", adapter, address.c_str(), static_cast<guint16>(BEACON_COMPANY_ID),
                                       payload, static_cast<gint16>(-60)),
                         nullptr, G_DBUS_CALL_FLAGS_NONE, timeout_ms, nullptr, callback, user_data);
}

void Calls::on_reply(GObject *source, GAsyncResult *result, gpointer calls) {
  auto *self = static_cast<Calls *>(calls);
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
  self->in_flight--;
  if (reply == nullptr && self->failed++ == 0)
    self->first_error = error->message;
}

std::string name_owner(GDBusConnection *connection, const char *name) {
  g_autoptr(GVariant) owner = th::call(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                       "org.freedesktop.DBus", "GetNameOwner", g_variant_new("(s)", name), "(s)",
                                       nullptr);
  if (owner == nullptr)
    return "";
  const gchar *unique;
  g_variant_get(owner, "(&s)", &unique);
  return unique;
}

/* ---- verdict ---------------------------------------------------------------- */

void Verdict::check(bool ok, const char *format, ...) {
  if (ok)
    return;
  failures_++;
  // The first few say what broke; the count says how often.
  if (failures_ <= 20) {
    va_list args;
    va_start(args, format);
    g_autofree gchar *text = g_strdup_vprintf(format, args);
    va_end(args);
    g_printerr("FAILED: %s\n", text);
  }
}

int Verdict::exit_status() const {
  if (failures_ == 0) {
    g_print("result: all invariants held\n");
    return 0;
  }
  g_print("result: %u invariant(s) broken\n", failures_);
  return 1;
}

}  // namespace bench

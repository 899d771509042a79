/* Control calls from allowed (root) and refused (nobody) callers at once,
 * on a bus with the default-deny system policy plus the daemon's policy
 * file. Refused callers send Pause; allowed ones send List and Resume.
 * Every refused call must be refused, every allowed one answered, and the
 * monitor must never end paused. Run as root (setpriv drops to nobody). */
#include <unistd.h>

#include "daemon_fixture.h"
#include "bench.h"

namespace {

gint calls = 10000;
gint window = 32;
gchar *worker_method = nullptr;
GOptionEntry entries[] = {
    {"calls", 'n', 0, G_OPTION_ARG_INT, &calls, "Control calls in total, half refused (default 10000)", "N"},
    {"window", 'w', 0, G_OPTION_ARG_INT, &window, "Calls in flight per caller (default 32)", "N"},
    {"worker", 0, G_OPTION_FLAG_HIDDEN, G_OPTION_ARG_STRING, &worker_method,
     "Be a caller: METHOD (List, Pause, Resume, or List+Resume alternating)", "METHOD"},
    {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};

const char kUnauthorized[] = "com.vemo.bt.ReceiveVemoBeacon.Error.Unauthorized";

struct Tally {
  guint sent = 0, answered = 0, ok = 0, refused = 0, other = 0;
  std::map<std::string, guint> errors;
};

void on_reply(GObject *source, GAsyncResult *result, gpointer user_data) {
  auto *tally = static_cast<Tally *>(user_data);
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
  tally->answered++;
  if (reply != nullptr) {
    tally->ok++;
    return;
  }
  g_autofree gchar *name = g_dbus_error_get_remote_error(error);
  if (g_strcmp0(name, kUnauthorized) == 0) {
    tally->refused++;
  } else {
    tally->other++;
    tally->errors[name != nullptr ? name : error->message]++;
  }
}

/* One caller: @count calls, @window in flight; prints its tally. */
int run_worker(const char *method, guint count) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GDBusConnection) connection = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
  if (connection == nullptr) {
    g_printerr("worker: cannot connect to the system bus: %s\n", error->message);
    return 1;
  }
  Tally tally;
  while (tally.answered < count) {
    while (tally.sent < count && tally.sent - tally.answered < static_cast<guint>(window)) {
      const char *m = method;
      if (g_str_equal(method, "List+Resume"))
        m = tally.sent % 2 == 0 ? "List" : "Resume";
      g_autofree gchar *member = g_strdup(m);
      g_dbus_connection_call(connection, bench::kReceiveName, bench::kReceivePath, bench::kReceiveName, member, nullptr,
                             nullptr, G_DBUS_CALL_FLAGS_NONE, 60000, nullptr, on_reply, &tally);
      tally.sent++;
    }
    g_main_context_iteration(nullptr, TRUE);
  }
  g_print("tally %s uid=%u ok=%u refused=%u other=%u\n", method, getuid(), tally.ok, tally.refused, tally.other);
  for (const auto &e : tally.errors)
    g_print("error %s: %u\n", e.first.c_str(), e.second);
  return 0;
}

/* The numbers a worker printed. */
bool read_tally(const std::string &log, guint *ok, guint *refused, guint *other) {
  const size_t at = log.find("tally ");
  if (at == std::string::npos)
    return false;
  const size_t fields = log.find(" ok=", at);
  return fields != std::string::npos &&
         sscanf(log.c_str() + fields, " ok=%u refused=%u other=%u", ok, refused, other) == 3;
}

}  // namespace

int main(int argc, char **argv) {
  bench::parse_options(&argc, &argv, nullptr, "Allowed and refused control calls at once; prints figures.", entries,
                      {{"calls", calls}, {"window", window}});
  if (worker_method != nullptr)
    return run_worker(worker_method, static_cast<guint>(calls));
  if (getuid() != 0) {
    g_printerr("run as root: refused callers are started as nobody\n");
    return 2;
  }
  bench::default_paths();
  bench::Verdict verdict;

  kt::DaemonTest t(th::Bus::Policy::System, {th::env_path("BUS_POLICY_FILE")});
  // kavrod has no policy file: root only.
  verdict.check(bench::start_daemon(t, {}, kt::rule(1, kt::kIdA), kt::kIdA), "kavrod did not start monitoring");
  const bench::ProcStat first = bench::proc_stat(t.kavrod->pid());

  g_autofree gchar *self = g_file_read_link("/proc/self/exe", nullptr);
  const guint refused_calls = static_cast<guint>(calls) / 2;
  const guint allowed_calls = static_cast<guint>(calls) - refused_calls;
  const std::string window_arg = std::to_string(window);
  const std::map<std::string, std::string> quiet = {{"G_MESSAGES_DEBUG", ""}, {"G_DEBUG", ""}};
  const gint64 started = g_get_monotonic_time();
  th::Process refused({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", self, "--worker", "Pause",
                       "--calls", std::to_string(refused_calls), "--window", window_arg},
                      quiet);
  th::Process allowed({self, "--worker", "List+Resume", "--calls", std::to_string(allowed_calls), "--window",
                       window_arg},
                      quiet);
  const int refused_status = refused.wait_exit(600000);
  const int allowed_status = allowed.wait_exit(600000);
  const double seconds = static_cast<double>(g_get_monotonic_time() - started) / G_USEC_PER_SEC;

  guint r_ok = 0, r_refused = 0, r_other = 0, a_ok = 0, a_refused = 0, a_other = 0;
  verdict.check(refused_status == 0 && read_tally(refused.log(), &r_ok, &r_refused, &r_other),
                "the refused caller failed (%d):\n%s", refused_status, refused.log().c_str());
  verdict.check(allowed_status == 0 && read_tally(allowed.log(), &a_ok, &a_refused, &a_other),
                "the allowed caller failed (%d):\n%s", allowed_status, allowed.log().c_str());
  verdict.check(r_refused == refused_calls && r_ok == 0 && r_other == 0,
                "refused caller: %u refused, %u answered, %u other errors of %u calls\n%s", r_refused, r_ok, r_other,
                refused_calls, refused.log().c_str());
  verdict.check(a_ok == allowed_calls && a_refused == 0 && a_other == 0,
                "allowed caller: %u answered, %u refused, %u other errors of %u calls\n%s", a_ok, a_refused, a_other,
                allowed_calls, allowed.log().c_str());
  const size_t logged = t.kavrod->count("Unauthorized access of 'com.vemo.bt.receivevemobeacon.pause'");
  verdict.check(logged == refused_calls, "kavrod logged %zu refusals for %u refused calls", logged, refused_calls);

  // The monitor is still active and reporting.
  const bool monitor = t.wait_monitors(1);
  t.inject_beacon(kt::kIdA, 2, 1);
  const bool event = t.wait_events(1);
  verdict.check(monitor && event, "after the calls the monitor is %s and a beacon gave %zu events",
                monitor ? "active" : "not active", t.events.size());
  verdict.check(t.list_systemid() == kt::kIdA, "List gives '%s' after the calls", t.list_systemid().c_str());
  const bench::ProcStat last = bench::proc_stat(t.kavrod->pid());
  verdict.check(last.fds == first.fds, "kavrod's fd count went from %ld to %ld", first.fds, last.fds);
  const int status = t.kavrod->stop(SIGTERM);
  verdict.check(status == 0, "kavrod exited with %d on SIGTERM", status);

  g_print("calls: %d in %.1f s (%.0f/s); refused caller (nobody, Pause): %u refused, %u allowed, %u other; "
          "allowed caller (root, List/Resume): %u answered, %u refused, %u other\n",
          calls, seconds, calls / seconds, r_refused, r_ok, r_other, a_ok, a_refused, a_other);
  g_print("kavrod: %zu refusals logged; before: %s; after: %s\n", logged, bench::describe(first).c_str(),
          bench::describe(last).c_str());
  return verdict.exit_status();
}

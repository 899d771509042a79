#include "soak-common.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "soak-paths.h"

namespace soak {

ProcStat proc_stat(pid_t pid) {
  ProcStat s;
  g_autofree gchar *fd_dir = g_strdup_printf("/proc/%d/fd", static_cast<int>(pid));
  if (GDir *dir = g_dir_open(fd_dir, 0, nullptr)) {
    s.fds = 0;
    while (g_dir_read_name(dir) != nullptr)
      s.fds++;
    g_dir_close(dir);
  }
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0)
      s.rss_kb = std::stol(line.substr(6));
    else if (line.rfind("Threads:", 0) == 0)
      s.threads = std::stol(line.substr(8));
  }
  // Fields 14 and 15 of /proc/PID/stat, counted after the command name,
  // which may itself hold spaces and parentheses.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t close = all.rfind(')');
  if (close != std::string::npos) {
    std::istringstream rest(all.substr(close + 2));
    std::string field;
    unsigned long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; i++) {
      if (i == 14)
        utime = std::stoul(field);
      else if (i == 15)
        stime = std::stoul(field);
    }
    s.cpu_s = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  return s;
}

std::string describe(const ProcStat &s) {
  char buf[160];
  g_snprintf(buf, sizeof buf, "fds %ld, RSS %ld KiB, threads %ld, CPU %.2f s", s.fds, s.rss_kb, s.threads,
             s.cpu_s);
  return buf;
}

void default_paths() {
  g_setenv("KAVROD_BIN", SOAK_KAVROD_BIN, FALSE);
  g_setenv("BLUEZ_SIM_BIN", SOAK_BLUEZ_SIM_BIN, FALSE);
  g_setenv("ACTION_ENGINE_SIM_BIN", SOAK_ACTION_ENGINE_SIM_BIN, FALSE);
  g_setenv("BEACON_SENDER_BIN", SOAK_BEACON_SENDER_BIN, FALSE);
  g_setenv("TELVO_PLUGIN", SOAK_TELVO_PLUGIN, FALSE);
  g_setenv("BUS_POLICY_FILE", SOAK_BUS_POLICY_FILE, FALSE);
}

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

GVariant *beacon_payload(const std::string &systemid, guint8 event, guint8 sequence) {
  guint8 payload[19];
  payload[0] = 1;
  std::string hex;
  for (char c : systemid)
    if (c != '-')
      hex += c;
  g_assert(hex.size() == 32);
  for (int i = 0; i < 16; i++)
    payload[1 + i] = static_cast<guint8>(std::stoi(hex.substr(i * 2, 2), nullptr, 16));
  payload[17] = event;
  payload[18] = sequence;
  return g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, payload, sizeof payload, 1);
}

std::string address(guint32 n) {
  char buf[18];
  g_snprintf(buf, sizeof buf, "C0:FF:EE:%02X:%02X:%02X", (n >> 16) & 0xff, (n >> 8) & 0xff, n & 0xff);
  return buf;
}

void parse_options(int *argc, char ***argv, const char *summary, GOptionEntry *entries,
                   std::initializer_list<std::pair<const char *, gint64>> positive) {
  g_autoptr(GOptionContext) context = g_option_context_new(nullptr);
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

}  // namespace soak

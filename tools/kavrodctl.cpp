/* kavrodctl: asks kavrod over the system bus whether it is listening, which
 * System ID it holds, and pauses or resumes its beacon monitor; makes a new
 * installation key for signed beacons. */
#include <errno.h>
#include <fcntl.h>
#include <gio/gio.h>
#include <string.h>
#include <sys/random.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

constexpr const char kBusName[] = "com.vemo.bt.ReceiveVemoBeacon";
constexpr const char kPath[] = "/com/vemo/bt/ReceiveVemoBeacon";
constexpr const char kControl[] = "com.vemo.bt.ReceiveVemoBeacon";
constexpr const char kDiagnostics[] = "com.vemo.bt.ReceiveVemoBeacon.Diagnostics";

enum Exit { kOk = 0, kFailed = 1, kUsage = 2, kNotOnBus = 3 };

const char kHelp[] =
    "Usage: kavrodctl [--json] [--timeout SECONDS] COMMAND\n"
    "\n"
    "Asks kavrod, the beacon monitor daemon, over the system bus.\n"
    "\n"
    "Commands:\n"
    "  status   Whether kavrod is listening for beacons, and why not when it is\n"
    "           not; its counters since start and its last error.\n"
    "  list     The System ID kavrod monitors (none when the action rules hold\n"
    "           none).\n"
    "  pause    Stop turning beacons into events until 'resume' (the pause\n"
    "           outlasts BlueZ restarts and System ID changes).\n"
    "  resume   End a pause.\n"
    "  new-key [PATH]\n"
    "           Write a new installation key for signed beacons: 32 random\n"
    "           bytes, mode 0600, to PATH (default /etc/credstore/beacon-key);\n"
    "           an existing file is never overwritten. Copy the same key to\n"
    "           every device of the installation.\n"
    "\n"
    "Options:\n"
    "  --json             Print one JSON object instead of text.\n"
    "  --timeout SECONDS  Give up when kavrod has not answered (default 5).\n"
    "  -h, --help         Print this help.\n"
    "\n"
    "'status' also says whether beacons must be signed (Signed beacons:\n"
    "required, when the unit gives kavrod the credential beacon-key; else off)\n"
    "and how many were dropped as unsigned, forged, stale or replayed.\n"
    "\n"
    "States reported by 'status':\n"
    "  listening              BlueZ has activated kavrod's monitor for the System ID.\n"
    "  paused                 Paused by 'pause'; 'resume' ends it.\n"
    "  registering            The monitor is being registered with BlueZ.\n"
    "  backing-off            BlueZ refused or released the monitor; kavrod tries\n"
    "                         again after the delay shown (1 s doubling to 60 s).\n"
    "  waiting-for-system-id  No enabled action rule carries a System ID.\n"
    "  no-adapter             No Bluetooth adapter offers\n"
    "                         org.bluez.AdvertisementMonitorManager1.\n"
    "\n"
    "Exit status: 0 success; 1 the call was refused or failed (the reason on\n"
    "standard error); 2 usage; 3 kavrod's control service is not on the bus\n"
    "(kavrod is not running, or BlueZ is absent: kavrod offers the service\n"
    "only while BlueZ runs).\n"
    "\n"
    "The calls are checked by the device's access policy: status and list need\n"
    "the action com.vemo.bt.receivevemobeacon.list, pause and resume their own\n"
    "(com.vemo.bt.receivevemobeacon.pause, .resume). root is always allowed.\n";

std::string json_string(const gchar *text) {
  std::string out = "\"";
  for (const gchar *p = text; *p != '\0'; p++) {
    const auto c = static_cast<unsigned char>(*p);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          gchar escaped[8];
          g_snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

/* "" and NULL go out as null. */
std::string json_string_or_null(const gchar *text) {
  return text == nullptr || *text == '\0' ? "null" : json_string(text);
}

/* Turns a failed call into the exit status, with a message that says what
 * to do about it. */
int report_failure(const GError *error, int timeout_s) {
  if (g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
      g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER)) {
    g_printerr("kavrodctl: %s is not on the system bus: kavrod is not running, or BlueZ is absent "
               "(kavrod offers its control service only while BlueZ runs)\n",
               kBusName);
    return kNotOnBus;
  }
  if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT) ||
      g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_TIMEOUT) ||
      g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_TIMED_OUT) ||
      g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NO_REPLY)) {
    g_printerr("kavrodctl: kavrod did not answer within %d s\n", timeout_s);
    return kFailed;
  }
  g_autofree gchar *remote = g_dbus_error_get_remote_error(error);
  g_autoptr(GError) stripped = g_error_copy(error);
  g_dbus_error_strip_remote_error(stripped);
  if (remote != nullptr)
    g_printerr("kavrodctl: %s: %s\n", remote, stripped->message);
  else
    g_printerr("kavrodctl: %s\n", stripped->message);
  return kFailed;
}

guint64 get_u64(GVariant *dict, const char *key) {
  guint64 value = 0;
  g_variant_lookup(dict, key, "t", &value);
  return value;
}

gboolean get_bool(GVariant *dict, const char *key) {
  gboolean value = FALSE;
  g_variant_lookup(dict, key, "b", &value);
  return value;
}

std::string get_string(GVariant *dict, const char *key) {
  const gchar *value = "";
  g_variant_lookup(dict, key, "&s", &value);
  return value;
}

constexpr const char kDefaultKeyPath[] = "/etc/credstore/beacon-key";
constexpr size_t kKeyLength = 32;

/* Writes a new key to @path: random bytes from the kernel, the file made
 * exclusively (never replacing a key in use) and readable by root only. */
int new_key(const char *path) {
  guint8 key[kKeyLength];
  size_t got = 0;
  while (got < sizeof key) {
    const ssize_t n = getrandom(key + got, sizeof key - got, 0);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      g_printerr("kavrodctl: no random bytes from the kernel: %s\n", g_strerror(errno));
      return kFailed;
    }
    got += static_cast<size_t>(n);
  }
  // Debian does not ship systemd's credential store: made root-only.
  if (strcmp(path, kDefaultKeyPath) == 0) {
    g_autofree gchar *store = g_path_get_dirname(path);
    if (g_mkdir_with_parents(store, 0700) != 0) {
      const int saved = errno;
      explicit_bzero(key, sizeof key);
      g_printerr("kavrodctl: cannot create %s: %s\n", store, g_strerror(saved));
      return kFailed;
    }
  }
  const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    const int saved = errno;
    explicit_bzero(key, sizeof key);
    g_printerr("kavrodctl: cannot create %s: %s%s\n", path, g_strerror(saved),
               saved == EEXIST ? " (a key is never overwritten: remove it first if you mean to)" : "");
    return kFailed;
  }
  size_t written = 0;
  int saved = 0;
  while (written < sizeof key) {
    const ssize_t n = write(fd, key + written, sizeof key - written);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      saved = errno;
      break;
    }
    written += static_cast<size_t>(n);
  }
  explicit_bzero(key, sizeof key);
  if (saved == 0 && fsync(fd) != 0)
    saved = errno;
  if (close(fd) != 0 && saved == 0)
    saved = errno;
  if (saved != 0) {
    // A short key would make the services refuse to start: leave none.
    unlink(path);
    g_printerr("kavrodctl: cannot write %s: %s\n", path, g_strerror(saved));
    return kFailed;
  }
  g_print("Wrote a new beacon key to %s\n", path);
  return kOk;
}

void print_status(GVariant *status, bool json) {
  static const char *const counters[] = {"beacons",  "own_beacons", "events", "repeats",
                                         "foreign",  "unsigned",    "forged", "stale",
                                         "replayed", "registration_failures"};
  guint64 age_ms = 0;
  const bool has_event = g_variant_lookup(status, "last_event_age_ms", "t", &age_ms);
  guint32 retry_ms = 0;
  const bool retrying = g_variant_lookup(status, "retry_in_ms", "u", &retry_ms);
  gint64 changed_us = 0;
  const bool has_change = g_variant_lookup(status, "last_state_change_time", "x", &changed_us);
  const std::string state = get_string(status, "state");
  const std::string adapter = get_string(status, "adapter");
  const std::string error = get_string(status, "last_error");

  if (json) {
    std::string out = "{\"state\":" + json_string(state.c_str()) + ",\"adapter\":" +
                      json_string_or_null(adapter.c_str()) +
                      ",\"engine\":" + (get_bool(status, "engine") ? "true" : "false") +
                      ",\"system_id_known\":" + (get_bool(status, "system_id_known") ? "true" : "false") +
                      ",\"auth\":" + json_string(get_string(status, "auth").c_str());
    for (const char *key : counters)
      out += std::string(",\"") + key + "\":" + std::to_string(get_u64(status, key));
    gchar number[32];
    out += ",\"last_event_age_s\":";
    out += has_event ? (g_ascii_formatd(number, sizeof number, "%.3f", static_cast<double>(age_ms) / 1000.0))
                     : "null";
    out += ",\"retry_in_s\":";
    out += retrying ? (g_ascii_formatd(number, sizeof number, "%.3f", static_cast<double>(retry_ms) / 1000.0))
                    : "null";
    out += ",\"last_error\":" + json_string_or_null(error.c_str()) + "}";
    g_print("%s\n", out.c_str());
    return;
  }

  g_print("State:                 %s\n", state.c_str());
  g_print("Adapter:               %s\n", adapter.empty() ? "(none)" : adapter.c_str());
  g_print("Engine answered:       %s\n", get_bool(status, "engine") ? "yes" : "no");
  g_print("System ID known:       %s\n", get_bool(status, "system_id_known") ? "yes" : "no");
  g_print("Beacons heard:         %" G_GUINT64_FORMAT "\n", get_u64(status, "beacons"));
  g_print("Own beacons:           %" G_GUINT64_FORMAT "\n", get_u64(status, "own_beacons"));
  g_print("Events published:      %" G_GUINT64_FORMAT "\n", get_u64(status, "events"));
  g_print("Repeats dropped:       %" G_GUINT64_FORMAT "\n", get_u64(status, "repeats"));
  g_print("Foreign beacons:       %" G_GUINT64_FORMAT "\n", get_u64(status, "foreign"));
  g_print("Signed beacons:        %s\n", get_string(status, "auth").c_str());
  g_print("Unsigned dropped:      %" G_GUINT64_FORMAT "\n", get_u64(status, "unsigned"));
  g_print("Forged dropped:        %" G_GUINT64_FORMAT "\n", get_u64(status, "forged"));
  g_print("Stale dropped:         %" G_GUINT64_FORMAT "\n", get_u64(status, "stale"));
  g_print("Replayed dropped:      %" G_GUINT64_FORMAT "\n", get_u64(status, "replayed"));
  g_print("Registration failures: %" G_GUINT64_FORMAT "\n", get_u64(status, "registration_failures"));
  if (has_event)
    g_print("Last event:            %.1f s ago\n", static_cast<double>(age_ms) / 1000.0);
  else
    g_print("Last event:            never\n");
  if (has_change) {
    g_autoptr(GDateTime) when = g_date_time_new_from_unix_local(changed_us / G_USEC_PER_SEC);
    g_autofree gchar *text = when != nullptr ? g_date_time_format(when, "%Y-%m-%d %H:%M:%S") : g_strdup("?");
    g_print("Last state change:     %s\n", text);
  }
  if (retrying)
    g_print("Next retry in:         %.1f s\n", static_cast<double>(retry_ms) / 1000.0);
  g_print("Last error:            %s\n", error.empty() ? "none" : error.c_str());
}

}  // namespace

int main(int argc, char **argv) {
  gboolean json = FALSE;
  gint timeout_s = 5;
  const GOptionEntry entries[] = {
      {"json", 0, 0, G_OPTION_ARG_NONE, &json, "Print one JSON object", nullptr},
      {"timeout", 0, 0, G_OPTION_ARG_INT, &timeout_s, "Seconds to wait for kavrod (default 5)", "SECONDS"},
      {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};
  g_autoptr(GOptionContext) context = g_option_context_new("COMMAND");
  g_option_context_add_main_entries(context, entries, nullptr);
  g_option_context_set_help_enabled(context, FALSE);
  g_option_context_set_ignore_unknown_options(context, FALSE);

  for (int i = 1; i < argc; i++) {
    if (g_strcmp0(argv[i], "-h") == 0 || g_strcmp0(argv[i], "--help") == 0 || g_strcmp0(argv[i], "help") == 0) {
      fputs(kHelp, stdout);
      return kOk;
    }
  }
  g_autoptr(GError) error = nullptr;
  if (!g_option_context_parse(context, &argc, &argv, &error)) {
    g_printerr("kavrodctl: %s\nTry 'kavrodctl --help'.\n", error->message);
    return kUsage;
  }
  if (argc >= 2 && g_strcmp0(argv[1], "new-key") == 0) {
    if (argc > 3) {
      g_printerr("kavrodctl: new-key takes one PATH at most\nTry 'kavrodctl --help'.\n");
      return kUsage;
    }
    return new_key(argc == 3 ? argv[2] : kDefaultKeyPath);
  }
  if (argc != 2) {
    g_printerr("kavrodctl: %s\nTry 'kavrodctl --help'.\n", argc < 2 ? "no command given" : "one command only");
    return kUsage;
  }
  if (timeout_s <= 0 || timeout_s > 3600) {
    g_printerr("kavrodctl: --timeout must be 1 to 3600 seconds\n");
    return kUsage;
  }
  const std::string command = argv[1];
  const char *interface = kControl, *method = nullptr, *reply_type = "()";
  if (command == "status") {
    interface = kDiagnostics;
    method = "Status";
    reply_type = "(a{sv})";
  } else if (command == "list") {
    method = "List";
    reply_type = "(as)";
  } else if (command == "pause") {
    method = "Pause";
  } else if (command == "resume") {
    method = "Resume";
  } else {
    g_printerr("kavrodctl: unknown command '%s'\nTry 'kavrodctl --help'.\n", command.c_str());
    return kUsage;
  }

  g_autoptr(GDBusConnection) bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
  if (bus == nullptr) {
    g_printerr("kavrodctl: cannot connect to the system bus: %s\n", error->message);
    return kFailed;
  }
  g_autoptr(GVariant) reply =
      g_dbus_connection_call_sync(bus, kBusName, kPath, interface, method, nullptr, G_VARIANT_TYPE(reply_type),
                                  G_DBUS_CALL_FLAGS_NO_AUTO_START, timeout_s * 1000, nullptr, &error);
  if (reply == nullptr)
    return report_failure(error, timeout_s);

  if (command == "status") {
    g_autoptr(GVariant) status = g_variant_get_child_value(reply, 0);
    print_status(status, json);
  } else if (command == "list") {
    g_autofree const gchar **ids = nullptr;
    g_variant_get(reply, "(^a&s)", &ids);
    const gchar *id = ids != nullptr && ids[0] != nullptr ? ids[0] : "";
    if (json)
      g_print("{\"system_id\":%s}\n", json_string_or_null(id).c_str());
    else
      g_print("%s\n", *id != '\0' ? id : "(none)");
  } else if (json) {
    g_print("{}\n");
  }
  return kOk;
}

/* Instruction counts of a program under callgrind, for the measured window
 * only: the program runs under `valgrind --tool=callgrind`, the counters
 * are zeroed before the window and dumped after it (callgrind_control -z
 * and -d, which reach the program through vgdb even while it waits in a
 * system call). A dump covers all threads of the program. Instruction
 * counts do not swing with the load of the machine as times do. */
#pragma once

#include <glib.h>
#include <glib/gstdio.h>
#include <sys/types.h>
#include <unistd.h>

#include <cinttypes>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench.h"

namespace bench {

class Callgrind {
 public:
  Callgrind() {
    char tmpl[] = "/tmp/bench-callgrind-XXXXXX";
    if (g_mkdtemp(tmpl) == nullptr)
      throw std::runtime_error("cannot create a directory for callgrind's output");
    dir_ = tmpl;
  }
  ~Callgrind() {
    if (g_getenv("BENCH_KEEP_CALLGRIND") != nullptr) {
      g_printerr("callgrind output kept in %s\n", dir_.c_str());
      return;
    }
    g_autoptr(GDir) dir = g_dir_open(dir_.c_str(), 0, nullptr);
    const gchar *name;
    while (dir != nullptr && (name = g_dir_read_name(dir)) != nullptr)
      g_unlink((dir_ + "/" + name).c_str());
    g_rmdir(dir_.c_str());
  }
  Callgrind(const Callgrind &) = delete;
  Callgrind &operator=(const Callgrind &) = delete;

  /* BENCH_CALLGRIND_DRY=1 runs the windows without valgrind, counting
   * nothing: for trying a bench's phases quickly. */
  static bool dry() { return g_getenv("BENCH_CALLGRIND_DRY") != nullptr; }

  /* @argv run under callgrind. */
  std::vector<std::string> wrap(const std::vector<std::string> &argv) const {
    if (dry())
      return argv;
    std::vector<std::string> full = {"valgrind", "--tool=callgrind", "--callgrind-out-file=" + dir_ + "/cg.%p",
                                     "--dump-line=no", "--compress-strings=no"};
    full.insert(full.end(), argv.begin(), argv.end());
    return full;
  }

  /* Zeroes the counters of @pid: the window starts. */
  static void zero(pid_t pid) {
    if (!dry())
      control("-z", pid);
  }

  /* Dumps the counters of @pid and returns the instructions since zero(). */
  guint64 dump(pid_t pid) {
    if (dry())
      return 0;
    control("-d", pid);
    const std::string prefix = "cg." + std::to_string(pid) + ".";
    std::string newest;
    long best = -1;
    g_autoptr(GDir) dir = g_dir_open(dir_.c_str(), 0, nullptr);
    const gchar *name;
    while (dir != nullptr && (name = g_dir_read_name(dir)) != nullptr) {
      if (!g_str_has_prefix(name, prefix.c_str()))
        continue;
      const long n = strtol(name + prefix.size(), nullptr, 10);
      if (n > best) {
        best = n;
        newest = dir_ + "/" + name;
      }
    }
    g_autofree gchar *text = nullptr;
    if (newest.empty() || !g_file_get_contents(newest.c_str(), &text, nullptr, nullptr))
      throw std::runtime_error("callgrind wrote no dump for pid " + std::to_string(pid));
    const gchar *line = strstr(text, "\ntotals:");
    if (line == nullptr)
      line = strstr(text, "\nsummary:");
    if (line == nullptr)
      throw std::runtime_error("no totals in " + newest);
    return g_ascii_strtoull(strchr(line + 1, ':') + 1, nullptr, 10);
  }

 private:
  static void control(const char *what, pid_t pid) {
    g_autofree gchar *pid_text = g_strdup_printf("%d", static_cast<int>(pid));
    const gchar *argv[] = {"callgrind_control", what, pid_text, nullptr};
    gint status = 0;
    g_autoptr(GError) error = nullptr;
    if (!g_spawn_sync(nullptr, const_cast<gchar **>(argv), nullptr, static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDOUT_TO_DEV_NULL), nullptr, nullptr, nullptr,
                      nullptr, &status, &error) ||
        !g_spawn_check_wait_status(status, nullptr))
      throw std::runtime_error(std::string("callgrind_control ") + what + " " + pid_text + " failed" +
                               (error != nullptr ? std::string(": ") + error->message : std::string()));
  }

  std::string dir_;
};

}  // namespace bench

/* Shared pieces of the soak and fault-injection programs: process figures
 * from /proc, a verdict that collects broken invariants, and beacon data. */
#pragma once

#include <gio/gio.h>
#include <sys/types.h>

#include <initializer_list>
#include <string>
#include <utility>

namespace soak {

/* Figures of a running process, read from /proc. */
struct ProcStat {
  long fds = -1;
  long rss_kb = -1;
  long threads = -1;
  double cpu_s = -1;  // user + system
};
ProcStat proc_stat(pid_t pid);
std::string describe(const ProcStat &s);

/* Points the harness at the built programs unless the environment already
 * names them (the test suite sets the same variables). */
void default_paths();

/* Collects broken invariants; the program exits 1 when any broke. */
class Verdict {
 public:
  void check(bool ok, const char *format, ...) G_GNUC_PRINTF(3, 4);
  unsigned failures() const { return failures_; }
  int exit_status() const;

 private:
  unsigned failures_ = 0;
};

/* The 19 bytes after the company identifier: version, System ID, event,
 * sequence number. */
GVariant *beacon_payload(const std::string &systemid, guint8 event, guint8 sequence);
/* A sender address made from @n (distinct for distinct @n below 2^24). */
std::string address(guint32 n);

/* Parses the command line; exits 2 with a message on a bad option or
 * when an integer option in @positive is not above zero. */
void parse_options(int *argc, char ***argv, const char *summary, GOptionEntry *entries,
                   std::initializer_list<std::pair<const char *, gint64>> positive);

}  // namespace soak

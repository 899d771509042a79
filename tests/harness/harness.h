/* Test harness: a private system bus per test (or group), child processes
 * with captured logs, and waits on conditions with deadlines.
 *
 * Every child gets DBUS_SYSTEM_BUS_ADDRESS of the private bus,
 * G_MESSAGES_DEBUG=all and G_DEBUG=fatal-criticals (unless overridden).
 * Timeouts are multiplied by $TEST_TIMEOUT_SCALE (slow builds: sanitizers,
 * valgrind, qemu). */
#pragma once

#include <gio/gio.h>
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace th {

/* Path of a built artefact or data file, from an environment variable that
 * the build sets for the tests (aborts when it is missing). */
std::string env_path(const char *variable);

/* @ms scaled by $TEST_TIMEOUT_SCALE. */
int scaled(int ms);

/* Iterates the thread-default main context until @cond holds or @timeout_ms
 * passed; returns the last value of @cond. */
bool wait_until(const std::function<bool()> &cond, int timeout_ms = 5000);

class Bus {
 public:
  enum class Policy {
    AllowAll,  /* anyone may own and call anything */
    System,    /* default-deny system policy plus root's rights and @policy_files */
  };
  explicit Bus(Policy policy = Policy::AllowAll, std::vector<std::string> policy_files = {});
  ~Bus();
  Bus(const Bus &) = delete;
  Bus &operator=(const Bus &) = delete;

  const std::string &address() const { return address_; }
  /* A private connection of the test process to this bus. */
  GDBusConnection *connection();
  /* Another connection to this bus, a peer of its own (a new unique name);
   * the caller owns it. */
  GDBusConnection *new_connection();
  /* Waits until @name has an owner on the bus. */
  bool wait_for_name(const char *name, int timeout_ms = 5000);
  bool has_owner(const char *name);

 private:
  std::string dir_;
  std::string address_;
  pid_t pid_ = -1;
  GDBusConnection *connection_ = nullptr;
};

class Process {
 public:
  /* Starts @argv with the current environment plus @env (an empty value
   * removes the variable); stdout and stderr are captured together. */
  explicit Process(std::vector<std::string> argv, std::map<std::string, std::string> env = {});
  ~Process();
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;

  pid_t pid() const { return pid_; }
  /* Waits until the log holds @needle at or after byte @from. */
  bool wait_for_log(const std::string &needle, int timeout_ms = 5000, size_t from = 0);
  /* Occurrences of @needle in the log. */
  size_t count(const std::string &needle) const;
  std::string log() const;
  size_t log_size() const;
  bool running();
  /* Sends @sig and waits; returns the exit status, 128+signal when killed
   * by a signal, or -1 on timeout (then the process is killed). */
  int stop(int sig = SIGTERM, int timeout_ms = 10000);
  /* Waits for the process to end by itself; same results as stop(). */
  int wait_exit(int timeout_ms = 10000);

 private:
  void reader_main(int fd);
  int reap(int timeout_ms);

  pid_t pid_ = -1;
  int status_ = -2;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::condition_variable cond_;
  std::string log_;
  bool eof_ = false;
};

/* Synchronous call helper: returns the reply or nullptr with @error set. */
GVariant *call(GDBusConnection *connection, const char *dest, const char *path,
               const char *iface, const char *method, GVariant *params,
               const char *reply_type, GError **error, int timeout_ms = 5000);

/* A version-1 beacon's 19 bytes after the company identifier: version,
 * the System ID's 16 bytes, event number, sequence number. */
std::vector<guint8> beacon_bytes(const std::string &systemid, guint8 event, guint8 sequence);

/* Records log messages of the test process itself (GLib default handler);
 * criticals and warnings are recorded instead of aborting while it lives. */
class LogCapture {
 public:
  struct Record {
    GLogLevelFlags level;
    std::string message;
  };
  LogCapture();
  ~LogCapture();
  std::vector<Record> records() const;
  size_t count(GLogLevelFlags level, const std::string &needle) const;
  bool contains(const std::string &needle) const;
  void clear();

 private:
  static void handler(const gchar *domain, GLogLevelFlags level, const gchar *message, gpointer data);
  mutable std::mutex mutex_;
  std::vector<Record> records_;
  GLogFunc old_handler_ = nullptr;
  gpointer old_data_ = nullptr;
  GLogLevelFlags old_fatal_;
};

/* A directory of systemd-style credentials (one file per credential, raw
 * bytes), removed with its files at destruction; hand path() to a child
 * as $CREDENTIALS_DIRECTORY. */
class Credentials {
 public:
  Credentials();
  ~Credentials();
  Credentials(const Credentials &) = delete;
  Credentials &operator=(const Credentials &) = delete;
  void put(const std::string &name, const std::vector<guint8> &bytes);
  const std::string &path() const { return dir_; }

 private:
  std::string dir_;
  std::vector<std::string> files_;
};

}  // namespace th

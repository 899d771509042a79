#include "harness.h"

#include <fcntl.h>
#include <glib/gstdio.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace th {

std::string env_path(const char *variable) {
  const char *value = g_getenv(variable);
  if (value == nullptr || *value == '\0')
    g_error("test environment variable %s is not set", variable);
  return value;
}

int scaled(int ms) {
  const char *scale = g_getenv("TEST_TIMEOUT_SCALE");
  double factor = scale != nullptr ? g_ascii_strtod(scale, nullptr) : 1.0;
  if (factor < 1.0)
    factor = 1.0;
  return static_cast<int>(ms * factor);
}

bool wait_until(const std::function<bool()> &cond, int timeout_ms) {
  const gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(scaled(timeout_ms)) * 1000;
  GMainContext *context = g_main_context_get_thread_default();
  for (;;) {
    while (g_main_context_iteration(context, FALSE)) {
    }
    if (cond())
      return true;
    if (g_get_monotonic_time() >= deadline)
      return cond();
    g_usleep(2000);
  }
}

/* ---- Bus ---------------------------------------------------------------- */

static const char bus_config_head[] =
    "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
    " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
    "<busconfig>\n"
    "  <type>system</type>\n"
    "  <listen>unix:path=%s/bus</listen>\n"
    "  <auth>EXTERNAL</auth>\n"
    "  <limit name=\"reply_timeout\">60000</limit>\n";

static const char allow_all_policy[] =
    "  <policy context=\"default\">\n"
    "    <allow user=\"*\"/>\n"
    "    <allow own=\"*\"/>\n"
    "    <allow send_type=\"method_call\"/>\n"
    "    <allow send_type=\"signal\"/>\n"
    "    <allow send_requested_reply=\"true\" send_type=\"method_return\"/>\n"
    "    <allow send_requested_reply=\"true\" send_type=\"error\"/>\n"
    "    <allow receive_type=\"method_call\"/>\n"
    "    <allow receive_type=\"method_return\"/>\n"
    "    <allow receive_type=\"error\"/>\n"
    "    <allow receive_type=\"signal\"/>\n"
    "    <allow eavesdrop=\"true\"/>\n"
    "  </policy>\n";

/* The stock system bus policy (default deny); root stands for the device's
 * own services, which each have their own policy file there. */
static const char system_policy[] =
    "  <policy context=\"default\">\n"
    "    <allow user=\"*\"/>\n"
    "    <deny own=\"*\"/>\n"
    "    <deny send_type=\"method_call\"/>\n"
    "    <allow send_type=\"signal\"/>\n"
    "    <allow send_requested_reply=\"true\" send_type=\"method_return\"/>\n"
    "    <allow send_requested_reply=\"true\" send_type=\"error\"/>\n"
    "    <allow receive_type=\"method_call\"/>\n"
    "    <allow receive_type=\"method_return\"/>\n"
    "    <allow receive_type=\"error\"/>\n"
    "    <allow receive_type=\"signal\"/>\n"
    "    <allow send_destination=\"org.freedesktop.DBus\" send_interface=\"org.freedesktop.DBus\"/>\n"
    "    <allow send_destination=\"org.freedesktop.DBus\" send_interface=\"org.freedesktop.DBus.Introspectable\"/>\n"
    "    <allow send_destination=\"org.freedesktop.DBus\" send_interface=\"org.freedesktop.DBus.Properties\"/>\n"
    "    <deny send_destination=\"org.freedesktop.DBus\" send_interface=\"org.freedesktop.DBus\" send_member=\"UpdateActivationEnvironment\"/>\n"
    "  </policy>\n"
    "  <policy user=\"root\">\n"
    "    <allow own=\"*\"/>\n"
    "    <allow send_type=\"method_call\"/>\n"
    "  </policy>\n";

Bus::Bus(Policy policy, std::vector<std::string> policy_files) {
  char tmpl[] = "/tmp/kavrod-test-bus-XXXXXX";
  if (mkdtemp(tmpl) == nullptr)
    g_error("mkdtemp: %s", g_strerror(errno));
  dir_ = tmpl;
  // Other uids (security tests) must reach the socket.
  chmod(dir_.c_str(), 0755);

  std::string config = dir_ + "/bus.conf";
  {
    std::ofstream out(config);
    char head[1024];
    g_snprintf(head, sizeof head, bus_config_head, dir_.c_str());
    out << head << (policy == Policy::AllowAll ? allow_all_policy : system_policy);
    for (const auto &file : policy_files)
      out << "  <include>" << file << "</include>\n";
    out << "</busconfig>\n";
  }

  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0)
    g_error("pipe: %s", g_strerror(errno));
  pid_ = fork();
  if (pid_ == 0) {
    dup2(pipefd[1], 3);
    std::string config_arg = "--config-file=" + config;
    execlp("dbus-daemon", "dbus-daemon", config_arg.c_str(), "--nofork", "--nopidfile",
           "--print-address=3", static_cast<char *>(nullptr));
    _exit(127);
  }
  close(pipefd[1]);
  std::string line;
  char c;
  while (read(pipefd[0], &c, 1) == 1 && c != '\n')
    line += c;
  close(pipefd[0]);
  if (line.empty())
    g_error("dbus-daemon did not start (config %s)", config.c_str());
  address_ = line;
  g_setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), TRUE);
}

Bus::~Bus() {
  if (connection_ != nullptr) {
    g_dbus_connection_close_sync(connection_, nullptr, nullptr);
    g_object_unref(connection_);
  }
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status;
    waitpid(pid_, &status, 0);
  }
  g_autofree gchar *config = g_build_filename(dir_.c_str(), "bus.conf", nullptr);
  g_autofree gchar *socket = g_build_filename(dir_.c_str(), "bus", nullptr);
  g_unlink(config);
  g_unlink(socket);
  g_rmdir(dir_.c_str());
}

GDBusConnection *Bus::connection() {
  if (connection_ == nullptr)
    connection_ = new_connection();
  return connection_;
}

GDBusConnection *Bus::new_connection() {
  g_autoptr(GError) error = nullptr;
  GDBusConnection *connection = g_dbus_connection_new_for_address_sync(
      address_.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
  if (connection == nullptr)
    g_error("cannot connect to the test bus %s: %s", address_.c_str(), error->message);
  g_dbus_connection_set_exit_on_close(connection, FALSE);
  return connection;
}

bool Bus::has_owner(const char *name) {
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      connection(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "NameHasOwner", g_variant_new("(s)", name), G_VARIANT_TYPE("(b)"),
      G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
  gboolean owned = FALSE;
  if (reply != nullptr)
    g_variant_get(reply, "(b)", &owned);
  return owned;
}

bool Bus::wait_for_name(const char *name, int timeout_ms) {
  return wait_until([&] { return has_owner(name); }, timeout_ms);
}

/* ---- Process ------------------------------------------------------------ */

Process::Process(std::vector<std::string> argv, std::map<std::string, std::string> env) {
  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0)
    g_error("pipe: %s", g_strerror(errno));

  std::map<std::string, std::string> full_env = {
      {"G_MESSAGES_DEBUG", "all"},
      {"G_DEBUG", "fatal-criticals"},
  };
  for (const auto &kv : env)
    full_env[kv.first] = kv.second;

  pid_ = fork();
  if (pid_ == 0) {
    dup2(pipefd[1], STDOUT_FILENO);
    dup2(pipefd[1], STDERR_FILENO);
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, STDIN_FILENO);
    for (const auto &kv : full_env) {
      if (kv.second.empty())
        unsetenv(kv.first.c_str());
      else
        setenv(kv.first.c_str(), kv.second.c_str(), 1);
    }
    std::vector<char *> args;
    for (auto &a : argv)
      args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    fprintf(stderr, "exec %s: %s\n", args[0], strerror(errno));
    _exit(127);
  }
  close(pipefd[1]);
  reader_ = std::thread(&Process::reader_main, this, pipefd[0]);
}

Process::~Process() {
  if (status_ == -2 && pid_ > 0) {
    if (stop(SIGTERM, 5000) == -1)
      g_printerr("process %d did not stop on SIGTERM\n", pid_);
  }
  if (reader_.joinable())
    reader_.join();
  if (g_getenv("TEST_SHOW_LOGS") != nullptr)
    g_printerr("---- log of %d ----\n%s\n", pid_, log_.c_str());
}

void Process::reader_main(int fd) {
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    std::lock_guard<std::mutex> lock(mutex_);
    log_.append(buf, static_cast<size_t>(n));
    cond_.notify_all();
  }
  close(fd);
  std::lock_guard<std::mutex> lock(mutex_);
  eof_ = true;
  cond_.notify_all();
}

bool Process::wait_for_log(const std::string &needle, int timeout_ms, size_t from) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto found = [&] { return log_.size() >= from && log_.find(needle, from) != std::string::npos; };
  return cond_.wait_for(lock, std::chrono::milliseconds(scaled(timeout_ms)),
                        [&] { return found() || eof_; }) && found();
}

size_t Process::count(const std::string &needle) const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t n = 0;
  for (size_t pos = log_.find(needle); pos != std::string::npos; pos = log_.find(needle, pos + needle.size()))
    n++;
  return n;
}

std::string Process::log() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_;
}

size_t Process::log_size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_.size();
}

bool Process::running() {
  if (status_ != -2)
    return false;
  int status;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
  }
  return true;
}

int Process::reap(int timeout_ms) {
  const gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(scaled(timeout_ms)) * 1000;
  while (status_ == -2) {
    int status;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (g_get_monotonic_time() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      status_ = 128 + SIGKILL;
      return -1;
    }
    g_usleep(2000);
  }
  // The last lines may still be in the pipe: give the reader a moment to
  // drain it (a grandchild holding the pipe open must not block us).
  std::unique_lock<std::mutex> lock(mutex_);
  cond_.wait_for(lock, std::chrono::milliseconds(2000), [&] { return eof_; });
  return status_;
}

int Process::stop(int sig, int timeout_ms) {
  if (status_ != -2)
    return status_;
  kill(pid_, sig);
  return reap(timeout_ms);
}

int Process::wait_exit(int timeout_ms) { return reap(timeout_ms); }

/* ---- calls -------------------------------------------------------------- */

GVariant *call(GDBusConnection *connection, const char *dest, const char *path, const char *iface,
               const char *method, GVariant *params, const char *reply_type, GError **error,
               int timeout_ms) {
  return g_dbus_connection_call_sync(connection, dest, path, iface, method, params,
                                     reply_type != nullptr ? G_VARIANT_TYPE(reply_type) : nullptr,
                                     G_DBUS_CALL_FLAGS_NONE, scaled(timeout_ms), nullptr, error);
}

/* ---- LogCapture --------------------------------------------------------- */

LogCapture::LogCapture() {
  old_handler_ = g_log_set_default_handler(&LogCapture::handler, this);
  old_fatal_ = g_log_set_always_fatal(static_cast<GLogLevelFlags>(G_LOG_FATAL_MASK));
}

LogCapture::~LogCapture() {
  g_log_set_default_handler(old_handler_, old_data_);
  g_log_set_always_fatal(old_fatal_);
}

void LogCapture::handler(const gchar *, GLogLevelFlags level, const gchar *message, gpointer data) {
  auto *self = static_cast<LogCapture *>(data);
  std::lock_guard<std::mutex> lock(self->mutex_);
  self->records_.push_back({static_cast<GLogLevelFlags>(level & G_LOG_LEVEL_MASK), message ? message : ""});
}

std::vector<LogCapture::Record> LogCapture::records() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

size_t LogCapture::count(GLogLevelFlags level, const std::string &needle) const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t n = 0;
  for (const auto &r : records_)
    if (r.level == level && r.message.find(needle) != std::string::npos)
      n++;
  return n;
}

bool LogCapture::contains(const std::string &needle) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto &r : records_)
    if (r.message.find(needle) != std::string::npos)
      return true;
  return false;
}

void LogCapture::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.clear();
}

Credentials::Credentials() {
  g_autoptr(GError) error = nullptr;
  g_autofree gchar *dir = g_dir_make_tmp("credentials-XXXXXX", &error);
  if (dir == nullptr)
    g_error("cannot make a credentials directory: %s", error->message);
  dir_ = dir;
}

Credentials::~Credentials() {
  for (const std::string &file : files_)
    g_unlink(file.c_str());
  g_rmdir(dir_.c_str());
}

void Credentials::put(const std::string &name, const std::vector<guint8> &bytes) {
  const std::string file = dir_ + "/" + name;
  g_autoptr(GError) error = nullptr;
  if (!g_file_set_contents(file.c_str(), reinterpret_cast<const gchar *>(bytes.data()),
                           static_cast<gssize>(bytes.size()), &error))
    g_error("cannot write credential %s: %s", file.c_str(), error->message);
  files_.push_back(file);
}

std::vector<guint8> beacon_bytes(const std::string &systemid, guint8 event, guint8 sequence) {
  std::vector<guint8> payload(19);
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
  return payload;
}

}  // namespace th

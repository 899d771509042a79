/* libvesk: who may do what, for D-Bus services.
 *
 * The policy file is examined at every check (one stat) and read again
 * when its identity, size or time stamps changed, so an edit takes effect
 * at the next check; the parsed form is reused while the text is the same.
 * Only regular files are opened, without blocking. A file that turns
 * unreadable or malformed fails every check: an error never allows.
 * Answers per (uid, action) are kept while the policy and the user
 * database files stay the same.
 *
 * The bus daemon is asked for callers' uids over a private connection that
 * the library owns: the process's shared system-bus connection may be set
 * to end the process when the bus goes away, and the caller may be on any
 * thread. The connection is made on first use, and made again when it was
 * closed or when the system bus address changed. */
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gio/gio.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "config.h"
#include "vesk-policy.h"

#pragma GCC visibility push(default)
#include "vesk.h"
#pragma GCC visibility pop

namespace {

constexpr int bus_call_timeout_ms = 2000;
/* A policy is a handful of lines; anything this big is not one. */
constexpr off_t max_policy_size = 1 << 20;

std::string policy_path() {
  const char *path = g_getenv("VESK_POLICY");
  if (path != nullptr && *path != '\0')
    return path;
  return std::string(SYSCONFDIR) + "/vesk/policy.conf";
}

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0)
      close(fd);
  }
};

/* What identifies a file's version without reading it. Time stamps have
 * the kernel's coarse clock resolution, so a rewrite of the same size
 * within one tick keeps them: see `settled` below. */
struct FileSignature {
  dev_t dev = 0;
  ino_t ino = 0;
  mode_t mode = 0;
  off_t size = 0;
  gint64 mtime_ns = 0;
  gint64 ctime_ns = 0;

  static FileSignature of(const struct stat &st) {
    FileSignature sig;
    sig.dev = st.st_dev;
    sig.ino = st.st_ino;
    sig.mode = st.st_mode;
    sig.size = st.st_size;
    sig.mtime_ns = static_cast<gint64>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    sig.ctime_ns = static_cast<gint64>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return sig;
  }
  bool operator==(const FileSignature &o) const {
    return dev == o.dev && ino == o.ino && mode == o.mode && size == o.size && mtime_ns == o.mtime_ns &&
           ctime_ns == o.ctime_ns;
  }
  bool operator!=(const FileSignature &o) const { return !(*this == o); }
  /* True once both time stamps are old enough that a later write must
   * change one of them; until then the text has to be read to be sure. */
  bool settled(gint64 now_us) const {
    constexpr gint64 margin_ns = 2 * G_GINT64_CONSTANT(1000000000);
    const gint64 now_ns = now_us * 1000;
    return mtime_ns + margin_ns < now_ns && ctime_ns + margin_ns < now_ns;
  }
};

const char *file_kind(mode_t mode) {
  if (S_ISDIR(mode))
    return "a directory";
  if (S_ISFIFO(mode))
    return "a FIFO";
  if (S_ISSOCK(mode))
    return "a socket";
  if (S_ISCHR(mode))
    return "a character device";
  if (S_ISBLK(mode))
    return "a block device";
  return "not a regular file";
}

void set_not_regular(const std::string &path, mode_t mode, GError **error) {
  g_set_error(error, VESK_ERROR, VESK_ERROR_FAILED, "policy file '%s' is %s, not a regular file", path.c_str(),
              file_kind(mode));
}

/* Reads @path into @text and its signature into @sig; false with @missing
 * set when it does not exist. Never blocks: a FIFO or device is refused
 * before anything is read from it. */
bool read_policy_file(const std::string &path, std::string *text, FileSignature *sig, bool *missing,
                      GError **error) {
  *missing = false;
  FdCloser file{open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};
  if (file.fd < 0) {
    int saved = errno;
    if (saved == ENOENT) {
      *missing = true;
      return false;
    }
    g_set_error(error, VESK_ERROR, VESK_ERROR_FAILED, "cannot open policy file '%s': %s",
                path.c_str(), g_strerror(saved));
    return false;
  }
  struct stat st;
  if (fstat(file.fd, &st) != 0) {
    int saved = errno;
    g_set_error(error, VESK_ERROR, VESK_ERROR_FAILED, "cannot stat policy file '%s': %s",
                path.c_str(), g_strerror(saved));
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    set_not_regular(path, st.st_mode, error);
    return false;
  }
  if (st.st_size > max_policy_size) {
    g_set_error(error, VESK_ERROR, VESK_ERROR_FAILED,
                "policy file '%s' is too large (%lld bytes, at most %lld)", path.c_str(),
                static_cast<long long>(st.st_size), static_cast<long long>(max_policy_size));
    return false;
  }
  *sig = FileSignature::of(st);
  text->clear();
  char buffer[4096];
  for (;;) {
    ssize_t n = read(file.fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      int saved = errno;
      g_set_error(error, VESK_ERROR, VESK_ERROR_FAILED, "cannot read policy file '%s': %s",
                  path.c_str(), g_strerror(saved));
      return false;
    }
    if (n == 0)
      break;
    text->append(buffer, static_cast<size_t>(n));
    if (text->size() > static_cast<size_t>(max_policy_size)) {
      g_set_error(error, VESK_ERROR, VESK_ERROR_FAILED, "policy file '%s' is too large",
                  path.c_str());
      return false;
    }
  }
  return true;
}

/* Signature of the file at @path; false with @missing set when there is
 * none, false with @error when it cannot be examined. */
bool stat_file(const std::string &path, FileSignature *sig, bool *missing, GError **error) {
  *missing = false;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    int saved = errno;
    if (saved == ENOENT) {
      *missing = true;
      return false;
    }
    g_set_error(error, VESK_ERROR, VESK_ERROR_FAILED, "cannot stat policy file '%s': %s", path.c_str(),
                g_strerror(saved));
    return false;
  }
  *sig = FileSignature::of(st);
  return true;
}

/* The last policy read, shared by all threads. */
struct PolicyCache {
  std::mutex mutex;
  bool valid = false;
  std::string path;
  bool missing = false;
  FileSignature sig;
  bool settled = false; /* sig alone tells whether the file changed */
  std::string text;
  std::shared_ptr<const vesk::Policy> policy;
};

PolicyCache &policy_cache() {
  static PolicyCache cache;
  return cache;
}

/* The current policy: read again from its file when the file's identity,
 * size or time stamps differ from the last reading (or are too recent to
 * tell). */
std::shared_ptr<const vesk::Policy> current_policy(GError **error) {
  PolicyCache &cache = policy_cache();
  std::lock_guard<std::mutex> lock(cache.mutex);

  std::string path = policy_path();
  FileSignature sig;
  bool missing = false;
  g_autoptr(GError) stat_error = nullptr;
  if (!stat_file(path, &sig, &missing, &stat_error) && !missing) {
    cache.valid = false;
    g_propagate_error(error, g_steal_pointer(&stat_error));
    return nullptr;
  }
  if (!missing && !S_ISREG(sig.mode)) {
    // Opening a FIFO would wait for a writer: refuse it from its type.
    cache.valid = false;
    set_not_regular(path, sig.mode, error);
    return nullptr;
  }
  if (cache.valid && cache.path == path && cache.missing == missing &&
      (missing || (cache.settled && cache.sig == sig)))
    return cache.policy;

  std::string text;
  const gint64 now = g_get_real_time();
  g_autoptr(GError) read_error = nullptr;
  if (!missing && !read_policy_file(path, &text, &sig, &missing, &read_error) && !missing) {
    cache.valid = false;
    g_propagate_error(error, g_steal_pointer(&read_error));
    return nullptr;
  }

  const bool settled = !missing && sig.settled(now);
  if (cache.valid && cache.path == path && cache.missing == missing && cache.text == text) {
    cache.sig = sig;
    cache.settled = settled;
    return cache.policy;
  }

  std::shared_ptr<const vesk::Policy> policy;
  if (missing) {
    g_message("No access policy at '%s': only root is allowed", path.c_str());
    policy = vesk::Policy::root_only();
  } else {
    policy = vesk::Policy::parse(path, text, error);
    if (!policy) {
      cache.valid = false;
      return nullptr;
    }
    g_debug("Access policy '%s' read: %zu actions", path.c_str(), policy->size());
  }
  cache.valid = true;
  cache.path = path;
  cache.missing = missing;
  cache.sig = sig;
  cache.settled = settled;
  cache.text = std::move(text);
  cache.policy = policy;
  return policy;
}

/* ---- decisions ------------------------------------------------------------ */

/* Answers already given, per (uid, action). Names in the policy and the
 * caller's groups come from the user database, so the answers hold only
 * while the policy and the database files stay as they were; other NSS
 * sources are not watched, hence the age bound. */
constexpr const char *user_db_files[] = {"/etc/passwd", "/etc/group"};
constexpr gint64 max_decision_age_us = 30 * G_USEC_PER_SEC;
constexpr size_t max_decisions = 1024;

struct Decision {
  bool allowed = false;
  bool known = false; /* for the refusal's message */
  std::string name;
};

struct DecisionCache {
  std::mutex mutex;
  std::shared_ptr<const vesk::Policy> policy; /* the policy the answers are for */
  FileSignature db[G_N_ELEMENTS(user_db_files)];
  bool db_present[G_N_ELEMENTS(user_db_files)] = {};
  gint64 born = 0;
  std::map<std::pair<guint32, std::string>, Decision> answers;
};

DecisionCache &decision_cache() {
  static DecisionCache cache;
  return cache;
}

/* Forgets every answer when @policy or the user database changed. */
void refresh_decisions(DecisionCache &cache, const std::shared_ptr<const vesk::Policy> &policy) {
  bool same = cache.policy == policy && g_get_monotonic_time() - cache.born < max_decision_age_us;
  FileSignature db[G_N_ELEMENTS(user_db_files)];
  bool present[G_N_ELEMENTS(user_db_files)] = {};
  for (size_t i = 0; i < G_N_ELEMENTS(user_db_files); i++) {
    struct stat st;
    present[i] = stat(user_db_files[i], &st) == 0;
    if (present[i])
      db[i] = FileSignature::of(st);
    same = same && present[i] == cache.db_present[i] && (!present[i] || db[i] == cache.db[i]);
  }
  if (same)
    return;
  cache.answers.clear();
  cache.policy = policy;
  cache.born = g_get_monotonic_time();
  for (size_t i = 0; i < G_N_ELEMENTS(user_db_files); i++) {
    cache.db_present[i] = present[i];
    cache.db[i] = db[i];
  }
}

/* Whether @uid may perform @action_id under @policy. */
gint check_uid(const std::shared_ptr<const vesk::Policy> &policy, const gchar *sender, guint32 uid, const gchar *action_id,
               GError **error) {
  if (uid == 0) {
    g_debug("Bus client '%s' (uid 0) may perform '%s'", sender, action_id);
    return 1;
  }
  DecisionCache &cache = decision_cache();
  std::lock_guard<std::mutex> lock(cache.mutex);
  refresh_decisions(cache, policy);

  auto key = std::make_pair(uid, std::string(action_id));
  auto found = cache.answers.find(key);
  if (found == cache.answers.end()) {
    vesk::Identity who;
    if (!vesk::lookup_identity(static_cast<uid_t>(uid), &who, error))
      return 0;
    Decision decision;
    decision.allowed = policy->allows(who, action_id);
    decision.known = who.known;
    decision.name = who.name;
    if (cache.answers.size() >= max_decisions)
      cache.answers.clear();
    found = cache.answers.emplace(std::move(key), std::move(decision)).first;
  }
  const Decision &decision = found->second;
  if (decision.allowed) {
    g_debug("Bus client '%s' (uid %u) may perform '%s'", sender, uid, action_id);
    return 1;
  }
  g_set_error(error, VESK_ERROR, VESK_ERROR_DENIED,
              "bus client '%s' (uid %u%s%s%s) is not allowed to perform '%s'", sender, uid,
              decision.known ? ", user '" : "", decision.known ? decision.name.c_str() : "",
              decision.known ? "'" : "", action_id);
  return 0;
}

bool valid_arguments(const gchar *sender, const gchar *action_id, GError **error) {
  if (sender == nullptr || !g_dbus_is_name(sender)) {
    g_set_error(error, VESK_ERROR, VESK_ERROR_FAILED, "invalid bus name of the caller: '%s'",
                sender != nullptr && g_utf8_validate(sender, -1, nullptr) ? sender : "(none)");
    return false;
  }
  if (action_id == nullptr || *action_id == '\0' || !g_utf8_validate(action_id, -1, nullptr)) {
    g_set_error(error, VESK_ERROR, VESK_ERROR_FAILED, "invalid action id for caller '%s'", sender);
    return false;
  }
  return true;
}

/* ---- bus ----------------------------------------------------------------- */

struct BusCache {
  std::mutex mutex;
  GDBusConnection *connection = nullptr;
  std::string address;
};

BusCache &bus_cache() {
  static BusCache cache;
  return cache;
}

/* A new reference to the library's connection, (re)connecting as needed.
 * @stale is a connection a caller found closed: it is replaced. */
GDBusConnection *get_connection(GDBusConnection *stale, GError **error) {
  g_autofree gchar *address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, error);
  if (address == nullptr)
    return nullptr;

  BusCache &cache = bus_cache();
  std::lock_guard<std::mutex> lock(cache.mutex);
  if (cache.connection != nullptr && cache.connection != stale &&
      !g_dbus_connection_is_closed(cache.connection) && cache.address == address)
    return static_cast<GDBusConnection *>(g_object_ref(cache.connection));

  g_clear_object(&cache.connection);
  g_autoptr(GError) connect_error = nullptr;
  GDBusConnection *connection = g_dbus_connection_new_for_address_sync(
      address,
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &connect_error);
  if (connection == nullptr) {
    g_set_error(error, VESK_ERROR, VESK_ERROR_FAILED, "cannot connect to the system bus at '%s': %s",
                address, connect_error->message);
    return nullptr;
  }
  g_dbus_connection_set_exit_on_close(connection, FALSE);
  cache.connection = connection;
  cache.address = address;
  return static_cast<GDBusConnection *>(g_object_ref(connection));
}

bool query_uid(GDBusConnection *connection, const gchar *sender, guint32 *uid, GError **error) {
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "GetConnectionUnixUser", g_variant_new("(s)", sender), G_VARIANT_TYPE("(u)"),
      G_DBUS_CALL_FLAGS_NONE, bus_call_timeout_ms, nullptr, error);
  if (reply == nullptr)
    return false;
  g_variant_get(reply, "(u)", uid);
  return true;
}

/* The uid behind bus name @sender. */
bool sender_uid(const gchar *sender, guint32 *uid, GError **error) {
  g_autoptr(GError) local_error = nullptr;
  g_autoptr(GDBusConnection) connection = get_connection(nullptr, &local_error);
  if (connection != nullptr && !query_uid(connection, sender, uid, &local_error) &&
      g_error_matches(local_error, G_IO_ERROR, G_IO_ERROR_CLOSED)) {
    // The bus went away (or restarted) since the last check: one new try.
    g_clear_error(&local_error);
    GDBusConnection *stale = connection;
    g_autoptr(GDBusConnection) fresh = get_connection(stale, &local_error);
    if (fresh != nullptr)
      query_uid(fresh, sender, uid, &local_error);
  }
  if (local_error == nullptr)
    return true;

  if (g_dbus_error_is_remote_error(local_error)) {
    g_autofree gchar *remote = g_dbus_error_get_remote_error(local_error);
    g_dbus_error_strip_remote_error(local_error);
    g_set_error(error, VESK_ERROR, VESK_ERROR_FAILED,
                "cannot find the user of bus client '%s': %s (%s)", sender, local_error->message,
                remote);
  } else {
    g_set_error(error, VESK_ERROR, VESK_ERROR_FAILED,
                "cannot find the user of bus client '%s': %s", sender, local_error->message);
  }
  return false;
}

}  // namespace

gboolean vesk_init(GError **error) {
  g_return_val_if_fail(error == nullptr || *error == nullptr, FALSE);
  std::shared_ptr<const vesk::Policy> policy = current_policy(error);
  return policy ? TRUE : FALSE;
}

gint vesk_check_auth(const gchar *sender, const gchar *action_id, GError **error) {
  g_return_val_if_fail(error == nullptr || *error == nullptr, 0);

  if (!valid_arguments(sender, action_id, error))
    return 0;
  std::shared_ptr<const vesk::Policy> policy = current_policy(error);
  if (!policy)
    return 0;
  guint32 uid = 0;
  if (!sender_uid(sender, &uid, error))
    return 0;
  return check_uid(policy, sender, uid, action_id, error);
}

gint vesk_check_auth_uid(const gchar *sender, guint32 uid, const gchar *action_id, GError **error) {
  g_return_val_if_fail(error == nullptr || *error == nullptr, 0);

  if (!valid_arguments(sender, action_id, error))
    return 0;
  std::shared_ptr<const vesk::Policy> policy = current_policy(error);
  if (!policy)
    return 0;
  return check_uid(policy, sender, uid, action_id, error);
}

/* libvesk: who may do what, for D-Bus services.
 *
 * The policy file is read again at every check (it is small), so an edit
 * takes effect at once; the parsed form is reused while the text is the
 * same. A file that turns unreadable or malformed fails every check: an
 * error never allows.
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

/* Reads @path into @text; false with @missing set when it does not exist. */
bool read_policy_file(const std::string &path, std::string *text, bool *missing,
                      GError **error) {
  *missing = false;
  FdCloser file{open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY)};
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
    g_set_error(error, VESK_ERROR, VESK_ERROR_FAILED, "policy file '%s' is not a regular file",
                path.c_str());
    return false;
  }
  if (st.st_size > max_policy_size) {
    g_set_error(error, VESK_ERROR, VESK_ERROR_FAILED,
                "policy file '%s' is too large (%lld bytes, at most %lld)", path.c_str(),
                static_cast<long long>(st.st_size), static_cast<long long>(max_policy_size));
    return false;
  }
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

/* The last policy read, shared by all threads. */
struct PolicyCache {
  std::mutex mutex;
  bool valid = false;
  std::string path;
  bool missing = false;
  std::string text;
  std::shared_ptr<const vesk::Policy> policy;
};

PolicyCache &policy_cache() {
  static PolicyCache cache;
  return cache;
}

/* The current policy, read again from its file. */
std::shared_ptr<const vesk::Policy> current_policy(GError **error) {
  PolicyCache &cache = policy_cache();
  std::lock_guard<std::mutex> lock(cache.mutex);

  std::string path = policy_path();
  std::string text;
  bool missing = false;
  g_autoptr(GError) read_error = nullptr;
  if (!read_policy_file(path, &text, &missing, &read_error) && !missing) {
    cache.valid = false;
    g_propagate_error(error, g_steal_pointer(&read_error));
    return nullptr;
  }

  if (cache.valid && cache.path == path && cache.missing == missing && cache.text == text)
    return cache.policy;

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
  cache.text = std::move(text);
  cache.policy = policy;
  return policy;
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

  if (sender == nullptr || !g_dbus_is_name(sender)) {
    g_set_error(error, VESK_ERROR, VESK_ERROR_FAILED, "invalid bus name of the caller: '%s'",
                sender != nullptr && g_utf8_validate(sender, -1, nullptr) ? sender : "(none)");
    return 0;
  }
  if (action_id == nullptr || *action_id == '\0' || !g_utf8_validate(action_id, -1, nullptr)) {
    g_set_error(error, VESK_ERROR, VESK_ERROR_FAILED, "invalid action id for caller '%s'", sender);
    return 0;
  }

  std::shared_ptr<const vesk::Policy> policy = current_policy(error);
  if (!policy)
    return 0;

  guint32 uid = 0;
  if (!sender_uid(sender, &uid, error))
    return 0;

  vesk::Identity who;
  if (!vesk::lookup_identity(static_cast<uid_t>(uid), &who, error))
    return 0;

  if (policy->allows(who, action_id)) {
    g_debug("Bus client '%s' (uid %u) may perform '%s'", sender, uid, action_id);
    return 1;
  }
  g_set_error(error, VESK_ERROR, VESK_ERROR_DENIED,
              "bus client '%s' (uid %u%s%s%s) is not allowed to perform '%s'", sender, uid,
              who.known ? ", user '" : "", who.known ? who.name.c_str() : "",
              who.known ? "'" : "", action_id);
  return 0;
}

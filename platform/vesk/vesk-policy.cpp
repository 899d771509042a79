#include "vesk-policy.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#pragma GCC visibility push(default)
#include "vesk.h"
#pragma GCC visibility pop

G_DEFINE_QUARK(vesk-error-quark, vesk_error)

namespace vesk {

namespace {

/* The *_r lookups want a caller buffer whose needed size is only known
 * after trying; start at the advertised size and grow on ERANGE. */
size_t initial_buffer_size(int which) {
  long size = sysconf(which);
  return size > 0 ? static_cast<size_t>(size) : 1024;
}

constexpr size_t max_buffer_size = 1 << 20;

/* getpwuid_r and friends report "no such entry" through several errno
 * values depending on the NSS backend. */
bool is_not_found(int rc) {
  return rc == 0 || rc == ENOENT || rc == ESRCH || rc == EBADF || rc == EPERM;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string trim(const std::string &s) {
  size_t begin = 0;
  size_t end = s.size();
  while (begin < end && is_blank(s[begin]))
    begin++;
  while (end > begin && is_blank(s[end - 1]))
    end--;
  return s.substr(begin, end - begin);
}

bool has_control_char(const std::string &s) {
  return std::any_of(s.begin(), s.end(), [](char c) {
    auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
  });
}

/* Looks @name up with a get*nam_r() function, growing the buffer while the
 * database asks for more room, and copies out the id @field. */
template <typename Entry, typename Id>
bool lookup_id(const std::string &name, int size_hint,
               int (*getter)(const char *, Entry *, char *, size_t, Entry **), Id Entry::*field, Id *id) {
  std::vector<char> buffer(initial_buffer_size(size_hint));
  for (;;) {
    Entry entry;
    Entry *result = nullptr;
    int rc = getter(name.c_str(), &entry, buffer.data(), buffer.size(), &result);
    if (rc == ERANGE && buffer.size() < max_buffer_size) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != 0 || result == nullptr)
      return false;
    *id = entry.*field;
    return true;
  }
}

}  // namespace

bool lookup_user_id(const std::string &name, uid_t *uid) {
  return lookup_id(name, _SC_GETPW_R_SIZE_MAX, getpwnam_r, &passwd::pw_uid, uid);
}

bool lookup_group_id(const std::string &name, gid_t *gid) {
  return lookup_id(name, _SC_GETGR_R_SIZE_MAX, getgrnam_r, &group::gr_gid, gid);
}

bool lookup_identity(uid_t uid, Identity *out, GError **error) {
  g_return_val_if_fail(out != nullptr, false);
  g_return_val_if_fail(error == nullptr || *error == nullptr, false);

  *out = Identity();
  out->uid = uid;

  std::vector<char> buffer(initial_buffer_size(_SC_GETPW_R_SIZE_MAX));
  struct passwd pwd;
  struct passwd *result = nullptr;
  for (;;) {
    int rc = getpwuid_r(uid, &pwd, buffer.data(), buffer.size(), &result);
    if (rc == ERANGE && buffer.size() < max_buffer_size) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (result != nullptr)
      break;
    if (is_not_found(rc))
      return true;  // a uid without a name: only numeric entries can match it
    g_set_error(error, VESK_ERROR, VESK_ERROR_FAILED,
                "cannot look up uid %u in the user database: %s", static_cast<guint>(uid),
                g_strerror(rc));
    return false;
  }

  out->known = true;
  out->name = pwd.pw_name;

  int count = 32;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  for (int attempt = 0;; attempt++) {
    int n = count;
    if (getgrouplist(pwd.pw_name, pwd.pw_gid, groups.data(), &n) >= 0) {
      groups.resize(static_cast<size_t>(n));
      break;
    }
    // -1 means the array was too small; n now holds the needed size (it
    // can still grow between calls, hence the retry bound).
    if (attempt >= 8 || n <= count) {
      g_set_error(error, VESK_ERROR, VESK_ERROR_FAILED,
                  "cannot list the groups of user '%s' (uid %u)", pwd.pw_name,
                  static_cast<guint>(uid));
      return false;
    }
    count = n;
    groups.resize(static_cast<size_t>(count));
  }
  out->gids = std::move(groups);
  return true;
}

/* ---- Policy -------------------------------------------------------------- */

std::unique_ptr<Policy> Policy::root_only() { return std::unique_ptr<Policy>(new Policy()); }

bool Policy::parse_list(const std::string &value, std::vector<Entry> *out, std::string *reason) {
  size_t pos = 0;
  while (pos <= value.size()) {
    size_t end = value.find(';', pos);
    if (end == std::string::npos)
      end = value.size();
    std::string item = trim(value.substr(pos, end - pos));
    pos = end + 1;
    if (item.empty())
      continue;  // "a;b;" as GKeyFile writes lists
    if (item.find('\\') != std::string::npos) {
      *reason = "escape sequences are not supported: '" + item + "'";
      return false;
    }
    if (item.find(',') != std::string::npos) {
      *reason = "entry '" + item + "' contains ','; separate entries with ';'";
      return false;
    }
    if (std::any_of(item.begin(), item.end(), is_blank) || has_control_char(item)) {
      *reason = "entry '" + item + "' contains white space or control characters";
      return false;
    }
    Entry entry;
    if (std::all_of(item.begin(), item.end(), [](char c) { return g_ascii_isdigit(c); })) {
      guint64 number = 0;
      // (uid_t)-1 is "no id" for the kernel, never a real user or group.
      if (!g_ascii_string_to_unsigned(item.c_str(), 10, 0, G_MAXUINT32 - 1, &number, nullptr)) {
        *reason = "numeric id '" + item + "' is out of range";
        return false;
      }
      entry.numeric = true;
      entry.id = static_cast<guint32>(number);
    } else {
      entry.name = item;
    }
    out->push_back(std::move(entry));
  }
  return true;
}

std::unique_ptr<Policy> Policy::parse(const std::string &path, const std::string &text,
                                      GError **error) {
  g_return_val_if_fail(error == nullptr || *error == nullptr, nullptr);

  std::unique_ptr<Policy> policy(new Policy());
  Rule *current = nullptr;
  std::string current_name;
  guint line_no = 0;

  auto fail = [&](const std::string &reason) {
    g_set_error(error, VESK_ERROR, VESK_ERROR_FAILED, "policy file '%s' line %u: %s",
                path.c_str(), line_no, reason.c_str());
    return nullptr;
  };

  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos)
      end = text.size();
    std::string raw = text.substr(pos, end - pos);
    pos = end + 1;
    line_no++;

    if (!raw.empty() && raw.back() == '\r')
      raw.pop_back();
    if (raw.find('\0') != std::string::npos)
      return fail("contains a NUL byte");
    if (!g_utf8_validate(raw.data(), static_cast<gssize>(raw.size()), nullptr))
      return fail("is not valid UTF-8");

    std::string line = trim(raw);
    if (line.empty() || line[0] == '#')
      continue;

    if (line[0] == '[') {
      size_t close = line.find(']');
      if (close == std::string::npos)
        return fail("group header '" + line + "' lacks the closing ']'");
      if (close + 1 != line.size())
        return fail("unexpected text after ']' in '" + line + "'");
      std::string name = line.substr(1, close - 1);
      if (name.empty())
        return fail("empty action id '[]'");
      if (name.find('[') != std::string::npos || has_control_char(name))
        return fail("invalid action id '" + name + "'");
      auto found = policy->rules_.find(name);
      if (found != policy->rules_.end())
        return fail("action id '" + name + "' is already defined at line " +
                    std::to_string(found->second.line));
      current = &policy->rules_[name];
      current->line = line_no;
      current_name = name;
      continue;
    }

    size_t eq = line.find('=');
    if (eq == std::string::npos)
      return fail("expected '[action id]', 'key=value' or a '#' comment, found '" + line + "'");
    std::string key = trim(line.substr(0, eq));
    std::string value = line.substr(eq + 1);
    if (current == nullptr)
      return fail("key '" + key + "' appears before any [action id] group");

    std::vector<Entry> *list = nullptr;
    bool *seen = nullptr;
    if (key == "users") {
      list = &current->users;
      seen = &current->has_users;
    } else if (key == "groups") {
      list = &current->groups;
      seen = &current->has_groups;
    } else {
      return fail("unknown key '" + key + "' in [" + current_name +
                  "] (expected 'users' or 'groups')");
    }
    if (*seen)
      return fail("key '" + key + "' is set twice in [" + current_name + "]");
    *seen = true;

    std::string reason;
    if (!parse_list(value, list, &reason))
      return fail(reason);
  }
  return policy;
}

bool Policy::allows(const Identity &who, const std::string &action_id) const {
  if (who.uid == 0)
    return true;
  auto found = rules_.find(action_id);
  if (found == rules_.end())
    return false;
  const Rule &rule = found->second;

  for (const Entry &entry : rule.users) {
    uid_t uid = 0;
    if (entry.numeric)
      uid = entry.id;
    else if (!lookup_user_id(entry.name, &uid))
      continue;  // a user that does not exist (yet) grants nothing
    if (uid == who.uid)
      return true;
  }
  for (const Entry &entry : rule.groups) {
    gid_t gid = 0;
    if (entry.numeric)
      gid = entry.id;
    else if (!lookup_group_id(entry.name, &gid))
      continue;
    if (std::find(who.gids.begin(), who.gids.end(), gid) != who.gids.end())
      return true;
  }
  return false;
}

}  // namespace vesk

/* Internal to libvesk: the policy model, its parser and the user-database
 * lookups. Kept apart from the bus code so it can be tested on its own. */
#pragma once

#include <glib.h>
#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vesk {

/* A caller as the user database knows it. */
struct Identity {
  uid_t uid = 0;
  bool known = false;       /* the uid has a passwd entry */
  std::string name;         /* empty when unknown */
  std::vector<gid_t> gids;  /* primary and supplementary groups */
};

/* Fills @out for @uid from the user database. A uid without an entry is
 * not an error (known stays false, no groups); a failing lookup is. */
bool lookup_identity(uid_t uid, Identity *out, GError **error);

/* uid/gid of a user/group name; false when the name is unknown. */
bool lookup_user_id(const std::string &name, uid_t *uid);
bool lookup_group_id(const std::string &name, gid_t *gid);

class Policy {
 public:
  /* Parses key-file @text read from @path (the path only names the file in
   * errors). Every error names the file and the line. */
  static std::unique_ptr<Policy> parse(const std::string &path, const std::string &text,
                                       GError **error);
  /* The policy of a missing file: nothing but root. */
  static std::unique_ptr<Policy> root_only();

  /* uid 0 always; others when the action's "users" list names them or its
   * "groups" list names one of their groups. */
  bool allows(const Identity &who, const std::string &action_id) const;
  bool has_action(const std::string &action_id) const { return rules_.count(action_id) != 0; }
  size_t size() const { return rules_.size(); }

 private:
  struct Entry {
    bool numeric = false;
    guint32 id = 0;
    std::string name;
  };
  struct Rule {
    guint line = 0;
    bool has_users = false;
    bool has_groups = false;
    std::vector<Entry> users;
    std::vector<Entry> groups;
  };

  static bool parse_list(const std::string &value, std::vector<Entry> *out, std::string *reason);

  std::map<std::string, Rule> rules_;
};

}  // namespace vesk

/* libvesk: access control for D-Bus callers.
 *
 * Policy: key file at $VESK_POLICY, else <sysconfdir>/vesk/policy.conf.
 * One group per action id with lists "users" and "groups" (names or
 * numeric ids). uid 0 is always allowed; a missing file allows root only.
 */
#pragma once

#include <glib.h>

G_BEGIN_DECLS

#define VESK_ERROR (vesk_error_quark())
GQuark vesk_error_quark(void);

typedef enum {
  VESK_ERROR_FAILED = 1,  /* the check itself failed */
  VESK_ERROR_DENIED = 2,  /* the caller lacks the right */
} VeskError;

/* Reads the policy. FALSE with an error naming the file (and line) when it
 * exists but cannot be read or parsed. */
gboolean vesk_init(GError **error);

/* Non-zero when the bus client @sender may perform @action_id; 0 with
 * VESK_ERROR_DENIED or VESK_ERROR_FAILED otherwise. Blocks on one bus call
 * (bounded timeout). Callable from any thread. */
gint vesk_check_auth(const gchar *sender, const gchar *action_id, GError **error);

/* As vesk_check_auth() for a caller whose uid the service already has from
 * the bus daemon (GetConnectionUnixUser); @sender only names the caller in
 * messages. Makes no bus call. Callable from any thread. */
gint vesk_check_auth_uid(const gchar *sender, guint32 uid, const gchar *action_id, GError **error);

G_END_DECLS

/* Internal to libadvwatch: the judgement of signed beacons that a monitor
 * with a keyring applies (see advwatch_monitor_set_keyring()). */
#pragma once

#include <glib.h>

#include "advwatch.h"

enum class AuthVerdict {
  Accepted, /* signed and fresh; not yet checked for a replay */
  Unsigned,
  Forged,
  Stale,
  Replayed,
};

/* Judges @payload (the bytes after the company identifier) as unsigned,
 * forged, stale or (so far) accepted at @now_s (wall clock, seconds); for
 * an accepted one, @tag receives its tag. */
AuthVerdict auth_check_signature(const AdvwatchKeyring *keyring, const guint8 *payload, gsize length, gint64 now_s,
                                 guint32 *tag);
/* Whether @tag belongs to a beacon accepted within the replay window
 * before @now_us (monotonic clock). */
bool auth_is_replay(AdvwatchKeyring *keyring, guint32 tag, gint64 now_us);
/* Remembers the tag of a beacon just accepted. */
void auth_remember(AdvwatchKeyring *keyring, guint32 tag, gint64 now_us);
/* Counts a refused beacon; the first of its kind in a minute is logged,
 * naming the kind and @address. */
void auth_refused(AdvwatchKeyring *keyring, AuthVerdict verdict, const gchar *address, gint64 now_us);

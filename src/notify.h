/* Telling systemd how a service is doing: readiness once the main loop
 * runs, a one-line status, watchdog pings from the main loop itself, and
 * the stop. Built over libsystemd's sd_notify when it is there; without it,
 * or without $NOTIFY_SOCKET, every call does nothing. Main thread only. */
#pragma once

#include <glib.h>

G_BEGIN_DECLS

/* Arms, on the default main context, the READY=1 that goes out once the
 * loop turns and, when systemd asked for a watchdog ($WATCHDOG_USEC), a
 * WATCHDOG=1 at half its interval: a loop that stops turning stops the
 * pings. Call right before running the loop. */
void notify_start(void);

/* STATUS=@line (one line; newlines are sent as spaces). */
void notify_status(const gchar *line);

/* STOPPING=1, and no more pings or status lines. Call when the loop has
 * stopped. */
void notify_stop(void);

G_END_DECLS

/* What an operator asks first: is kavrod listening, and if not, why not.
 * The daemon's state in one word, its counters since start, and the last
 * error. Main thread only. */
#pragma once

#include <gio/gio.h>

#include "monitor_handler.h"
#include "systemid_handler.h"

G_BEGIN_DECLS

#define STATUS_LISTENING "listening"
#define STATUS_PAUSED "paused"
#define STATUS_REGISTERING "registering"
#define STATUS_BACKING_OFF "backing-off"
#define STATUS_WAITING_FOR_SYSTEM_ID "waiting-for-system-id"
#define STATUS_NO_ADAPTER "no-adapter"

typedef struct {
  guint64 events;                /* BeaconReceived events handed to the event library */
  guint64 registration_failures; /* monitors BlueZ refused or released */
  gint64 last_event_time;        /* wall clock, µs since the epoch; 0 before the first */
  gint64 last_event_mono;        /* monotonic clock of the same moment */
  const gchar *state;            /* one of the STATUS_ words */
  gint64 state_change_time;      /* wall clock of the last change of @state */
  gchar *last_error;             /* message of the last failure, or NULL */
  gboolean engine_answered;      /* the engine answered the last List */
  gchar *line;                   /* the last status line told to systemd */
} Status;

extern Status *status_g;

void status_init(void);
void status_teardown(void);

/* The state word for what @monitor_handler and @systemid_ctx hold now.
 * "listening" only while BlueZ has activated a monitor for the System ID
 * in force. */
const gchar *status_state(const MonitorHandler *monitor_handler, const SystemidCtx *systemid_ctx);

/* The state in one readable line, beginning with its word: "listening on
 * /org/bluez/hci0", "backing-off: <why>; next try at 14:02:07" (a retry as
 * a local clock time, so the line never goes stale), "paused", ... */
gchar *status_line(const MonitorHandler *monitor_handler, const SystemidCtx *systemid_ctx);

/* Recomputes the state after something changed; notes the time and logs
 * when it is another, and tells systemd when the line changed. No-ops
 * without a record (as in unit tests). */
void status_update(const MonitorHandler *monitor_handler, const SystemidCtx *systemid_ctx);

void status_note_event(void);
void status_note_registration_failure(void);
void status_note_engine(gboolean answered);
void status_set_error(const gchar *message);

/* The a{sv} that the Status method answers with. */
GVariant *status_to_variant(const MonitorHandler *monitor_handler, const SystemidCtx *systemid_ctx);

G_END_DECLS

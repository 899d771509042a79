/* The daemon's beacon monitor: the adapter it runs on, its handle and its
 * state. Main thread only. */
#pragma once

#include <gio/gio.h>

#include "advwatch.h"
#include "systemid_handler.h"

G_BEGIN_DECLS

#define BLUEZ_MONITOR_MANAGER_INTERFACE "org.bluez.AdvertisementMonitorManager1"

typedef enum {
  MONITOR_STATE_UNSET = 0,
  MONITOR_STATE_INACTIVE = 1,
  MONITOR_STATE_ACTIVE = 2,
  MONITOR_STATE_PAUSED = 3,
  MONITOR_STATE_RESUMED = 4,
} MonitorState;

G_STATIC_ASSERT(sizeof(MonitorState) == 4);

/* Beacon event numbers. */
typedef enum {
  BEACON_EVENT_HELLO = 0,
  BEACON_EVENT_LIGHTBAR_ACTIVE = 1,
  BEACON_EVENT_RECORDING_STARTED = 2,
} BeaconEvent;

typedef struct {
  GDBusObjectManager *object_manager; /* not kept: BlueZ's objects are read with one call (NULL) */
  gchar *adapter_str;                 /* chosen adapter path; searched again when BlueZ changed */
  AdvwatchMonitor *monitor;           /* running monitor, or NULL */
  MonitorState state;
  gchar *monitor_systemid;            /* System ID @monitor filters on, or NULL */
  /* Keeping the monitor alive through BlueZ's refusals, releases and
   * restarts. A zero-filled record trusts @adapter_str and has no bus. */
  GDBusConnection *con;               /* own reference, for adapter searches */
  gchar *iface;                       /* interface the adapter must offer */
  SystemidCtx *systemid_ctx;          /* of the last activation; the daemon's */
  gboolean bluez_present;             /* org.bluez has an owner (told by the daemon) */
  gboolean adapter_stale;             /* @adapter_str must be checked before the next start */
  gboolean pause_requested;           /* a Pause in force until Resume, whatever BlueZ does */
  guint retry_source;                 /* next registration attempt, or 0 */
  guint retry_delay_ms;               /* delay before the attempt after the next failure */
  GCancellable *search;               /* adapter search in flight, or NULL */
  gint64 retry_due_us;                /* monotonic time of the next attempt */
  gboolean adapter_missing;           /* the last search found no capable adapter */
  AdvwatchStats retired_stats;        /* what monitors cleaned up so far heard */
  AdvwatchKeyring *keyring;           /* own reference: every monitor verifies signed beacons; or NULL */
} MonitorHandler;

/* Back-off between registration attempts after BlueZ refused or released
 * the monitor: the first delay, doubling up to the ceiling.
 * $KAVROD_RETRY_MS ("first,ceiling" in milliseconds) scales both down for
 * tests and soaks. */
#define MONITOR_RETRY_FIRST_MS 1000
#define MONITOR_RETRY_CEILING_MS 60000

MonitorHandler *monitor_handler_init(const gchar *iface, GError **error);
void monitor_handler_teardown(MonitorHandler *monitor_handler);

/* Starts monitoring for the System ID in @systemid_ctx. A live monitor for
 * the same System ID is left as it is; a monitor for another System ID, or
 * one BlueZ refused or released, is replaced. A pause stays in force. When
 * the adapter must be checked first, the start follows BlueZ's answer. */
gboolean monitor_handler_activate(MonitorHandler *monitor_handler, SystemidCtx *systemid_ctx,
                                  GError **err);
void monitor_handler_deactivate(MonitorHandler *monitor_handler);

/* BlueZ gained (TRUE) or lost (FALSE) its owner. Losing it deactivates the
 * monitor and marks the adapter for a new check; a pause stays in force. */
void monitor_handler_set_bluez_present(MonitorHandler *monitor_handler, gboolean present);
gboolean monitor_handler_pause(MonitorHandler *monitor_handler, GError **err);
gboolean monitor_handler_resume(MonitorHandler *monitor_handler, GError **err);

/* Internal, exposed for tests. */
GPtrArray *create_patterns(const gchar *system_id, GError **err);
void dispatch_event(AdvwatchBeacon *beacon, gpointer user_data);

G_END_DECLS

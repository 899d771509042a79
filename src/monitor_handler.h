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
  GDBusObjectManager *object_manager; /* "org.bluez" at "/", used for the adapter search */
  gchar *adapter_str;                 /* chosen adapter path, set once */
  AdvwatchMonitor *monitor;           /* running monitor, or NULL */
  MonitorState state;
  gchar *monitor_systemid;            /* System ID @monitor filters on, or NULL */
} MonitorHandler;

MonitorHandler *monitor_handler_init(const gchar *iface, GError **error);
void monitor_handler_teardown(MonitorHandler *monitor_handler);

/* Starts monitoring for the System ID in @systemid_ctx. A running monitor
 * for another System ID is replaced (a paused one is paused again); one for
 * the same System ID is left as it is. */
gboolean monitor_handler_activate(MonitorHandler *monitor_handler, SystemidCtx *systemid_ctx,
                                  GError **err);
void monitor_handler_deactivate(MonitorHandler *monitor_handler);
gboolean monitor_handler_pause(MonitorHandler *monitor_handler, GError **err);
gboolean monitor_handler_resume(MonitorHandler *monitor_handler, GError **err);

/* Internal, exposed for tests. */
GPtrArray *create_patterns(const gchar *system_id, GError **err);
void dispatch_event(AdvwatchBeacon *beacon, gpointer user_data);

G_END_DECLS

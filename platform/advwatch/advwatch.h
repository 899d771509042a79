/* libadvwatch: Bluetooth LE beacon monitor over BlueZ's Advertisement
 * Monitor API (org.bluez.AdvertisementMonitorManager1).
 *
 * Thread contract: every function must be called from the thread that
 * called advwatch_monitor_init() for that monitor; callbacks are delivered
 * on the main context that was thread-default for that thread at init time
 * (the global default context when none was pushed), never after
 * advwatch_monitor_cleanup() has returned.
 */
#pragma once

#include <stddef.h>
#include <glib.h>

G_BEGIN_DECLS

#define ADVWATCH_ERROR (advwatch_error_quark())
GQuark advwatch_error_quark(void);

typedef enum {
  ADVWATCH_ERROR_FAILED = 1,
  ADVWATCH_ERROR_INVALID_ARGUMENT = 2,
  ADVWATCH_ERROR_BUS = 3,
  ADVWATCH_ERROR_STATE = 4,
} AdvwatchError;

/* Pattern kinds accepted by advwatch_pattern_add(). */
typedef enum {
  ADVWATCH_PATTERN_SYSTEM_ID = 2, /* value: System ID as UUID text */
} AdvwatchPatternKind;

/* Value for AdvwatchMonitorConfig.options: no options. */
#define ADVWATCH_MONITOR_OPTIONS_NONE 0

typedef struct _AdvwatchMonitor AdvwatchMonitor;
typedef struct _AdvwatchBeacon AdvwatchBeacon;

/* Called once per received beacon; @beacon is valid during the call only. */
typedef void (*AdvwatchBeaconFunc)(AdvwatchBeacon *beacon, gpointer user_data);

/* Where a monitor stands with BlueZ. The last three are final: the monitor
 * reports nothing more until it is cleaned up and a new one is started. */
typedef enum {
  ADVWATCH_MONITOR_STATE_REGISTERING = 1, /* RegisterMonitor sent, not yet activated */
  ADVWATCH_MONITOR_STATE_ACTIVE = 2,      /* BlueZ called Activate() */
  ADVWATCH_MONITOR_STATE_PAUSED = 3,      /* unregistered by advwatch_monitor_pause() */
  ADVWATCH_MONITOR_STATE_RELEASED = 4,    /* BlueZ called Release() */
  ADVWATCH_MONITOR_STATE_FAILED = 5,      /* BlueZ refused RegisterMonitor */
  ADVWATCH_MONITOR_STATE_BLUEZ_GONE = 6,  /* org.bluez left the bus */
} AdvwatchMonitorState;

/* Called when BlueZ changes the monitor's state (activated, released,
 * refused, gone); never for changes the owner made itself (pause, resume)
 * and never after advwatch_monitor_cleanup() has returned. @error says why
 * for ADVWATCH_MONITOR_STATE_FAILED and _RELEASED, else NULL. The callback
 * may clean the monitor up. */
typedef void (*AdvwatchStateFunc)(AdvwatchMonitor *monitor, AdvwatchMonitorState state, const GError *error,
                                  gpointer user_data);

/* Start-up record of a monitor. Binary layout is part of the device ABI:
 * 48 bytes on LP64 targets. The library copies the texts and takes its own
 * reference on @or_patterns; the caller may free all of it once
 * advwatch_monitor_init() returns. */
typedef struct {
  gchar *adapter_path;            /* BlueZ adapter object path */
  gchar *system_id;               /* System ID the monitor is started for */
  gint32 options;                 /* ADVWATCH_MONITOR_OPTIONS_NONE */
  AdvwatchBeaconFunc callback;    /* per-beacon callback */
  gpointer user_data;             /* handed to @callback */
  GPtrArray *or_patterns;         /* from advwatch_patterns_new(), or NULL */
} AdvwatchMonitorConfig;

#if GLIB_SIZEOF_VOID_P == 8
G_STATIC_ASSERT(sizeof(AdvwatchMonitorConfig) == 48);
G_STATIC_ASSERT(offsetof(AdvwatchMonitorConfig, adapter_path) == 0);
G_STATIC_ASSERT(offsetof(AdvwatchMonitorConfig, system_id) == 8);
G_STATIC_ASSERT(offsetof(AdvwatchMonitorConfig, options) == 16);
G_STATIC_ASSERT(offsetof(AdvwatchMonitorConfig, callback) == 24);
G_STATIC_ASSERT(offsetof(AdvwatchMonitorConfig, user_data) == 32);
G_STATIC_ASSERT(offsetof(AdvwatchMonitorConfig, or_patterns) == 40);
#endif

/* A new, empty or-pattern array; g_ptr_array_unref() frees it and its
 * elements. */
GPtrArray *advwatch_patterns_new(void);

/* Appends a pattern of @kind matching @value. FALSE with @error set for an
 * unknown kind or an invalid value. */
gboolean advwatch_pattern_add(GPtrArray *patterns, gint kind, const gchar *value, GError **error);

/* Exports the monitor application object on the system bus and starts its
 * asynchronous registration with BlueZ on config->adapter_path. Returns the
 * handle once exported; later registration failures or a Release() from
 * BlueZ are logged, told to the state callback, and leave the monitor
 * silent until cleaned up.
 * ADVWATCH_ERROR_INVALID_ARGUMENT for an adapter path that is no object
 * path, no callback, options other than ADVWATCH_MONITOR_OPTIONS_NONE, or
 * or-patterns not made by advwatch_pattern_add(); ADVWATCH_ERROR_BUS
 * without a system bus. No or-patterns (NULL or empty): every beacon. */
AdvwatchMonitor *advwatch_monitor_init(const AdvwatchMonitorConfig *config, GError **error);

/* Stops reporting beacons and unregisters from BlueZ, so that the radio
 * may idle. TRUE once no more beacons are reported (at return).
 * ADVWATCH_ERROR_STATE when already paused, or when BlueZ released the
 * monitor, refused it or left the bus. */
gboolean advwatch_monitor_pause(AdvwatchMonitor *monitor, GError **error);

/* Registers with BlueZ again after a pause; beacons are reported from the
 * return on, as BlueZ delivers them. ADVWATCH_ERROR_STATE when not
 * paused or no longer usable (see above), ADVWATCH_ERROR_BUS when the
 * objects cannot be exported. */
gboolean advwatch_monitor_resume(AdvwatchMonitor *monitor, GError **error);

/* What a monitor heard since it was started. */
typedef struct {
  guint64 heard;    /* beacons decoded from BlueZ's reports, before filtering */
  guint64 foreign;  /* of a System ID the monitor does not look for */
  guint64 repeats;  /* a (sender, sequence number) already reported */
  guint64 reported; /* handed to the beacon callback */
} AdvwatchStats;

void advwatch_monitor_get_stats(AdvwatchMonitor *monitor, AdvwatchStats *stats);

/* The monitor's current state. */
AdvwatchMonitorState advwatch_monitor_get_state(AdvwatchMonitor *monitor);

/* Sets (or, with NULL, clears) the callback told of BlueZ's changes to the
 * monitor's state; delivered like beacons, on the monitor's main context. */
void advwatch_monitor_set_state_callback(AdvwatchMonitor *monitor, AdvwatchStateFunc callback,
                                         gpointer user_data);

/* ---- signed beacons (optional) ------------------------------------------
 * A keyring holds the installation key (and during a rotation the next
 * one), what it refused, and the tags of the beacons it accepted in the
 * last 60 s. One keyring serves every monitor of a process, so a replay
 * stays refused across a monitor's restart. Main thread only. */
typedef struct _AdvwatchKeyring AdvwatchKeyring;

/* Beacons a keyring refused, by kind. */
typedef struct {
  guint64 unsigned_beacons; /* no tag: a payload of 19-23 bytes, or longer than 24 */
  guint64 forged;           /* a tag that verifies under no key */
  guint64 stale;            /* a sender's clock more than 30 s from ours */
  guint64 replayed;         /* the tag of a beacon accepted within the last 60 s */
} AdvwatchAuthStats;

/* A keyring for @key and, when not NULL, @next_key (32 bytes each; copied,
 * and wiped when the last reference goes). */
AdvwatchKeyring *advwatch_keyring_new(const guint8 *key, const guint8 *next_key);
AdvwatchKeyring *advwatch_keyring_ref(AdvwatchKeyring *keyring);
void advwatch_keyring_unref(AdvwatchKeyring *keyring);
void advwatch_keyring_get_stats(AdvwatchKeyring *keyring, AdvwatchAuthStats *stats);
G_DEFINE_AUTOPTR_CLEANUP_FUNC(AdvwatchKeyring, advwatch_keyring_unref)

/* From now on @monitor reports only signed beacons that verify under
 * @keyring (a reference is taken), judging each in this order: unsigned,
 * forged, stale, repeat, replayed. Repeats are dropped as without a key;
 * the other four are dropped, counted in the keyring, and the first of
 * each kind in a minute is logged as a warning.
 * Call it right after advwatch_monitor_init(), before the main context
 * runs, so that no beacon is reported unverified. NULL: no verification. */
void advwatch_monitor_set_keyring(AdvwatchMonitor *monitor, AdvwatchKeyring *keyring);

/* Unregisters (without waiting), unexports, drops every subscription and
 * frees @monitor. No callback follows. May be called from within the
 * monitor's own callback. */
void advwatch_monitor_cleanup(AdvwatchMonitor *monitor);

G_END_DECLS

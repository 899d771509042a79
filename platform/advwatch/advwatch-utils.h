/* libadvwatch-utils: readers for beacons reported by libadvwatch, and the
 * version-1 beacon wire format decoder. */
#pragma once

#include <glib.h>
#include "advwatch.h"

G_BEGIN_DECLS

/* Payload after the company identifier: version, 16 System ID bytes,
 * event number, sequence number. */
#define ADVWATCH_BEACON_VERSION 1
#define ADVWATCH_BEACON_PAYLOAD_MIN 19

guint8 advwatch_beacon_get_event_number(const AdvwatchBeacon *beacon);
/* System ID as lower-case UUID text, owned by the beacon. */
const gchar *advwatch_beacon_get_system_id(const AdvwatchBeacon *beacon);
guint8 advwatch_beacon_get_sequence_number(const AdvwatchBeacon *beacon);
/* Sender address "AA:BB:CC:DD:EE:FF", owned by the beacon. */
const gchar *advwatch_beacon_get_address(const AdvwatchBeacon *beacon);
gint16 advwatch_beacon_get_rssi(const AdvwatchBeacon *beacon);

/* Decodes manufacturer data (@company_id and the bytes after it) into a
 * beacon. NULL with @error set when it is not a version-1 beacon of the
 * configured company identifier. Safe on arbitrary input. */
AdvwatchBeacon *advwatch_beacon_decode(guint16 company_id, const guint8 *payload, gsize length,
                                       const gchar *address, gint16 rssi, GError **error);
void advwatch_beacon_free(AdvwatchBeacon *beacon);
G_DEFINE_AUTOPTR_CLEANUP_FUNC(AdvwatchBeacon, advwatch_beacon_free)

G_END_DECLS

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


/* ---- signed beacons -----------------------------------------------------
 * A signed beacon is a version-1 beacon of exactly 24 payload bytes: bytes
 * 0-18 as above, byte 19 the sender's clock (seconds since the epoch)
 * modulo 256, bytes 20-23 the first four bytes of HMAC-SHA-256 under the
 * installation key over "vemo-beacon-1", the company identifier (low byte
 * first), payload bytes 0-19 and the sender's full clock (64 bits, low
 * byte first). */
#define ADVWATCH_KEY_LENGTH 32
#define ADVWATCH_BEACON_SIGNED_LENGTH 24
#define ADVWATCH_BEACON_TAG_OFFSET 20
#define ADVWATCH_BEACON_TAG_LENGTH 4
#define ADVWATCH_BEACON_CLOCK_OFFSET 19

/* The installation key given to a service as a systemd credential, and
 * during a rotation the next one (for verifying only). */
typedef struct {
  guint8 key[ADVWATCH_KEY_LENGTH];
  guint8 next_key[ADVWATCH_KEY_LENGTH];
  gboolean has_key;
  gboolean has_next_key;
} AdvwatchKeys;

/* Reads "beacon-key" and "beacon-key-next" from $CREDENTIALS_DIRECTORY.
 * TRUE with has_key FALSE when there is neither (no directory, no files).
 * FALSE with @error set, and @keys cleared, for a key of another size than
 * ADVWATCH_KEY_LENGTH, an unreadable file, or "beacon-key-next" without
 * "beacon-key". Never logs the keys. */
gboolean advwatch_keys_load_credentials(AdvwatchKeys *keys, GError **error);
/* Wipes @keys (the compiler may not drop it). */
void advwatch_keys_clear(AdvwatchKeys *keys);

/* The four-byte tag of @payload (its first 20 bytes) sent at @clock. */
void advwatch_beacon_compute_tag(guint16 company_id, const guint8 *payload, guint64 clock, const guint8 *key,
                                 guint8 *tag);
/* Completes a signed beacon: @payload holds ADVWATCH_BEACON_SIGNED_LENGTH
 * bytes of which 0-18 are set; fills in the clock byte and the tag. */
void advwatch_beacon_sign(guint16 company_id, guint8 *payload, guint64 clock, const guint8 *key);
/* The sender's full clock: the one value from @now - 128 to @now + 127
 * whose low byte is @low. */
gint64 advwatch_beacon_full_clock(guint8 low, gint64 now);

G_END_DECLS

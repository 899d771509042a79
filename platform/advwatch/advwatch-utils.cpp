/* libadvwatch-utils: the beacon record handed to monitor callbacks and the
 * decoder of the version-1 wire format. */
#include "advwatch-utils.h"

#include <string.h>

#include "config.h"

#include "advwatch-private.h"

/* Offsets inside the payload that follows the company identifier. */
enum {
  kVersionOffset = 0,
  kSystemIdOffset = 1,
  kSystemIdLength = 16,
  kEventOffset = 17,
  kSequenceOffset = 18,
};

struct _AdvwatchBeacon {
  guint8 event_number;
  guint8 sequence_number;
  gint16 rssi;
  gchar system_id[37]; /* canonical lower-case UUID text */
  gchar *address;
};

G_STATIC_ASSERT(kSystemIdOffset + kSystemIdLength == kEventOffset);
G_STATIC_ASSERT(ADVWATCH_BEACON_PAYLOAD_MIN == kSequenceOffset + 1);

ADVWATCH_PUBLIC GQuark advwatch_error_quark(void) {
  return g_quark_from_static_string("advwatch-error-quark");
}

ADVWATCH_PUBLIC guint8 advwatch_beacon_get_event_number(const AdvwatchBeacon *beacon) {
  g_return_val_if_fail(beacon != NULL, 0);
  return beacon->event_number;
}

ADVWATCH_PUBLIC const gchar *advwatch_beacon_get_system_id(const AdvwatchBeacon *beacon) {
  g_return_val_if_fail(beacon != NULL, NULL);
  return beacon->system_id;
}

ADVWATCH_PUBLIC guint8 advwatch_beacon_get_sequence_number(const AdvwatchBeacon *beacon) {
  g_return_val_if_fail(beacon != NULL, 0);
  return beacon->sequence_number;
}

ADVWATCH_PUBLIC const gchar *advwatch_beacon_get_address(const AdvwatchBeacon *beacon) {
  g_return_val_if_fail(beacon != NULL, NULL);
  return beacon->address;
}

ADVWATCH_PUBLIC gint16 advwatch_beacon_get_rssi(const AdvwatchBeacon *beacon) {
  g_return_val_if_fail(beacon != NULL, 0);
  return beacon->rssi;
}

ADVWATCH_PUBLIC AdvwatchBeacon *advwatch_beacon_decode(guint16 company_id, const guint8 *payload,
                                                       gsize length, const gchar *address, gint16 rssi,
                                                       GError **error) {
  g_return_val_if_fail(payload != NULL || length == 0, NULL);
  g_return_val_if_fail(address != NULL, NULL);
  g_return_val_if_fail(error == NULL || *error == NULL, NULL);

  if (company_id != BEACON_COMPANY_ID) {
    g_set_error(error, ADVWATCH_ERROR, ADVWATCH_ERROR_INVALID_ARGUMENT,
                "Manufacturer data of %s is not a beacon: company identifier 0x%04X, beacons use 0x%04X",
                address, company_id, static_cast<unsigned>(BEACON_COMPANY_ID));
    return NULL;
  }
  if (length < ADVWATCH_BEACON_PAYLOAD_MIN) {
    g_set_error(error, ADVWATCH_ERROR, ADVWATCH_ERROR_INVALID_ARGUMENT,
                "Manufacturer data of %s is not a beacon: %" G_GSIZE_FORMAT
                " payload bytes, a beacon has at least %d",
                address, length, ADVWATCH_BEACON_PAYLOAD_MIN);
    return NULL;
  }
  if (payload[kVersionOffset] != ADVWATCH_BEACON_VERSION) {
    g_set_error(error, ADVWATCH_ERROR, ADVWATCH_ERROR_INVALID_ARGUMENT,
                "Manufacturer data of %s is not a beacon: format version %u, this receiver reads version %d",
                address, payload[kVersionOffset], ADVWATCH_BEACON_VERSION);
    return NULL;
  }

  AdvwatchBeacon *beacon = g_new0(AdvwatchBeacon, 1);
  // By hand: this runs for every beacon heard, and printf's format
  // parsing costs more than the rest of the decoding.
  static const char kHex[] = "0123456789abcdef";
  const guint8 *id = payload + kSystemIdOffset;
  gchar *out = beacon->system_id;
  for (int i = 0; i < kSystemIdLength; i++) {
    if (i == 4 || i == 6 || i == 8 || i == 10)
      *out++ = '-';
    *out++ = kHex[id[i] >> 4];
    *out++ = kHex[id[i] & 0xf];
  }
  *out = '\0';
  beacon->event_number = payload[kEventOffset];
  beacon->sequence_number = payload[kSequenceOffset];
  beacon->address = g_strdup(address);
  beacon->rssi = rssi;
  return beacon;
}

ADVWATCH_PUBLIC void advwatch_beacon_free(AdvwatchBeacon *beacon) {
  if (beacon == NULL)
    return;
  g_free(beacon->address);
  g_free(beacon);
}

/* Internal to libadvwatch and libadvwatch-utils: the element type of
 * or-pattern arrays, and the signed-beacon tag in two steps. */
#pragma once

#include <glib.h>
#include <string.h>

#define ADVWATCH_PUBLIC __attribute__((visibility("default")))

/* One or-pattern; allocated with g_new0 so that g_free releases it. */
typedef struct {
  gint kind;
  guint8 system_id[16];  /* RFC 4122 byte order, as beacons carry it */
  gchar text[37];        /* canonical lower-case UUID text */
} AdvwatchPattern;

/* The signed-beacon tag, HMAC-SHA-256 over the label "vemo-beacon-1", the
 * company identifier (low byte first), payload bytes 0-19 and the sender's
 * full clock (64 bits, low byte first), in two steps: an HMAC keyed with
 * @key and fed the constant prefix, and its end for one beacon. A receiver
 * keeps the first per key, so that a beacon costs two SHA-256 blocks rather
 * than four. Inline, as both libraries use them and neither exports them. */
static inline GHmac *advwatch_tag_prefix_new(guint16 company_id, const guint8 *key, gsize key_length) {
  static const char label[] = "vemo-beacon-1";
  const guint8 company[2] = {static_cast<guint8>(company_id & 0xff), static_cast<guint8>(company_id >> 8)};
  GHmac *hmac = g_hmac_new(G_CHECKSUM_SHA256, key, key_length);
  g_hmac_update(hmac, reinterpret_cast<const guchar *>(label), sizeof label - 1);
  g_hmac_update(hmac, company, sizeof company);
  return hmac;
}

/* Writes the first @tag_length bytes of the tag of @signed_length payload
 * bytes and @clock; @prefix is left as it was. */
static inline void advwatch_tag_finish(GHmac *prefix, const guint8 *payload, gsize signed_length, guint64 clock,
                                       guint8 *tag, gsize tag_length) {
  guint8 le_clock[8];
  for (int i = 0; i < 8; i++)
    le_clock[i] = static_cast<guint8>(clock >> (8 * i));
  GHmac *hmac = g_hmac_copy(prefix);
  g_hmac_update(hmac, payload, signed_length);
  g_hmac_update(hmac, le_clock, sizeof le_clock);
  guint8 digest[32];
  gsize length = sizeof digest;
  g_hmac_get_digest(hmac, digest, &length);
  g_hmac_unref(hmac);
  memcpy(tag, digest, MIN(tag_length, sizeof digest));
  explicit_bzero(digest, sizeof digest);
}

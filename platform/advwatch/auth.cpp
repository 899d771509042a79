/* libadvwatch: the keyring of signed beacons (keys, replay memory, what
 * was refused). The tag itself is computed by libadvwatch-utils, shared
 * with the sender. */
#include <string.h>

#include <deque>
#include <unordered_map>
#include <utility>

#include "advwatch-auth.h"
#include "advwatch-private.h"
#include "advwatch-utils.h"
#include "config.h"
#include "monitor-private.h"

namespace {

/* A sender's clock may differ from ours by this much either way. */
constexpr gint64 kFreshnessS = 30;
/* An accepted tag is refused again for this long, from any address. It
 * exceeds the freshness window both ways, so a captured beacon is stale
 * before its tag is forgotten. */
constexpr gint64 kReplayWindowUs = 60 * G_USEC_PER_SEC;
/* Bound on remembered tags. Only genuine beacons are remembered, so this is
 * reached only by an installation sending over 250 beacons a second. */
constexpr size_t kMaxTags = 16384;
constexpr gint64 kWarnIntervalUs = 60 * G_USEC_PER_SEC;

const char *kind_name(AuthVerdict verdict) {
  switch (verdict) {
    case AuthVerdict::Unsigned:
      return "unsigned";
    case AuthVerdict::Forged:
      return "forged";
    case AuthVerdict::Stale:
      return "stale";
    case AuthVerdict::Replayed:
      return "replayed";
    case AuthVerdict::Accepted:
      break;
  }
  return "accepted";
}

}  // namespace

struct _AdvwatchKeyring {
  gatomicrefcount refs;
  /* Per key, the tag's HMAC with the key and the constant prefix fed;
   * no copy of the raw key is kept. */
  GHmac *prefixes[2] = {nullptr, nullptr};
  int n_keys = 0;
  AdvwatchAuthStats stats = {};
  gint64 last_warned[4] = {0, 0, 0, 0}; /* by kind, monotonic; 0: never */
  std::unordered_map<guint32, gint64> tags; /* accepted tag -> when */
  std::deque<std::pair<gint64, guint32>> tag_order; /* oldest first */
};

ADVWATCH_PUBLIC AdvwatchKeyring *advwatch_keyring_new(const guint8 *key, const guint8 *next_key) {
  g_return_val_if_fail(key != NULL, NULL);
  auto *keyring = new _AdvwatchKeyring;
  g_atomic_ref_count_init(&keyring->refs);
  keyring->prefixes[keyring->n_keys++] = advwatch_tag_prefix_new(BEACON_COMPANY_ID, key, ADVWATCH_KEY_LENGTH);
  if (next_key != NULL)
    keyring->prefixes[keyring->n_keys++] = advwatch_tag_prefix_new(BEACON_COMPANY_ID, next_key, ADVWATCH_KEY_LENGTH);
  return keyring;
}

ADVWATCH_PUBLIC AdvwatchKeyring *advwatch_keyring_ref(AdvwatchKeyring *keyring) {
  g_return_val_if_fail(keyring != NULL, NULL);
  g_atomic_ref_count_inc(&keyring->refs);
  return keyring;
}

ADVWATCH_PUBLIC void advwatch_keyring_unref(AdvwatchKeyring *keyring) {
  if (keyring == NULL || !g_atomic_ref_count_dec(&keyring->refs))
    return;
  for (int i = 0; i < keyring->n_keys; i++)
    g_hmac_unref(keyring->prefixes[i]);
  delete keyring;
}

ADVWATCH_PUBLIC void advwatch_keyring_get_stats(AdvwatchKeyring *keyring, AdvwatchAuthStats *stats) {
  g_return_if_fail(keyring != NULL);
  g_return_if_fail(stats != NULL);
  *stats = keyring->stats;
}

AuthVerdict auth_check_signature(const AdvwatchKeyring *keyring, const guint8 *payload, gsize length, gint64 now_s,
                                 guint32 *tag) {
  // A longer payload is no signed beacon either: the format is exactly 24
  // bytes, and one more would not fit beside the kernel's Flags.
  if (length != ADVWATCH_BEACON_SIGNED_LENGTH)
    return AuthVerdict::Unsigned;
  const gint64 clock = advwatch_beacon_full_clock(payload[ADVWATCH_BEACON_CLOCK_OFFSET], now_s);
  const guint8 *carried = payload + ADVWATCH_BEACON_TAG_OFFSET;
  bool verified = false;
  for (int i = 0; i < keyring->n_keys && !verified; i++) {
    guint8 expected[ADVWATCH_BEACON_TAG_LENGTH];
    advwatch_tag_finish(keyring->prefixes[i], payload, ADVWATCH_BEACON_TAG_OFFSET, static_cast<guint64>(clock),
                        expected, sizeof expected);
    guint8 diff = 0;
    for (int j = 0; j < ADVWATCH_BEACON_TAG_LENGTH; j++)
      diff |= static_cast<guint8>(expected[j] ^ carried[j]);
    verified = diff == 0;
  }
  if (!verified)
    return AuthVerdict::Forged;
  if (clock - now_s > kFreshnessS || now_s - clock > kFreshnessS)
    return AuthVerdict::Stale;
  *tag = static_cast<guint32>(carried[0]) | static_cast<guint32>(carried[1]) << 8 |
         static_cast<guint32>(carried[2]) << 16 | static_cast<guint32>(carried[3]) << 24;
  return AuthVerdict::Accepted;
}

namespace {

void forget_old_tags(AdvwatchKeyring *keyring, gint64 now_us) {
  while (!keyring->tag_order.empty() &&
         (now_us - keyring->tag_order.front().first >= kReplayWindowUs || keyring->tag_order.size() > kMaxTags)) {
    const auto &oldest = keyring->tag_order.front();
    auto found = keyring->tags.find(oldest.second);
    // A tag accepted again later keeps its newer entry.
    if (found != keyring->tags.end() && found->second == oldest.first)
      keyring->tags.erase(found);
    keyring->tag_order.pop_front();
  }
}

}  // namespace

bool auth_is_replay(AdvwatchKeyring *keyring, guint32 tag, gint64 now_us) {
  forget_old_tags(keyring, now_us);
  return keyring->tags.count(tag) != 0;
}

void auth_remember(AdvwatchKeyring *keyring, guint32 tag, gint64 now_us) {
  keyring->tags[tag] = now_us;
  keyring->tag_order.emplace_back(now_us, tag);
  forget_old_tags(keyring, now_us);
}

void auth_refused(AdvwatchKeyring *keyring, AuthVerdict verdict, const gchar *address, gint64 now_us) {
  int kind;
  switch (verdict) {
    case AuthVerdict::Unsigned:
      kind = 0;
      keyring->stats.unsigned_beacons++;
      break;
    case AuthVerdict::Forged:
      kind = 1;
      keyring->stats.forged++;
      break;
    case AuthVerdict::Stale:
      kind = 2;
      keyring->stats.stale++;
      break;
    case AuthVerdict::Replayed:
      kind = 3;
      keyring->stats.replayed++;
      break;
    default:
      return;
  }
  gint64 &last = keyring->last_warned[kind];
  if (last != 0 && now_us - last < kWarnIntervalUs)
    return;
  last = now_us;
  g_warning("advwatch: %s beacon from %s dropped (more of this kind within a minute are only counted)",
            kind_name(verdict), address);
}

ADVWATCH_PUBLIC void advwatch_monitor_set_keyring(AdvwatchMonitor *monitor, AdvwatchKeyring *keyring) {
  g_return_if_fail(monitor != NULL);
  if (keyring != NULL)
    advwatch_keyring_ref(keyring);
  g_clear_pointer(&monitor->keyring, advwatch_keyring_unref);
  monitor->keyring = keyring;
}

/* libadvwatch: beacon evaluation. Decodes a device's current data,
 * filters by the monitor's System IDs, suppresses repeats (the recent
 * sequence numbers of recently heard senders) and runs the owner's beacon
 * callback. Called on the monitor's context, from BlueZ's signals and calls
 * and from device reads. */
#include "monitor-private.h"

#include "advwatch-auth.h"

namespace advwatch {
namespace {

/* ---- repeat suppression ---------------------------------------------- */

/* Whether (@address_text, @sequence) was reported lately; a new one is
 * remembered only when @remember. */
bool is_repeat(AdvwatchMonitor *monitor, const gchar *address_text, guint8 sequence, bool remember = true) {
  guint64 address = 0;
  parse_address(address_text, ':', false, &address); /* checked when the device learnt it */
  const gint64 now = g_get_monotonic_time();
  auto found = monitor->senders.find(address);
  if (found == monitor->senders.end()) {
    if (!remember)
      return false;
    monitor->sender_lru.push_front(address);
    Sender sender;
    sender.lru = monitor->sender_lru.begin();
    sender.heard.push_back({sequence, now});
    monitor->senders.emplace(address, std::move(sender));
    if (monitor->senders.size() > kMaxSenders) {
      monitor->senders.erase(monitor->sender_lru.back());
      monitor->sender_lru.pop_back();
    }
    return false;
  }

  Sender &sender = found->second;
  monitor->sender_lru.splice(monitor->sender_lru.begin(), monitor->sender_lru, sender.lru);
  for (Heard &heard : sender.heard) {
    if (heard.sequence == sequence) {
      const bool repeat = now - heard.when < kRepeatWindowUs;
      // A repeat keeps the advertisement's number alive for as long as it
      // stays on air.
      heard.when = now;
      return repeat;
    }
  }
  if (!remember)
    return false;
  sender.heard.push_back({sequence, now});
  if (sender.heard.size() > kSequenceWindow)
    sender.heard.erase(sender.heard.begin());
  return false;
}

/* ---- beacons ---------------------------------------------------------- */

/* Whether a debug message would be shown: the per-beacon ones cost more to
 * format and drop than the rest of a beacon's handling. */
bool debug_enabled() {
  return !g_log_writer_default_would_drop(G_LOG_LEVEL_DEBUG, G_LOG_DOMAIN);
}

bool wanted(const AdvwatchMonitor *monitor, const AdvwatchBeacon *beacon) {
  if (monitor->wanted_ids.empty())
    return true;
  const gchar *system_id = advwatch_beacon_get_system_id(beacon);
  for (const std::string &id : monitor->wanted_ids)
    if (g_ascii_strcasecmp(id.c_str(), system_id) == 0)
      return true;
  return false;
}

/* With a keyring, in the order unsigned, forged, stale, repeat, replayed;
 * a beacon's (address, sequence number) and tag are remembered only once
 * it is accepted, so a refused beacon never shadows a genuine one. @fresh:
 * the repeat check has not been made yet. */
bool admit_signed(AdvwatchMonitor *monitor, Device &device, bool fresh) {
  const gint64 now_us = g_get_monotonic_time();
  guint32 tag = 0;
  AuthVerdict verdict = auth_check_signature(monitor->keyring, device.data, device.data_length,
                                             g_get_real_time() / G_USEC_PER_SEC, &tag);
  if (verdict == AuthVerdict::Accepted) {
    if (fresh && is_repeat(monitor, device.address, device.sequence, false)) {
      monitor->stats.repeats++;
      return false;
    }
    if (auth_is_replay(monitor->keyring, tag, now_us))
      verdict = AuthVerdict::Replayed;
  }
  if (verdict != AuthVerdict::Accepted) {
    device.refused = true;
    auth_refused(monitor->keyring, verdict, device.address, now_us);
    return false;
  }
  is_repeat(monitor, device.address, device.sequence);
  auth_remember(monitor->keyring, tag, now_us);
  return true;
}

}  // namespace

/* Reports the beacon that @path currently advertises, if it is a new one
 * the monitor wants. May run the user's callback: callers hold a reference
 * and check `closed` afterwards. */
void evaluate(AdvwatchMonitor *monitor, const gchar *path) {
  if (!reporting(monitor))
    return;
  Device *found = find_device(monitor, path);
  if (found == NULL)
    return;
  Device &device = *found;
  if (!device.has_address()) {
    if (!device.fetching)
      fetch_device(monitor, path);
    return;
  }
  if (!device.has_data)
    return;

  if (device.evaluated) {
    // Nothing new since the last look: a repeat, unless its number was
    // forgotten meanwhile.
    monitor->stats.heard++;
    if (!device.wanted_beacon) {
      monitor->stats.foreign++;
      return;
    }
    if (device.refused)
      return;  // counted when it was judged
    if (is_repeat(monitor, device.address, device.sequence, monitor->keyring == NULL)) {
      monitor->stats.repeats++;
      return;
    }
    monitor->stats.heard--;  // counted again below
  }

  g_autoptr(GError) error = NULL;
  g_autoptr(AdvwatchBeacon) beacon =
      advwatch_beacon_decode(BEACON_COMPANY_ID, device.data, device.data_length, device.address,
                             device.rssi, &error);
  const bool fresh = !device.evaluated;
  device.evaluated = true;
  device.wanted_beacon = false;
  device.refused = false;
  if (beacon == NULL) {
    g_debug("advwatch: %s: %s", path, error->message);
    return;
  }
  monitor->stats.heard++;
  if (!wanted(monitor, beacon)) {
    monitor->stats.foreign++;
    if (debug_enabled())
      g_debug("advwatch: ignoring beacon of System ID %s from %s: not one the monitor looks for",
            advwatch_beacon_get_system_id(beacon), device.address);
    return;
  }
  device.wanted_beacon = true;
  device.sequence = advwatch_beacon_get_sequence_number(beacon);
  if (monitor->keyring != NULL) {
    if (!admit_signed(monitor, device, fresh))
      return;
  } else if (fresh && is_repeat(monitor, device.address, device.sequence)) {
    monitor->stats.repeats++;
    return;
  }
  monitor->stats.reported++;

  if (debug_enabled())
    g_debug("advwatch: beacon from %s: System ID %s, event %u, sequence %u, RSSI %d", device.address,
          advwatch_beacon_get_system_id(beacon), advwatch_beacon_get_event_number(beacon),
          advwatch_beacon_get_sequence_number(beacon), advwatch_beacon_get_rssi(beacon));
  try {
    monitor->callback(beacon, monitor->user_data);
  } catch (...) {
    g_warning("advwatch: the beacon callback threw an exception; it must not");
  }
}

}  // namespace advwatch

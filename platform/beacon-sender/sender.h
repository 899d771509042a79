/* How the beacon-sending service puts a beacon on air. */
#pragma once

#include <gio/gio.h>

#include <functional>
#include <memory>

/* Called once per request, on the main context: NULL when the beacon is on
 * its way, else why it is not. The error is borrowed. */
using SendDone = std::function<void(GError *error)>;

class Sender {
 public:
  virtual ~Sender() = default;
  /* Requests still unanswered when the sender goes away get an error. */
  virtual void send(guint8 message_type, const gchar *system_id, SendDone done) = 0;
};

struct SenderOptions {
  /* How long each beacon stays registered: 20-27 advertising events at
   * the kernel's 100-150 ms, heard at 30 % packet loss by a receiver
   * scanning half the time unless the interval aliases with its scan
   * cycle (see README.md). */
  guint air_time_ms = 3000;
  /* Register up to SupportedInstances at once even without hardware
   * advertising sets, letting the kernel rotate them: the old behaviour,
   * which loses beacons, kept only to show that it does. */
  bool all_at_once = false;
};

/* @adapter: "hciN" or NULL for the first adapter that can advertise.
 * @record_only: never use BlueZ; every request succeeds at once. */
std::unique_ptr<Sender> make_sender(GDBusConnection *connection, const gchar *adapter, bool record_only,
                                    const SenderOptions &options = {});

/* Signs every beacon built from now on with @key (ADVWATCH_KEY_LENGTH
 * bytes, copied); NULL stops signing and wipes the copy. */
void sender_set_signing_key(const guint8 *key);

#include "notify.h"

#include "config.h"

#ifdef HAVE_LIBSYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace {

guint ready_source_g = 0;
guint watchdog_source_g = 0;
gboolean stopping_g = FALSE; /* the teardown's own state changes are not news */

void send(const gchar *state) {
#ifdef HAVE_LIBSYSTEMD
  // Returns 0 without $NOTIFY_SOCKET; a failure to tell systemd is not one
  // of the service.
  const int r = sd_notify(0, state);
  if (r < 0)
    g_debug("Could not notify systemd: %s", g_strerror(-r));
#else
  (void)state;
#endif
}

gboolean on_ready(gpointer) {
  ready_source_g = 0;
  send("READY=1");
  return G_SOURCE_REMOVE;
}

gboolean on_watchdog(gpointer) {
  send("WATCHDOG=1");
  return G_SOURCE_CONTINUE;
}

}  // namespace

void notify_start(void) {
#ifdef HAVE_LIBSYSTEMD
  if (g_getenv("NOTIFY_SOCKET") == NULL)
    return;
  if (ready_source_g == 0)
    ready_source_g = g_idle_add(on_ready, NULL);
  uint64_t usec = 0;
  if (watchdog_source_g == 0 && sd_watchdog_enabled(0, &usec) > 0) {
    const guint period_ms = static_cast<guint>(MAX(usec / 2 / 1000, 1));
    watchdog_source_g = g_timeout_add(period_ms, on_watchdog, NULL);
    g_debug("Feeding the systemd watchdog every %u ms", period_ms);
  }
#endif
}

void notify_status(const gchar *line) {
  g_return_if_fail(line != NULL);
  if (stopping_g || g_getenv("NOTIFY_SOCKET") == NULL)
    return;
  g_autofree gchar *message = g_strconcat("STATUS=", line, NULL);
  g_strdelimit(message, "\n\r", ' ');
  send(message);
}

void notify_stop(void) {
  if (ready_source_g != 0) {
    g_source_remove(ready_source_g);
    ready_source_g = 0;
  }
  if (watchdog_source_g != 0) {
    g_source_remove(watchdog_source_g);
    watchdog_source_g = 0;
  }
  stopping_g = TRUE;
  send("STOPPING=1");
}

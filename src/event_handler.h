/* The daemon's BeaconReceived event: producer, declaration and sending.
 * Main thread only. */
#pragma once

#include <glib.h>

#include "evpub.h"

G_BEGIN_DECLS

#define EVENT_HANDLER_ERROR (event_handler_error_quark())
GQuark event_handler_error_quark(void);

#define EVENT_PRODUCER_NAME "kavrod"

typedef struct {
  EvpubProducer *event_producer;
  guint32 declaration_id; /* 0: not declared */
} EventHandler;

extern EventHandler *event_handler_g;

gboolean event_handler_init(GError **error);
/* Sends one BeaconReceived event carrying @event_val under "UUID". */
gboolean event_handler_send_event(const gchar *event_val);
/* Safe when init never ran or failed. */
void event_handler_teardown(void);

G_END_DECLS

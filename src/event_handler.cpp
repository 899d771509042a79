#include "event_handler.h"

EventHandler *event_handler_g = NULL;

GQuark event_handler_error_quark(void) {
  static GQuark quark = 0;
  if (quark == 0)
    quark = g_quark_from_static_string("event_handler");
  return quark;
}

gboolean event_handler_init(GError **error) {
  g_return_val_if_fail(error == NULL || *error == NULL, FALSE);

  event_handler_g = g_new0(EventHandler, 1);
  event_handler_g->event_producer = evpub_producer_new(EVENT_PRODUCER_NAME);
  if (event_handler_g->event_producer == NULL) {
    g_set_error_literal(error, EVENT_HANDLER_ERROR, -1, "Failed to create an event producer!");
  } else {
    EvpubDeclaration *declaration = evpub_declaration_new(0);
    evpub_declaration_add_key_value(declaration, "topic0", "Device", EVPUB_TYPE_STRING);
    evpub_declaration_add_key_value(declaration, "topic1", "Bluetooth", EVPUB_TYPE_STRING);
    evpub_declaration_add_key_value(declaration, "topic2", "BeaconReceived", EVPUB_TYPE_STRING);
    evpub_declaration_add_key(declaration, "UUID", EVPUB_TYPE_STRING);
    evpub_declaration_set_nice_names(declaration, "topic0", NULL, "Device");
    evpub_declaration_set_nice_names(declaration, "topic1", NULL, "Bluetooth");
    evpub_declaration_set_nice_names(declaration, "topic2", NULL, "Beacon Received");
    evpub_declaration_set_nice_names(declaration, "UUID", "System ID", NULL);
    evpub_declaration_set_name_space(declaration, "topic0", "tns1");
    evpub_declaration_set_name_space(declaration, "topic1", "tnsvemo");
    evpub_declaration_set_name_space(declaration, "topic2", "tnsvemo");
    evpub_declaration_add_key_tag(declaration, "UUID", "onvif-data");

    event_handler_g->declaration_id = evpub_producer_declare(event_handler_g->event_producer, declaration);
    evpub_declaration_free(declaration);
    if (event_handler_g->declaration_id != 0)
      return TRUE;
    g_set_error_literal(error, EVENT_HANDLER_ERROR, -1, "Failed to declare event for device: BeaconReceived!");
  }

  if (event_handler_g->event_producer != NULL)
    evpub_producer_free(event_handler_g->event_producer);
  g_clear_pointer(&event_handler_g, g_free);
  return FALSE;
}

gboolean event_handler_send_event(const gchar *event_val) {
  g_return_val_if_fail(event_val != NULL, FALSE);
  if (event_handler_g == NULL || event_handler_g->event_producer == NULL) {
    // Named as the one condition an operator can act on: no producer.
    g_return_if_fail_warning(G_LOG_DOMAIN, G_STRFUNC, "event_handler_g->event_producer != NULL");
    return FALSE;
  }

  EvpubEvent *event = evpub_producer_prepare_event(event_handler_g->event_producer, event_handler_g->declaration_id);
  if (event == NULL) {
    g_warning("Failed to prepare event for 'Beacon received' producer");
    return FALSE;
  }
  if (!evpub_set_value(event, "UUID", event_val)) {
    g_warning("Failed to set value for '%s' event", event_val);
    evpub_free_event(event);
    return FALSE;
  }
  evpub_producer_send_event_async(event_handler_g->event_producer, event);
  evpub_free_event(event);
  return TRUE;
}

void event_handler_teardown(void) {
  if (event_handler_g == NULL)
    return;
  evpub_producer_free(event_handler_g->event_producer);
  g_clear_pointer(&event_handler_g, g_free);
}

/* libevpub: publishes events as D-Bus signals on the system bus.
 *
 * A producer owns the object /com/vemo/Event/Producer/<name> (interface
 * com.vemo.Event.Producer1). Each sent event is the signal
 *   Event(s producer, s topic, x time_us, a{sv} data)
 * Thread contract: a producer is used from one thread at a time.
 */
#pragma once

#include <glib.h>

G_BEGIN_DECLS

#define EVPUB_ERROR (evpub_error_quark())
GQuark evpub_error_quark(void);

typedef enum {
  EVPUB_ERROR_INVALID = 1, /* a key, value or declaration is not acceptable */
  EVPUB_ERROR_BUS = 2,     /* the system bus could not be used */
} EvpubError;

/* Value type codes of declaration keys. */
enum {
  EVPUB_TYPE_INT32 = 1,
  EVPUB_TYPE_BOOLEAN = 2,
  EVPUB_TYPE_DOUBLE = 3,
  EVPUB_TYPE_STRING = 4,
};

#define EVPUB_PRODUCER_INTERFACE "com.vemo.Event.Producer1"
#define EVPUB_PRODUCER_PATH_PREFIX "/com/vemo/Event/Producer/"

typedef struct _EvpubProducer EvpubProducer;
typedef struct _EvpubDeclaration EvpubDeclaration;
typedef struct _EvpubEvent EvpubEvent;

/* NULL (with a warning) without a system bus or with an invalid name. */
EvpubProducer *evpub_producer_new(const gchar *name);
void evpub_producer_free(EvpubProducer *producer);

/* @flags: 0. Never NULL. */
EvpubDeclaration *evpub_declaration_new(gint flags);
void evpub_declaration_free(EvpubDeclaration *declaration);
/* Values are given as text and converted to the key's type. */
gboolean evpub_declaration_add_key_value(EvpubDeclaration *declaration, const gchar *key,
                                         const gchar *value, gint type);
gboolean evpub_declaration_add_key(EvpubDeclaration *declaration, const gchar *key, gint type);
gboolean evpub_declaration_set_nice_names(EvpubDeclaration *declaration, const gchar *key,
                                          const gchar *key_nice_name, const gchar *value_nice_name);
gboolean evpub_declaration_set_name_space(EvpubDeclaration *declaration, const gchar *key,
                                          const gchar *name_space);
gboolean evpub_declaration_add_key_tag(EvpubDeclaration *declaration, const gchar *key,
                                       const gchar *tag);

/* Checks and publishes @declaration; the producer keeps its own copy.
 * Returns a new non-zero identifier, or 0 with a warning. */
guint32 evpub_producer_declare(EvpubProducer *producer, const EvpubDeclaration *declaration);

/* A new event of a declaration, or NULL for an unknown identifier. */
EvpubEvent *evpub_producer_prepare_event(EvpubProducer *producer, guint32 declaration_id);
/* Sets a declared, non-fixed key; @value is converted to the key's type. */
gboolean evpub_set_value(EvpubEvent *event, const gchar *key, const gchar *value);
/* Queues the Event signal; never blocks. The event stays the caller's. */
void evpub_producer_send_event_async(EvpubProducer *producer, const EvpubEvent *event);
void evpub_free_event(EvpubEvent *event);

G_END_DECLS

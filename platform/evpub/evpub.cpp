/* libevpub: events as D-Bus signals.
 *
 * Each producer owns a private connection to the system bus rather than
 * using the process's shared one: the shared connection ends the process
 * when the bus goes away (exit-on-close), which a host such as a daemon
 * must decide for itself, and a library must not flip that setting behind
 * its host's back. On the private connection exit-on-close is off; when
 * the bus goes away the producer logs one warning and drops events (it
 * does not reconnect).
 *
 * Declarations are validated in evpub_producer_declare, in one place:
 * building a declaration only records what it is given (refusing only
 * misuse such as a key added twice), so a bad type or fixed value makes
 * the whole declaration fail instead of silently losing one key.
 *
 * ListDeclarations is answered on the main context that was the thread
 * default when the producer was created; the declarations it reads are
 * guarded by a mutex, since that may be another thread than the one using
 * the producer. */
#include <gio/gio.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "evpub-value.h"

#pragma GCC visibility push(default)
#include "evpub.h"
#pragma GCC visibility pop

G_DEFINE_QUARK(evpub-error-quark, evpub_error)

using evpub::VariantPtr;

namespace {

const char introspection_xml[] =
    "<node>"
    "  <interface name='" EVPUB_PRODUCER_INTERFACE "'>"
    "    <method name='ListDeclarations'>"
    "      <arg name='declarations' type='a(ua{sv})' direction='out'/>"
    "    </method>"
    "    <signal name='Declared'>"
    "      <arg name='id' type='u'/>"
    "      <arg name='declaration' type='a{sv}'/>"
    "    </signal>"
    "    <signal name='Event'>"
    "      <arg name='producer' type='s'/>"
    "      <arg name='topic' type='s'/>"
    "      <arg name='time_us' type='x'/>"
    "      <arg name='data' type='a{sv}'/>"
    "    </signal>"
    "  </interface>"
    "</node>";

GDBusInterfaceInfo *producer_interface_info() {
  static GDBusNodeInfo *node = [] {
    g_autoptr(GError) error = nullptr;
    GDBusNodeInfo *info = g_dbus_node_info_new_for_xml(introspection_xml, &error);
    if (info == nullptr)
      g_error("evpub: bad introspection data: %s", error->message);
    return info;
  }();
  return node->interfaces[0];
}

/* Keys "topic0", "topic1", ... make up the topic, in that order, as far as
 * the numbering runs without a gap. */
std::string topic_key_name(size_t index) { return "topic" + std::to_string(index); }

bool is_valid_text(const gchar *text) {
  return text != nullptr && *text != '\0' && g_utf8_validate(text, -1, nullptr);
}

/* Producer names become one element of an object path. */
bool is_valid_path_element(const gchar *name) {
  if (name == nullptr || *name == '\0')
    return false;
  for (const gchar *p = name; *p != '\0'; p++)
    if (!g_ascii_isalnum(*p) && *p != '_')
      return false;
  return true;
}

struct KeySpec {
  std::string name;
  gint type = 0;
  std::optional<std::string> fixed;
  std::optional<std::string> key_nice_name;
  std::optional<std::string> value_nice_name;
  std::optional<std::string> name_space;
  std::vector<std::string> tags;
};

/* A checked declaration as a producer keeps it. */
struct DeclaredKey {
  std::string name;
  gint type = 0;
  VariantPtr fixed;
  const KeySpec *spec = nullptr;  // valid while the description is built
  bool in_topic = false;
  std::string name_space;
};

struct Declared {
  guint32 id = 0;
  std::vector<DeclaredKey> keys;
  std::map<std::string, size_t> index;
  std::vector<size_t> topic;  // indices into keys, in topic order
  VariantPtr description;     // a{sv} as ListDeclarations and Declared show it
};

/* What the bus registration shares with its producer. */
struct ProducerState {
  std::mutex mutex;
  std::vector<std::pair<guint32, VariantPtr>> listing;
};

std::atomic<guint64> producer_serials{1};

void on_method_call(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                    const gchar *method, GVariant *, GDBusMethodInvocation *invocation,
                    gpointer user_data) noexcept {
  auto *state = static_cast<std::shared_ptr<ProducerState> *>(user_data)->get();
  if (g_strcmp0(method, "ListDeclarations") != 0) {
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD,
                                          "Unknown method %s", method);
    return;
  }
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a(ua{sv})"));
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    for (const auto &entry : state->listing)
      g_variant_builder_add(&builder, "(u@a{sv})", entry.first, entry.second.get());
  }
  g_dbus_method_invocation_return_value(invocation,
                                        g_variant_new("(@a(ua{sv}))", g_variant_builder_end(&builder)));
}

void free_registration_data(gpointer user_data) noexcept {
  delete static_cast<std::shared_ptr<ProducerState> *>(user_data);
}

const GDBusInterfaceVTable producer_vtable = {on_method_call, nullptr, nullptr, {nullptr}};

VariantPtr describe(const Declared &declared, gint flags) {
  GVariantBuilder keys;
  g_variant_builder_init(&keys, G_VARIANT_TYPE("aa{sv}"));
  for (const DeclaredKey &key : declared.keys) {
    const KeySpec &spec = *key.spec;
    GVariantBuilder entry;
    g_variant_builder_init(&entry, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&entry, "{sv}", "name", g_variant_new_string(key.name.c_str()));
    g_variant_builder_add(&entry, "{sv}", "type", g_variant_new_int32(key.type));
    if (key.fixed)
      g_variant_builder_add(&entry, "{sv}", "value", key.fixed.get());
    if (spec.key_nice_name)
      g_variant_builder_add(&entry, "{sv}", "key-nice-name",
                            g_variant_new_string(spec.key_nice_name->c_str()));
    if (spec.value_nice_name)
      g_variant_builder_add(&entry, "{sv}", "value-nice-name",
                            g_variant_new_string(spec.value_nice_name->c_str()));
    if (spec.name_space)
      g_variant_builder_add(&entry, "{sv}", "namespace",
                            g_variant_new_string(spec.name_space->c_str()));
    if (!spec.tags.empty()) {
      GVariantBuilder tags;
      g_variant_builder_init(&tags, G_VARIANT_TYPE_STRING_ARRAY);
      for (const std::string &tag : spec.tags)
        g_variant_builder_add(&tags, "s", tag.c_str());
      g_variant_builder_add(&entry, "{sv}", "tags", g_variant_builder_end(&tags));
    }
    g_variant_builder_add(&keys, "a{sv}", &entry);
  }

  GVariantBuilder description;
  g_variant_builder_init(&description, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&description, "{sv}", "flags", g_variant_new_int32(flags));
  g_variant_builder_add(&description, "{sv}", "keys", g_variant_builder_end(&keys));
  return VariantPtr(g_variant_ref_sink(g_variant_builder_end(&description)));
}

}  // namespace

struct _EvpubDeclaration {
  gint flags = 0;
  std::vector<KeySpec> keys;

  KeySpec *find(const gchar *name) {
    for (KeySpec &key : keys)
      if (key.name == name)
        return &key;
    return nullptr;
  }
};

struct _EvpubEvent {
  guint64 producer_serial = 0;
  std::shared_ptr<const Declared> declaration;
  std::vector<VariantPtr> values;  // per key; empty when not set
};

struct _EvpubProducer {
  guint64 serial = 0;
  std::string name;
  std::string path;
  GDBusConnection *connection = nullptr;
  guint registration = 0;
  std::shared_ptr<ProducerState> state;
  std::map<guint32, std::shared_ptr<const Declared>> declarations;
  guint32 last_id = 0;
  bool bus_lost_reported = false;
};

namespace {

/* Checks @declaration and converts its fixed values; nullptr with @error. */
std::shared_ptr<Declared> check_declaration(const EvpubDeclaration &declaration,
                                            GError **error) {
  if (declaration.flags != 0) {
    g_set_error(error, EVPUB_ERROR, EVPUB_ERROR_INVALID, "unsupported flags 0x%x",
                static_cast<guint>(declaration.flags));
    return nullptr;
  }
  if (declaration.keys.empty()) {
    g_set_error_literal(error, EVPUB_ERROR, EVPUB_ERROR_INVALID, "the declaration has no keys");
    return nullptr;
  }
  auto declared = std::make_shared<Declared>();
  for (const KeySpec &spec : declaration.keys) {
    if (!evpub::type_is_known(spec.type)) {
      g_set_error(error, EVPUB_ERROR, EVPUB_ERROR_INVALID,
                  "key '%s' has the unknown type code %d", spec.name.c_str(), spec.type);
      return nullptr;
    }
    DeclaredKey key;
    key.name = spec.name;
    key.type = spec.type;
    key.spec = &spec;
    key.name_space = spec.name_space.value_or("");
    if (spec.fixed) {
      g_autoptr(GError) value_error = nullptr;
      key.fixed = evpub::value_from_text(spec.type, spec.fixed->c_str(), &value_error);
      if (!key.fixed) {
        g_set_error(error, EVPUB_ERROR, EVPUB_ERROR_INVALID, "fixed value of key '%s': %s",
                    spec.name.c_str(), value_error->message);
        return nullptr;
      }
    }
    declared->index[key.name] = declared->keys.size();
    declared->keys.push_back(std::move(key));
  }
  for (size_t n = 0;; n++) {
    auto found = declared->index.find(topic_key_name(n));
    if (found == declared->index.end())
      break;
    declared->keys[found->second].in_topic = true;
    declared->topic.push_back(found->second);
  }
  declared->description = describe(*declared, declaration.flags);
  for (DeclaredKey &key : declared->keys)
    key.spec = nullptr;
  return declared;
}

GVariant *event_value(const EvpubEvent &event, size_t index) {
  const DeclaredKey &key = event.declaration->keys[index];
  return key.fixed ? key.fixed.get() : event.values[index].get();
}

}  // namespace

/* ---- producer ------------------------------------------------------------ */

EvpubProducer *evpub_producer_new(const gchar *name) {
  if (!is_valid_path_element(name)) {
    g_warning("Cannot create an event producer named '%s': a name is one or more of A-Z, a-z, "
              "0-9 and _",
              name != nullptr && g_utf8_validate(name, -1, nullptr) ? name : "(invalid)");
    return nullptr;
  }

  g_autoptr(GError) error = nullptr;
  g_autofree gchar *address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
  if (address == nullptr) {
    g_warning("Cannot create event producer '%s': no system bus: %s", name, error->message);
    return nullptr;
  }
  g_autoptr(GDBusConnection) connection = g_dbus_connection_new_for_address_sync(
      address,
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
  if (connection == nullptr) {
    g_warning("Cannot create event producer '%s': cannot connect to the system bus at '%s': %s",
              name, address, error->message);
    return nullptr;
  }
  g_dbus_connection_set_exit_on_close(connection, FALSE);

  auto producer = std::make_unique<EvpubProducer>();
  producer->serial = producer_serials.fetch_add(1);
  producer->name = name;
  producer->path = std::string(EVPUB_PRODUCER_PATH_PREFIX) + name;
  producer->state = std::make_shared<ProducerState>();
  producer->registration = g_dbus_connection_register_object(
      connection, producer->path.c_str(), producer_interface_info(), &producer_vtable,
      new std::shared_ptr<ProducerState>(producer->state), free_registration_data, &error);
  if (producer->registration == 0) {
    g_warning("Cannot create event producer '%s': cannot export %s: %s", name,
              producer->path.c_str(), error->message);
    g_dbus_connection_close_sync(connection, nullptr, nullptr);
    return nullptr;
  }
  producer->connection = static_cast<GDBusConnection *>(g_steal_pointer(&connection));
  g_debug("Event producer '%s' at %s on %s", name, producer->path.c_str(),
          g_dbus_connection_get_unique_name(producer->connection));
  return producer.release();
}

void evpub_producer_free(EvpubProducer *producer) {
  if (producer == nullptr)
    return;
  if (producer->registration != 0)
    g_dbus_connection_unregister_object(producer->connection, producer->registration);
  if (!g_dbus_connection_is_closed(producer->connection)) {
    // Events are only queued when sent: hand them to the bus before closing,
    // as closing drops what is still queued.
    g_autoptr(GError) error = nullptr;
    if (!g_dbus_connection_flush_sync(producer->connection, nullptr, &error) ||
        !g_dbus_connection_close_sync(producer->connection, nullptr, &error))
      g_debug("Event producer '%s': closing its bus connection: %s", producer->name.c_str(),
              error->message);
  }
  g_object_unref(producer->connection);
  delete producer;
}

/* ---- declarations --------------------------------------------------------- */

EvpubDeclaration *evpub_declaration_new(gint flags) {
  auto *declaration = new EvpubDeclaration();
  declaration->flags = flags;
  return declaration;
}

void evpub_declaration_free(EvpubDeclaration *declaration) { delete declaration; }

static gboolean add_key(EvpubDeclaration *declaration, const gchar *key, const gchar *value,
                        gint type) {
  if (!is_valid_text(key)) {
    g_warning("Event declaration: a key name must be non-empty UTF-8");
    return FALSE;
  }
  if (declaration->find(key) != nullptr) {
    g_warning("Event declaration: key '%s' is declared twice", key);
    return FALSE;
  }
  KeySpec spec;
  spec.name = key;
  spec.type = type;
  if (value != nullptr)
    spec.fixed = value;
  declaration->keys.push_back(std::move(spec));
  return TRUE;
}

gboolean evpub_declaration_add_key_value(EvpubDeclaration *declaration, const gchar *key,
                                         const gchar *value, gint type) {
  g_return_val_if_fail(declaration != nullptr, FALSE);
  g_return_val_if_fail(value != nullptr, FALSE);
  return add_key(declaration, key, value, type);
}

gboolean evpub_declaration_add_key(EvpubDeclaration *declaration, const gchar *key, gint type) {
  g_return_val_if_fail(declaration != nullptr, FALSE);
  return add_key(declaration, key, nullptr, type);
}

static KeySpec *find_key_or_warn(EvpubDeclaration *declaration, const gchar *key,
                                 const char *what) {
  KeySpec *spec = key != nullptr ? declaration->find(key) : nullptr;
  if (spec == nullptr)
    g_warning("Event declaration: cannot set the %s of key '%s': no such key", what,
              key != nullptr && g_utf8_validate(key, -1, nullptr) ? key : "(invalid)");
  return spec;
}

gboolean evpub_declaration_set_nice_names(EvpubDeclaration *declaration, const gchar *key,
                                          const gchar *key_nice_name,
                                          const gchar *value_nice_name) {
  g_return_val_if_fail(declaration != nullptr, FALSE);
  KeySpec *spec = find_key_or_warn(declaration, key, "nice names");
  if (spec == nullptr)
    return FALSE;
  if ((key_nice_name != nullptr && !g_utf8_validate(key_nice_name, -1, nullptr)) ||
      (value_nice_name != nullptr && !g_utf8_validate(value_nice_name, -1, nullptr))) {
    g_warning("Event declaration: nice names of key '%s' must be UTF-8", key);
    return FALSE;
  }
  // NULL leaves a name as it was, so the two can be set separately.
  if (key_nice_name != nullptr)
    spec->key_nice_name = key_nice_name;
  if (value_nice_name != nullptr)
    spec->value_nice_name = value_nice_name;
  return TRUE;
}

gboolean evpub_declaration_set_name_space(EvpubDeclaration *declaration, const gchar *key,
                                          const gchar *name_space) {
  g_return_val_if_fail(declaration != nullptr, FALSE);
  KeySpec *spec = find_key_or_warn(declaration, key, "namespace");
  if (spec == nullptr)
    return FALSE;
  // A namespace prefixes a topic element as "namespace:value"; the
  // separators would make the topic ambiguous.
  if (!is_valid_text(name_space) || strpbrk(name_space, ":/ \t\n") != nullptr) {
    g_warning("Event declaration: invalid namespace '%s' for key '%s'",
              name_space != nullptr && g_utf8_validate(name_space, -1, nullptr) ? name_space : "",
              key);
    return FALSE;
  }
  spec->name_space = name_space;
  return TRUE;
}

gboolean evpub_declaration_add_key_tag(EvpubDeclaration *declaration, const gchar *key,
                                       const gchar *tag) {
  g_return_val_if_fail(declaration != nullptr, FALSE);
  KeySpec *spec = find_key_or_warn(declaration, key, "tags");
  if (spec == nullptr)
    return FALSE;
  if (!is_valid_text(tag)) {
    g_warning("Event declaration: a tag of key '%s' must be non-empty UTF-8", key);
    return FALSE;
  }
  for (const std::string &existing : spec->tags)
    if (existing == tag)
      return TRUE;
  spec->tags.emplace_back(tag);
  return TRUE;
}

guint32 evpub_producer_declare(EvpubProducer *producer, const EvpubDeclaration *declaration) {
  g_return_val_if_fail(producer != nullptr, 0);
  g_return_val_if_fail(declaration != nullptr, 0);

  g_autoptr(GError) error = nullptr;
  std::shared_ptr<Declared> declared = check_declaration(*declaration, &error);
  if (!declared) {
    g_warning("Event producer '%s': declaration refused: %s", producer->name.c_str(),
              error->message);
    return 0;
  }

  guint32 id = producer->last_id;
  do {
    id++;  // wraps past 0, which is never an identifier
  } while (id == 0 || producer->declarations.count(id) != 0);
  producer->last_id = id;
  declared->id = id;

  producer->declarations[id] = declared;
  {
    std::lock_guard<std::mutex> lock(producer->state->mutex);
    producer->state->listing.emplace_back(
        id, VariantPtr(g_variant_ref(declared->description.get())));
  }

  if (!g_dbus_connection_emit_signal(producer->connection, nullptr, producer->path.c_str(),
                                     EVPUB_PRODUCER_INTERFACE, "Declared",
                                     g_variant_new("(u@a{sv})", id, declared->description.get()),
                                     &error))
    g_warning("Event producer '%s': declaration %u is kept but could not be announced: %s",
              producer->name.c_str(), id, error->message);
  g_debug("Event producer '%s': declaration %u with %zu keys", producer->name.c_str(), id,
          declared->keys.size());
  return id;
}

/* ---- events --------------------------------------------------------------- */

EvpubEvent *evpub_producer_prepare_event(EvpubProducer *producer, guint32 declaration_id) {
  g_return_val_if_fail(producer != nullptr, nullptr);
  auto found = producer->declarations.find(declaration_id);
  if (found == producer->declarations.end()) {
    g_warning("Event producer '%s': no declaration %u", producer->name.c_str(), declaration_id);
    return nullptr;
  }
  auto *event = new EvpubEvent();
  event->producer_serial = producer->serial;
  event->declaration = found->second;
  event->values.resize(found->second->keys.size());
  return event;
}

gboolean evpub_set_value(EvpubEvent *event, const gchar *key, const gchar *value) {
  g_return_val_if_fail(event != nullptr, FALSE);
  g_return_val_if_fail(key != nullptr, FALSE);
  g_return_val_if_fail(value != nullptr, FALSE);

  const gchar *shown_key = g_utf8_validate(key, -1, nullptr) ? key : "(invalid)";
  const Declared &declared = *event->declaration;
  auto found = declared.index.find(key);
  if (found == declared.index.end()) {
    g_warning("Event of declaration %u: no key '%s'", declared.id, shown_key);
    return FALSE;
  }
  const DeclaredKey &spec = declared.keys[found->second];
  if (spec.fixed) {
    g_warning("Event of declaration %u: key '%s' has a fixed value", declared.id, shown_key);
    return FALSE;
  }
  g_autoptr(GError) error = nullptr;
  VariantPtr converted = evpub::value_from_text(spec.type, value, &error);
  if (!converted) {
    g_warning("Event of declaration %u: key '%s': %s", declared.id, shown_key, error->message);
    return FALSE;
  }
  event->values[found->second] = std::move(converted);
  return TRUE;
}

void evpub_producer_send_event_async(EvpubProducer *producer, const EvpubEvent *event) {
  g_return_if_fail(producer != nullptr);
  g_return_if_fail(event != nullptr);
  if (event->producer_serial != producer->serial) {
    g_warning("Event producer '%s': the event belongs to another producer; not sent",
              producer->name.c_str());
    return;
  }

  const Declared &declared = *event->declaration;
  std::string topic;
  for (size_t index : declared.topic) {
    GVariant *value = event_value(*event, index);
    if (value == nullptr)
      continue;  // an unset topic element is left out like any other key
    if (!topic.empty())
      topic += '/';
    const std::string &name_space = declared.keys[index].name_space;
    if (!name_space.empty())
      topic += name_space + ':';
    topic += evpub::value_to_text(value);
  }

  GVariantBuilder data;
  g_variant_builder_init(&data, G_VARIANT_TYPE_VARDICT);
  for (size_t index = 0; index < declared.keys.size(); index++) {
    GVariant *value = event_value(*event, index);
    if (declared.keys[index].in_topic || value == nullptr)
      continue;
    g_variant_builder_add(&data, "{sv}", declared.keys[index].name.c_str(), value);
  }

  VariantPtr parameters(g_variant_ref_sink(g_variant_new("(ssx@a{sv})", producer->name.c_str(),
                                                         topic.c_str(), g_get_real_time(),
                                                         g_variant_builder_end(&data))));
  g_autoptr(GError) error = nullptr;
  if (g_dbus_connection_emit_signal(producer->connection, nullptr, producer->path.c_str(),
                                    EVPUB_PRODUCER_INTERFACE, "Event", parameters.get(), &error))
    return;
  if (!producer->bus_lost_reported) {
    producer->bus_lost_reported = true;
    g_warning("Event producer '%s': cannot send events, dropping them: %s",
              producer->name.c_str(), error->message);
  } else {
    g_debug("Event producer '%s': event '%s' dropped: %s", producer->name.c_str(), topic.c_str(),
            error->message);
  }
}

void evpub_free_event(EvpubEvent *event) { delete event; }

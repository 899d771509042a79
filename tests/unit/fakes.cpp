#include "fakes.h"

#include <string.h>

#include "advwatch-utils.h"
#include "evpub.h"
#include "vesk.h"

namespace fake {
std::vector<std::string> calls;
Advwatch advwatch;
Evpub evpub;
Vesk vesk;

void reset() {
  calls.clear();
  advwatch = Advwatch();
  evpub = Evpub();
  vesk = Vesk();
}

int index_of(const std::string &name) {
  for (size_t i = 0; i < calls.size(); i++)
    if (calls[i] == name)
      return static_cast<int>(i);
  return -1;
}
}  // namespace fake

using fake::calls;

struct _AdvwatchMonitor {
  AdvwatchMonitorState state;
};

extern "C" {

GQuark advwatch_error_quark(void) { return g_quark_from_static_string("fake-advwatch"); }

GPtrArray *advwatch_patterns_new(void) {
  calls.push_back("advwatch_patterns_new");
  return g_ptr_array_new_with_free_func(g_free);
}

gboolean advwatch_pattern_add(GPtrArray *patterns, gint kind, const gchar *value, GError **error) {
  calls.push_back("advwatch_pattern_add(" + std::to_string(kind) + "," + value + ")");
  if (!fake::advwatch.pattern_add_ok) {
    g_set_error(error, ADVWATCH_ERROR, ADVWATCH_ERROR_INVALID_ARGUMENT, "bad pattern value '%s'", value);
    return FALSE;
  }
  g_ptr_array_add(patterns, g_strdup(value));
  return TRUE;
}

AdvwatchMonitor *advwatch_monitor_init(const AdvwatchMonitorConfig *config, GError **error) {
  calls.push_back("advwatch_monitor_init");
  auto &a = fake::advwatch;
  a.adapter_path = config->adapter_path;
  a.system_id = config->system_id;
  a.options = config->options;
  a.callback = config->callback;
  a.user_data = config->user_data;
  a.pattern_values.clear();
  a.pattern_count = config->or_patterns != nullptr ? static_cast<int>(config->or_patterns->len) : -1;
  if (config->or_patterns != nullptr)
    for (guint i = 0; i < config->or_patterns->len; i++)
      a.pattern_values.push_back(static_cast<const char *>(g_ptr_array_index(config->or_patterns, i)));
  if (!a.init_ok) {
    g_set_error_literal(error, ADVWATCH_ERROR, ADVWATCH_ERROR_BUS, "adapter gone");
    return nullptr;
  }
  a.live_monitors++;
  a.state_callback = nullptr;
  a.last_monitor = g_new0(AdvwatchMonitor, 1);
  a.last_monitor->state = ADVWATCH_MONITOR_STATE_REGISTERING;
  return a.last_monitor;
}

AdvwatchMonitorState advwatch_monitor_get_state(AdvwatchMonitor *monitor) { return monitor->state; }

void advwatch_monitor_get_stats(AdvwatchMonitor *, AdvwatchStats *stats) { *stats = fake::advwatch.stats; }

/* Signed beacons: the daemon's start-up reads its keys here; unit tests
 * run no start-up and give no keyring. */
gboolean advwatch_keys_load_credentials(AdvwatchKeys *keys, GError **) {
  memset(keys, 0, sizeof *keys);
  return TRUE;
}
void advwatch_keys_clear(AdvwatchKeys *keys) { memset(keys, 0, sizeof *keys); }
AdvwatchKeyring *advwatch_keyring_new(const guint8 *, const guint8 *) {
  g_error("unit tests give the daemon no keyring");
}
AdvwatchKeyring *advwatch_keyring_ref(AdvwatchKeyring *keyring) { return keyring; }
void advwatch_keyring_unref(AdvwatchKeyring *keyring) { g_assert(keyring == nullptr); }
void advwatch_keyring_get_stats(AdvwatchKeyring *, AdvwatchAuthStats *) {
  g_error("unit tests give the daemon no keyring");
}
void advwatch_monitor_set_keyring(AdvwatchMonitor *, AdvwatchKeyring *) {
  g_error("unit tests give the daemon no keyring");
}

void advwatch_monitor_set_state_callback(AdvwatchMonitor *monitor, AdvwatchStateFunc callback,
                                         gpointer user_data) {
  g_assert(monitor == fake::advwatch.last_monitor);
  fake::advwatch.state_callback = callback;
  fake::advwatch.state_user_data = user_data;
}

gboolean advwatch_monitor_pause(AdvwatchMonitor *monitor, GError **error) {
  g_assert(monitor != nullptr);
  calls.push_back("advwatch_monitor_pause");
  if (!fake::advwatch.pause_ok) {
    g_set_error_literal(error, ADVWATCH_ERROR, ADVWATCH_ERROR_BUS, "pause refused by BlueZ");
    return FALSE;
  }
  return TRUE;
}

gboolean advwatch_monitor_resume(AdvwatchMonitor *monitor, GError **error) {
  g_assert(monitor != nullptr);
  calls.push_back("advwatch_monitor_resume");
  if (!fake::advwatch.resume_ok) {
    g_set_error_literal(error, ADVWATCH_ERROR, ADVWATCH_ERROR_BUS, "resume refused by BlueZ");
    return FALSE;
  }
  return TRUE;
}

void advwatch_monitor_cleanup(AdvwatchMonitor *monitor) {
  calls.push_back("advwatch_monitor_cleanup");
  if (monitor == fake::advwatch.last_monitor) {
    fake::advwatch.last_monitor = nullptr;
    fake::advwatch.state_callback = nullptr;
  }
  fake::advwatch.live_monitors--;
  g_free(monitor);
}

}  // extern "C"

void fake::bluez_moves_monitor(AdvwatchMonitorState state) {
  AdvwatchMonitor *monitor = advwatch.last_monitor;
  g_assert(monitor != nullptr && advwatch.state_callback != nullptr);
  monitor->state = state;
  g_autoptr(GError) error = g_error_new_literal(g_quark_from_static_string("fake-bluez"), 1, "told by BlueZ");
  advwatch.state_callback(monitor, state, error, advwatch.state_user_data);
}

extern "C" {

guint8 advwatch_beacon_get_event_number(const AdvwatchBeacon *beacon) { return beacon->event_number; }

/* ---- evpub ---- */

struct _EvpubProducer {
  int unused;
};
struct _EvpubDeclaration {
  int unused;
};
struct _EvpubEvent {
  std::string value;
};

EvpubProducer *evpub_producer_new(const gchar *name) {
  calls.push_back(std::string("evpub_producer_new(") + name + ")");
  if (!fake::evpub.producer_ok)
    return nullptr;
  fake::evpub.live_producers++;
  return g_new0(EvpubProducer, 1);
}

void evpub_producer_free(EvpubProducer *producer) {
  calls.push_back("evpub_producer_free");
  fake::evpub.live_producers--;
  g_free(producer);
}

EvpubDeclaration *evpub_declaration_new(gint flags) {
  calls.push_back("evpub_declaration_new(" + std::to_string(flags) + ")");
  fake::evpub.live_declarations++;
  return g_new0(EvpubDeclaration, 1);
}

void evpub_declaration_free(EvpubDeclaration *declaration) {
  calls.push_back("evpub_declaration_free");
  fake::evpub.live_declarations--;
  g_free(declaration);
}

static std::string text(const gchar *s) { return s != nullptr ? s : "NULL"; }

gboolean evpub_declaration_add_key_value(EvpubDeclaration *, const gchar *key, const gchar *value, gint type) {
  calls.push_back("add_key_value(" + text(key) + "," + text(value) + "," + std::to_string(type) + ")");
  return TRUE;
}

gboolean evpub_declaration_add_key(EvpubDeclaration *, const gchar *key, gint type) {
  calls.push_back("add_key(" + text(key) + "," + std::to_string(type) + ")");
  return TRUE;
}

gboolean evpub_declaration_set_nice_names(EvpubDeclaration *, const gchar *key, const gchar *key_nice,
                                          const gchar *value_nice) {
  calls.push_back("set_nice_names(" + text(key) + "," + text(key_nice) + "," + text(value_nice) + ")");
  return TRUE;
}

gboolean evpub_declaration_set_name_space(EvpubDeclaration *, const gchar *key, const gchar *ns) {
  calls.push_back("set_name_space(" + text(key) + "," + text(ns) + ")");
  return TRUE;
}

gboolean evpub_declaration_add_key_tag(EvpubDeclaration *, const gchar *key, const gchar *tag) {
  calls.push_back("add_key_tag(" + text(key) + "," + text(tag) + ")");
  return TRUE;
}

guint32 evpub_producer_declare(EvpubProducer *, const EvpubDeclaration *) {
  calls.push_back("evpub_producer_declare");
  return fake::evpub.declare_id;
}

EvpubEvent *evpub_producer_prepare_event(EvpubProducer *, guint32 declaration_id) {
  calls.push_back("evpub_producer_prepare_event(" + std::to_string(declaration_id) + ")");
  if (!fake::evpub.prepare_ok)
    return nullptr;
  fake::evpub.live_events++;
  return new EvpubEvent();
}

gboolean evpub_set_value(EvpubEvent *event, const gchar *key, const gchar *value) {
  calls.push_back("evpub_set_value(" + text(key) + "," + text(value) + ")");
  if (!fake::evpub.set_ok)
    return FALSE;
  event->value = value;
  return TRUE;
}

void evpub_producer_send_event_async(EvpubProducer *, const EvpubEvent *event) {
  calls.push_back("evpub_producer_send_event_async");
  fake::evpub.sent_values.push_back(event->value);
}

void evpub_free_event(EvpubEvent *event) {
  calls.push_back("evpub_free_event");
  fake::evpub.live_events--;
  delete event;
}

/* ---- vesk ---- */

GQuark vesk_error_quark(void) { return g_quark_from_static_string("vesk-error-quark"); }

gboolean vesk_init(GError **error) {
  calls.push_back("vesk_init");
  if (!fake::vesk.init_ok) {
    g_set_error_literal(error, VESK_ERROR, VESK_ERROR_FAILED, "policy.conf:3: not a key");
    return FALSE;
  }
  return TRUE;
}

gint vesk_check_auth(const gchar *sender, const gchar *action_id, GError **error) {
  fake::vesk.checked.push_back(text(sender) + " " + text(action_id));
  if (fake::vesk.result == 0 && fake::vesk.error_code != 0)
    g_set_error_literal(error, VESK_ERROR, fake::vesk.error_code, fake::vesk.message.c_str());
  return fake::vesk.result;
}

gint vesk_check_auth_uid(const gchar *sender, guint32, const gchar *action_id, GError **error) {
  return vesk_check_auth(sender, action_id, error);
}

}  // extern "C"

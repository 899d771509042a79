/* Prints how long choosing the System ID takes over List replies of 10,
 * 1,000 and 100,000 rules, against a bare walk over the same reply. */
#include <glib.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "systemid_handler.h"

namespace {

GVariant *make_reply(int rules) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a(isbaysa{ss})"));
  for (int i = 1; i <= rules; i++) {
    g_autofree gchar *start = g_strdup_printf(
        "topic=tns1:Device/tnsvemo:Bluetooth/tnsvemo:BeaconReceived;UUID,value=%08x-2222-3333-4444-555555555555;", i);
    GVariant *bytes = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, start, strlen(start), 1);
    g_variant_builder_add(&builder, "(isb@aysa{ss})", i, "rule", i % 2 == 0, bytes, "<action/>", nullptr);
  }
  // Serialised and reloaded, as a reply off the bus is.
  g_autoptr(GVariant) built = g_variant_ref_sink(g_variant_new("(a(isbaysa{ss}))", &builder));
  g_autoptr(GBytes) data = g_variant_get_data_as_bytes(built);
  return g_variant_ref_sink(g_variant_new_from_bytes(G_VARIANT_TYPE("(a(isbaysa{ss}))"), data, FALSE));
}

/* The least any reader must do: visit each rule's four members. */
gsize bare_walk(GVariant *reply) {
  gsize sum = 0;
  g_autoptr(GVariant) rules = g_variant_get_child_value(reply, 0);
  const gsize n = g_variant_n_children(rules);
  for (gsize i = 0; i < n; i++) {
    g_autoptr(GVariant) rule = g_variant_get_child_value(rules, i);
    g_autoptr(GVariant) enabled = g_variant_get_child_value(rule, 2);
    if (!g_variant_get_boolean(enabled))
      continue;
    g_autoptr(GVariant) id = g_variant_get_child_value(rule, 0);
    g_autoptr(GVariant) name = g_variant_get_child_value(rule, 1);
    g_autoptr(GVariant) start = g_variant_get_child_value(rule, 3);
    gsize len;
    g_variant_get_fixed_array(start, &len, 1);
    sum += len + static_cast<gsize>(g_variant_get_int32(id)) + strlen(g_variant_get_string(name, nullptr));
  }
  return sum;
}

double seconds_per_run(const std::function<void()> &fn) {
  int runs = 0;
  gint64 start = g_get_monotonic_time(), now;
  do {
    fn();
    runs++;
    now = g_get_monotonic_time();
  } while (now - start < 500000 || runs < 3);
  return (now - start) / 1e6 / runs;
}

}  // namespace

int main() {
  // The per-rule debug line would dominate; operators run without it.
  g_log_set_handler(nullptr, G_LOG_LEVEL_DEBUG, [](const gchar *, GLogLevelFlags, const gchar *, gpointer) {}, nullptr);
  printf("%-10s %14s %14s %8s\n", "rules", "reading (us)", "bare walk (us)", "ratio");
  for (int n : {10, 1000, 100000}) {
    g_autoptr(GVariant) reply = make_reply(n);
    volatile gsize sink = 0;
    double reading = seconds_per_run([&] {
      gchar *id = nullptr;
      systemid_handler_choose_from_reply(reply, &id, nullptr);
      sink = sink + (id != nullptr);
      g_free(id);
    });
    double bare = seconds_per_run([&] { sink = sink + bare_walk(reply); });
    printf("%-10d %14.1f %14.1f %8.2f\n", n, reading * 1e6, bare * 1e6, reading / bare);
  }
  return 0;
}

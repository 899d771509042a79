/* Writes the binary seed inputs of fuzz-systemid-reply and
 * fuzz-beacon-decode into DIR/<target>/, in the input layouts those targets
 * read. Run after changing a layout: make-seeds fuzz/corpus */
#include <glib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "config.h"

namespace {

using Bytes = std::vector<guint8>;

constexpr char kReplyType[] = "(a(isbaysa{ss}))";
constexpr char kTopic[] = "topic=tns1:Device/tnsvemo:Bluetooth/tnsvemo:BeaconReceived;";

bool write(const std::string &dir, const char *name, const Bytes &bytes) {
  g_autofree gchar *path = g_build_filename(dir.c_str(), name, nullptr);
  g_autoptr(GError) error = nullptr;
  if (!g_file_set_contents(path, reinterpret_cast<const gchar *>(bytes.data()), static_cast<gssize>(bytes.size()),
                           &error)) {
    fprintf(stderr, "cannot write %s: %s\n", path, error->message);
    return false;
  }
  return true;
}

std::string start_event(const char *system_id) {
  return std::string(kTopic) + "UUID,value=" + system_id + ";";
}

GVariant *rule(gint32 id, const char *name, bool enabled, const std::string &event) {
  GVariantBuilder params;
  g_variant_builder_init(&params, G_VARIANT_TYPE("a{ss}"));
  g_variant_builder_add(&params, "{ss}", "message_type", "3");
  return g_variant_new("(isb@aysa{ss})", id, name, enabled,
                       g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, event.data(), event.size(), 1),
                       "<action><plugin>telvo</plugin><sofile>libtelvo.so</sofile></action>", &params);
}

/* Mode byte 0 (the engine's type) and the serialised reply. */
Bytes engine_reply(const std::vector<GVariant *> &rules) {
  GVariantBuilder array;
  g_variant_builder_init(&array, G_VARIANT_TYPE("a(isbaysa{ss})"));
  for (GVariant *r : rules)
    g_variant_builder_add_value(&array, r);
  g_autoptr(GVariant) reply = g_variant_ref_sink(g_variant_new("(a(isbaysa{ss}))", &array));
  const auto *data = static_cast<const guint8 *>(g_variant_get_data(reply));
  Bytes out{0};
  out.insert(out.end(), data, data + g_variant_get_size(reply));
  return out;
}

/* Mode byte 1, the type string, NUL, the serialised value. */
Bytes other_reply(const char *text) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) value = g_variant_parse(nullptr, text, nullptr, nullptr, &error);
  if (value == nullptr)
    g_error("bad seed '%s': %s", text, error->message);
  const char *type = g_variant_get_type_string(value);
  Bytes out{1};
  out.insert(out.end(), type, type + strlen(type) + 1);
  const auto *data = static_cast<const guint8 *>(g_variant_get_data(value));
  out.insert(out.end(), data, data + g_variant_get_size(value));
  return out;
}

bool systemid_seeds(const std::string &dir) {
  const char *a = "5b0c9a3e-1f2d-4c6b-8e7a-9d0f1e2a3b4c";
  const char *b = "0E8F6C2A-4B1D-4E3F-9A7C-5D6E7F809A1B";
  const char *c = "11111111-2222-3333-4444-555555555555";
  const Bytes three = engine_reply({rule(3, "Front door", true, start_event(a)),
                                    rule(7, "Back door", true, start_event(b)),
                                    rule(9, "Disabled", false, start_event(c))});
  Bytes truncated(three.begin(), three.begin() + static_cast<long>(three.size() / 2));
  Bytes garbled = three;
  // Clobbers framing offsets at the end of the serialisation.
  for (size_t i = garbled.size() - 4; i < garbled.size(); i++)
    garbled[i] ^= 0x5a;
  std::string no_trailing = std::string(kTopic) + "UUID,value=" + a;
  std::string marker_twice = std::string("UUID;") + kTopic + "UUID,value=" + a + ";";
  return write(dir, "engine-three-rules", three) &&
         write(dir, "engine-no-rules", engine_reply({})) &&
         write(dir, "engine-id-without-byte-after", engine_reply({rule(4, "Edge", true, no_trailing)})) &&
         write(dir, "engine-marker-twice", engine_reply({rule(5, "Twice", true, marker_twice)})) &&
         write(dir, "engine-tie-zero-negative",
               engine_reply({rule(6, "First", true, start_event(a)), rule(6, "Second", true, start_event(c)),
                             rule(0, "Zero", true, start_event(b)), rule(-5, "Negative", true, start_event(b))})) &&
         write(dir, "engine-invalid-uuid-text",
               engine_reply({rule(8, "Broken", true, start_event("zzzzzzzz-1f2d-4c6b-8e7a-9d0f1e2a3b4c"))})) &&
         write(dir, "engine-empty-start-event", engine_reply({rule(2, "Empty", true, "")})) &&
         write(dir, "engine-truncated", truncated) &&
         write(dir, "engine-garbled-offsets", garbled) &&
         write(dir, "other-short-rules", other_reply("([(1, 'short')],)")) &&
         write(dir, "other-wrong-types", other_reply("([('1', 2, true, b'UUID')],)")) &&
         write(dir, "other-enabled-not-boolean", other_reply("([(1, 'n', 1, b'x')],)")) &&
         write(dir, "other-empty-tuple", other_reply("()")) &&
         write(dir, "other-strings", other_reply("['a', 'b']")) &&
         write(dir, "other-variant-rules", other_reply("([<(1, 'v', true, b'UUID')>],)")) &&
         write(dir, "other-maybe-rules", other_reply("(just [(1, 'm', true, b'x')],)")) &&
         write(dir, "other-extra-members",
               other_reply("([(9, 'extra', true, b'topic=t;UUID,value=5b0c9a3e-1f2d-4c6b-8e7a-9d0f1e2a3b4c;', "
                           "'<a/>', {'k': 'v'}, int64 7)], 'tail')")) &&
         write(dir, "other-disabled-short-rule", other_reply("([(1, 'd', false)],)"));
}

/* Company identifier and RSSI little-endian, address length and text, payload. */
Bytes beacon_input(guint16 company, gint16 rssi, const std::string &address, const Bytes &payload) {
  const auto r = static_cast<guint16>(rssi);
  Bytes out{static_cast<guint8>(company & 0xff), static_cast<guint8>(company >> 8), static_cast<guint8>(r & 0xff),
            static_cast<guint8>(r >> 8), static_cast<guint8>(address.size())};
  out.insert(out.end(), address.begin(), address.end());
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

bool beacon_seeds(const std::string &dir) {
  const Bytes payload{1,    0x5b, 0x0c, 0x9a, 0x3e, 0x1f, 0x2d, 0x4c, 0x6b, 0x8e,
                      0x7a, 0x9d, 0x0f, 0x1e, 0x2a, 0x3b, 0x4c, 3,    42};
  const std::string address = "AA:BB:CC:DD:EE:FF";
  const guint16 ours = BEACON_COMPANY_ID;
  Bytes longer = payload;
  longer.insert(longer.end(), {0xde, 0xad, 0xbe, 0xef});
  Bytes high = payload;
  for (size_t i = 1; i < high.size(); i++)
    high[i] = 0xff;
  Bytes v2 = payload;
  v2[0] = 2;
  const Bytes short_payload(payload.begin(), payload.end() - 1);
  return write(dir, "beacon", beacon_input(ours, -60, address, payload)) &&
         write(dir, "beacon-extra-bytes", beacon_input(ours, 0, address, longer)) &&
         write(dir, "beacon-all-ff", beacon_input(ours, G_MININT16, address, high)) &&
         write(dir, "beacon-empty-address", beacon_input(ours, G_MAXINT16, "", payload)) &&
         write(dir, "beacon-odd-address", beacon_input(ours, -1, std::string("a\xff%s%n\0tail", 11), payload)) &&
         write(dir, "short-payload", beacon_input(ours, -70, address, short_payload)) &&
         write(dir, "version-2", beacon_input(ours, -70, address, v2)) &&
         write(dir, "other-company", beacon_input(0x004c, -70, address, payload)) &&
         write(dir, "empty-payload", beacon_input(ours, -70, address, {}));
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2 || argv[1][0] == '-') {
    fprintf(argc == 2 ? stdout : stderr, "Usage: %s CORPUS-DIR\nWrites the binary seeds into CORPUS-DIR/<target>/.\n",
            argv[0]);
    return argc == 2 ? 0 : 2;
  }
  const std::string root = argv[1];
  for (const char *target : {"fuzz-systemid-reply", "fuzz-beacon-decode"}) {
    g_autofree gchar *dir = g_build_filename(root.c_str(), target, nullptr);
    if (g_mkdir_with_parents(dir, 0755) != 0) {
      fprintf(stderr, "cannot create %s: %s\n", dir, g_strerror(errno));
      return 1;
    }
  }
  if (!systemid_seeds(root + "/fuzz-systemid-reply") || !beacon_seeds(root + "/fuzz-beacon-decode"))
    return 1;
  return 0;
}

/* libadvwatch-utils: the signed-beacon tag and the installation key from
 * systemd's credentials. Shared by the receiving monitor and the sender so
 * that both build the same bytes. */
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "advwatch-private.h"
#include "advwatch-utils.h"

namespace {

constexpr char kKeyName[] = "beacon-key";
constexpr char kNextKeyName[] = "beacon-key-next";

/* Reads the credential @name of @directory into @key. TRUE with *found
 * FALSE when the file does not exist. The buffer is wiped whatever
 * happens, so no partial key stays behind. */
gboolean read_key(const gchar *directory, const gchar *name, guint8 *key, gboolean *found, GError **error) {
  *found = FALSE;
  g_autofree gchar *path = g_build_filename(directory, name, NULL);
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    const int saved = errno;
    if (saved == ENOENT)
      return TRUE;
    g_set_error(error, ADVWATCH_ERROR, ADVWATCH_ERROR_FAILED, "Cannot read the credential %s: %s", path,
                g_strerror(saved));
    return FALSE;
  }
  // One byte more than a key, to tell a longer file from a key.
  guint8 buffer[ADVWATCH_KEY_LENGTH + 1];
  gsize total = 0;
  int saved = 0;
  while (total < sizeof buffer) {
    const ssize_t got = read(fd, buffer + total, sizeof buffer - total);
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0) {
      saved = errno;
      break;
    }
    if (got == 0)
      break;
    total += static_cast<gsize>(got);
  }
  close(fd);
  gboolean ok = FALSE;
  if (saved != 0)
    g_set_error(error, ADVWATCH_ERROR, ADVWATCH_ERROR_FAILED, "Cannot read the credential %s: %s", path,
                g_strerror(saved));
  else if (total != ADVWATCH_KEY_LENGTH)
    g_set_error(error, ADVWATCH_ERROR, ADVWATCH_ERROR_INVALID_ARGUMENT,
                "The credential %s holds %s%" G_GSIZE_FORMAT " bytes; a beacon key is exactly %d random bytes",
                path, total > ADVWATCH_KEY_LENGTH ? "more than " : "", MIN(total, (gsize)ADVWATCH_KEY_LENGTH),
                ADVWATCH_KEY_LENGTH);
  else {
    memcpy(key, buffer, ADVWATCH_KEY_LENGTH);
    *found = TRUE;
    ok = TRUE;
  }
  explicit_bzero(buffer, sizeof buffer);
  return ok;
}

}  // namespace

ADVWATCH_PUBLIC gboolean advwatch_keys_load_credentials(AdvwatchKeys *keys, GError **error) {
  g_return_val_if_fail(keys != NULL, FALSE);
  g_return_val_if_fail(error == NULL || *error == NULL, FALSE);
  memset(keys, 0, sizeof *keys);
  const gchar *directory = g_getenv("CREDENTIALS_DIRECTORY");
  if (directory == NULL || *directory == '\0')
    return TRUE;
  if (!read_key(directory, kKeyName, keys->key, &keys->has_key, error) ||
      !read_key(directory, kNextKeyName, keys->next_key, &keys->has_next_key, error)) {
    advwatch_keys_clear(keys);
    return FALSE;
  }
  if (keys->has_next_key && !keys->has_key) {
    advwatch_keys_clear(keys);
    g_set_error(error, ADVWATCH_ERROR, ADVWATCH_ERROR_INVALID_ARGUMENT,
                "The credential %s is given without %s: the next key only verifies beacons during a key "
                "rotation; give the installation key as %s (see %s/%s)",
                kNextKeyName, kKeyName, kKeyName, directory, kNextKeyName);
    return FALSE;
  }
  return TRUE;
}

ADVWATCH_PUBLIC void advwatch_keys_clear(AdvwatchKeys *keys) {
  if (keys != NULL)
    explicit_bzero(keys, sizeof *keys);
}

ADVWATCH_PUBLIC void advwatch_beacon_compute_tag(guint16 company_id, const guint8 *payload, guint64 clock,
                                                 const guint8 *key, guint8 *tag) {
  g_return_if_fail(payload != NULL && key != NULL && tag != NULL);
  GHmac *prefix = advwatch_tag_prefix_new(company_id, key, ADVWATCH_KEY_LENGTH);
  advwatch_tag_finish(prefix, payload, ADVWATCH_BEACON_TAG_OFFSET, clock, tag, ADVWATCH_BEACON_TAG_LENGTH);
  g_hmac_unref(prefix);
}

ADVWATCH_PUBLIC void advwatch_beacon_sign(guint16 company_id, guint8 *payload, guint64 clock, const guint8 *key) {
  g_return_if_fail(payload != NULL && key != NULL);
  payload[ADVWATCH_BEACON_CLOCK_OFFSET] = static_cast<guint8>(clock & 0xff);
  advwatch_beacon_compute_tag(company_id, payload, clock, key, payload + ADVWATCH_BEACON_TAG_OFFSET);
}

ADVWATCH_PUBLIC gint64 advwatch_beacon_full_clock(guint8 low, gint64 now) {
  const gint64 base = now - 128;
  return base + ((static_cast<gint64>(low) - (base & 0xff)) & 0xff);
}

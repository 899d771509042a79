/* Internal to libadvwatch: the element type of or-pattern arrays. */
#pragma once

#include <glib.h>

#define ADVWATCH_PUBLIC __attribute__((visibility("default")))

/* One or-pattern; allocated with g_new0 so that g_free releases it. */
typedef struct {
  gint kind;
  guint8 system_id[16];  /* RFC 4122 byte order, as beacons carry it */
  gchar text[37];        /* canonical lower-case UUID text */
} AdvwatchPattern;

/* libxtag: a small XML element tree over GMarkup. */
#pragma once

#include <glib.h>

G_BEGIN_DECLS

#define XTAG_ERROR (xtag_error_quark())
GQuark xtag_error_quark(void);

/* Codes of XTAG_ERROR. */
typedef enum {
  XTAG_ERROR_PARSE,    /* malformed markup (message names line and column) */
  XTAG_ERROR_EMPTY,    /* no element at all */
} XtagError;

typedef struct _XtagNode XtagNode;

/* Deepest element nesting xtag_parse() accepts. */
#define XTAG_MAX_DEPTH 256u

/* Parses one document; @length -1 for zero-terminated text. Errors name
 * line and column. */
XtagNode *xtag_parse(const gchar *text, gssize length, GError **error);
void xtag_node_free(XtagNode *node);
G_DEFINE_AUTOPTR_CLEANUP_FUNC(XtagNode, xtag_node_free)

/* First direct child element named @name, or NULL. Owned by @node. */
XtagNode *xtag_find_tag(XtagNode *node, const gchar *name);
/* New list of the direct child elements; free with g_list_free(). */
GList *xtag_get_all_tags(XtagNode *node);
const gchar *xtag_get_name(const XtagNode *node);
/* Concatenated text content of the element itself, white space kept, without
 * the text of child elements ("" when none). */
const gchar *xtag_get_text(const XtagNode *node);
const gchar *xtag_get_attribute(const XtagNode *node, const gchar *name);

G_END_DECLS

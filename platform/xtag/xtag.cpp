/* libxtag: builds an element tree from GMarkup's callbacks.
 *
 * A node owns its name, its attributes (in document order), the text that
 * sits directly inside it and its child elements. Comments, processing
 * instructions and the doctype are skipped. One document has exactly one
 * root element. */
#include "xtag.h"

#include <string.h>

struct _XtagNode {
  gchar *name;
  GStrv attribute_names;
  GStrv attribute_values;
  GString *text;
  GPtrArray *children; /* XtagNode *, owned */
};

G_DEFINE_QUARK(xtag-error-quark, xtag_error)

static XtagNode *node_new(const gchar *name, const gchar **names, const gchar **values) {
  auto *node = g_new0(XtagNode, 1);
  node->name = g_strdup(name);
  node->attribute_names = g_strdupv(const_cast<gchar **>(names));
  node->attribute_values = g_strdupv(const_cast<gchar **>(values));
  node->text = g_string_new(nullptr);
  node->children = g_ptr_array_new_with_free_func(reinterpret_cast<GDestroyNotify>(xtag_node_free));
  return node;
}

void xtag_node_free(XtagNode *node) {
  if (node == nullptr)
    return;
  g_free(node->name);
  g_strfreev(node->attribute_names);
  g_strfreev(node->attribute_values);
  g_string_free(node->text, TRUE);
  g_ptr_array_unref(node->children);
  g_free(node);
}

namespace {

struct Builder {
  XtagNode *root = nullptr;
  GPtrArray *open = g_ptr_array_new(); /* stack of unfinished nodes, borrowed */

  ~Builder() {
    g_ptr_array_unref(open);
    xtag_node_free(root);
  }
  XtagNode *current() const {
    return open->len > 0 ? static_cast<XtagNode *>(open->pdata[open->len - 1]) : nullptr;
  }
};

void on_start(GMarkupParseContext *, const gchar *name, const gchar **names,
              const gchar **values, gpointer user_data, GError **error) {
  auto *builder = static_cast<Builder *>(user_data);
  XtagNode *parent = builder->current();
  if (parent == nullptr && builder->root != nullptr) {
    /* G_MARKUP_PREFIX_ERROR_POSITION adds line and column. */
    g_set_error(error, XTAG_ERROR, XTAG_ERROR_PARSE, "Element '%s' follows the root element '%s'",
                name, builder->root->name);
    return;
  }
  for (guint i = 0; names[i] != nullptr; i++) {
    for (guint j = 0; j < i; j++) {
      if (strcmp(names[i], names[j]) == 0) {
        g_set_error(error, XTAG_ERROR, XTAG_ERROR_PARSE, "Attribute '%s' given twice in element '%s'",
                    names[i], name);
        return;
      }
    }
  }
  // Freeing and searching a tree recurse once per level: bound the depth so
  // hostile input gets an error instead of exhausting the stack.
  if (builder->open->len >= XTAG_MAX_DEPTH) {
    g_set_error(error, XTAG_ERROR, XTAG_ERROR_PARSE, "Element '%s' is nested deeper than %u levels", name,
                XTAG_MAX_DEPTH);
    return;
  }
  XtagNode *node = node_new(name, names, values);
  if (parent == nullptr)
    builder->root = node;
  else
    g_ptr_array_add(parent->children, node);
  g_ptr_array_add(builder->open, node);
}

void on_end(GMarkupParseContext *, const gchar *, gpointer user_data, GError **) {
  auto *builder = static_cast<Builder *>(user_data);
  /* GMarkup has already checked that the names match. */
  g_ptr_array_set_size(builder->open, builder->open->len - 1);
}

void on_text(GMarkupParseContext *, const gchar *text, gsize length, gpointer user_data,
             GError **error) {
  auto *builder = static_cast<Builder *>(user_data);
  XtagNode *node = builder->current();
  if (node != nullptr) {
    g_string_append_len(node->text, text, static_cast<gssize>(length));
    return;
  }
  /* GMarkup hands over white space between top-level items; anything else
   * outside the root element is not a document of ours. */
  for (gsize i = 0; i < length; i++) {
    if (!g_ascii_isspace(text[i])) {
      g_set_error_literal(error, XTAG_ERROR, XTAG_ERROR_PARSE, "Text outside the root element");
      return;
    }
  }
}

const GMarkupParser parser = {on_start, on_end, on_text, nullptr, nullptr};

}  // namespace

XtagNode *xtag_parse(const gchar *text, gssize length, GError **error) {
  g_return_val_if_fail(text != nullptr, nullptr);
  g_return_val_if_fail(length >= -1, nullptr);
  g_return_val_if_fail(error == nullptr || *error == nullptr, nullptr);

  Builder builder;
  GMarkupParseContext *context =
      g_markup_parse_context_new(&parser, G_MARKUP_PREFIX_ERROR_POSITION, &builder, nullptr);
  GError *local = nullptr;
  gboolean ok = g_markup_parse_context_parse(context, text, length, &local) &&
                g_markup_parse_context_end_parse(context, &local);
  g_markup_parse_context_free(context);

  if (ok && builder.root == nullptr) {
    g_set_error_literal(error, XTAG_ERROR, XTAG_ERROR_EMPTY, "Document holds no element");
    return nullptr;
  }
  if (!ok) {
    if (local->domain == XTAG_ERROR) {
      g_propagate_error(error, local);
    } else {
      /* GMarkup's own messages already carry the position. */
      g_set_error_literal(error, XTAG_ERROR,
                          g_error_matches(local, G_MARKUP_ERROR, G_MARKUP_ERROR_EMPTY)
                              ? XTAG_ERROR_EMPTY
                              : XTAG_ERROR_PARSE,
                          local->message);
      g_error_free(local);
    }
    return nullptr;
  }
  return static_cast<XtagNode *>(g_steal_pointer(&builder.root));
}

XtagNode *xtag_find_tag(XtagNode *node, const gchar *name) {
  g_return_val_if_fail(node != nullptr, nullptr);
  g_return_val_if_fail(name != nullptr, nullptr);
  for (guint i = 0; i < node->children->len; i++) {
    auto *child = static_cast<XtagNode *>(node->children->pdata[i]);
    if (strcmp(child->name, name) == 0)
      return child;
  }
  return nullptr;
}

GList *xtag_get_all_tags(XtagNode *node) {
  g_return_val_if_fail(node != nullptr, nullptr);
  GList *list = nullptr;
  for (guint i = node->children->len; i > 0; i--)
    list = g_list_prepend(list, node->children->pdata[i - 1]);
  return list;
}

const gchar *xtag_get_name(const XtagNode *node) {
  g_return_val_if_fail(node != nullptr, nullptr);
  return node->name;
}

const gchar *xtag_get_text(const XtagNode *node) {
  g_return_val_if_fail(node != nullptr, nullptr);
  return node->text->str;
}

const gchar *xtag_get_attribute(const XtagNode *node, const gchar *name) {
  g_return_val_if_fail(node != nullptr, nullptr);
  g_return_val_if_fail(name != nullptr, nullptr);
  for (guint i = 0; node->attribute_names[i] != nullptr; i++)
    if (strcmp(node->attribute_names[i], name) == 0)
      return node->attribute_values[i];
  return nullptr;
}

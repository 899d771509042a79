#include "plugin_host.h"

#include <dlfcn.h>

#include "harness.h"

namespace ph {

namespace {

template <typename T>
void resolve(void *handle, const char *name, T *out) {
  void *symbol = dlsym(handle, name);
  if (symbol == nullptr)
    g_error("plug-in does not export %s: %s", name, dlerror());
  *out = reinterpret_cast<T>(symbol);
}

}  // namespace

const Plugin &plugin() {
  static const Plugin loaded = [] {
    Plugin p;
    std::string path = th::env_path("TELVO_PLUGIN");
    p.handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (p.handle == nullptr)
      g_error("cannot load %s: %s", path.c_str(), dlerror());
    resolve(p.handle, "plugin_create", &p.create);
    resolve(p.handle, "plugin_validate", &p.validate);
    resolve(p.handle, "plugin_initialize", &p.initialize);
    resolve(p.handle, "plugin_start", &p.start);
    resolve(p.handle, "plugin_stop", &p.stop);
    resolve(p.handle, "plugin_abort", &p.abort);
    resolve(p.handle, "plugin_check_running", &p.check_running);
    resolve(p.handle, "plugin_destroy", &p.destroy);
    resolve(p.handle, "plugin_free", &p.free);
    return p;
  }();
  return loaded;
}

void Host::on_feedback(gpointer user_data, gint32 status, GError *error) {
  auto *host = static_cast<Host *>(user_data);
  Feedback f{status, error != nullptr, error != nullptr ? error->message : "",
             error != nullptr ? error->domain : 0, error != nullptr ? error->code : 0,
             std::this_thread::get_id()};
  /* The error handed over is ours now. */
  if (error != nullptr)
    g_error_free(error);
  std::lock_guard<std::mutex> lock(host->mutex_);
  host->feedback_.push_back(f);
}

std::vector<Feedback> Host::feedback() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return feedback_;
}

size_t Host::count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return feedback_.size();
}

void Host::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  feedback_.clear();
}

XtagNode *parse_config(const char *xml) {
  GError *error = nullptr;
  XtagNode *node = xtag_parse(xml, -1, &error);
  if (node == nullptr)
    g_error("test configuration does not parse: %s", error->message);
  return node;
}

GHashTable *make_parameters(const std::map<std::string, std::string> &values) {
  GHashTable *table = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
  for (const auto &[key, value] : values)
    g_hash_table_insert(table, g_strdup(key.c_str()), g_strdup(value.c_str()));
  return table;
}

gpointer create(Host &host, const std::map<std::string, std::string> &parameters, GError **error,
                const char *xml) {
  static int setup_parameters;
  g_autoptr(XtagNode) config = parse_config(xml);
  g_autoptr(GHashTable) table = make_parameters(parameters);
  return plugin().create(config, table, &setup_parameters, nullptr, nullptr, Host::on_feedback, &host, error);
}

}  // namespace ph

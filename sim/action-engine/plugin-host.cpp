#include "plugin-host.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

namespace ae {

namespace {

struct Export {
  const char *name;
  size_t offset;
};

#define EXPORT(field, symbol) {#symbol, offsetof(PluginApi, field)}
const Export kExports[] = {
    EXPORT(create, plugin_create),     EXPORT(validate, plugin_validate),
    EXPORT(initialize, plugin_initialize), EXPORT(start, plugin_start),
    EXPORT(stop, plugin_stop),         EXPORT(abort, plugin_abort),
    EXPORT(check_running, plugin_check_running), EXPORT(destroy, plugin_destroy),
    EXPORT(free, plugin_free),
};
#undef EXPORT

/* Loaded plug-ins by path; never unloaded (see load_plugin). */
std::map<std::string, std::unique_ptr<PluginApi>> &loaded_plugins() {
  static std::map<std::string, std::unique_ptr<PluginApi>> plugins;
  return plugins;
}

enum Command {
  COMMAND_START = 1,
  COMMAND_TEARDOWN,
};

gboolean wake_dispatch(GSource *source, GSourceFunc callback, gpointer data) {
  g_source_set_ready_time(source, -1);
  return callback != nullptr ? callback(data) : G_SOURCE_CONTINUE;
}

GSourceFuncs wake_funcs = {nullptr, nullptr, wake_dispatch, nullptr, nullptr, nullptr};

}  // namespace

const PluginApi *load_plugin(const char *path, GError **error) {
  g_return_val_if_fail(path != nullptr, nullptr);
  g_return_val_if_fail(error == nullptr || *error == nullptr, nullptr);

  auto &plugins = loaded_plugins();
  auto found = plugins.find(path);
  if (found != plugins.end())
    return found->second.get();

  void *handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char *reason = dlerror();
    g_set_error(error, AE_ERROR, ERROR_PLUGIN, "cannot load plug-in %s: %s", path,
                reason != nullptr ? reason : "unknown error");
    return nullptr;
  }
  auto api = std::make_unique<PluginApi>();
  for (const Export &e : kExports) {
    dlerror();
    void *symbol = dlsym(handle, e.name);
    if (symbol == nullptr) {
      g_set_error(error, AE_ERROR, ERROR_PLUGIN, "plug-in %s does not export %s", path, e.name);
      dlclose(handle);
      return nullptr;
    }
    /* The nine members are all function pointers of the same size. */
    memcpy(reinterpret_cast<char *>(api.get()) + e.offset, &symbol, sizeof symbol);
  }
  g_debug("loaded plug-in %s", path);
  return plugins.emplace(path, std::move(api)).first->second.get();
}

const char *status_name(gint32 status) {
  switch (status) {
    case ACTION_STATUS_VALIDATED: return "VALIDATED";
    case ACTION_STATUS_INITIALIZED: return "INITIALIZED";
    case ACTION_STATUS_STARTED: return "STARTED";
    case ACTION_STATUS_STOPPED: return "STOPPED";
    case ACTION_STATUS_ABORTED: return "ABORTED";
    case ACTION_STATUS_DESTROYED: return "DESTROYED";
    default: return "UNKNOWN";
  }
}

/* One plug-in instance and the thread that drives it.  Everything below
 * "thread only" is touched by that thread alone. */
class Instance {
 public:
  Instance(PluginHost *host, const Rule &rule, const PluginApi *api)
      : host_(host), api_(api), rule_id_(rule.id), xml_(rule.action_xml()), sofile_(rule.sofile),
        parameters_(rule.parameters), queue_(g_async_queue_new()) {
    setup_.size = sizeof setup_;
    setup_.rule_id = rule.id;
  }
  ~Instance() {
    g_assert(thread_ == nullptr);
    g_async_queue_unref(queue_);
  }
  Instance(const Instance &) = delete;
  Instance &operator=(const Instance &) = delete;

  bool spawn(GError **error) {
    g_autofree gchar *name = g_strdup_printf("rule-%d", rule_id_);
    thread_ = g_thread_try_new(name, &Instance::thread_main, this, error);
    if (thread_ == nullptr) {
      g_prefix_error(error, "rule %d: cannot start the plug-in thread: ", rule_id_);
      return false;
    }
    return true;
  }
  void post(Command command) { g_async_queue_push(queue_, GINT_TO_POINTER(command)); }
  void join() {
    if (thread_ != nullptr)
      g_thread_join(thread_);
    thread_ = nullptr;
  }
  gint32 rule_id() const { return rule_id_; }

 private:
  static gpointer thread_main(gpointer data) {
    auto *self = static_cast<Instance *>(data);
    try {
      self->run();
    } catch (const std::exception &e) {
      /* Only allocation throws in run(); the instance is lost either way. */
      g_warning("rule %d: plug-in thread failed: %s", self->rule_id_, e.what());
    }
    self->host_->finished(self);
    return nullptr;
  }

  static void feedback_cb(gpointer user_data, gint32 status, GError *error) {
    auto *self = static_cast<Instance *>(user_data);
    const char *message = error != nullptr ? error->message : nullptr;
    if (message != nullptr) {
      self->failed_ = true;
      g_warning("rule %d: plug-in status %d (%s): %s", self->rule_id_, status, status_name(status),
                message);
    } else {
      g_message("rule %d: plug-in status %d (%s)", self->rule_id_, status, status_name(status));
    }
    self->host_->feedback_(self->rule_id_, status, message, self->host_->feedback_data_);
    if (error != nullptr)
      g_error_free(error);
  }

  /* Runs one entry point; false when the plug-in reported an error. */
  bool call(ActionPluginFunc func) {
    failed_ = false;
    func(instance_);
    return !failed_;
  }

  void run() {
    g_autoptr(GError) error = nullptr;
    /* Configuration and parameters outlive the instance: a plug-in may keep
     * pointers into them. */
    g_autoptr(XtagNode) config = xtag_parse(xml_.c_str(), -1, &error);
    g_autoptr(GHashTable) parameters = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
    for (const auto &kv : parameters_)
      g_hash_table_insert(parameters, g_strdup(kv.first.c_str()), g_strdup(kv.second.c_str()));

    bool ready = false;
    if (config == nullptr) {
      g_warning("rule %d: cannot parse the action configuration \"%s\": %s", rule_id_, xml_.c_str(),
                error->message);
    } else {
      instance_ = api_->create(config, parameters, &setup_, nullptr, nullptr, &Instance::feedback_cb,
                               this, &error);
      if (instance_ == nullptr)
        g_warning("rule %d: plug-in %s did not create an instance: %s", rule_id_, sofile_.c_str(),
                  error != nullptr ? error->message : "no reason given");
      else if (!call(api_->validate))
        g_warning("rule %d: plug-in %s rejected its configuration", rule_id_, sofile_.c_str());
      else if (!call(api_->initialize))
        g_warning("rule %d: plug-in %s failed to initialize", rule_id_, sofile_.c_str());
      else
        ready = true;
    }

    for (;;) {
      auto command = static_cast<Command>(GPOINTER_TO_INT(g_async_queue_pop(queue_)));
      if (command == COMMAND_START) {
        if (ready)
          call(api_->start);
        else
          g_warning("rule %d: plug-in instance is not ready; not starting it", rule_id_);
      } else {
        break;
      }
    }

    if (instance_ != nullptr) {
      if (api_->check_running(instance_))
        g_debug("rule %d: plug-in action still running; stopping it", rule_id_);
      call(api_->stop);
      call(api_->abort);
      call(api_->destroy);
      api_->free(instance_);
      instance_ = nullptr;
    }
    g_debug("rule %d: plug-in instance gone", rule_id_);
  }

  PluginHost *host_;
  const PluginApi *api_;
  const gint32 rule_id_;
  const std::string xml_;
  const std::string sofile_;
  const std::map<std::string, std::string> parameters_;
  HostSetup setup_{};
  GAsyncQueue *queue_;
  GThread *thread_ = nullptr;

  /* thread only */
  gpointer instance_ = nullptr;
  /* Set by feedback carrying an error; atomic because a plug-in might
   * report from a thread of its own after all. */
  std::atomic<bool> failed_{false};
};

PluginHost::PluginHost(FeedbackFunc feedback, gpointer data)
    : feedback_(feedback), feedback_data_(data), context_(g_main_context_ref_thread_default()),
      wake_(g_source_new(&wake_funcs, sizeof(GSource))) {
  g_source_set_name(wake_, "plug-in host reaper");
  g_source_set_callback(wake_, &PluginHost::reap_cb, this, nullptr);
  g_source_attach(wake_, context_);
}

PluginHost::~PluginHost() {
  shutdown();
  g_source_destroy(wake_);
  g_source_unref(wake_);
  g_main_context_unref(context_);
}

bool PluginHost::attach(const Rule &rule, GError **error) {
  g_return_val_if_fail(rule.has_action(), false);
  g_return_val_if_fail(live_.count(rule.id) == 0, false);

  const PluginApi *api = load_plugin(rule.sofile.c_str(), error);
  if (api == nullptr) {
    g_prefix_error(error, "rule %d: ", rule.id);
    return false;
  }
  auto instance = std::make_unique<Instance>(this, rule, api);
  if (!instance->spawn(error))
    return false;
  live_[rule.id] = instance.release();
  return true;
}

bool PluginHost::start(gint32 rule_id, GError **error) {
  auto found = live_.find(rule_id);
  if (found == live_.end()) {
    g_set_error(error, AE_ERROR, ERROR_PLUGIN, "rule %d has no plug-in instance", rule_id);
    return false;
  }
  found->second->post(COMMAND_START);
  return true;
}

void PluginHost::detach(gint32 rule_id) {
  auto found = live_.find(rule_id);
  if (found == live_.end())
    return;
  found->second->post(COMMAND_TEARDOWN);
  retiring_.push_back(found->second);
  live_.erase(found);
}

bool PluginHost::has_instance(gint32 rule_id) const { return live_.count(rule_id) != 0; }

bool PluginHost::shutdown(gint64 timeout_ms) {
  for (const auto &kv : live_) {
    kv.second->post(COMMAND_TEARDOWN);
    retiring_.push_back(kv.second);
  }
  live_.clear();

  std::vector<Instance *> done;
  {
    std::unique_lock<std::mutex> lock(finished_mutex_);
    auto all_finished = [this] {
      for (Instance *instance : retiring_)
        if (std::find(finished_.begin(), finished_.end(), instance) == finished_.end())
          return false;
      return true;
    };
    if (timeout_ms < 0)
      finished_cond_.wait(lock, all_finished);
    else
      finished_cond_.wait_for(lock, std::chrono::milliseconds(timeout_ms), all_finished);
    done.swap(finished_);
  }
  for (Instance *instance : done) {
    auto it = std::find(retiring_.begin(), retiring_.end(), instance);
    if (it != retiring_.end())
      retiring_.erase(it);
    instance->join();
    delete instance;
  }
  for (Instance *instance : retiring_)
    g_warning("rule %d: plug-in instance did not finish its teardown within %" G_GINT64_FORMAT " ms",
              instance->rule_id(), timeout_ms);
  return retiring_.empty();
}

void PluginHost::finished(Instance *instance) {
  std::lock_guard<std::mutex> lock(finished_mutex_);
  finished_.push_back(instance);
  finished_cond_.notify_all();
  g_source_set_ready_time(wake_, 0);
}

gboolean PluginHost::reap_cb(gpointer data) {
  try {
    static_cast<PluginHost *>(data)->reap();
  } catch (const std::exception &e) {
    g_warning("cannot reap plug-in threads: %s", e.what());
  }
  return G_SOURCE_CONTINUE;
}

void PluginHost::reap() {
  std::vector<Instance *> done;
  {
    std::lock_guard<std::mutex> lock(finished_mutex_);
    done.swap(finished_);
  }
  for (Instance *instance : done) {
    auto it = std::find(retiring_.begin(), retiring_.end(), instance);
    if (it == retiring_.end())
      continue;
    retiring_.erase(it);
    instance->join();
    delete instance;
  }
}

}  // namespace ae

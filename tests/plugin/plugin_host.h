/* Test-side host of libtelvo: loads the plug-in with dlopen exactly as the
 * action engine does and records the feedback it gets. */
#pragma once

#include <gio/gio.h>

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "action-plugin.h"

namespace ph {

struct Plugin {
  void *handle = nullptr;
  ActionPluginCreateFunc create = nullptr;
  ActionPluginFunc validate = nullptr;
  ActionPluginFunc initialize = nullptr;
  ActionPluginFunc start = nullptr;
  ActionPluginFunc stop = nullptr;
  ActionPluginFunc abort = nullptr;
  ActionPluginCheckFunc check_running = nullptr;
  ActionPluginFunc destroy = nullptr;
  ActionPluginFunc free = nullptr;
};

/* Loaded once per process from $TELVO_PLUGIN. */
const Plugin &plugin();

struct Feedback {
  gint32 status;
  bool has_error;
  std::string error;
  GQuark domain;
  gint code;
  std::thread::id thread;
};

class Host {
 public:
  static void on_feedback(gpointer user_data, gint32 status, GError *error);
  std::vector<Feedback> feedback() const;
  size_t count() const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<Feedback> feedback_;
};

/* The configuration node of one action. */
XtagNode *parse_config(const char *xml);
constexpr const char kGoodConfig[] =
    "<action><plugin>telvo</plugin><sofile>/usr/lib/libtelvo.so</sofile></action>";
constexpr const char kSystemId[] = "0f9e3c52-7d41-4b8a-9a51-2c6f0e4d8b17";

GHashTable *make_parameters(const std::map<std::string, std::string> &values);

/* plugin_create with a node parsed from @xml and @parameters. */
gpointer create(Host &host, const std::map<std::string, std::string> &parameters, GError **error,
                const char *xml = kGoodConfig);

}  // namespace ph

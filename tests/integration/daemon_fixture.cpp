#include "daemon_fixture.h"

#include <fstream>

#include "config.h"

namespace kt {

const char kIdA[] = "2f1a3c4e-5b6d-4e7f-8a9b-0c1d2e3f4a5b";
const char kIdB[] = "7e6d5c4b-3a29-4817-b6a5-f4e3d2c1b0a9";

std::string rule(int id, const std::string &systemid, bool enabled) {
  return "[rule " + std::to_string(id) + "]\nname=Rule " + std::to_string(id) +
         "\nenabled=" + (enabled ? "true" : "false") +
         "\nstart_event=topic=tns1:Device/tnsvemo:Bluetooth/tnsvemo:BeaconReceived;UUID,value=" + systemid +
         ";\n\n";
}

static void on_event(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *,
                     GVariant *parameters, gpointer user_data) {
  auto *self = static_cast<DaemonTest *>(user_data);
  const gchar *producer, *topic;
  gint64 time_us;
  g_autoptr(GVariant) data = nullptr;
  g_variant_get(parameters, "(&s&sx@a{sv})", &producer, &topic, &time_us, &data);
  const gchar *uuid = "";
  g_variant_lookup(data, "UUID", "&s", &uuid);
  self->events.push_back({producer, topic, uuid, time_us});
}

DaemonTest::DaemonTest(th::Bus::Policy policy, std::vector<std::string> policy_files)
    : bus(policy, std::move(policy_files)) {
  event_subscription_ = g_dbus_connection_signal_subscribe(bus.connection(), nullptr, "com.vemo.Event.Producer1",
                                                           "Event", nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                                                           on_event, this, nullptr);
}

DaemonTest::~DaemonTest() {
  g_dbus_connection_signal_unsubscribe(bus.connection(), event_subscription_);
  kavrod.reset();
  engine.reset();
  bluez.reset();
  if (!rules_path_.empty())
    g_unlink(rules_path_.c_str());
}

void DaemonTest::start_bluez(std::vector<std::string> args) {
  args.insert(args.begin(), th::env_path("BLUEZ_SIM_BIN"));
  bluez = std::make_unique<th::Process>(args);
  if (!bus.wait_for_name("org.bluez") || !bus.wait_for_name("com.vemo.Sim.BlueZ"))
    g_error("bluez-sim did not start:\n%s", bluez->log().c_str());
}

void DaemonTest::start_engine(const std::string &rules) {
  if (rules_path_.empty()) {
    gchar *path = nullptr;
    int fd = g_file_open_tmp("kavrod-rules-XXXXXX.conf", &path, nullptr);
    close(fd);
    rules_path_ = path;
    g_free(path);
  }
  std::ofstream(rules_path_) << rules;
  engine = std::make_unique<th::Process>(
      std::vector<std::string>{th::env_path("ACTION_ENGINE_SIM_BIN"), "--rules", rules_path_});
  if (!bus.wait_for_name("com.vemo.Event.ActionEngine.User"))
    g_error("action-engine-sim did not start:\n%s", engine->log().c_str());
}

void DaemonTest::start_kavrod(std::vector<std::string> args, std::map<std::string, std::string> env, bool wait) {
  args.insert(args.begin(), th::env_path("KAVROD_BIN"));
  // A command prefix such as "valgrind --log-file=..." for leak checks.
  const char *wrapper = g_getenv("KAVROD_WRAPPER");
  if (wrapper != nullptr && *wrapper != '\0') {
    g_auto(GStrv) prefix = nullptr;
    g_autoptr(GError) error = nullptr;
    if (!g_shell_parse_argv(wrapper, nullptr, &prefix, &error))
      g_error("KAVROD_WRAPPER '%s': %s", wrapper, error->message);
    args.insert(args.begin(), prefix, prefix + g_strv_length(prefix));
  }
  if (env.find("VESK_POLICY") == env.end())
    env["VESK_POLICY"] = "/nonexistent/vesk-policy.conf";  // root only
  kavrod = std::make_unique<th::Process>(args, env);
  if (wait && !kavrod->wait_for_log("kavrod initialized, run main loop..."))
    g_error("kavrod did not start:\n%s", kavrod->log().c_str());
}

void DaemonTest::start_device() {
  start_bluez();
  start_engine(rule(3, kIdA));
  start_kavrod();
  if (!wait_monitors(1))
    g_error("kavrod started no monitor:\n%s", kavrod->log().c_str());
}

GVariant *DaemonTest::bluez_control(const char *method, GVariant *params, const char *reply_type) {
  g_autoptr(GError) error = nullptr;
  GVariant *reply = th::call(bus.connection(), "com.vemo.Sim.BlueZ", "/com/vemo/Sim/BlueZ", "com.vemo.Sim.BlueZ1",
                             method, params, reply_type, &error);
  if (reply == nullptr)
    g_error("bluez-sim %s failed: %s", method, error->message);
  return reply;
}

GVariant *DaemonTest::engine_call(const char *iface, const char *method, GVariant *params) {
  g_autoptr(GError) error = nullptr;
  GVariant *reply = th::call(bus.connection(), "com.vemo.Event.ActionEngine.User", "/com/vemo/Event/ActionEngine",
                             iface, method, params, nullptr, &error);
  if (reply == nullptr)
    g_error("action-engine-sim %s failed: %s", method, error->message);
  return reply;
}

void DaemonTest::set_list_fault(const char *mode, guint delay_ms) {
  g_variant_unref(engine_call("com.vemo.Sim.ActionEngine1", "SetListFault", g_variant_new("(su)", mode, delay_ms)));
}

void DaemonTest::add_rule(int id, const std::string &systemid, bool enabled) {
  std::string start = "topic=tns1:Device/tnsvemo:Bluetooth/tnsvemo:BeaconReceived;UUID,value=" + systemid + ";";
  GVariant *bytes = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, start.data(), start.size(), 1);
  g_variant_unref(engine_call("com.vemo.Event.ActionEngine.ActionRule", "AddRule",
                              g_variant_new("(isb@aysa{ss})", id, "added", enabled, bytes, "", nullptr)));
}

void DaemonTest::remove_rule(int id) {
  g_variant_unref(engine_call("com.vemo.Event.ActionEngine.ActionRule", "RemoveRule", g_variant_new("(i)", id)));
}

std::vector<std::pair<std::string, bool>> DaemonTest::monitors() {
  g_autoptr(GVariant) reply = bluez_control("ListMonitors", nullptr, "(a(sosb))");
  g_autoptr(GVariantIter) iter = nullptr;
  g_variant_get(reply, "(a(sosb))", &iter);
  std::vector<std::pair<std::string, bool>> result;
  const gchar *client, *path, *adapter;
  gboolean activated;
  while (g_variant_iter_next(iter, "(&s&o&sb)", &client, &path, &adapter, &activated))
    result.emplace_back(adapter, activated);
  return result;
}

bool DaemonTest::wait_monitors(size_t n, int timeout_ms) {
  return th::wait_until(
      [&] {
        auto m = monitors();
        if (m.size() != n)
          return false;
        for (auto &p : m)
          if (!p.second)
            return false;
        return true;
      },
      timeout_ms);
}

std::string DaemonTest::list_systemid(GDBusConnection *caller) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = th::call(caller != nullptr ? caller : bus.connection(), "com.vemo.bt.ReceiveVemoBeacon",
                                       "/com/vemo/bt/ReceiveVemoBeacon", "com.vemo.bt.ReceiveVemoBeacon", "List",
                                       nullptr, "(as)", &error);
  if (reply == nullptr)
    return std::string("<error: ") + error->message + ">";
  g_autofree const gchar **ids = nullptr;
  g_variant_get(reply, "(^a&s)", &ids);
  if (g_strv_length(const_cast<gchar **>(ids)) != 1)
    return "<not one element>";
  return ids[0];
}

std::string DaemonTest::control(const char *method) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = th::call(bus.connection(), "com.vemo.bt.ReceiveVemoBeacon",
                                       "/com/vemo/bt/ReceiveVemoBeacon", "com.vemo.bt.ReceiveVemoBeacon", method,
                                       nullptr, "()", &error);
  return reply != nullptr ? "" : std::string(method) + ": " + error->message;
}

bool DaemonTest::wait_systemid(const std::string &expected, int timeout_ms) {
  return th::wait_until([&] { return list_systemid() == expected; }, timeout_ms);
}

void DaemonTest::inject_beacon(const std::string &systemid, guint8 event, guint8 sequence, const char *adapter,
                               const char *address) {
  inject_payload(th::beacon_bytes(systemid, event, sequence), address, adapter);
}

void DaemonTest::inject_payload(const std::vector<guint8> &payload, const char *address, const char *adapter) {
  GVariant *data = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, payload.data(), payload.size(), 1);
  g_variant_unref(bluez_control("InjectAdvertisement",
                                g_variant_new("(ssq@ayn)", adapter, address, static_cast<guint16>(BEACON_COMPANY_ID),
                                              data, static_cast<gint16>(-60))));
}

bool DaemonTest::wait_events(size_t n, int timeout_ms) {
  return th::wait_until([&] { return events.size() >= n; }, timeout_ms);
}

}  // namespace kt

/* bluez-sim on a private bus, driven the way BlueZ clients drive bluetoothd:
 * the client side (monitor applications, advertisements) is exported by
 * this test process with plain GDBus. */
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <tuple>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"

namespace {

constexpr char kSimName[] = "com.vemo.Sim.BlueZ";
constexpr char kSimPath[] = "/com/vemo/Sim/BlueZ";
constexpr char kSimIface[] = "com.vemo.Sim.BlueZ1";
constexpr char kMonitorIface[] = "org.bluez.AdvertisementMonitor1";

using Events = std::vector<std::string>;

bool has(const Events &events, const std::string &event) {
  return std::find(events.begin(), events.end(), event) != events.end();
}

size_t count(const Events &events, const std::string &event) {
  return static_cast<size_t>(std::count(events.begin(), events.end(), event));
}

/* Position of the first event equal to @event, or npos. */
size_t index_exact(const Events &events, const std::string &event) {
  auto it = std::find(events.begin(), events.end(), event);
  return it == events.end() ? std::string::npos : static_cast<size_t>(it - events.begin());
}

/* The interfaces dictionary of one monitor object. */
GVariant *monitor_interfaces(GVariant *properties) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a{sa{sv}}"));
  g_variant_builder_add(&builder, "{s@a{sv}}", kMonitorIface, properties);
  return g_variant_builder_end(&builder);
}

/* Position of the first event starting with @prefix, or npos. */
size_t index_of(const Events &events, const std::string &prefix) {
  for (size_t i = 0; i < events.size(); i++)
    if (events[i].compare(0, prefix.size(), prefix) == 0)
      return i;
  return std::string::npos;
}

/* An asynchronous call whose completion the test waits for with
 * th::wait_until (the simulator calls back into this process meanwhile). */
struct Call {
  bool done = false;
  GVariant *reply = nullptr;
  GError *error = nullptr;
  ~Call() {
    if (reply != nullptr)
      g_variant_unref(reply);
    g_clear_error(&error);
  }
  std::string error_name() const {
    if (error == nullptr)
      return "";
    g_autofree gchar *name = g_dbus_error_get_remote_error(error);
    return name != nullptr ? name : error->message;
  }
};

std::shared_ptr<Call> call_async(GDBusConnection *connection, const char *dest, const char *path, const char *iface,
                                 const char *method, GVariant *params, Events *events = nullptr) {
  struct Data {
    std::shared_ptr<Call> call;
    Events *events;
    std::string method;
  };
  auto call = std::make_shared<Call>();
  g_dbus_connection_call(connection, dest, path, iface, method, params, nullptr, G_DBUS_CALL_FLAGS_NONE, 30000,
                         nullptr,
                         [](GObject *source, GAsyncResult *result, gpointer user_data) {
                           std::unique_ptr<Data> data(static_cast<Data *>(user_data));
                           data->call->reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result,
                                                                             &data->call->error);
                           data->call->done = true;
                           if (data->events != nullptr)
                             data->events->push_back("reply " + data->method);
                         },
                         new Data{call, events, method});
  return call;
}

bool wait_done(const std::shared_ptr<Call> &call, int timeout_ms = 5000) {
  return th::wait_until([&] { return call->done; }, timeout_ms);
}

GVariant *patterns(std::initializer_list<std::tuple<int, int, std::vector<uint8_t>>> list) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a(yyay)"));
  for (const auto &p : list) {
    const auto &content = std::get<2>(p);
    g_variant_builder_add(&builder, "(yy@ay)", static_cast<guint8>(std::get<0>(p)), static_cast<guint8>(std::get<1>(p)),
                          g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, content.data(), content.size(), 1));
  }
  return g_variant_builder_end(&builder);
}

/* Pattern of the beacons of the tests: company 0xffff, then version 1. */
GVariant *beacon_patterns() { return patterns({{0, 0xff, {0xff, 0xff, 0x01}}}); }

const char monitor_app_xml[] =
    "<node>"
    "  <interface name='org.freedesktop.DBus.ObjectManager'>"
    "    <method name='GetManagedObjects'><arg type='a{oa{sa{sv}}}' direction='out'/></method>"
    "  </interface>"
    "  <interface name='org.bluez.AdvertisementMonitor1'>"
    "    <method name='Release'/>"
    "    <method name='Activate'/>"
    "    <method name='DeviceFound'><arg name='device' type='o' direction='in'/></method>"
    "    <method name='DeviceLost'><arg name='device' type='o' direction='in'/></method>"
    "  </interface>"
    "</node>";

/* A monitor application: an ObjectManager root with monitor children.
 * Every call it receives goes to @events as "<Method> <monitor>[ <arg>]". */
class MonitorApp {
 public:
  MonitorApp(GDBusConnection *connection, std::string root, Events *events)
      : connection_(G_DBUS_CONNECTION(g_object_ref(connection))), root_(std::move(root)), events_(events) {
    info_ = g_dbus_node_info_new_for_xml(monitor_app_xml, nullptr);
    static const GDBusInterfaceVTable vtable = {&MonitorApp::method_call, nullptr, nullptr, {nullptr}};
    manager_id_ = g_dbus_connection_register_object(connection_, root_.c_str(), info_->interfaces[0], &vtable, this,
                                                    nullptr, nullptr);
  }
  ~MonitorApp() {
    for (auto &m : monitors_) {
      g_dbus_connection_unregister_object(connection_, m.registration);
      g_variant_unref(m.properties);
    }
    g_dbus_connection_unregister_object(connection_, manager_id_);
    if (held_ != nullptr)
      g_dbus_method_invocation_return_dbus_error(held_, "org.example.Error.Gone", "test ended");
    g_dbus_node_info_unref(info_);
    g_object_unref(connection_);
  }

  /* Adds a monitor; @announce emits InterfacesAdded as a live client does. */
  std::string add(const std::string &name, const char *type, GVariant *pattern_list, bool announce = false,
                  std::vector<std::pair<const char *, GVariant *>> extra = {}) {
    static const GDBusInterfaceVTable vtable = {&MonitorApp::method_call, nullptr, nullptr, {nullptr}};
    Monitor m;
    m.path = root_ + "/" + name;
    GVariantBuilder props;
    g_variant_builder_init(&props, G_VARIANT_TYPE_VARDICT);
    if (type != nullptr)
      g_variant_builder_add(&props, "{sv}", "Type", g_variant_new_string(type));
    if (pattern_list != nullptr)
      g_variant_builder_add(&props, "{sv}", "Patterns", pattern_list);
    for (const auto &property : extra)
      g_variant_builder_add(&props, "{sv}", property.first, property.second);
    m.properties = g_variant_ref_sink(g_variant_builder_end(&props));
    m.registration = g_dbus_connection_register_object(connection_, m.path.c_str(), info_->interfaces[1], &vtable,
                                                       this, nullptr, nullptr);
    if (announce)
      g_dbus_connection_emit_signal(connection_, nullptr, root_.c_str(), "org.freedesktop.DBus.ObjectManager",
                                    "InterfacesAdded",
                                    g_variant_new("(o@a{sa{sv}})", m.path.c_str(), monitor_interfaces(m.properties)),
                                    nullptr);
    monitors_.push_back(m);
    return m.path;
  }

  void remove(const std::string &path) {
    auto it = std::find_if(monitors_.begin(), monitors_.end(), [&](const Monitor &m) { return m.path == path; });
    ASSERT_NE(it, monitors_.end());
    g_dbus_connection_unregister_object(connection_, it->registration);
    g_variant_unref(it->properties);
    monitors_.erase(it);
    g_dbus_connection_emit_signal(connection_, nullptr, root_.c_str(), "org.freedesktop.DBus.ObjectManager",
                                  "InterfacesRemoved", g_variant_new_parsed("(%o, [%s])", path.c_str(), kMonitorIface),
                                  nullptr);
  }

  const std::string &root() const { return root_; }
  /* Keep GetManagedObjects unanswered (a stuck client). */
  bool hold_get_managed_objects = false;
  /* Calls that asked for a reply although BlueZ never wants one. */
  int calls_expecting_reply = 0;

 private:
  struct Monitor {
    std::string path;
    GVariant *properties = nullptr;
    guint registration = 0;
  };

  static void method_call(GDBusConnection *, const char *, const char *path, const char *, const char *method,
                          GVariant *params, GDBusMethodInvocation *invocation, gpointer data) {
    auto *self = static_cast<MonitorApp *>(data);
    if (g_str_equal(method, "GetManagedObjects")) {
      self->events_->push_back("GetManagedObjects " + std::string(path));
      if (self->hold_get_managed_objects) {
        self->held_ = invocation;
        return;
      }
      GVariantBuilder objects;
      g_variant_builder_init(&objects, G_VARIANT_TYPE("a{oa{sa{sv}}}"));
      for (const auto &m : self->monitors_)
        g_variant_builder_add(&objects, "{o@a{sa{sv}}}", m.path.c_str(), monitor_interfaces(m.properties));
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(a{oa{sa{sv}}})", &objects));
      return;
    }
    if ((g_dbus_message_get_flags(g_dbus_method_invocation_get_message(invocation)) &
         G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED) == 0)
      self->calls_expecting_reply++;
    std::string event = std::string(method) + " " + path;
    if (g_variant_n_children(params) == 1) {
      const char *device;
      g_variant_get(params, "(&o)", &device);
      event += std::string(" ") + device;
    }
    self->events_->push_back(event);
    g_dbus_method_invocation_return_value(invocation, nullptr);
  }

  GDBusConnection *connection_;
  std::string root_;
  Events *events_;
  GDBusNodeInfo *info_ = nullptr;
  guint manager_id_ = 0;
  std::vector<Monitor> monitors_;
  GDBusMethodInvocation *held_ = nullptr;
};

/* An LEAdvertisement1 object serving @properties (a{sv}). */
class AdvertisementObject {
 public:
  AdvertisementObject(GDBusConnection *connection, std::string path, GVariant *properties, Events *events)
      : connection_(G_DBUS_CONNECTION(g_object_ref(connection))), path_(std::move(path)),
        properties_(g_variant_ref_sink(properties)), events_(events) {
    std::string xml = "<node><interface name='org.bluez.LEAdvertisement1'><method name='Release'/>";
    GVariantIter iter;
    g_variant_iter_init(&iter, properties_);
    const char *name;
    GVariant *value;
    while (g_variant_iter_next(&iter, "{&sv}", &name, &value)) {
      xml += std::string("<property name='") + name + "' type='" + g_variant_get_type_string(value) + "' access='read'/>";
      g_variant_unref(value);
    }
    xml += "</interface></node>";
    info_ = g_dbus_node_info_new_for_xml(xml.c_str(), nullptr);
    static const GDBusInterfaceVTable vtable = {&AdvertisementObject::method_call, &AdvertisementObject::get_property,
                                                nullptr, {nullptr}};
    registration_ = g_dbus_connection_register_object(connection_, path_.c_str(), info_->interfaces[0], &vtable, this,
                                                      nullptr, nullptr);
  }
  ~AdvertisementObject() {
    g_dbus_connection_unregister_object(connection_, registration_);
    g_dbus_node_info_unref(info_);
    g_variant_unref(properties_);
    g_object_unref(connection_);
  }
  const std::string &path() const { return path_; }

 private:
  static void method_call(GDBusConnection *, const char *, const char *path, const char *, const char *method,
                          GVariant *, GDBusMethodInvocation *invocation, gpointer data) {
    static_cast<AdvertisementObject *>(data)->events_->push_back(std::string(method) + " " + path);
    g_dbus_method_invocation_return_value(invocation, nullptr);
  }
  static GVariant *get_property(GDBusConnection *, const char *, const char *, const char *, const char *name,
                                GError **, gpointer data) {
    return g_variant_lookup_value(static_cast<AdvertisementObject *>(data)->properties_, name, nullptr);
  }

  GDBusConnection *connection_;
  std::string path_;
  GVariant *properties_;
  Events *events_;
  GDBusNodeInfo *info_ = nullptr;
  guint registration_ = 0;
};

/* Properties of a broadcast beacon advertisement. */
GVariant *beacon_advertisement(guint8 sequence, guint16 timeout_s = 0, guint32 interval_ms = 0, size_t size = 19) {
  std::vector<uint8_t> payload(size, 0);
  payload[0] = 1;
  payload[18] = sequence;
  GVariantBuilder md;
  g_variant_builder_init(&md, G_VARIANT_TYPE("a{qv}"));
  g_variant_builder_add(&md, "{qv}", static_cast<guint16>(0xffff),
                        g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, payload.data(), payload.size(), 1));
  GVariantBuilder props;
  g_variant_builder_init(&props, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&props, "{sv}", "Type", g_variant_new_string("broadcast"));
  g_variant_builder_add(&props, "{sv}", "ManufacturerData", g_variant_builder_end(&md));
  if (timeout_s > 0)
    g_variant_builder_add(&props, "{sv}", "Timeout", g_variant_new_uint16(timeout_s));
  if (interval_ms > 0) {
    g_variant_builder_add(&props, "{sv}", "MinInterval", g_variant_new_uint32(interval_ms));
    g_variant_builder_add(&props, "{sv}", "MaxInterval", g_variant_new_uint32(interval_ms));
  }
  return g_variant_builder_end(&props);
}

class BluezSim : public ::testing::Test {
 protected:
  void SetUp() override {
    subscription_ = g_dbus_connection_signal_subscribe(
        bus_.connection(), nullptr, nullptr, nullptr, nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection *, const char *, const char *path, const char *iface, const char *signal, GVariant *params,
           gpointer data) {
          auto *self = static_cast<BluezSim *>(data);
          if (g_str_equal(signal, "InterfacesAdded") && g_variant_is_of_type(params, G_VARIANT_TYPE("(oa{sa{sv}})"))) {
            const char *object;
            g_autoptr(GVariant) ifaces = nullptr;
            g_variant_get(params, "(&o@a{sa{sv}})", &object, &ifaces);
            self->events_.push_back(std::string("Added ") + object);
            self->added_.emplace_back(object, g_variant_ref(ifaces));
          } else if (g_str_equal(signal, "InterfacesRemoved") && g_variant_is_of_type(params, G_VARIANT_TYPE("(oas)"))) {
            const char *object;
            g_variant_get(params, "(&o@as)", &object, nullptr);
            self->events_.push_back(std::string("Removed ") + object);
          } else if (g_str_equal(signal, "PropertiesChanged")) {
            const char *changed_iface;
            g_autoptr(GVariant) changed = nullptr;
            g_variant_get(params, "(&s@a{sv}@as)", &changed_iface, &changed, nullptr);
            std::string event = std::string("Changed ") + path;
            GVariantIter iter;
            g_variant_iter_init(&iter, changed);
            const char *name;
            while (g_variant_iter_next(&iter, "{&sv}", &name, nullptr))
              event += std::string(" ") + name;
            self->events_.push_back(event);
          } else if (g_str_equal(signal, "NameOwnerChanged") && g_variant_is_of_type(params, G_VARIANT_TYPE("(sss)"))) {
            const char *name, *new_owner;
            g_variant_get(params, "(&s&s&s)", &name, nullptr, &new_owner);
            if (name[0] != ':' && *new_owner != '\0')
              self->events_.push_back(std::string("Owner ") + name);
          } else if (g_str_equal(iface, kSimIface) && g_str_equal(signal, "DeviceFoundCalled")) {
            self->found_signals_++;
          }
        },
        this, nullptr);
  }

  void TearDown() override {
    g_dbus_connection_signal_unsubscribe(bus_.connection(), subscription_);
    for (auto &a : added_)
      g_variant_unref(a.second);
    if (sim_) {
      EXPECT_EQ(sim_->stop(SIGTERM), 0) << sim_->log();
      EXPECT_EQ(sim_->count("CRITICAL"), 0u) << sim_->log();
      EXPECT_EQ(sim_->count("WARNING"), 0u) << sim_->log();
    }
  }

  void start(std::vector<std::string> args = {}) {
    args.insert(args.begin(), th::env_path("BLUEZ_SIM_BIN"));
    sim_ = std::make_unique<th::Process>(args);
    ASSERT_TRUE(bus_.wait_for_name(kSimName)) << sim_->log();
    ASSERT_TRUE(bus_.wait_for_name("org.bluez")) << sim_->log();
  }

  GDBusConnection *conn() { return bus_.connection(); }

  /* A control call; fails the test when it fails. */
  GVariant *control(const char *method, GVariant *params = nullptr, const char *reply_type = nullptr) {
    g_autoptr(GError) error = nullptr;
    GVariant *reply = th::call(conn(), kSimName, kSimPath, kSimIface, method, params, reply_type, &error);
    EXPECT_EQ(error, nullptr) << method << ": " << (error ? error->message : "");
    return reply;
  }

  void inject(const char *adapter, const char *address, std::vector<uint8_t> payload, gint16 rssi = -60,
              guint16 company = 0xffff) {
    g_autoptr(GVariant) reply = control(
        "InjectAdvertisement",
        g_variant_new("(ssq@ayn)", adapter, address, company,
                      g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, payload.data(), payload.size(), 1), rssi));
  }

  /* (client, monitor, adapter, activated) rows of ListMonitors */
  std::vector<std::tuple<std::string, std::string, std::string, bool>> monitors() {
    std::vector<std::tuple<std::string, std::string, std::string, bool>> out;
    g_autoptr(GVariant) reply = control("ListMonitors", nullptr, "(a(sosb))");
    if (reply == nullptr)
      return out;
    g_autoptr(GVariantIter) iter = nullptr;
    g_variant_get(reply, "(a(sosb))", &iter);
    const char *client, *path, *adapter;
    gboolean activated;
    while (g_variant_iter_next(iter, "(&s&o&sb)", &client, &path, &adapter, &activated))
      out.emplace_back(client, path, adapter, activated != FALSE);
    return out;
  }

  size_t advertisement_count() {
    g_autoptr(GVariant) reply = control("ListAdvertisements", nullptr, "(a(sos))");
    if (reply == nullptr)
      return 0;
    g_autoptr(GVariant) list = g_variant_get_child_value(reply, 0);
    return g_variant_n_children(list);
  }

  std::shared_ptr<Call> register_monitor(MonitorApp &app, const char *adapter = "/org/bluez/hci0",
                                         GDBusConnection *connection = nullptr) {
    return call_async(connection != nullptr ? connection : conn(), "org.bluez", adapter,
                      "org.bluez.AdvertisementMonitorManager1", "RegisterMonitor",
                      g_variant_new("(o)", app.root().c_str()), &events_);
  }

  std::string unique_name(const char *name) {
    g_autoptr(GVariant) reply = th::call(conn(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                         "org.freedesktop.DBus", "GetNameOwner", g_variant_new("(s)", name), "(s)",
                                         nullptr);
    const char *owner = "";
    if (reply != nullptr)
      g_variant_get(reply, "(&s)", &owner);
    return owner;
  }

  bool wait_event(const std::string &event, int timeout_ms = 5000) {
    return th::wait_until([&] { return has(events_, event); }, timeout_ms);
  }

  /* Interfaces (sorted) of the object in GetManagedObjects of org.bluez. */
  std::vector<std::string> managed_paths(std::map<std::string, std::vector<std::string>> *interfaces = nullptr) {
    std::vector<std::string> paths;
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = th::call(conn(), "org.bluez", "/", "org.freedesktop.DBus.ObjectManager",
                                         "GetManagedObjects", nullptr, "(a{oa{sa{sv}}})", &error);
    EXPECT_EQ(error, nullptr) << (error ? error->message : "");
    if (reply == nullptr)
      return paths;
    g_autoptr(GVariant) objects = g_variant_get_child_value(reply, 0);
    GVariantIter iter;
    g_variant_iter_init(&iter, objects);
    const char *path;
    GVariant *ifaces;
    while (g_variant_iter_next(&iter, "{&o@a{sa{sv}}}", &path, &ifaces)) {
      paths.push_back(path);
      if (interfaces != nullptr) {
        GVariantIter it;
        g_variant_iter_init(&it, ifaces);
        const char *name;
        while (g_variant_iter_next(&it, "{&s@a{sv}}", &name, nullptr))
          (*interfaces)[path].push_back(name);
      }
      g_variant_unref(ifaces);
    }
    return paths;
  }

  th::Bus bus_;
  std::unique_ptr<th::Process> sim_;
  Events events_;
  std::vector<std::pair<std::string, GVariant *>> added_;
  int found_signals_ = 0;
  guint subscription_ = 0;
};

const std::vector<uint8_t> kBeacon = {1, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99,
                                      0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff, 0x00, 7, 1};

}  // namespace


/* ---- Object tree ---------------------------------------------------------- */

TEST_F(BluezSim, AdaptersFollowTheCommandLineInOrderWithTheirManagers) {
  start({"--adapter", "hci1:nomonitor", "--adapter", "hci0", "--adapter", "hci7:noadvertising:nomonitor",
         "--adapters-delay", "0"});
  std::map<std::string, std::vector<std::string>> interfaces;
  auto paths = managed_paths(&interfaces);
  EXPECT_EQ(paths, (std::vector<std::string>{"/org/bluez/hci1", "/org/bluez/hci0", "/org/bluez/hci7"}));
  EXPECT_EQ(interfaces["/org/bluez/hci1"],
            (std::vector<std::string>{"org.bluez.Adapter1", "org.bluez.LEAdvertisingManager1"}));
  EXPECT_EQ(interfaces["/org/bluez/hci0"],
            (std::vector<std::string>{"org.bluez.Adapter1", "org.bluez.AdvertisementMonitorManager1",
                                      "org.bluez.LEAdvertisingManager1"}));
  EXPECT_EQ(interfaces["/org/bluez/hci7"], (std::vector<std::string>{"org.bluez.Adapter1"}));

  g_autoptr(GVariant) types = th::call(conn(), "org.bluez", "/org/bluez/hci0", "org.freedesktop.DBus.Properties", "Get",
                                       g_variant_new("(ss)", "org.bluez.AdvertisementMonitorManager1",
                                                     "SupportedMonitorTypes"),
                                       "(v)", nullptr);
  ASSERT_NE(types, nullptr);
  g_autofree gchar *text = g_variant_print(types, FALSE);
  EXPECT_STREQ(text, "(<['or_patterns']>,)");
  /* Adapters have distinct addresses (the sender addresses of their
   * connectable advertisements). */
  g_autoptr(GVariant) a0 = th::call(conn(), "org.bluez", "/org/bluez/hci0", "org.freedesktop.DBus.Properties", "Get",
                                    g_variant_new("(ss)", "org.bluez.Adapter1", "Address"), "(v)", nullptr);
  g_autoptr(GVariant) a1 = th::call(conn(), "org.bluez", "/org/bluez/hci1", "org.freedesktop.DBus.Properties", "Get",
                                    g_variant_new("(ss)", "org.bluez.Adapter1", "Address"), "(v)", nullptr);
  ASSERT_TRUE(a0 && a1);
  EXPECT_FALSE(g_variant_equal(a0, a1));
}

TEST_F(BluezSim, DefaultAdapterAndControlAddRemove) {
  start();
  std::map<std::string, std::vector<std::string>> interfaces;
  EXPECT_EQ(managed_paths(&interfaces), std::vector<std::string>{"/org/bluez/hci0"});
  EXPECT_EQ(interfaces["/org/bluez/hci0"].size(), 3u);

  g_autoptr(GVariant) added = control("AddAdapter", g_variant_new("(sbb)", "hci3", FALSE, TRUE), "(o)");
  ASSERT_NE(added, nullptr);
  const char *path;
  g_variant_get(added, "(&o)", &path);
  EXPECT_STREQ(path, "/org/bluez/hci3");
  ASSERT_TRUE(wait_event("Added /org/bluez/hci3"));
  g_autoptr(GVariant) device = control("AddDevice", g_variant_new("(ss)", "hci3", "c0:01:02:03:04:05"), "(o)");
  ASSERT_TRUE(wait_event("Added /org/bluez/hci3/dev_C0_01_02_03_04_05"));

  /* Bad requests say what is wrong. */
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) dup = th::call(conn(), kSimName, kSimPath, kSimIface, "AddAdapter",
                                     g_variant_new("(sbb)", "hci3", TRUE, TRUE), "(o)", &error);
  ASSERT_NE(error, nullptr);
  EXPECT_NE(std::string(error->message).find("hci3 exists"), std::string::npos) << error->message;
  g_clear_error(&error);
  g_autoptr(GVariant) bad = th::call(conn(), kSimName, kSimPath, kSimIface, "AddDevice",
                                     g_variant_new("(ss)", "hci3", "c0:01:02:03:04"), "(o)", &error);
  ASSERT_NE(error, nullptr);
  EXPECT_NE(std::string(error->message).find("c0:01:02:03:04"), std::string::npos) << error->message;
  g_clear_error(&error);

  g_autoptr(GVariant) removed = control("RemoveAdapter", g_variant_new("(s)", "hci3"));
  ASSERT_TRUE(wait_event("Removed /org/bluez/hci3"));
  /* Its devices went first. */
  EXPECT_LT(index_exact(events_, "Removed /org/bluez/hci3/dev_C0_01_02_03_04_05"),
            index_exact(events_, "Removed /org/bluez/hci3"));
  EXPECT_EQ(managed_paths(), std::vector<std::string>{"/org/bluez/hci0"});
}

/* ---- Monitors ------------------------------------------------------------- */

TEST_F(BluezSim, RegisterMonitorReadsTheClientFirstAndSortsMonitors) {
  start();
  MonitorApp app(conn(), "/app", &events_);
  const std::string good = app.add("good", "or_patterns", beacon_patterns());
  const std::string wrong_type = app.add("wrong_type", "and_patterns", beacon_patterns());
  const std::string no_type = app.add("no_type", nullptr, beacon_patterns());
  const std::string no_patterns = app.add("no_patterns", "or_patterns", nullptr);
  const std::string empty = app.add("empty", "or_patterns", patterns({}));
  const std::string past_end = app.add("past_end", "or_patterns", patterns({{29, 0xff, {1, 2, 3}}}));
  const std::string empty_content = app.add("empty_content", "or_patterns", patterns({{0, 0xff, {}}}));
  const std::string bad_ad_type = app.add("bad_ad_type", "or_patterns", patterns({{0, 0x00, {1}}, {0, 0xff, {1}}}));
  const std::string at_end = app.add("at_end", "or_patterns", patterns({{28, 0xff, {1, 2, 3}}}));

  auto call = register_monitor(app);
  ASSERT_TRUE(wait_done(call));
  ASSERT_EQ(call->error, nullptr) << call->error->message;
  ASSERT_TRUE(wait_event("Activate " + at_end));
  ASSERT_TRUE(wait_event("Activate " + good));

  /* BlueZ reads the application before it answers. */
  EXPECT_LT(index_of(events_, "GetManagedObjects /app"), index_of(events_, "reply RegisterMonitor"));
  for (const auto &invalid : {wrong_type, no_type, no_patterns, empty, past_end, empty_content, bad_ad_type}) {
    EXPECT_TRUE(wait_event("Release " + invalid)) << invalid;
    EXPECT_FALSE(has(events_, "Activate " + invalid)) << invalid;
  }
  EXPECT_FALSE(has(events_, "Release " + good));
  EXPECT_EQ(count(events_, "GetManagedObjects /app"), 1u);
  EXPECT_EQ(app.calls_expecting_reply, 0);

  auto rows = monitors();
  ASSERT_EQ(rows.size(), 2u);
  for (const auto &row : rows) {
    EXPECT_EQ(std::get<0>(row), g_dbus_connection_get_unique_name(conn()));
    EXPECT_EQ(std::get<2>(row), "hci0");
    EXPECT_TRUE(std::get<3>(row));
  }
  EXPECT_TRUE(std::get<1>(rows[0]) == good || std::get<1>(rows[1]) == good);
  EXPECT_TRUE(std::get<1>(rows[0]) == at_end || std::get<1>(rows[1]) == at_end);
}

TEST_F(BluezSim, MonitorsAddedAndRemovedLaterFollowTheClient) {
  start();
  MonitorApp app(conn(), "/app", &events_);
  auto call = register_monitor(app);
  ASSERT_TRUE(wait_done(call));
  ASSERT_EQ(call->error, nullptr) << call->error->message;
  EXPECT_TRUE(monitors().empty());

  const std::string late = app.add("late", "or_patterns", beacon_patterns(), true);
  ASSERT_TRUE(wait_event("Activate " + late));
  const std::string bad = app.add("bad", "or_patterns", patterns({{31, 0xff, {1}}}), true);
  ASSERT_TRUE(wait_event("Release " + bad));
  EXPECT_EQ(monitors().size(), 1u);

  app.remove(late);
  ASSERT_TRUE(th::wait_until([&] { return monitors().empty(); }));
  /* A monitor the client withdrew itself gets no Release. */
  EXPECT_FALSE(has(events_, "Release " + late));
}

TEST_F(BluezSim, RegistrationErrorsAndSenderCheck) {
  start();
  MonitorApp app(conn(), "/app", &events_);
  const std::string m = app.add("m", "or_patterns", beacon_patterns());
  auto first = register_monitor(app);
  ASSERT_TRUE(wait_done(first));
  ASSERT_EQ(first->error, nullptr);

  auto again = register_monitor(app);
  ASSERT_TRUE(wait_done(again));
  EXPECT_EQ(again->error_name(), "org.bluez.Error.AlreadyExists");

  auto unknown = call_async(conn(), "org.bluez", "/org/bluez/hci0", "org.bluez.AdvertisementMonitorManager1",
                            "UnregisterMonitor", g_variant_new("(o)", "/elsewhere"));
  ASSERT_TRUE(wait_done(unknown));
  EXPECT_EQ(unknown->error_name(), "org.bluez.Error.DoesNotExist");

  /* Another connection may not unregister what this one registered. */
  g_autoptr(GDBusConnection) other = bus_.new_connection();
  auto foreign = call_async(other, "org.bluez", "/org/bluez/hci0", "org.bluez.AdvertisementMonitorManager1",
                            "UnregisterMonitor", g_variant_new("(o)", "/app"));
  ASSERT_TRUE(wait_done(foreign));
  EXPECT_EQ(foreign->error_name(), "org.bluez.Error.DoesNotExist");
  EXPECT_EQ(monitors().size(), 1u);
  g_dbus_connection_close_sync(other, nullptr, nullptr);

  auto mine = call_async(conn(), "org.bluez", "/org/bluez/hci0", "org.bluez.AdvertisementMonitorManager1",
                         "UnregisterMonitor", g_variant_new("(o)", "/app"));
  ASSERT_TRUE(wait_done(mine));
  EXPECT_EQ(mine->error, nullptr);
  ASSERT_TRUE(wait_event("Release " + m));
  EXPECT_TRUE(monitors().empty());

  /* Once unregistered, the same root registers again. */
  auto fresh = register_monitor(app);
  ASSERT_TRUE(wait_done(fresh));
  EXPECT_EQ(fresh->error, nullptr);
  EXPECT_EQ(count(events_, "GetManagedObjects /app"), 2u);
}

TEST_F(BluezSim, ClientLeavingTheBusLosesItsMonitors) {
  start();
  g_autoptr(GDBusConnection) other = bus_.new_connection();
  Events other_events;
  {
    MonitorApp app(other, "/gone", &other_events);
    app.add("m", "or_patterns", beacon_patterns());
    auto call = register_monitor(app, "/org/bluez/hci0", other);
    ASSERT_TRUE(wait_done(call));
    ASSERT_EQ(call->error, nullptr);
    ASSERT_EQ(monitors().size(), 1u);
  }
  g_dbus_connection_close_sync(other, nullptr, nullptr);
  EXPECT_TRUE(th::wait_until([&] { return monitors().empty(); }));
  /* The radio keeps working and nobody is called for the lost client. */
  inject("hci0", "AA:00:00:00:00:01", kBeacon);
  EXPECT_EQ(sim_->count("cannot call"), 0u);
}

TEST_F(BluezSim, StaysResponsiveWhileAClientDoesNotAnswer) {
  start();
  MonitorApp stuck(conn(), "/stuck", &events_);
  stuck.add("m", "or_patterns", beacon_patterns());
  stuck.hold_get_managed_objects = true;
  auto call = register_monitor(stuck);
  ASSERT_TRUE(wait_event("GetManagedObjects /stuck"));
  /* The simulator still answers everybody else. */
  EXPECT_TRUE(monitors().empty());
  MonitorApp fine(conn(), "/fine", &events_);
  const std::string m = fine.add("m", "or_patterns", beacon_patterns());
  auto ok = register_monitor(fine);
  ASSERT_TRUE(wait_done(ok));
  EXPECT_EQ(ok->error, nullptr);
  EXPECT_FALSE(call->done);
  /* Withdrawing the stuck registration answers its caller. */
  auto unregister = call_async(conn(), "org.bluez", "/org/bluez/hci0", "org.bluez.AdvertisementMonitorManager1",
                               "UnregisterMonitor", g_variant_new("(o)", "/stuck"));
  ASSERT_TRUE(wait_done(unregister));
  EXPECT_EQ(unregister->error, nullptr);
  ASSERT_TRUE(wait_done(call));
  EXPECT_EQ(call->error_name(), "org.bluez.Error.Failed");
}

/* ---- Radio ---------------------------------------------------------------- */

TEST_F(BluezSim, MatchingAdvertisementAnnouncesTheDeviceThenCallsDeviceFound) {
  start();
  MonitorApp app(conn(), "/app", &events_);
  const std::string m = app.add("m", "or_patterns", beacon_patterns());
  auto call = register_monitor(app);
  ASSERT_TRUE(wait_done(call));
  ASSERT_TRUE(wait_event("Activate " + m));

  const std::string dev = "/org/bluez/hci0/dev_AA_BB_CC_DD_EE_01";
  inject("hci0", "aa:bb:cc:dd:ee:01", kBeacon, -55);
  ASSERT_TRUE(wait_event("DeviceFound " + m + " " + dev));
  ASSERT_TRUE(th::wait_until([&] { return found_signals_ == 1; }));
  EXPECT_LT(index_of(events_, "Added " + dev), index_of(events_, "DeviceFound " + m + " " + dev));
  auto added = std::find_if(added_.begin(), added_.end(), [&](const auto &a) { return a.first == dev; });
  ASSERT_NE(added, added_.end());
  g_autoptr(GVariant) props = g_variant_lookup_value(added->second, "org.bluez.Device1", G_VARIANT_TYPE_VARDICT);
  ASSERT_NE(props, nullptr);
  const char *address = nullptr, *adapter = nullptr;
  gint16 rssi = 0;
  EXPECT_TRUE(g_variant_lookup(props, "Address", "&s", &address));
  EXPECT_STREQ(address, "AA:BB:CC:DD:EE:01");
  EXPECT_TRUE(g_variant_lookup(props, "RSSI", "n", &rssi));
  EXPECT_EQ(rssi, -55);
  EXPECT_TRUE(g_variant_lookup(props, "Adapter", "&o", &adapter));
  EXPECT_STREQ(adapter, "/org/bluez/hci0");
  g_autoptr(GVariant) md = g_variant_lookup_value(props, "ManufacturerData", G_VARIANT_TYPE("a{qv}"));
  ASSERT_NE(md, nullptr);
  ASSERT_EQ(g_variant_n_children(md), 1u);
  guint16 company = 0;
  g_autoptr(GVariant) boxed = nullptr;
  g_variant_get_child(md, 0, "{qv}", &company, &boxed);
  EXPECT_EQ(company, 0xffff);
  gsize n = 0;
  const auto *data = static_cast<const uint8_t *>(g_variant_get_fixed_array(boxed, &n, 1));
  EXPECT_EQ(std::vector<uint8_t>(data, data + n), kBeacon);

  /* Identical again: no PropertiesChanged, but DeviceFound again. */
  inject("hci0", "aa:bb:cc:dd:ee:01", kBeacon, -55);
  ASSERT_TRUE(th::wait_until([&] { return count(events_, "DeviceFound " + m + " " + dev) == 2; }));
  EXPECT_EQ(index_of(events_, "Changed " + dev), std::string::npos);

  /* New data: PropertiesChanged first, then DeviceFound. */
  auto next = kBeacon;
  next[18] = 2;
  inject("hci0", "aa:bb:cc:dd:ee:01", next, -55);
  ASSERT_TRUE(th::wait_until([&] { return count(events_, "DeviceFound " + m + " " + dev) == 3; }));
  const size_t changed = index_of(events_, "Changed " + dev + " ManufacturerData");
  ASSERT_NE(changed, std::string::npos);
  size_t third_found = 0;
  for (size_t i = 0, n = 0; i < events_.size(); i++)
    if (events_[i] == "DeviceFound " + m + " " + dev && ++n == 3)
      third_found = i;
  EXPECT_LT(changed, third_found);
  /* Only the data changed, not the RSSI. */
  EXPECT_EQ(events_[changed], "Changed " + dev + " ManufacturerData");
  EXPECT_EQ(app.calls_expecting_reply, 0);
}

TEST_F(BluezSim, NonMatchingAdvertisementsLeaveNoTrace) {
  start({"--adapter", "hci0", "--adapter", "hci1"});
  MonitorApp app(conn(), "/app", &events_);
  const std::string m = app.add("m", "or_patterns", beacon_patterns());
  auto call = register_monitor(app);
  ASSERT_TRUE(wait_done(call));
  ASSERT_TRUE(wait_event("Activate " + m));

  auto other_version = kBeacon;
  other_version[0] = 2;
  inject("hci0", "AA:00:00:00:00:01", other_version);             /* pattern byte differs */
  inject("hci0", "AA:00:00:00:00:02", kBeacon, -60, 0x004c);      /* another company */
  inject("hci1", "AA:00:00:00:00:03", kBeacon);                   /* adapter without monitors */
  /* A matching one afterwards: once it arrived, the others were handled. */
  inject("hci0", "AA:00:00:00:00:04", kBeacon);
  ASSERT_TRUE(wait_event("DeviceFound " + m + " /org/bluez/hci0/dev_AA_00_00_00_00_04"));
  for (const char *address : {"AA_00_00_00_00_01", "AA_00_00_00_00_02"})
    EXPECT_EQ(index_of(events_, std::string("Added /org/bluez/hci0/dev_") + address), std::string::npos) << address;
  EXPECT_EQ(index_of(events_, "Added /org/bluez/hci1/"), std::string::npos);
  EXPECT_EQ(count(events_, "DeviceFound " + m + " /org/bluez/hci0/dev_AA_00_00_00_00_04"), 1u);
  EXPECT_EQ(std::count_if(events_.begin(), events_.end(),
                          [](const std::string &e) { return e.rfind("DeviceFound", 0) == 0; }),
            1);
}

TEST_F(BluezSim, ControllerFilteringReportsEachDeviceOnce) {
  start({"--controller-filtering"});
  MonitorApp app(conn(), "/app", &events_);
  const std::string m = app.add("m", "or_patterns", beacon_patterns());
  auto call = register_monitor(app);
  ASSERT_TRUE(wait_done(call));
  ASSERT_TRUE(wait_event("Activate " + m));
  const std::string dev1 = "/org/bluez/hci0/dev_AA_00_00_00_00_01";
  auto next = kBeacon;
  next[18] = 9;
  inject("hci0", "AA:00:00:00:00:01", kBeacon);
  inject("hci0", "AA:00:00:00:00:01", next);
  inject("hci0", "AA:00:00:00:00:02", kBeacon);
  ASSERT_TRUE(wait_event("DeviceFound " + m + " /org/bluez/hci0/dev_AA_00_00_00_00_02"));
  EXPECT_EQ(count(events_, "DeviceFound " + m + " " + dev1), 1u);
  /* The device still follows the data it advertises. */
  EXPECT_TRUE(has(events_, "Changed " + dev1 + " ManufacturerData"));

  /* Switched off at run time: every advertisement is reported again. */
  g_autoptr(GVariant) off = control("SetControllerFiltering", g_variant_new("(b)", FALSE));
  inject("hci0", "AA:00:00:00:00:01", next);
  ASSERT_TRUE(th::wait_until([&] { return count(events_, "DeviceFound " + m + " " + dev1) == 2; }));
}

TEST_F(BluezSim, SilentDevicesAreRemovedWithoutDeviceLost) {
  start({"--device-timeout", "1"});
  MonitorApp app(conn(), "/app", &events_);
  const std::string m = app.add("m", "or_patterns", beacon_patterns());
  auto call = register_monitor(app);
  ASSERT_TRUE(wait_done(call));
  ASSERT_TRUE(wait_event("Activate " + m));
  g_autoptr(GVariant) kept = control("AddDevice", g_variant_new("(ss)", "hci0", "BB:00:00:00:00:01"), "(o)");
  const std::string dev = "/org/bluez/hci0/dev_AA_00_00_00_00_01";
  inject("hci0", "AA:00:00:00:00:01", kBeacon);
  ASSERT_TRUE(wait_event("DeviceFound " + m + " " + dev));
  ASSERT_TRUE(wait_event("Removed " + dev, 5000));
  /* bluetoothd removes it without telling a monitor that filters no RSSI. */
  EXPECT_FALSE(has(events_, "DeviceLost " + m + " " + dev));
  auto paths = managed_paths();
  EXPECT_EQ(std::count(paths.begin(), paths.end(), dev), 0);
  /* A device added by hand is not a passing advertiser. */
  EXPECT_EQ(std::count(paths.begin(), paths.end(), "/org/bluez/hci0/dev_BB_00_00_00_00_01"), 1);
  /* Heard again, it comes back. */
  inject("hci0", "AA:00:00:00:00:01", kBeacon);
  ASSERT_TRUE(th::wait_until([&] { return count(events_, "Added " + dev) == 2; }));
  ASSERT_TRUE(th::wait_until([&] { return count(events_, "DeviceFound " + m + " " + dev) == 2; }));
  ASSERT_TRUE(th::wait_until([&] { return count(events_, "Removed " + dev) == 2; }, 5000));
  g_autoptr(GVariant) sync = control("ListMonitors", nullptr, "(a(sosb))");
  EXPECT_EQ(count(events_, "DeviceLost " + m + " " + dev), 0u);
}

TEST_F(BluezSim, RssiThresholdsAndTimeoutsAsBluetoothdFiltersThem) {
  start({"--device-timeout", "0"});
  MonitorApp app(conn(), "/app", &events_);
  auto rssi = [](int high, int high_timeout, int low, int low_timeout) {
    return std::vector<std::pair<const char *, GVariant *>>{
        {"RSSIHighThreshold", g_variant_new_int16(static_cast<gint16>(high))},
        {"RSSIHighTimeout", g_variant_new_uint16(static_cast<guint16>(high_timeout))},
        {"RSSILowThreshold", g_variant_new_int16(static_cast<gint16>(low))},
        {"RSSILowTimeout", g_variant_new_uint16(static_cast<guint16>(low_timeout))}};
  };
  const std::string m = app.add("m", "or_patterns", beacon_patterns(), false, rssi(-60, 1, -80, 1));
  /* Out of range or inverted values get Release, as bluetoothd does. */
  const std::string inverted = app.add("inverted", "or_patterns", beacon_patterns(), false, rssi(-90, 1, -80, 1));
  const std::string too_long = app.add("too_long", "or_patterns", beacon_patterns(), false, rssi(-60, 301, -80, 1));
  const std::string too_high = app.add("too_high", "or_patterns", beacon_patterns(), false, rssi(21, 1, -80, 1));
  const std::string wrong_type = app.add("wrong_type", "or_patterns", beacon_patterns(), false,
                                         {{"RSSIHighThreshold", g_variant_new_int32(-60)}});
  auto call = register_monitor(app);
  ASSERT_TRUE(wait_done(call));
  ASSERT_TRUE(wait_event("Activate " + m));
  for (const auto &bad : {inverted, too_long, too_high, wrong_type}) {
    EXPECT_TRUE(has(events_, "Release " + bad)) << bad;
    EXPECT_FALSE(has(events_, "Activate " + bad)) << bad;
  }
  EXPECT_EQ(monitors().size(), 1u);

  const std::string dev = "/org/bluez/hci0/dev_AA_00_00_00_00_01";
  /* Advertises every 100 ms while a wait polls. */
  gint64 last = 0;
  auto advertise = [&](gint16 level) {
    if (g_get_monotonic_time() - last < 100000)
      return;
    last = g_get_monotonic_time();
    inject("hci0", "AA:00:00:00:00:01", kBeacon, level);
  };
  const std::string found = "DeviceFound " + m + " " + dev;
  /* Below the high threshold: never found, however often heard. */
  for (int i = 0; i < 3; i++)
    inject("hci0", "AA:00:00:00:00:01", kBeacon, -70);
  /* Above it: found once it stayed there for the high timeout. */
  int strong = 0;
  ASSERT_TRUE(th::wait_until(
      [&] {
        const gint64 before = last;
        advertise(-50);
        strong += last != before;
        return has(events_, found);
      },
      10000));
  EXPECT_GE(strong, 2) << "the first strong advertisement only starts the high timeout";
  for (int i = 0; i < 3; i++)
    inject("hci0", "AA:00:00:00:00:01", kBeacon, -50);
  g_autoptr(GVariant) sync = control("ListMonitors", nullptr, "(a(sosb))");
  EXPECT_EQ(count(events_, found), 1u) << "an RSSI monitor reports a device once";
  EXPECT_FALSE(has(events_, "DeviceLost " + m + " " + dev));

  /* Silent for the low timeout: lost; heard strongly again: found again. */
  ASSERT_TRUE(wait_event("DeviceLost " + m + " " + dev, 10000));
  ASSERT_TRUE(th::wait_until(
      [&] {
        advertise(-50);
        return count(events_, found) == 2;
      },
      10000));
  /* Weak for the low timeout while heard: lost again. */
  ASSERT_TRUE(th::wait_until(
      [&] {
        advertise(-90);
        return count(events_, "DeviceLost " + m + " " + dev) == 2;
      },
      10000));
  EXPECT_EQ(app.calls_expecting_reply, 0);
}

/* ---- Leaving and returning --------------------------------------------------- */

TEST_F(BluezSim, LeaveAndReturnAsABluetoothdRestart) {
  start();
  /* As bluetoothd: the name first, then the adapters; the controls only
   * once they are there (start() waited for them). */
  ASSERT_NE(index_exact(events_, "Added /org/bluez/hci0"), std::string::npos);
  EXPECT_LT(index_exact(events_, "Owner org.bluez"), index_exact(events_, "Added /org/bluez/hci0"));
  MonitorApp app(conn(), "/app", &events_);
  const std::string m = app.add("m", "or_patterns", beacon_patterns());
  auto call = register_monitor(app);
  ASSERT_TRUE(wait_done(call));
  ASSERT_EQ(monitors().size(), 1u);
  const std::string before = unique_name("org.bluez");

  g_autoptr(GVariant) left = control("Leave");
  ASSERT_TRUE(th::wait_until([&] { return !bus_.has_owner("org.bluez"); }));
  EXPECT_TRUE(bus_.has_owner(kSimName));
  EXPECT_TRUE(monitors().empty());
  /* Nothing is heard while BlueZ is away. */
  inject("hci0", "AA:00:00:00:00:01", kBeacon);

  const size_t returning = events_.size();
  g_autoptr(GVariant) returned = control("Return");
  ASSERT_TRUE(bus_.has_owner("org.bluez"));
  const std::string after = unique_name("org.bluez");
  EXPECT_NE(before, after);
  /* Return answers once the adapters are back. */
  EXPECT_EQ(managed_paths(), std::vector<std::string>{"/org/bluez/hci0"});
  ASSERT_TRUE(th::wait_until([&] { return count(events_, "Added /org/bluez/hci0") == 2; }));
  const Events since(events_.begin() + static_cast<std::ptrdiff_t>(returning), events_.end());
  EXPECT_LT(index_exact(since, "Owner org.bluez"), index_exact(since, "Added /org/bluez/hci0"));
  EXPECT_EQ(count(events_, "GetManagedObjects /app"), 1u);
  EXPECT_FALSE(has(events_, "Release " + m)) << "a restart forgets monitors silently";
  EXPECT_EQ(std::count_if(events_.begin(), events_.end(),
                          [](const std::string &e) { return e.rfind("DeviceFound", 0) == 0; }),
            0);

  /* Clients register again with the new daemon. */
  auto again = register_monitor(app);
  ASSERT_TRUE(wait_done(again));
  EXPECT_EQ(again->error, nullptr);
  ASSERT_TRUE(wait_event("Activate " + m));
  inject("hci0", "AA:00:00:00:00:01", kBeacon);
  ASSERT_TRUE(wait_event("DeviceFound " + m + " /org/bluez/hci0/dev_AA_00_00_00_00_01"));
}

/* ---- Fault controls ------------------------------------------------------------ */

TEST_F(BluezSim, FaultControlsFailReleaseRenameAndMalform) {
  start();
  MonitorApp app(conn(), "/app", &events_);
  const std::string m = app.add("m", "or_patterns", beacon_patterns());
  const std::string client = g_dbus_connection_get_unique_name(conn());

  /* Refused registrations never read the client's objects. */
  g_autoptr(GVariant) fail = control("FailNextRegisterMonitor", g_variant_new("(u)", 2u));
  for (int i = 0; i < 2; i++) {
    auto refused = register_monitor(app);
    ASSERT_TRUE(wait_done(refused));
    EXPECT_EQ(refused->error_name(), "org.bluez.Error.Failed") << i;
    EXPECT_NE(std::string(refused->error->message).find("Failed to register monitor"), std::string::npos);
  }
  EXPECT_FALSE(has(events_, "GetManagedObjects /app"));
  EXPECT_TRUE(monitors().empty());
  auto accepted = register_monitor(app);
  ASSERT_TRUE(wait_done(accepted));
  EXPECT_EQ(accepted->error, nullptr);
  ASSERT_TRUE(wait_event("Activate " + m));

  /* Released as bluetoothd does when the controller drops monitors. */
  g_autoptr(GVariant) released = control("ReleaseMonitors", g_variant_new("(s)", client.c_str()));
  ASSERT_TRUE(wait_event("Release " + m));
  EXPECT_TRUE(monitors().empty());
  inject("hci0", "AA:00:00:00:00:01", kBeacon);
  g_autoptr(GVariant) listed = control("ListMonitors", nullptr, "(a(sosb))");  /* the inject was handled */
  EXPECT_EQ(index_of(events_, "DeviceFound"), std::string::npos);
  for (const char *who : {client.c_str(), ":1.9999"}) {
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) none = th::call(conn(), kSimName, kSimPath, kSimIface, "ReleaseMonitors",
                                        g_variant_new("(s)", who), nullptr, &error);
    EXPECT_TRUE(g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS)) << who;
  }

  /* Malformed ObjectManager signals come from org.bluez's connection. */
  struct Seen {
    std::string sender, path, member, signature;
  };
  std::vector<Seen> seen;
  guint sub = g_dbus_connection_signal_subscribe(
      conn(), nullptr, "org.freedesktop.DBus.ObjectManager", nullptr, "/", nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
      [](GDBusConnection *, const char *sender, const char *path, const char *, const char *member, GVariant *params,
         gpointer data) {
        static_cast<std::vector<Seen> *>(data)->push_back({sender, path, member, g_variant_get_type_string(params)});
      },
      &seen, nullptr);
  for (const char *member : {"InterfacesAdded", "InterfacesRemoved"}) {
    g_autoptr(GVariant) emitted = control("EmitMalformedObjectManagerSignal", g_variant_new("(s)", member));
  }
  EXPECT_TRUE(th::wait_until([&] { return seen.size() >= 2; }));
  g_dbus_connection_signal_unsubscribe(conn(), sub);
  ASSERT_EQ(seen.size(), 2u);
  for (size_t i = 0; i < 2; i++) {
    EXPECT_EQ(seen[i].sender, unique_name("org.bluez"));
    EXPECT_EQ(seen[i].member, i == 0 ? "InterfacesAdded" : "InterfacesRemoved");
    EXPECT_EQ(seen[i].signature, "(s)");
  }
  g_autoptr(GError) bad_member = nullptr;
  g_autoptr(GVariant) bad = th::call(conn(), kSimName, kSimPath, kSimIface, "EmitMalformedObjectManagerSignal",
                                     g_variant_new("(s)", "PropertiesChanged"), nullptr, &bad_member);
  EXPECT_TRUE(g_error_matches(bad_member, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS));

  /* Adapters change silently while away; Return publishes the new set. */
  g_autoptr(GVariant) left = control("Leave");
  ASSERT_TRUE(th::wait_until([&] { return !bus_.has_owner("org.bluez"); }));
  g_autoptr(GVariant) removed = control("RemoveAdapter", g_variant_new("(s)", "hci0"));
  g_autoptr(GVariant) added = control("AddAdapter", g_variant_new("(sbb)", "hci1", TRUE, TRUE), "(o)");
  g_autoptr(GVariant) returned = control("Return");
  EXPECT_EQ(managed_paths(), std::vector<std::string>{"/org/bluez/hci1"});
  EXPECT_FALSE(has(events_, "Added /org/bluez/hci1"));
  EXPECT_FALSE(has(events_, "Removed /org/bluez/hci0"));
  auto on_new = register_monitor(app, "/org/bluez/hci1");
  ASSERT_TRUE(wait_done(on_new));
  EXPECT_EQ(on_new->error, nullptr);
  ASSERT_TRUE(th::wait_until([&] { return count(events_, "Activate " + m) == 2; }));
  EXPECT_EQ(app.calls_expecting_reply, 0);
}

/* ---- Advertising ------------------------------------------------------------ */

class BluezSimAdvertising : public BluezSim {
 protected:
  std::shared_ptr<Call> advertise(const std::string &path, const char *adapter = "/org/bluez/hci0",
                                  GDBusConnection *connection = nullptr) {
    return call_async(connection != nullptr ? connection : conn(), "org.bluez", adapter,
                      "org.bluez.LEAdvertisingManager1", "RegisterAdvertisement",
                      g_variant_new("(o@a{sv})", path.c_str(), g_variant_new_parsed("@a{sv} {}")));
  }
  std::shared_ptr<Call> withdraw(const std::string &path, const char *adapter = "/org/bluez/hci0") {
    return call_async(conn(), "org.bluez", adapter, "org.bluez.LEAdvertisingManager1", "UnregisterAdvertisement",
                      g_variant_new("(o)", path.c_str()));
  }
  std::string device_property(const std::string &device, const char *name) {
    g_autoptr(GVariant) reply = th::call(conn(), "org.bluez", device.c_str(), "org.freedesktop.DBus.Properties", "Get",
                                         g_variant_new("(ss)", "org.bluez.Device1", name), "(v)", nullptr);
    if (reply == nullptr)
      return "";
    g_autoptr(GVariant) value = nullptr;
    g_variant_get(reply, "(v)", &value);
    return g_variant_get_string(value, nullptr);
  }
  std::string address_of(const char *adapter) {
    g_autoptr(GVariant) reply = th::call(conn(), "org.bluez", adapter, "org.freedesktop.DBus.Properties", "Get",
                                         g_variant_new("(ss)", "org.bluez.Adapter1", "Address"), "(v)", nullptr);
    if (reply == nullptr)
      return "";
    g_autoptr(GVariant) value = nullptr;
    g_variant_get(reply, "(v)", &value);
    return g_variant_get_string(value, nullptr);
  }
};

TEST_F(BluezSimAdvertising, AdvertisementIsHeardOnTheOtherAdapterUntilUnregistered) {
  start({"--adapter", "hci0", "--adapter", "hci1"});
  MonitorApp app(conn(), "/app", &events_);
  const std::string m = app.add("m", "or_patterns", beacon_patterns());
  MonitorApp local(conn(), "/local", &events_);
  const std::string lm = local.add("m", "or_patterns", beacon_patterns());
  auto watch = register_monitor(app, "/org/bluez/hci1");
  auto watch_local = register_monitor(local, "/org/bluez/hci0");
  ASSERT_TRUE(wait_done(watch) && wait_done(watch_local));
  ASSERT_TRUE(wait_event("Activate " + m) && wait_event("Activate " + lm));

  AdvertisementObject ad(conn(), "/ad/0", beacon_advertisement(1, 0, 20), &events_);
  /* What the daemon asks of /ad/0, seen on the bus thread (which may still
   * run the filter after its removal: the record is shared). */
  struct Calls {
    std::mutex mutex;
    std::vector<std::string> seen;
  };
  auto calls = std::make_shared<Calls>();
  const guint filter = g_dbus_connection_add_filter(
      conn(),
      [](GDBusConnection *, GDBusMessage *message, gboolean incoming, gpointer data) -> GDBusMessage * {
        if (incoming && g_dbus_message_get_message_type(message) == G_DBUS_MESSAGE_TYPE_METHOD_CALL &&
            g_strcmp0(g_dbus_message_get_path(message), "/ad/0") == 0) {
          auto &c = **static_cast<std::shared_ptr<Calls> *>(data);
          const char *iface = g_dbus_message_get_interface(message);
          std::lock_guard<std::mutex> lock(c.mutex);
          c.seen.push_back(std::string(iface != nullptr ? iface : "") + "." + g_dbus_message_get_member(message) +
                           " /ad/0");
        }
        return message;
      },
      new std::shared_ptr<Calls>(calls), [](gpointer data) { delete static_cast<std::shared_ptr<Calls> *>(data); });
  struct FilterGuard {
    GDBusConnection *connection;
    guint id;
    ~FilterGuard() { g_dbus_connection_remove_filter(connection, id); }
  } filter_guard{conn(), filter};
  auto registered = advertise(ad.path());
  ASSERT_TRUE(wait_done(registered));
  ASSERT_EQ(registered->error, nullptr) << registered->error->message;
  EXPECT_EQ(advertisement_count(), 1u);
  EXPECT_TRUE(wait_event("Changed /org/bluez/hci0 ActiveInstances SupportedInstances"));

  /* As bluetoothd asks for it: the object's managed objects, then its
   * properties. */
  {
    std::lock_guard<std::mutex> lock(calls->mutex);
    ASSERT_GE(calls->seen.size(), 2u);
    EXPECT_EQ(calls->seen[0], "org.freedesktop.DBus.ObjectManager.GetManagedObjects /ad/0");
    EXPECT_EQ(calls->seen[1], "org.freedesktop.DBus.Properties.GetAll /ad/0");
  }

  /* A broadcast goes on air from a non-resolvable private address of its
   * own, which the other adapter sees as a random-address device. */
  const std::string heard_prefix = "DeviceFound " + m + " /org/bluez/hci1/dev_";
  ASSERT_TRUE(th::wait_until([&] { return index_of(events_, heard_prefix) != std::string::npos; }));
  const std::string dev = events_[index_of(events_, heard_prefix)].substr(("DeviceFound " + m + " ").size());
  const std::string address = device_property(dev, "Address");
  ASSERT_EQ(address.size(), 17u) << dev;
  EXPECT_EQ(g_ascii_xdigit_value(address[0]) & 0xc, 0) << address;
  EXPECT_NE(address, address_of("/org/bluez/hci0"));
  EXPECT_EQ(device_property(dev, "AddressType"), "random");
  /* Transmitted repeatedly at its interval. */
  ASSERT_TRUE(th::wait_until([&] { return count(events_, "DeviceFound " + m + " " + dev) >= 3; }));
  EXPECT_EQ(index_of(events_, "DeviceFound " + lm), std::string::npos) << "an adapter does not hear itself";

  auto again = advertise(ad.path());
  ASSERT_TRUE(wait_done(again));
  EXPECT_EQ(again->error_name(), "org.bluez.Error.AlreadyExists");

  auto withdrawn = withdraw(ad.path());
  ASSERT_TRUE(wait_done(withdrawn));
  EXPECT_EQ(withdrawn->error, nullptr);
  EXPECT_EQ(advertisement_count(), 0u);
  EXPECT_FALSE(has(events_, "Release " + ad.path())) << "unregistering needs no Release";
  /* Off air: an injected beacon on hci1 is the next thing that monitor hears. */
  const size_t heard = count(events_, "DeviceFound " + m + " " + dev);
  inject("hci1", "AA:00:00:00:00:09", kBeacon);
  ASSERT_TRUE(wait_event("DeviceFound " + m + " /org/bluez/hci1/dev_AA_00_00_00_00_09"));
  EXPECT_LE(count(events_, "DeviceFound " + m + " " + dev), heard + 1);

  auto unknown = withdraw(ad.path());
  ASSERT_TRUE(wait_done(unknown));
  EXPECT_EQ(unknown->error_name(), "org.bluez.Error.DoesNotExist");

  /* Registered again, it is on air from another address. */
  auto back = advertise(ad.path());
  ASSERT_TRUE(wait_done(back));
  ASSERT_EQ(back->error, nullptr) << back->error->message;
  ASSERT_TRUE(th::wait_until([&] {
    return std::count_if(events_.begin(), events_.end(), [&](const std::string &e) {
             return e.compare(0, heard_prefix.size(), heard_prefix) == 0 && e != "DeviceFound " + m + " " + dev;
           }) > 0;
  }));
}

TEST_F(BluezSimAdvertising, InstancesRunOutAndTimeoutsRelease) {
  start({"--adapter", "hci0", "--adapter", "hci1", "--advertising-instances", "2"});
  AdvertisementObject a(conn(), "/ad/a", beacon_advertisement(1, 1), &events_);
  AdvertisementObject b(conn(), "/ad/b", beacon_advertisement(2), &events_);
  AdvertisementObject c(conn(), "/ad/c", beacon_advertisement(3), &events_);
  auto ra = advertise(a.path());
  auto rb = advertise(b.path());
  ASSERT_TRUE(wait_done(ra) && wait_done(rb));
  ASSERT_EQ(ra->error, nullptr);
  ASSERT_EQ(rb->error, nullptr);
  auto rc = advertise(c.path());
  ASSERT_TRUE(wait_done(rc));
  EXPECT_EQ(rc->error_name(), "org.bluez.Error.NotPermitted");
  EXPECT_NE(std::string(rc->error->message).find("Maximum advertisements reached"), std::string::npos);
  /* Each adapter has its own instances. */
  auto other = advertise(c.path(), "/org/bluez/hci1");
  ASSERT_TRUE(wait_done(other));
  EXPECT_EQ(other->error, nullptr);

  /* /ad/a has a one-second timeout: BlueZ releases it and frees the slot. */
  ASSERT_TRUE(wait_event("Release /ad/a", 5000));
  EXPECT_FALSE(has(events_, "Release /ad/b"));
  ASSERT_TRUE(th::wait_until([&] { return advertisement_count() == 2; }));
  auto retry = advertise(c.path());
  ASSERT_TRUE(wait_done(retry));
  EXPECT_EQ(retry->error, nullptr);
}

TEST_F(BluezSimAdvertising, InvalidAdvertisementsAreRefused) {
  start({"--adapter", "hci0", "--adapter", "hci1"});
  AdvertisementObject bad_type(conn(), "/ad/type", g_variant_new_parsed("{'Type': <'loud'>}"), &events_);
  /* 2 header bytes, 2 company bytes and 28 data bytes: one too many. */
  AdvertisementObject too_long(conn(), "/ad/long", beacon_advertisement(0, 0, 0, 28), &events_);
  auto r1 = advertise(bad_type.path());
  auto r2 = advertise(too_long.path());
  auto r3 = advertise("/ad/nothing_here");
  ASSERT_TRUE(wait_done(r1) && wait_done(r2) && wait_done(r3));
  /* bluetoothd answers every refusal alike and logs the reason. */
  for (const auto &r : {r1, r2}) {
    EXPECT_EQ(r->error_name(), "org.bluez.Error.Failed");
    EXPECT_NE(std::string(r->error->message).find("Failed to parse advertisement."), std::string::npos)
        << r->error->message;
  }
  EXPECT_EQ(r3->error_name(), "org.bluez.Error.Failed");
  EXPECT_EQ(advertisement_count(), 0u);
  /* Refusals use no instance. */
  for (int i = 0; i < 4; i++) {
    AdvertisementObject ok(conn(), "/ad/ok" + std::to_string(i), beacon_advertisement(static_cast<guint8>(i)), &events_);
    auto r = advertise(ok.path());
    ASSERT_TRUE(wait_done(r));
    EXPECT_EQ(r->error, nullptr) << i;
  }
}

TEST_F(BluezSimAdvertising, ClientLeavingDropsItsAdvertisements) {
  start({"--adapter", "hci0", "--adapter", "hci1"});
  g_autoptr(GDBusConnection) other = bus_.new_connection();
  Events other_events;
  {
    AdvertisementObject ad(other, "/ad/x", beacon_advertisement(4), &other_events);
    auto r = advertise(ad.path(), "/org/bluez/hci0", other);
    ASSERT_TRUE(wait_done(r));
    ASSERT_EQ(r->error, nullptr);
    EXPECT_EQ(advertisement_count(), 1u);
  }
  g_dbus_connection_close_sync(other, nullptr, nullptr);
  EXPECT_TRUE(th::wait_until([&] { return advertisement_count() == 0; }));
  EXPECT_TRUE(wait_event("Changed /org/bluez/hci0 ActiveInstances SupportedInstances"));
}

TEST(BluezSimCommandLine, HelpAndBadArguments) {
  th::Process help({th::env_path("BLUEZ_SIM_BIN"), "--help"});
  EXPECT_EQ(help.wait_exit(), 0);
  EXPECT_NE(help.log().find("--controller-filtering"), std::string::npos);
  th::Process bad({th::env_path("BLUEZ_SIM_BIN"), "--adapter", "hci0:loud"});
  EXPECT_EQ(bad.wait_exit(), 2);
  EXPECT_NE(bad.log().find("unknown flag \"loud\""), std::string::npos) << bad.log();
  th::Process bad_delay({th::env_path("BLUEZ_SIM_BIN"), "--adapters-delay", "-1"});
  EXPECT_EQ(bad_delay.wait_exit(), 2);
  EXPECT_NE(bad_delay.log().find("--adapters-delay"), std::string::npos) << bad_delay.log();
}

/* Putting beacons on air through BlueZ's LE advertising manager.
 *
 * Each request becomes one org.bluez.LEAdvertisement1 object of ours
 * (Type "broadcast", the beacon in ManufacturerData), registered with the
 * adapter's LEAdvertisingManager1, kept for its air time and then
 * unregistered. A controller without hardware advertising sets has one set
 * that the kernel shares among registered instances by rotation, each turn
 * from a fresh random address (a new beacon to receivers), and a beacon
 * whose turn never comes is never heard: there one beacon holds the air at
 * a time and the rest wait in order. With hardware sets, up to
 * SupportedInstances advertise at once.
 *
 * A request that can start at once is answered with BlueZ's answer to its
 * registration; one that must wait is answered when admitted to the queue,
 * or refused when its turn would come too late. An admitted beacon that
 * then cannot go on air is a warning and a counted loss. Everything runs on
 * the main context. */
#include "sender.h"

#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "advwatch-utils.h"
#include "config.h"

namespace {

constexpr const char kBluez[] = "org.bluez";
constexpr const char kAdapterPrefix[] = "/org/bluez/";
constexpr const char kAdvertisingManager[] = "org.bluez.LEAdvertisingManager1";
constexpr const char kAdvertisementInterface[] = "org.bluez.LEAdvertisement1";
constexpr const char kAdvertisementPathPrefix[] = "/com/vemo/bt/SendVemoBeacon/advertisement";
/* BlueZ drops the advertisement by itself this much after its air time
 * should we fail to. */
constexpr guint kBluezTimeoutMarginSeconds = 2;
/* A beacon announces something happening now: one whose turn would come
 * later than this is refused rather than sent stale. */
constexpr guint kMaxWaitMs = 60000;
constexpr const char kHardwareOffload[] = "HardwareOffload";
constexpr int kBluezCallTimeoutMs = 10000;
/* Advertisements we keep on air at once, whatever the adapter offers. Each
 * has up to two calls to BlueZ in flight (register, unregister), and the
 * system bus refuses a connection more than 128 pending replies; no
 * controller offers more advertising sets than this anyway. */
constexpr guint kMaxConcurrentAdvertisements = 32;
constexpr guint8 kBeaconVersion = 1;

constexpr const char kAdvertisementXml[] =
    "<node>"
    "  <interface name='org.bluez.LEAdvertisement1'>"
    "    <method name='Release'/>"
    "    <property name='Type' type='s' access='read'/>"
    "    <property name='ManufacturerData' type='a{qv}' access='read'/>"
    "    <property name='Timeout' type='q' access='read'/>"
    "  </interface>"
    "</node>";

/* Without BlueZ: the request is accepted and only recorded. */
class RecordOnlySender : public Sender {
 public:
  void send(guint8 message_type, const gchar *system_id, SendDone done) override {
    g_debug("Not advertising: beacon %u for %s recorded only", message_type, system_id);
    done(nullptr);
  }
};

/* The installation key beacons are signed with, when the unit gave one. */
guint8 signing_key[ADVWATCH_KEY_LENGTH];
bool signing = false;

/* Signed beacons of several senders that go out in the same second with the
 * same event and sequence number are the same bytes, and receivers take all
 * but the first for replays: a signing sender starts at a random number, so
 * senders started together do not march in step. */
guint8 first_sequence() {
  return signing ? static_cast<guint8>(g_random_int_range(0, 256)) : 0;
}

/* Version, System ID bytes, message type, sequence number; with a key, the
 * clock byte and the tag, made with the clock of this moment. */
GVariant *manufacturer_data(const std::string &system_id, guint8 message_type, guint8 sequence) {
  std::vector<guint8> payload{kBeaconVersion};
  for (size_t i = 0; i + 1 < system_id.size();) {
    if (system_id[i] == '-') {
      i++;
      continue;
    }
    payload.push_back(static_cast<guint8>(g_ascii_xdigit_value(system_id[i]) << 4 |
                                          g_ascii_xdigit_value(system_id[i + 1])));
    i += 2;
  }
  payload.push_back(message_type);
  payload.push_back(sequence);
  if (signing) {
    payload.resize(ADVWATCH_BEACON_SIGNED_LENGTH);
    advwatch_beacon_sign(static_cast<guint16>(BEACON_COMPANY_ID), payload.data(),
                         static_cast<guint64>(g_get_real_time() / G_USEC_PER_SEC), signing_key);
  }
  GVariantBuilder data;
  g_variant_builder_init(&data, G_VARIANT_TYPE("a{qv}"));
  g_variant_builder_add(&data, "{qv}", static_cast<guint16>(BEACON_COMPANY_ID),
                        g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, payload.data(), payload.size(), 1));
  return g_variant_builder_end(&data);
}

bool bluez_absent(const GError *error) {
  return g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
         g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER);
}

/* The adapter we knew is gone or BlueZ restarted without it. */
bool adapter_stale(const GError *error) {
  g_autofree gchar *remote = g_dbus_error_get_remote_error(error);
  return bluez_absent(error) || g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_OBJECT) ||
         g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD) ||
         g_strcmp0(remote, "org.freedesktop.DBus.Error.UnknownObject") == 0;
}

struct Request {
  guint8 message_type = 0;
  std::string system_id;
  guint8 sequence = 0;
  SendDone done;
  bool answered = false;  /* admitted (success) or refused */
  bool retried = false;

  void answer(GError *error) {
    if (answered)
      return;
    answered = true;
    done(error);
  }
};
using RequestPtr = std::shared_ptr<Request>;

class AdvertisingSender;

struct Slot {
  AdvertisingSender *sender;
  RequestPtr request;
  std::string path;
  guint registration = 0;
  guint timer = 0;
  bool registered = false; /* BlueZ accepted it */
};

class AdvertisingSender : public Sender, public std::enable_shared_from_this<AdvertisingSender> {
 public:
  AdvertisingSender(GDBusConnection *connection, const gchar *adapter, const SenderOptions &options)
      : connection_(G_DBUS_CONNECTION(g_object_ref(connection))),
        adapter_name_(adapter != nullptr ? adapter : ""),
        options_(options),
        cancellable_(g_cancellable_new()) {
    GError *error = nullptr;
    node_ = g_dbus_node_info_new_for_xml(kAdvertisementXml, &error);
    g_assert_no_error(error);
  }

  ~AdvertisingSender() override {
    g_cancellable_cancel(cancellable_);
    GError *stopping = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_CANCELLED, "The beacon-sending service is stopping");
    for (auto &entry : slots_) {
      Slot *slot = entry.second.get();
      if (slot->registered)
        g_dbus_connection_call(connection_, kBluez, adapter_path_.c_str(), kAdvertisingManager,
                               "UnregisterAdvertisement", g_variant_new("(o)", slot->path.c_str()), nullptr,
                               G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, nullptr, nullptr);
      release(slot);
      slot->request->answer(stopping);
    }
    for (auto &request : queue_)
      lose(request, stopping);
    g_error_free(stopping);
    g_dbus_node_info_unref(node_);
    g_object_unref(cancellable_);
    g_object_unref(connection_);
  }

  void send(guint8 message_type, const gchar *system_id, SendDone done) override {
    auto request = std::make_shared<Request>();
    request->message_type = message_type;
    request->system_id = system_id;
    request->sequence = next_sequence_++;
    request->done = std::move(done);
    queue_.push_back(request);
    pump();
  }

  /* Weak handle for asynchronous callbacks, which may outlive us. */
  std::weak_ptr<AdvertisingSender> *weak() { return new std::weak_ptr<AdvertisingSender>(shared_from_this()); }

 private:
  void pump() {
    while (!queue_.empty() && !discovering_) {
      if (adapter_path_.empty()) {
        discover();
        return;
      }
      if (slots_.size() >= limit_)
        break;
      RequestPtr request = queue_.front();
      queue_.pop_front();
      start(request);
    }
    if (!discovering_ && !adapter_path_.empty())
      admit();
  }

  /* Answers the requests that wait: each one's turn comes after the
   * requests ahead of it have had their air time, limit_ at a time. */
  void admit() {
    std::deque<RequestPtr> queue;
    queue.swap(queue_);
    guint place = 0;
    for (auto &request : queue) {
      const guint wait_ms = (place / limit_ + 1) * options_.air_time_ms;
      if (request->answered) {
        queue_.push_back(request);
        place++;
      } else if (wait_ms > kMaxWaitMs) {
        g_autoptr(GError) error =
            g_error_new(G_IO_ERROR, G_IO_ERROR_BUSY,
                        "Too many beacons waiting on %s: this one would go on air only in %u s (at most %u s)",
                        adapter_path_.c_str(), (wait_ms + 999) / 1000, kMaxWaitMs / 1000);
        request->answer(error);
      } else {
        g_message("Beacon %u with sequence number %u for %s queued, place %u, on air in at most %u s",
                  request->message_type, request->sequence, request->system_id.c_str(), place + 1,
                  (wait_ms + 999) / 1000);
        request->answer(nullptr);
        queue_.push_back(request);
        place++;
      }
    }
  }

  /* Refuses a request not answered yet; an admitted one is lost, loudly. */
  void lose(const RequestPtr &request, const GError *error) {
    if (!request->answered) {
      request->answer(const_cast<GError *>(error));
      return;
    }
    lost_++;
    g_warning("Beacon %u with sequence number %u for %s lost (%u lost since start): %s", request->message_type,
              request->sequence, request->system_id.c_str(), lost_, error->message);
  }

  void fail_queue(const gchar *format, const gchar *detail) {
    GError *error = g_error_new(G_IO_ERROR, G_IO_ERROR_FAILED, format, detail);
    std::deque<RequestPtr> queue;
    queue.swap(queue_);
    for (auto &request : queue)
      lose(request, error);
    g_error_free(error);
  }

  void discover() {
    discovering_ = true;
    g_dbus_connection_call(connection_, kBluez, "/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects",
                           nullptr, G_VARIANT_TYPE("(a{oa{sa{sv}}})"), G_DBUS_CALL_FLAGS_NO_AUTO_START,
                           kBluezCallTimeoutMs, cancellable_, on_discovered, weak());
  }

  static void on_discovered(GObject *source, GAsyncResult *result, gpointer data) {
    std::unique_ptr<std::weak_ptr<AdvertisingSender>> weak(static_cast<std::weak_ptr<AdvertisingSender> *>(data));
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    auto self = weak->lock();
    if (self == nullptr)
      return;
    self->discovering_ = false;
    if (reply == nullptr) {
      if (bluez_absent(error)) {
        self->fail_queue("BlueZ is not running%s: beacon not sent", "");
      } else {
        self->fail_queue("Could not list BlueZ adapters: %s", error->message);
      }
      return;
    }
    self->choose_adapter(reply);
    if (self->adapter_path_.empty()) {
      if (self->adapter_name_.empty())
        self->fail_queue("No Bluetooth adapter offers LE advertising%s", "");
      else
        self->fail_queue("Adapter %s does not offer LE advertising", self->adapter_name_.c_str());
      return;
    }
    self->pump();
  }

  void choose_adapter(GVariant *reply) {
    g_autoptr(GVariant) objects = g_variant_get_child_value(reply, 0);
    GVariantIter iter;
    const gchar *path;
    GVariant *interfaces;
    std::string best;
    guint8 supported = 0;
    bool hardware = false;
    const std::string wanted = adapter_name_.empty() ? "" : kAdapterPrefix + adapter_name_;
    g_variant_iter_init(&iter, objects);
    while (g_variant_iter_next(&iter, "{&o@a{sa{sv}}}", &path, &interfaces)) {
      g_autoptr(GVariant) manager = g_variant_lookup_value(interfaces, kAdvertisingManager, nullptr);
      g_variant_unref(interfaces);
      const std::string p = path;
      if (manager == nullptr || p.rfind(kAdapterPrefix, 0) != 0 || p.find('/', strlen(kAdapterPrefix)) != std::string::npos)
        continue;
      if (!wanted.empty() ? p != wanted
                          : !best.empty() && (p.size() > best.size() || (p.size() == best.size() && p > best)))
        continue;
      best = p;
      if (!g_variant_lookup(manager, "SupportedInstances", "y", &supported))
        supported = 1;
      g_autofree const gchar **features = nullptr;
      hardware = g_variant_lookup(manager, "SupportedFeatures", "^a&s", &features) &&
                 g_strv_contains(features, kHardwareOffload);
    }
    adapter_path_ = best;
    /* Without hardware sets every instance beyond the first would share the
     * air by rotation. */
    limit_ = hardware || options_.all_at_once ? CLAMP(supported, 1u, kMaxConcurrentAdvertisements) : 1;
    if (!best.empty())
      g_message("Advertising on %s: %u at once (%s), %u ms each", best.c_str(), limit_,
                hardware ? "hardware advertising sets" : options_.all_at_once ? "all at once, sharing the air"
                                                                              : "one advertising set",
                options_.air_time_ms);
  }

  void start(const RequestPtr &request) {
    auto slot = std::make_unique<Slot>();
    slot->sender = this;
    slot->request = request;
    slot->path = kAdvertisementPathPrefix + std::to_string(next_index_++);
    GError *error = nullptr;
    slot->registration = g_dbus_connection_register_object(connection_, slot->path.c_str(), node_->interfaces[0],
                                                           &vtable, slot.get(), nullptr, &error);
    if (slot->registration == 0) {
      g_prefix_error(&error, "Could not export advertisement %s: ", slot->path.c_str());
      lose(request, error);
      g_error_free(error);
      return;
    }
    g_dbus_connection_call(connection_, kBluez, adapter_path_.c_str(), kAdvertisingManager, "RegisterAdvertisement",
                           g_variant_new("(o@a{sv})", slot->path.c_str(), g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0)),
                           G_VARIANT_TYPE("()"), G_DBUS_CALL_FLAGS_NO_AUTO_START, kBluezCallTimeoutMs, cancellable_,
                           on_registered, new Pending{weak(), slot->path});
    slots_[slot->path] = std::move(slot);
  }

  struct Pending {
    std::weak_ptr<AdvertisingSender> *weak;
    std::string path;
  };

  static void on_registered(GObject *source, GAsyncResult *result, gpointer data) {
    std::unique_ptr<Pending> pending(static_cast<Pending *>(data));
    std::unique_ptr<std::weak_ptr<AdvertisingSender>> weak(pending->weak);
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    auto self = weak->lock();
    if (self == nullptr)
      return;
    auto it = self->slots_.find(pending->path);
    if (it == self->slots_.end())
      return;
    Slot *slot = it->second.get();
    RequestPtr request = slot->request;
    if (reply == nullptr) {
      self->finish(slot);
      if (adapter_stale(error) && !request->retried) {
        /* BlueZ restarted or the adapter went away: look again, once. */
        request->retried = true;
        self->adapter_path_.clear();
        self->queue_.push_front(request);
      } else {
        g_autofree gchar *remote = g_dbus_error_get_remote_error(error);
        g_dbus_error_strip_remote_error(error);
        g_autoptr(GError) refused = g_error_new(G_IO_ERROR, G_IO_ERROR_FAILED,
                                                "BlueZ refused the advertisement on %s: %s%s%s",
                                                self->adapter_path_.c_str(), remote != nullptr ? remote : "",
                                                remote != nullptr ? ": " : "", error->message);
        self->lose(request, refused);
      }
      self->pump();
      return;
    }
    slot->registered = true;
    g_message("Beacon %u with sequence number %u for %s on air on %s", request->message_type, request->sequence,
              request->system_id.c_str(), self->adapter_path_.c_str());
    request->answer(nullptr);
    slot->timer = g_timeout_add_full(G_PRIORITY_DEFAULT, self->options_.air_time_ms, on_air_over,
                                             new Pending{self->weak(), slot->path}, [](gpointer p) {
                                               auto *pending = static_cast<Pending *>(p);
                                               delete pending->weak;
                                               delete pending;
                                             });
  }

  static gboolean on_air_over(gpointer data) {
    auto *pending = static_cast<Pending *>(data);
    auto self = pending->weak->lock();
    if (self == nullptr)
      return G_SOURCE_REMOVE;
    auto it = self->slots_.find(pending->path);
    if (it == self->slots_.end())
      return G_SOURCE_REMOVE;
    Slot *slot = it->second.get();
    slot->timer = 0; /* this source ends by returning REMOVE */
    g_dbus_connection_call(self->connection_, kBluez, self->adapter_path_.c_str(), kAdvertisingManager,
                           "UnregisterAdvertisement", g_variant_new("(o)", slot->path.c_str()), nullptr,
                           G_DBUS_CALL_FLAGS_NO_AUTO_START, kBluezCallTimeoutMs, nullptr, on_unregistered,
                           g_strdup(slot->path.c_str()));
    self->finish(slot);
    self->pump();
    return G_SOURCE_REMOVE;
  }

  static void on_unregistered(GObject *source, GAsyncResult *result, gpointer data) {
    g_autofree gchar *path = static_cast<gchar *>(data);
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    /* BlueZ may have released it already (its own timeout, a restart). */
    if (reply == nullptr)
      g_debug("Unregistering advertisement %s: %s", path, error->message);
  }

  /* Unexports the object; the slot is gone afterwards. */
  void finish(Slot *slot) {
    release(slot);
    slots_.erase(slot->path);
  }

  void release(Slot *slot) {
    if (slot->timer != 0) {
      g_source_remove(slot->timer);
      slot->timer = 0;
    }
    if (slot->registration != 0) {
      g_dbus_connection_unregister_object(connection_, slot->registration);
      slot->registration = 0;
    }
  }

  static void on_method_call(GDBusConnection *, const gchar *, const gchar *path, const gchar *, const gchar *method,
                             GVariant *, GDBusMethodInvocation *invocation, gpointer data) {
    auto *slot = static_cast<Slot *>(data);
    if (g_strcmp0(method, "Release") != 0) {
      g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD,
                                            "Unknown method %s", method);
      return;
    }
    if (slot->registered)
      g_warning("BlueZ released advertisement %s before its air time was over: beacon %u with sequence number %u "
                "may not have been heard",
                path, slot->request->message_type, slot->request->sequence);
    else
      g_message("BlueZ released advertisement %s", path);
    g_dbus_method_invocation_return_value(invocation, nullptr);
    /* Finished from an idle: the object is still dispatching this call. */
    slot->registered = false;
    if (slot->timer != 0)
      g_source_remove(slot->timer);
    slot->timer = g_idle_add_full(G_PRIORITY_DEFAULT, on_air_over_released,
                                  new Pending{slot->sender->weak(), slot->path}, [](gpointer p) {
                                    auto *pending = static_cast<Pending *>(p);
                                    delete pending->weak;
                                    delete pending;
                                  });
  }

  static gboolean on_air_over_released(gpointer data) {
    auto *pending = static_cast<Pending *>(data);
    auto self = pending->weak->lock();
    if (self == nullptr)
      return G_SOURCE_REMOVE;
    auto it = self->slots_.find(pending->path);
    if (it != self->slots_.end()) {
      it->second->timer = 0;
      self->finish(it->second.get());
      self->pump();
    }
    return G_SOURCE_REMOVE;
  }

  static GVariant *on_get_property(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                                   const gchar *property, GError **error, gpointer data) {
    auto *slot = static_cast<Slot *>(data);
    if (g_strcmp0(property, "Type") == 0)
      return g_variant_new_string("broadcast");
    if (g_strcmp0(property, "ManufacturerData") == 0)
      return manufacturer_data(slot->request->system_id, slot->request->message_type, slot->request->sequence);
    if (g_strcmp0(property, "Timeout") == 0)
      return g_variant_new_uint16(
          static_cast<guint16>((slot->sender->options_.air_time_ms + 999) / 1000 + kBluezTimeoutMarginSeconds));
    g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "No property %s", property);
    return nullptr;
  }

  static const GDBusInterfaceVTable vtable;

  GDBusConnection *connection_;
  std::string adapter_name_;
  SenderOptions options_;
  GCancellable *cancellable_;
  GDBusNodeInfo *node_ = nullptr;
  std::string adapter_path_;
  guint limit_ = 1;
  bool discovering_ = false;
  guint8 next_sequence_ = first_sequence();
  guint next_index_ = 0;
  guint lost_ = 0;
  std::deque<RequestPtr> queue_;
  std::map<std::string, std::unique_ptr<Slot>> slots_;
};

const GDBusInterfaceVTable AdvertisingSender::vtable = {AdvertisingSender::on_method_call,
                                                        AdvertisingSender::on_get_property, nullptr, {nullptr}};

/* Owns the shared sender, so asynchronous callbacks can tell it is gone. */
class SharedSender : public Sender {
 public:
  explicit SharedSender(std::shared_ptr<AdvertisingSender> sender) : sender_(std::move(sender)) {}
  void send(guint8 message_type, const gchar *system_id, SendDone done) override {
    sender_->send(message_type, system_id, std::move(done));
  }

 private:
  std::shared_ptr<AdvertisingSender> sender_;
};

}  // namespace

std::unique_ptr<Sender> make_sender(GDBusConnection *connection, const gchar *adapter, bool record_only,
                                    const SenderOptions &options) {
  if (record_only)
    return std::make_unique<RecordOnlySender>();
  return std::make_unique<SharedSender>(std::make_shared<AdvertisingSender>(connection, adapter, options));
}

void sender_set_signing_key(const guint8 *key) {
  if (key == nullptr) {
    explicit_bzero(signing_key, sizeof signing_key);
    signing = false;
    return;
  }
  memcpy(signing_key, key, sizeof signing_key);
  signing = true;
}

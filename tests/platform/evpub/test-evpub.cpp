/* libevpub on a private bus: declaration checks, value conversion, the
 * Event, Declared and ListDeclarations surface, and life without a bus. */
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "evpub.h"
#include "harness.h"

namespace {

struct VariantUnref {
  void operator()(GVariant *v) const { g_variant_unref(v); }
};
using VariantPtr = std::unique_ptr<GVariant, VariantUnref>;

const char beacon_topic[] = "tns1:Device/tnsvemo:Bluetooth/tnsvemo:BeaconReceived";

/* Records one signal of the producer interface from anyone. */
class SignalRecorder {
 public:
  struct Signal {
    std::string sender;
    std::string path;
    VariantPtr parameters;
  };

  SignalRecorder(GDBusConnection *connection, const char *member) : connection_(connection) {
    auto *holder = new std::shared_ptr<std::vector<Signal>>(signals_);
    id_ = g_dbus_connection_signal_subscribe(
        connection, nullptr, EVPUB_PRODUCER_INTERFACE, member, nullptr, nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE, &SignalRecorder::on_signal, holder,
        [](gpointer data) { delete static_cast<std::shared_ptr<std::vector<Signal>> *>(data); });
    // The match rule must be in place before anything is emitted: a round
    // trip on the same connection guarantees the bus has processed it.
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply =
        th::call(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                 "org.freedesktop.DBus", "GetId", nullptr, "(s)", &error);
    EXPECT_NE(reply, nullptr) << (error ? error->message : "");
  }
  ~SignalRecorder() { g_dbus_connection_signal_unsubscribe(connection_, id_); }

  size_t size() const { return signals_->size(); }
  const Signal &at(size_t i) const { return signals_->at(i); }
  bool wait_for(size_t count) {
    return th::wait_until([&] { return signals_->size() >= count; });
  }

 private:
  static void on_signal(GDBusConnection *, const gchar *sender, const gchar *path, const gchar *,
                        const gchar *, GVariant *parameters, gpointer data) {
    auto &signals = **static_cast<std::shared_ptr<std::vector<Signal>> *>(data);
    signals.push_back({sender, path, VariantPtr(g_variant_ref(parameters))});
  }

  GDBusConnection *connection_;
  guint id_ = 0;
  std::shared_ptr<std::vector<Signal>> signals_ = std::make_shared<std::vector<Signal>>();
};

struct ProducerFree {
  void operator()(EvpubProducer *p) const { evpub_producer_free(p); }
};
struct DeclarationFree {
  void operator()(EvpubDeclaration *d) const { evpub_declaration_free(d); }
};
struct EventFree {
  void operator()(EvpubEvent *e) const { evpub_free_event(e); }
};
using Producer = std::unique_ptr<EvpubProducer, ProducerFree>;
using Declaration = std::unique_ptr<EvpubDeclaration, DeclarationFree>;
using Event = std::unique_ptr<EvpubEvent, EventFree>;

/* The daemon's beacon declaration plus one key of every type. */
Declaration beacon_declaration() {
  Declaration d(evpub_declaration_new(0));
  EXPECT_TRUE(evpub_declaration_add_key_value(d.get(), "topic0", "Device", EVPUB_TYPE_STRING));
  EXPECT_TRUE(evpub_declaration_add_key_value(d.get(), "topic1", "Bluetooth", EVPUB_TYPE_STRING));
  EXPECT_TRUE(
      evpub_declaration_add_key_value(d.get(), "topic2", "BeaconReceived", EVPUB_TYPE_STRING));
  EXPECT_TRUE(evpub_declaration_add_key(d.get(), "UUID", EVPUB_TYPE_STRING));
  EXPECT_TRUE(evpub_declaration_add_key(d.get(), "count", EVPUB_TYPE_INT32));
  EXPECT_TRUE(evpub_declaration_add_key(d.get(), "flag", EVPUB_TYPE_BOOLEAN));
  EXPECT_TRUE(evpub_declaration_add_key(d.get(), "level", EVPUB_TYPE_DOUBLE));
  EXPECT_TRUE(evpub_declaration_add_key_value(d.get(), "site", "north", EVPUB_TYPE_STRING));
  EXPECT_TRUE(evpub_declaration_set_name_space(d.get(), "topic0", "tns1"));
  EXPECT_TRUE(evpub_declaration_set_name_space(d.get(), "topic1", "tnsvemo"));
  EXPECT_TRUE(evpub_declaration_set_name_space(d.get(), "topic2", "tnsvemo"));
  EXPECT_TRUE(evpub_declaration_set_nice_names(d.get(), "UUID", "System ID", nullptr));
  EXPECT_TRUE(evpub_declaration_set_nice_names(d.get(), "UUID", nullptr, "Identifier"));
  EXPECT_TRUE(evpub_declaration_add_key_tag(d.get(), "UUID", "onvif-data"));
  EXPECT_TRUE(evpub_declaration_add_key_tag(d.get(), "UUID", "second"));
  EXPECT_TRUE(evpub_declaration_add_key_tag(d.get(), "UUID", "onvif-data"));
  return d;
}

class EvpubTest : public ::testing::Test {
 protected:
  void SetUp() override { bus_ = std::make_unique<th::Bus>(); }
  GDBusConnection *connection() { return bus_->connection(); }

  /* ListDeclarations of producer @name at bus client @owner, called
   * asynchronously: the producer answers on this thread's main context. */
  VariantPtr list_declarations(const std::string &owner, const char *name) {
    std::string path = std::string(EVPUB_PRODUCER_PATH_PREFIX) + name;
    struct Result {
      bool done = false;
      VariantPtr reply;
      std::string error;
    } result;
    g_dbus_connection_call(
        connection(), owner.c_str(), path.c_str(), EVPUB_PRODUCER_INTERFACE, "ListDeclarations",
        nullptr, G_VARIANT_TYPE("(a(ua{sv}))"), G_DBUS_CALL_FLAGS_NONE, th::scaled(5000),
        nullptr,
        [](GObject *source, GAsyncResult *res, gpointer data) {
          auto *r = static_cast<Result *>(data);
          g_autoptr(GError) error = nullptr;
          r->reply.reset(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), res, &error));
          if (error != nullptr)
            r->error = error->message;
          r->done = true;
        },
        &result);
    // The call has a timeout, so the callback always comes.
    while (!result.done)
      g_main_context_iteration(nullptr, TRUE);
    EXPECT_TRUE(result.reply) << result.error;
    return std::move(result.reply);
  }

  std::unique_ptr<th::Bus> bus_;
};

}  // namespace

namespace {

VariantPtr lookup(GVariant *dict, const char *key, const char *type) {
  return VariantPtr(g_variant_lookup_value(dict, key, G_VARIANT_TYPE(type)));
}

/* The a{sv} data of an Event signal. */
VariantPtr event_data(GVariant *parameters) { return VariantPtr(g_variant_get_child_value(parameters, 3)); }

std::string event_topic(GVariant *parameters) {
  const gchar *topic = nullptr;
  g_variant_get_child(parameters, 1, "&s", &topic);
  return topic;
}

Event beacon_event(EvpubProducer *producer, guint32 id, const char *uuid) {
  Event event(evpub_producer_prepare_event(producer, id));
  EXPECT_TRUE(event);
  if (event && uuid != nullptr) {
    EXPECT_TRUE(evpub_set_value(event.get(), "UUID", uuid));
  }
  return event;
}

}  // namespace

TEST_F(EvpubTest, DeclareRefusesInvalidDeclarations) {
  Producer producer(evpub_producer_new("Checks"));
  ASSERT_TRUE(producer);
  SignalRecorder declared(connection(), "Declared");

  struct Case {
    const char *reason;
    gint flags;
    std::function<void(EvpubDeclaration *)> build;
  };
  auto fixed = [](const char *value, gint type) {
    return [=](EvpubDeclaration *d) {
      evpub_declaration_add_key(d, "fine", EVPUB_TYPE_STRING);
      evpub_declaration_add_key_value(d, "bad", value, type);
    };
  };
  const Case cases[] = {
      {"no keys", 0, [](EvpubDeclaration *) {}},
      {"unknown type code 0", 0, [](EvpubDeclaration *d) { evpub_declaration_add_key(d, "a", 0); }},
      {"unknown type code 5", 0, [](EvpubDeclaration *d) { evpub_declaration_add_key(d, "a", 5); }},
      {"unknown type code -1", 0,
       [](EvpubDeclaration *d) {
         evpub_declaration_add_key(d, "good", EVPUB_TYPE_INT32);
         evpub_declaration_add_key(d, "a", -1);
       }},
      {"key 'bad'", 0, fixed("12x", EVPUB_TYPE_INT32)},
      {"key 'bad'", 0, fixed("2147483648", EVPUB_TYPE_INT32)},
      {"key 'bad'", 0, fixed(" 1", EVPUB_TYPE_INT32)},
      {"key 'bad'", 0, fixed("", EVPUB_TYPE_INT32)},
      {"key 'bad'", 0, fixed("yes", EVPUB_TYPE_BOOLEAN)},
      {"key 'bad'", 0, fixed("1.5x", EVPUB_TYPE_DOUBLE)},
      {"key 'bad'", 0, fixed("nan", EVPUB_TYPE_DOUBLE)},
      {"key 'bad'", 0, fixed("1e999", EVPUB_TYPE_DOUBLE)},
      {"key 'bad'", 0, fixed("\xff\xfe", EVPUB_TYPE_STRING)},
      {"flags", 1, [](EvpubDeclaration *d) { evpub_declaration_add_key(d, "a", EVPUB_TYPE_STRING); }},
  };
  for (const Case &c : cases) {
    Declaration d(evpub_declaration_new(c.flags));
    c.build(d.get());
    th::LogCapture log;
    EXPECT_EQ(evpub_producer_declare(producer.get(), d.get()), 0u) << c.reason;
    EXPECT_EQ(log.count(G_LOG_LEVEL_WARNING, c.reason), 1u) << c.reason;
    EXPECT_TRUE(log.contains("Checks")) << c.reason;
  }

  // Identifiers: non-zero and distinct.
  Declaration good(evpub_declaration_new(0));
  evpub_declaration_add_key_value(good.get(), "n", "-2147483648", EVPUB_TYPE_INT32);
  std::vector<guint32> ids;
  for (int i = 0; i < 5; i++) {
    guint32 id = evpub_producer_declare(producer.get(), good.get());
    EXPECT_NE(id, 0u);
    EXPECT_EQ(std::count(ids.begin(), ids.end(), id), 0) << id;
    ids.push_back(id);
  }
  // Only the accepted ones were announced (signals keep their order, so the
  // refused ones would have come first).
  ASSERT_TRUE(declared.wait_for(5));
  ASSERT_EQ(declared.size(), 5u);
  guint32 first = 0;
  g_variant_get_child(declared.at(0).parameters.get(), 0, "u", &first);
  EXPECT_EQ(first, ids[0]);
}

TEST_F(EvpubTest, BuildingADeclarationRejectsMisuse) {
  Producer producer(evpub_producer_new("Builder"));
  ASSERT_TRUE(producer);
  Declaration d(evpub_declaration_new(0));
  th::LogCapture log;
  EXPECT_TRUE(evpub_declaration_add_key(d.get(), "a", EVPUB_TYPE_INT32));
  EXPECT_FALSE(evpub_declaration_add_key_value(d.get(), "a", "x", EVPUB_TYPE_STRING));
  EXPECT_FALSE(evpub_declaration_add_key(d.get(), "", EVPUB_TYPE_STRING));
  EXPECT_FALSE(evpub_declaration_set_nice_names(d.get(), "nope", "N", "V"));
  EXPECT_FALSE(evpub_declaration_set_name_space(d.get(), "nope", "ns"));
  EXPECT_FALSE(evpub_declaration_add_key_tag(d.get(), "nope", "t"));
  EXPECT_FALSE(evpub_declaration_set_name_space(d.get(), "a", "a:b"));
  EXPECT_FALSE(evpub_declaration_set_name_space(d.get(), "a", "a/b"));
  EXPECT_FALSE(evpub_declaration_set_name_space(d.get(), "a", ""));
  EXPECT_FALSE(evpub_declaration_add_key_tag(d.get(), "a", ""));
  EXPECT_EQ(log.count(G_LOG_LEVEL_WARNING, ""), 9u);
  EXPECT_EQ(log.count(G_LOG_LEVEL_WARNING, "'nope'"), 3u);

  // The first definition of "a" stands, unchanged by the refused calls.
  SignalRecorder declared(connection(), "Declared");
  guint32 id = evpub_producer_declare(producer.get(), d.get());
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(declared.wait_for(1));
  VariantPtr list = list_declarations(declared.at(0).sender, "Builder");
  ASSERT_TRUE(list);
  g_autoptr(GVariant) entries = g_variant_get_child_value(list.get(), 0);
  ASSERT_EQ(g_variant_n_children(entries), 1u);
  g_autoptr(GVariant) entry = g_variant_get_child_value(entries, 0);
  g_autoptr(GVariant) description = g_variant_get_child_value(entry, 1);
  VariantPtr keys = lookup(description, "keys", "aa{sv}");
  ASSERT_TRUE(keys);
  ASSERT_EQ(g_variant_n_children(keys.get()), 1u);
  g_autoptr(GVariant) key = g_variant_get_child_value(keys.get(), 0);
  VariantPtr type = lookup(key, "type", "i");
  ASSERT_TRUE(type);
  EXPECT_EQ(g_variant_get_int32(type.get()), EVPUB_TYPE_INT32);
  EXPECT_FALSE(lookup(key, "value", "v") || lookup(key, "namespace", "s") || lookup(key, "tags", "as"));
}

TEST_F(EvpubTest, EventsRefuseUnknownFixedAndUnconvertibleValues) {
  Producer producer(evpub_producer_new("Values"));
  Producer other(evpub_producer_new("Other"));
  ASSERT_TRUE(producer && other);
  Declaration d = beacon_declaration();
  guint32 id = evpub_producer_declare(producer.get(), d.get());
  ASSERT_NE(id, 0u);

  th::LogCapture log;
  EXPECT_EQ(evpub_producer_prepare_event(producer.get(), 0), nullptr);
  EXPECT_EQ(evpub_producer_prepare_event(producer.get(), id + 1), nullptr);
  EXPECT_EQ(evpub_producer_prepare_event(other.get(), id), nullptr);
  EXPECT_EQ(log.count(G_LOG_LEVEL_WARNING, "no declaration"), 3u);

  Event event = beacon_event(producer.get(), id, "UUID-1");
  ASSERT_TRUE(event);
  EXPECT_TRUE(evpub_set_value(event.get(), "count", "7"));
  log.clear();
  struct Bad {
    const char *key;
    const char *value;
  };
  const Bad bad[] = {
      {"nope", "1"},      {"site", "south"},    {"topic0", "Other"}, {"count", "x"},
      {"count", "2147483648"}, {"count", ""},   {"count", "7 "},     {"flag", "maybe"},
      {"level", "abc"},   {"level", "inf"},     {"UUID", "\xff"},
  };
  for (const Bad &b : bad) {
    log.clear();
    EXPECT_FALSE(evpub_set_value(event.get(), b.key, b.value)) << b.key << "=" << b.value;
    EXPECT_EQ(log.count(G_LOG_LEVEL_WARNING, b.key), 1u) << b.key << "=" << b.value;
  }
  EXPECT_TRUE(evpub_set_value(event.get(), "flag", "TRUE"));
  EXPECT_TRUE(evpub_set_value(event.get(), "level", "2.5e3"));

  SignalRecorder events(connection(), "Event");
  // An event only goes out through the producer that prepared it.
  log.clear();
  evpub_producer_send_event_async(other.get(), event.get());
  EXPECT_EQ(log.count(G_LOG_LEVEL_WARNING, "another producer"), 1u);
  evpub_producer_send_event_async(producer.get(), event.get());
  ASSERT_TRUE(events.wait_for(1));
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events.at(0).path, std::string(EVPUB_PRODUCER_PATH_PREFIX) + "Values");

  // Refused values left the earlier ones in place.
  VariantPtr data = event_data(events.at(0).parameters.get());
  VariantPtr count = lookup(data.get(), "count", "i");
  VariantPtr flag = lookup(data.get(), "flag", "b");
  VariantPtr level = lookup(data.get(), "level", "d");
  VariantPtr uuid = lookup(data.get(), "UUID", "s");
  VariantPtr site = lookup(data.get(), "site", "s");
  ASSERT_TRUE(count && flag && level && uuid && site);
  EXPECT_EQ(g_variant_get_int32(count.get()), 7);
  EXPECT_TRUE(g_variant_get_boolean(flag.get()));
  EXPECT_DOUBLE_EQ(g_variant_get_double(level.get()), 2500.0);
  EXPECT_STREQ(g_variant_get_string(uuid.get(), nullptr), "UUID-1");
  EXPECT_STREQ(g_variant_get_string(site.get(), nullptr), "north");
  EXPECT_EQ(event_topic(events.at(0).parameters.get()), beacon_topic);
}

TEST_F(EvpubTest, ProducerNeedsAValidNameAndABus) {
  {
    th::LogCapture log;
    for (const char *name : {"", "a/b", "a-b", "with space", "\xc3\xa4", "a.b"})
      EXPECT_EQ(evpub_producer_new(name), nullptr) << name;
    EXPECT_EQ(evpub_producer_new(nullptr), nullptr);
    EXPECT_EQ(log.count(G_LOG_LEVEL_WARNING, "Cannot create an event producer named"), 7u);
  }
  Producer good(evpub_producer_new("Good_Name_1"));
  EXPECT_TRUE(good);

  g_autofree gchar *address = g_strdup(g_getenv("DBUS_SYSTEM_BUS_ADDRESS"));
  g_setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/evpub-test-bus", TRUE);
  {
    th::LogCapture log;
    EXPECT_EQ(evpub_producer_new("NoBus"), nullptr);
    EXPECT_EQ(log.count(G_LOG_LEVEL_WARNING, "'NoBus'"), 1u);
  }
  g_setenv("DBUS_SYSTEM_BUS_ADDRESS", address, TRUE);
}

TEST_F(EvpubTest, EventCarriesProducerTopicTimeAndValues) {
  Producer producer(evpub_producer_new("BtReceiver"));
  ASSERT_TRUE(producer);
  Declaration d = beacon_declaration();
  guint32 id = evpub_producer_declare(producer.get(), d.get());
  ASSERT_NE(id, 0u);
  SignalRecorder events(connection(), "Event");

  const gint64 before = g_get_real_time();
  Event full = beacon_event(producer.get(), id, "0b6f5d3e-57a9-4c1c-9d65-5b2cbb1a7c10");
  ASSERT_TRUE(full);
  EXPECT_TRUE(evpub_set_value(full.get(), "count", "-42"));
  EXPECT_TRUE(evpub_set_value(full.get(), "flag", "0"));
  EXPECT_TRUE(evpub_set_value(full.get(), "level", "-0.25"));
  evpub_producer_send_event_async(producer.get(), full.get());
  Event bare = beacon_event(producer.get(), id, "second");
  evpub_producer_send_event_async(producer.get(), bare.get());
  const gint64 after = g_get_real_time();

  ASSERT_TRUE(events.wait_for(2));
  for (size_t i = 0; i < 2; i++) {
    GVariant *parameters = events.at(i).parameters.get();
    ASSERT_TRUE(g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ssxa{sv})")));
    EXPECT_EQ(events.at(i).path, std::string(EVPUB_PRODUCER_PATH_PREFIX) + "BtReceiver");
    const gchar *name = nullptr;
    gint64 time_us = 0;
    g_variant_get_child(parameters, 0, "&s", &name);
    g_variant_get_child(parameters, 2, "x", &time_us);
    EXPECT_STREQ(name, "BtReceiver");
    EXPECT_EQ(event_topic(parameters), beacon_topic);
    EXPECT_GE(time_us, before);
    EXPECT_LE(time_us, after);
    VariantPtr data = event_data(parameters);
    // Topic keys make the topic and are not repeated as data.
    EXPECT_FALSE(lookup(data.get(), "topic0", "s"));
    VariantPtr site = lookup(data.get(), "site", "s");
    ASSERT_TRUE(site);
    EXPECT_STREQ(g_variant_get_string(site.get(), nullptr), "north");
  }

  VariantPtr data = event_data(events.at(0).parameters.get());
  EXPECT_EQ(g_variant_n_children(data.get()), 5u);
  VariantPtr uuid = lookup(data.get(), "UUID", "s");
  VariantPtr count = lookup(data.get(), "count", "i");
  VariantPtr flag = lookup(data.get(), "flag", "b");
  VariantPtr level = lookup(data.get(), "level", "d");
  ASSERT_TRUE(uuid && count && flag && level);
  EXPECT_STREQ(g_variant_get_string(uuid.get(), nullptr), "0b6f5d3e-57a9-4c1c-9d65-5b2cbb1a7c10");
  EXPECT_EQ(g_variant_get_int32(count.get()), -42);
  EXPECT_FALSE(g_variant_get_boolean(flag.get()));
  EXPECT_DOUBLE_EQ(g_variant_get_double(level.get()), -0.25);

  // Keys never set are left out.
  VariantPtr bare_data = event_data(events.at(1).parameters.get());
  EXPECT_EQ(g_variant_n_children(bare_data.get()), 2u);
  VariantPtr bare_uuid = lookup(bare_data.get(), "UUID", "s");
  ASSERT_TRUE(bare_uuid);
  EXPECT_STREQ(g_variant_get_string(bare_uuid.get(), nullptr), "second");
  EXPECT_FALSE(lookup(bare_data.get(), "count", "i"));
}

TEST_F(EvpubTest, TopicFollowsKeyNumbersAndNamespaces) {
  Producer producer(evpub_producer_new("Topics"));
  ASSERT_TRUE(producer);
  Declaration d(evpub_declaration_new(0));
  // Added out of order on purpose; topic3 follows a gap, so it is data.
  evpub_declaration_add_key(d.get(), "topic1", EVPUB_TYPE_INT32);
  evpub_declaration_add_key_value(d.get(), "topic0", "Plain", EVPUB_TYPE_STRING);
  evpub_declaration_add_key_value(d.get(), "topic3", "Gap", EVPUB_TYPE_STRING);
  evpub_declaration_add_key(d.get(), "topic2x", EVPUB_TYPE_BOOLEAN);
  evpub_declaration_set_name_space(d.get(), "topic1", "x");
  guint32 id = evpub_producer_declare(producer.get(), d.get());
  ASSERT_NE(id, 0u);
  SignalRecorder events(connection(), "Event");

  Event set(evpub_producer_prepare_event(producer.get(), id));
  ASSERT_TRUE(set);
  EXPECT_TRUE(evpub_set_value(set.get(), "topic1", "7"));
  EXPECT_TRUE(evpub_set_value(set.get(), "topic2x", "true"));
  evpub_producer_send_event_async(producer.get(), set.get());
  Event unset(evpub_producer_prepare_event(producer.get(), id));
  evpub_producer_send_event_async(producer.get(), unset.get());

  ASSERT_TRUE(events.wait_for(2));
  EXPECT_EQ(event_topic(events.at(0).parameters.get()), "Plain/x:7");
  EXPECT_EQ(event_topic(events.at(1).parameters.get()), "Plain");
  VariantPtr data = event_data(events.at(0).parameters.get());
  EXPECT_EQ(g_variant_n_children(data.get()), 2u);
  VariantPtr gap = lookup(data.get(), "topic3", "s");
  ASSERT_TRUE(gap);
  EXPECT_STREQ(g_variant_get_string(gap.get(), nullptr), "Gap");
  EXPECT_TRUE(lookup(data.get(), "topic2x", "b"));
}

TEST_F(EvpubTest, DeclarationsAreAnnouncedAndListed) {
  Producer producer(evpub_producer_new("Lister"));
  ASSERT_TRUE(producer);
  SignalRecorder declared(connection(), "Declared");

  Declaration beacon = beacon_declaration();
  Declaration temp(evpub_declaration_new(0));
  evpub_declaration_add_key_value(temp.get(), "temp", "-5", EVPUB_TYPE_INT32);
  evpub_declaration_add_key_value(temp.get(), "ratio", "0.5", EVPUB_TYPE_DOUBLE);
  evpub_declaration_add_key_value(temp.get(), "on", "false", EVPUB_TYPE_BOOLEAN);
  evpub_declaration_set_name_space(temp.get(), "temp", "tt");
  guint32 ids[2] = {evpub_producer_declare(producer.get(), beacon.get()),
                    evpub_producer_declare(producer.get(), temp.get())};
  ASSERT_NE(ids[0], 0u);
  ASSERT_NE(ids[1], 0u);

  ASSERT_TRUE(declared.wait_for(2));
  ASSERT_EQ(declared.size(), 2u);
  VariantPtr list = list_declarations(declared.at(0).sender, "Lister");
  ASSERT_TRUE(list);
  g_autoptr(GVariant) entries = g_variant_get_child_value(list.get(), 0);
  ASSERT_EQ(g_variant_n_children(entries), 2u);
  for (size_t i = 0; i < 2; i++) {
    EXPECT_EQ(declared.at(i).path, std::string(EVPUB_PRODUCER_PATH_PREFIX) + "Lister");
    g_autoptr(GVariant) entry = g_variant_get_child_value(entries, i);
    guint32 signalled = 0;
    g_variant_get_child(declared.at(i).parameters.get(), 0, "u", &signalled);
    EXPECT_EQ(signalled, ids[i]);
    // The listing and the announcement describe a declaration alike.
    EXPECT_TRUE(g_variant_equal(entry, declared.at(i).parameters.get()));
  }

  g_autoptr(GVariant) description = g_variant_get_child_value(declared.at(0).parameters.get(), 1);
  VariantPtr keys = lookup(description, "keys", "aa{sv}");
  ASSERT_TRUE(keys);
  const char *names[] = {"topic0", "topic1", "topic2", "UUID", "count", "flag", "level", "site"};
  const gint types[] = {4, 4, 4, 4, 1, 2, 3, 4};
  ASSERT_EQ(g_variant_n_children(keys.get()), 8u);
  for (size_t i = 0; i < 8; i++) {
    g_autoptr(GVariant) key = g_variant_get_child_value(keys.get(), i);
    VariantPtr name = lookup(key, "name", "s");
    VariantPtr type = lookup(key, "type", "i");
    ASSERT_TRUE(name && type);
    EXPECT_STREQ(g_variant_get_string(name.get(), nullptr), names[i]);
    EXPECT_EQ(g_variant_get_int32(type.get()), types[i]);
  }
  g_autoptr(GVariant) topic1 = g_variant_get_child_value(keys.get(), 1);
  VariantPtr topic1_value = lookup(topic1, "value", "s");
  VariantPtr topic1_ns = lookup(topic1, "namespace", "s");
  ASSERT_TRUE(topic1_value && topic1_ns);
  EXPECT_STREQ(g_variant_get_string(topic1_value.get(), nullptr), "Bluetooth");
  EXPECT_STREQ(g_variant_get_string(topic1_ns.get(), nullptr), "tnsvemo");

  g_autoptr(GVariant) uuid = g_variant_get_child_value(keys.get(), 3);
  VariantPtr key_nice = lookup(uuid, "key-nice-name", "s");
  VariantPtr value_nice = lookup(uuid, "value-nice-name", "s");
  VariantPtr tags = lookup(uuid, "tags", "as");
  ASSERT_TRUE(key_nice && value_nice && tags);
  EXPECT_STREQ(g_variant_get_string(key_nice.get(), nullptr), "System ID");
  EXPECT_STREQ(g_variant_get_string(value_nice.get(), nullptr), "Identifier");
  g_autofree const gchar **tag_list = g_variant_get_strv(tags.get(), nullptr);
  ASSERT_EQ(g_strv_length(const_cast<gchar **>(tag_list)), 2u);
  EXPECT_STREQ(tag_list[0], "onvif-data");
  EXPECT_STREQ(tag_list[1], "second");
  EXPECT_FALSE(lookup(uuid, "value", "s"));

  // Fixed values keep their declared types.
  g_autoptr(GVariant) temp_description = g_variant_get_child_value(declared.at(1).parameters.get(), 1);
  VariantPtr temp_keys = lookup(temp_description, "keys", "aa{sv}");
  ASSERT_TRUE(temp_keys);
  const char *fixed_types[] = {"i", "d", "b"};
  for (size_t i = 0; i < 3; i++) {
    g_autoptr(GVariant) key = g_variant_get_child_value(temp_keys.get(), i);
    EXPECT_TRUE(lookup(key, "value", fixed_types[i])) << fixed_types[i];
  }
  g_autoptr(GVariant) temp_key = g_variant_get_child_value(temp_keys.get(), 0);
  VariantPtr temp_value = lookup(temp_key, "value", "i");
  ASSERT_TRUE(temp_value);
  EXPECT_EQ(g_variant_get_int32(temp_value.get()), -5);
}

TEST_F(EvpubTest, FreeingAProducerDeliversWhatItQueued) {
  SignalRecorder events(connection(), "Event");
  {
    Producer producer(evpub_producer_new("Burst"));
    ASSERT_TRUE(producer);
    Declaration d = beacon_declaration();
    guint32 id = evpub_producer_declare(producer.get(), d.get());
    ASSERT_NE(id, 0u);
    for (int i = 0; i < 300; i++) {
      Event event = beacon_event(producer.get(), id, "burst");
      ASSERT_TRUE(evpub_set_value(event.get(), "count", std::to_string(i).c_str()));
      evpub_producer_send_event_async(producer.get(), event.get());
    }
  }
  ASSERT_TRUE(events.wait_for(300)) << events.size();
  for (size_t i = 0; i < 300; i++) {
    VariantPtr data = event_data(events.at(i).parameters.get());
    VariantPtr count = lookup(data.get(), "count", "i");
    ASSERT_TRUE(count);
    EXPECT_EQ(g_variant_get_int32(count.get()), static_cast<gint32>(i));
  }
}

TEST_F(EvpubTest, ProducerOutlivesTheBus) {
  Producer producer(evpub_producer_new("Survivor"));
  ASSERT_TRUE(producer);
  Declaration d = beacon_declaration();
  guint32 id = evpub_producer_declare(producer.get(), d.get());
  ASSERT_NE(id, 0u);

  bus_.reset();
  th::LogCapture log;
  // Sending never blocks or ends the process; once the connection has seen
  // the bus go, the producer says so once and drops events.
  EXPECT_TRUE(th::wait_until([&] {
    Event event = beacon_event(producer.get(), id, "lost");
    evpub_producer_send_event_async(producer.get(), event.get());
    return log.count(G_LOG_LEVEL_WARNING, "cannot send events") > 0;
  }));
  for (int i = 0; i < 10; i++) {
    Event event = beacon_event(producer.get(), id, "lost");
    evpub_producer_send_event_async(producer.get(), event.get());
  }
  EXPECT_EQ(log.count(G_LOG_LEVEL_WARNING, "cannot send events"), 1u);
  // A declaration still works locally, though nobody hears of it.
  guint32 later = evpub_producer_declare(producer.get(), d.get());
  EXPECT_NE(later, 0u);
  EXPECT_TRUE(Event(evpub_producer_prepare_event(producer.get(), later)));
  EXPECT_EQ(log.count(G_LOG_LEVEL_WARNING, "could not be announced"), 1u);
  producer.reset();

  // A producer made on the next bus works.
  bus_ = std::make_unique<th::Bus>();
  SignalRecorder events(connection(), "Event");
  Producer next(evpub_producer_new("Survivor"));
  ASSERT_TRUE(next);
  guint32 next_id = evpub_producer_declare(next.get(), d.get());
  Event event = beacon_event(next.get(), next_id, "back");
  evpub_producer_send_event_async(next.get(), event.get());
  EXPECT_TRUE(events.wait_for(1));
}

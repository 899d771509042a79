/* The BeaconReceived declaration and sending against a recording fake of
 * the event library. */
#include <gtest/gtest.h>

#include "event_handler.h"
#include "fakes.h"
#include "harness.h"

namespace {

class EventHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::reset(); }
  void TearDown() override {
    event_handler_teardown();
    EXPECT_EQ(fake::evpub.live_producers, 0);
    EXPECT_EQ(fake::evpub.live_declarations, 0);
    EXPECT_EQ(fake::evpub.live_events, 0);
  }
};

TEST_F(EventHandlerTest, DeclaresBeaconReceivedWithExactlyTheseCalls) {
  ASSERT_TRUE(event_handler_init(nullptr));
  EXPECT_EQ(fake::calls, (std::vector<std::string>{
                             "evpub_producer_new(kavrod)",
                             "evpub_declaration_new(0)",
                             "add_key_value(topic0,Device,4)",
                             "add_key_value(topic1,Bluetooth,4)",
                             "add_key_value(topic2,BeaconReceived,4)",
                             "add_key(UUID,4)",
                             "set_nice_names(topic0,NULL,Device)",
                             "set_nice_names(topic1,NULL,Bluetooth)",
                             "set_nice_names(topic2,NULL,Beacon Received)",
                             "set_nice_names(UUID,System ID,NULL)",
                             "set_name_space(topic0,tns1)",
                             "set_name_space(topic1,tnsvemo)",
                             "set_name_space(topic2,tnsvemo)",
                             "add_key_tag(UUID,onvif-data)",
                             "evpub_producer_declare",
                             "evpub_declaration_free",
                         }));
  ASSERT_NE(event_handler_g, nullptr);
  EXPECT_EQ(event_handler_g->declaration_id, 7u);
}

TEST_F(EventHandlerTest, SendPreparesSetsSendsThenFrees) {
  ASSERT_TRUE(event_handler_init(nullptr));
  fake::calls.clear();
  ASSERT_TRUE(event_handler_send_event("2f1a3c4e-5b6d-4e7f-8a9b-0c1d2e3f4a5b"));
  EXPECT_EQ(fake::calls, (std::vector<std::string>{
                             "evpub_producer_prepare_event(7)",
                             "evpub_set_value(UUID,2f1a3c4e-5b6d-4e7f-8a9b-0c1d2e3f4a5b)",
                             "evpub_producer_send_event_async",
                             "evpub_free_event",
                         }));
}

TEST_F(EventHandlerTest, SendFailuresAreReportedAndLeakNothing) {
  th::LogCapture log;
  ASSERT_TRUE(event_handler_init(nullptr));
  fake::evpub.set_ok = false;
  EXPECT_FALSE(event_handler_send_event("abc"));
  EXPECT_EQ(log.count(G_LOG_LEVEL_WARNING, "Failed to set value for 'abc' event"), 1u);
  EXPECT_EQ(fake::index_of("evpub_producer_send_event_async"), -1);

  fake::evpub.prepare_ok = false;
  EXPECT_FALSE(event_handler_send_event("abc"));
  EXPECT_EQ(log.count(G_LOG_LEVEL_WARNING, "Failed to prepare event for 'Beacon received' producer"), 1u);

  // A failed send leaves the handler ready for the next beacon.
  fake::evpub.prepare_ok = true;
  fake::evpub.set_ok = true;
  EXPECT_TRUE(event_handler_send_event("abc"));
}

TEST_F(EventHandlerTest, NoProducerMeansNoDeclarationAndNothingToTearDown) {
  fake::evpub.producer_ok = false;
  g_autoptr(GError) error = nullptr;
  EXPECT_FALSE(event_handler_init(&error));
  EXPECT_STREQ(error->message, "Failed to create an event producer!");
  EXPECT_EQ(event_handler_g, nullptr);
  EXPECT_EQ(fake::index_of("evpub_declaration_new(0)"), -1);
  event_handler_teardown();
  EXPECT_EQ(fake::index_of("evpub_producer_free"), -1);
}

TEST_F(EventHandlerTest, RefusedDeclarationFreesTheProducerOnce) {
  fake::evpub.declare_id = 0;
  g_autoptr(GError) error = nullptr;
  EXPECT_FALSE(event_handler_init(&error));
  EXPECT_STREQ(error->message, "Failed to declare event for device: BeaconReceived!");
  EXPECT_EQ(fake::evpub.live_declarations, 0);
  event_handler_teardown();
  EXPECT_EQ(std::count(fake::calls.begin(), fake::calls.end(), "evpub_producer_free"), 1);
}

TEST_F(EventHandlerTest, MisuseIsCritical) {
  th::LogCapture log;
  EXPECT_FALSE(event_handler_send_event("abc"));  // no init
  EXPECT_EQ(log.count(G_LOG_LEVEL_CRITICAL, "event_handler_send_event: assertion 'event_handler_g->event_producer != NULL' failed"), 1u);
  ASSERT_TRUE(event_handler_init(nullptr));
  EXPECT_FALSE(event_handler_send_event(nullptr));
  EXPECT_EQ(log.count(G_LOG_LEVEL_CRITICAL, "assertion 'event_val != NULL' failed"), 1u);
  event_handler_teardown();
  event_handler_teardown();  // twice is harmless
}

}  // namespace

/* A private system bus with the BlueZ simulator, the action-rule engine
 * simulator and kavrod, as the daemon's integration tests need them. */
#pragma once

#include <gio/gio.h>
#include <glib/gstdio.h>

#include <memory>
#include <string>
#include <vector>

#include "harness.h"

namespace kt {

extern const char kIdA[];
extern const char kIdB[];

/* A rules file line set for one rule carrying @systemid in its start event. */
std::string rule(int id, const std::string &systemid, bool enabled = true);

class DaemonTest {
 public:
  explicit DaemonTest(th::Bus::Policy policy = th::Bus::Policy::AllowAll,
                      std::vector<std::string> policy_files = {});
  ~DaemonTest();

  void start_bluez(std::vector<std::string> args = {});
  void start_engine(const std::string &rules);
  /* Starts kavrod and waits until its main loop runs (unless @wait is false). */
  void start_kavrod(std::vector<std::string> args = {}, std::map<std::string, std::string> env = {},
                    bool wait = true);

  /* BlueZ with one adapter, the engine with rule 3 carrying kIdA, and
   * kavrod, up to a running monitor. */
  void start_device();

  /* Calls on the simulators' controls and the daemon. */
  GVariant *bluez_control(const char *method, GVariant *params, const char *reply_type = nullptr);
  GVariant *engine_call(const char *iface, const char *method, GVariant *params);
  void set_list_fault(const char *mode, guint delay_ms = 0);
  void add_rule(int id, const std::string &systemid, bool enabled = true);
  void remove_rule(int id);

  /* Monitors registered with the simulated BlueZ: (adapter, activated). */
  std::vector<std::pair<std::string, bool>> monitors();
  bool wait_monitors(size_t n, int timeout_ms = 5000);

  /* The daemon's System ID through its control service, called on @caller
   * (nullptr: the fixture's own connection, as root); "" when none,
   * "<error: ...>" on a failed call. */
  std::string list_systemid(GDBusConnection *caller = nullptr);
  bool wait_systemid(const std::string &expected, int timeout_ms = 5000);
  /* Calls @method ("Pause", "Resume") of the control service as root; ""
   * when it succeeded, else the error. */
  std::string control(const char *method);

  /* Injects one beacon heard on @adapter. */
  void inject_beacon(const std::string &systemid, guint8 event, guint8 sequence,
                     const char *adapter = "hci0", const char *address = "C0:FF:EE:00:00:01");
  /* Injects @payload (the bytes after our company identifier) as heard. */
  void inject_payload(const std::vector<guint8> &payload, const char *address, const char *adapter = "hci0");

  /* Event signals received from the event library. */
  struct Event {
    std::string producer, topic, uuid;
    gint64 time_us;
  };
  std::vector<Event> events;
  bool wait_events(size_t n, int timeout_ms = 5000);

  th::Bus bus;
  std::unique_ptr<th::Process> bluez, engine, kavrod;

 private:
  std::string rules_path_;
  guint event_subscription_ = 0;
};

}  // namespace kt

/* Shared fixture of the action engine's bus tests: a private bus, a rules
 * file, the engine process and a recorder of the signals it emits. */
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

namespace aetest {

constexpr char kName[] = "com.vemo.Event.ActionEngine.User";
constexpr char kPath[] = "/com/vemo/Event/ActionEngine";
constexpr char kRuleIface[] = "com.vemo.Event.ActionEngine.ActionRule";
constexpr char kControlIface[] = "com.vemo.Sim.ActionEngine1";
constexpr char kTopic[] = "tns1:Device/tnsvemo:Bluetooth/tnsvemo:BeaconReceived";

/* A start event in the engine's layout for @system_id. */
std::string start_event(const std::string &system_id);

struct Signal {
  std::string member;
  std::string args; /* g_variant_print() of the arguments, without types */
};

class EngineTest : public ::testing::Test {
 protected:
  EngineTest();
  ~EngineTest() override;

  /* Writes @text to the rules file ("@FIXTURE@" and "@FIXTURE_NO_ABORT@"
   * become the test plug-ins' paths). */
  void write_rules(const std::string &text);
  /* Starts the engine on the rules file and waits for its bus name. */
  void start_engine(const std::string &rules_text);

  GDBusConnection *connection() { return bus_.connection(); }
  /* Calls a method of the engine; nullptr with @error on failure. */
  GVariant *call(const char *iface, const char *method, GVariant *params, GError **error,
                 int timeout_ms = 5000);
  /* Calls and expects success. */
  void call_ok(const char *iface, const char *method, GVariant *params);
  /* The D-Bus error name a call fails with ("" on success). */
  std::string call_error(const char *iface, const char *method, GVariant *params);
  /* List's reply, printed. */
  std::string list();

  void emit_event(const char *topic, const char *uuid);

  /* Signals received so far and waits on them. */
  size_t count(const std::string &member, const std::string &args = "") const;
  bool wait_signal(const std::string &member, const std::string &args = "", size_t n = 1,
                   int timeout_ms = 5000);
  void clear_signals() { signals_.clear(); }

  std::string dir_;
  std::string rules_path_;
  th::Bus bus_;
  std::unique_ptr<th::Process> engine_;
  std::vector<Signal> signals_;

 private:
  static void on_signal(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                        const gchar *member, GVariant *params, gpointer data);
  guint subscription_ = 0;
};

}  // namespace aetest

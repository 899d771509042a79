/* Recording fakes of the beacon monitor, event and access-control
 * libraries, linked into the daemon's unit tests in their place. */
#pragma once

#include <glib.h>

#include <string>
#include <vector>

#include "advwatch.h"

struct _AdvwatchBeacon {
  guint8 event_number;
};

namespace fake {

/* Every library call in order, e.g. "advwatch_monitor_pause". */
extern std::vector<std::string> calls;

struct Advwatch {
  bool pattern_add_ok = true;
  bool init_ok = true;
  bool pause_ok = true;
  bool resume_ok = true;
  int live_monitors = 0;
  /* What the last init was given (copied: the caller frees the record). */
  std::string adapter_path;
  std::string system_id;
  gint32 options = -1;
  AdvwatchBeaconFunc callback = nullptr;
  gpointer user_data = nullptr;
  int pattern_count = -1; /* -1: no pattern array */
  std::vector<std::string> pattern_values;
  /* The newest live monitor and the state callback its owner set. */
  AdvwatchMonitor *last_monitor = nullptr;
  AdvwatchStateFunc state_callback = nullptr;
  gpointer state_user_data = nullptr;
  AdvwatchStats stats = {};
};
extern Advwatch advwatch;

/* BlueZ moves the newest monitor to @state and tells its owner. */
void bluez_moves_monitor(AdvwatchMonitorState state);

struct Evpub {
  bool producer_ok = true;
  guint32 declare_id = 7;
  bool prepare_ok = true;
  bool set_ok = true;
  int live_producers = 0;
  int live_declarations = 0;
  int live_events = 0;
  std::vector<std::string> sent_values;
};
extern Evpub evpub;

struct Vesk {
  bool init_ok = true;
  int result = 1;
  int error_code = 0; /* 0: no error set on refusal */
  std::string message;
  std::vector<std::string> checked; /* "sender action" */
};
extern Vesk vesk;

void reset();
/* Index of the first call equal to @name, or -1. */
int index_of(const std::string &name);

}  // namespace fake

/* The air between advertisers and scanners, as the Core Specification
 * times it (Vol 6, Part B, 4.4.2.2 and 4.4.3): an advertiser sends one
 * advertising event every advInterval + advDelay (advDelay 0-10 ms, random
 * per event), on all three primary channels within a few hundred
 * microseconds; a passive scanner listens scanWindow of every scanInterval,
 * on one channel at a time. An event is heard when it falls inside a scan
 * window and its packet survives the loss rate. Pure functions over a
 * seeded generator, so one seed replays one run. */
#pragma once

#include <glib.h>

namespace bzsim {

struct ScanTiming {
  double interval_ms = 60; /* bluetoothd's passive scan for monitors */
  double window_ms = 30;
};

/* The interval a controller picks from [@min_ms, @max_ms]. */
double air_choose_interval(double min_ms, double max_ms, GRand *rand);

/* Time from one advertising event to the next: @interval_ms + advDelay. */
double air_next_event_gap(double interval_ms, GRand *rand);

/* Whether a scanner whose windows open at @phase_ms + k * interval listens
 * at @t_ms. */
bool air_scanner_listens(double t_ms, double phase_ms, const ScanTiming &scan);

/* Whether an advertising event at @t_ms reaches that scanner: it listens
 * then and the packet is not lost (@loss 0..1). */
bool air_event_heard(double t_ms, double phase_ms, const ScanTiming &scan, double loss, GRand *rand);

}  // namespace bzsim

#include "air.h"

#include <cmath>

namespace bzsim {

namespace {
constexpr double kMaxAdvDelayMs = 10.0;
}

double air_choose_interval(double min_ms, double max_ms, GRand *rand) {
  return max_ms > min_ms ? g_rand_double_range(rand, min_ms, max_ms) : min_ms;
}

double air_next_event_gap(double interval_ms, GRand *rand) {
  return interval_ms + g_rand_double_range(rand, 0.0, kMaxAdvDelayMs);
}

bool air_scanner_listens(double t_ms, double phase_ms, const ScanTiming &scan) {
  if (scan.window_ms >= scan.interval_ms)
    return true;
  double offset = std::fmod(t_ms - phase_ms, scan.interval_ms);
  if (offset < 0)
    offset += scan.interval_ms;
  return offset < scan.window_ms;
}

bool air_event_heard(double t_ms, double phase_ms, const ScanTiming &scan, double loss, GRand *rand) {
  /* The draw is made whether or not the scanner listens, so a run's draws
   * do not depend on the scan timing. */
  const bool survives = g_rand_double(rand) >= loss;
  return survives && air_scanner_listens(t_ms, phase_ms, scan);
}

}  // namespace bzsim

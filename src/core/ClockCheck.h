// The tick's decisions, from the steady and wall-clock time elapsed since the
// last check.
#pragma once

#include <cstdint>

namespace km::core {

struct ClockCheck {
  bool logMemoryLimits = false;  // first tick, or no check for a day
  bool due = false;              // a second or more since the last check
  bool wallClockChanged = false;
  double wallClockSeconds = 0;   // the wall clock's whole movement, when changed
};

ClockCheck checkClocks(int64_t steadyElapsedNs, int64_t systemElapsedNs) noexcept;

}  // namespace km::core

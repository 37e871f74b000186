#include "core/ClockCheck.h"

namespace km::core {

ClockCheck checkClocks(int64_t steadyElapsedNs, int64_t systemElapsedNs) noexcept {
  ClockCheck check;
  check.logMemoryLimits = (steadyElapsedNs >= -999'999 && steadyElapsedNs <= 999'999) ||
                          steadyElapsedNs > 86'399'999'999'999;
  if (steadyElapsedNs < 1'000'000'000) return check;
  check.due = true;
  const int64_t steadyMs = steadyElapsedNs / 1'000'000;
  const int64_t systemMs = systemElapsedNs / 1'000'000;
  const int64_t movedMs = systemMs < 0 ? -systemMs : systemMs;
  if (steadyMs + 999 < movedMs) {
    check.wallClockChanged = true;
    check.wallClockSeconds = static_cast<double>(systemMs) / 1000.0;
  }
  return check;
}

}  // namespace km::core

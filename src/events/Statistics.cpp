#include "events/Statistics.h"

#include <time.h>

namespace km::core {

std::atomic<uint32_t> throttledVideo{0};
std::atomic<uint32_t> throttledAudio{0};
std::atomic<uint32_t> searchRequests{0};
std::atomic<uint32_t> searchCancels{0};
std::atomic<uint32_t> searchResults{0};
std::atomic<uint32_t> searchResultBytes{0};
std::atomic<uint32_t> ipcSent{0};
std::atomic<uint32_t> ipcDelivered{0};
std::atomic<uint32_t> ipcDeliveredBytes{0};
std::atomic<uint64_t> memoryInUse{0};
std::atomic<uint64_t> memoryInUseAtLastReport{0};

namespace {

// The tick looks at the clock after every event, for a period of a minute:
// the coarse monotonic clock (the same timeline as steady_clock, advanced at
// the kernel's tick) costs a fraction of a precise read.
std::chrono::steady_clock::time_point coarseNow() noexcept {
  timespec now{};
  if (clock_gettime(CLOCK_MONOTONIC_COARSE, &now) != 0) return std::chrono::steady_clock::now();
  return std::chrono::steady_clock::time_point(std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec));
}

}  // namespace

StatisticsClock statisticsClock = &coarseNow;

}  // namespace km::core

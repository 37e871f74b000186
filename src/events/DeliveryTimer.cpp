#include "events/DeliveryTimer.h"

#include <chrono>

#include "events/DispatchLoop.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <x86intrin.h>
#define DVRCORE_HAVE_TSC 1
#endif

namespace km::core {

namespace {

constexpr int64_t kCalibrationSpanNs = 20'000'000;

int64_t nanosecondsOf(std::chrono::steady_clock::time_point t) noexcept {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

bool hasInvariantCounter() noexcept {
#ifdef DVRCORE_HAVE_TSC
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (static_cast<unsigned>(__get_cpuid_max(0x80000000u, nullptr)) < 0x80000007u) return false;
  __cpuid(0x80000007u, eax, ebx, ecx, edx);
  return (edx & (1u << 8)) != 0;  // the counter's rate is constant and it never stops
#else
  return false;
#endif
}

uint64_t readCounter() noexcept {
#ifdef DVRCORE_HAVE_TSC
  return __rdtsc();
#else
  return 0;
#endif
}

}  // namespace

DeliveryTimer::DeliveryTimer() noexcept : counterUsable(hasInvariantCounter()) {}

int64_t DeliveryTimer::now() noexcept {
  const DeliveryClock clock = deliveryClock;
  if (!counterUsable || clock != &std::chrono::steady_clock::now) return nanosecondsOf(clock());
  const uint64_t ticks = readCounter();
  if (nsPerTick > 0) {
    // Signed: after a move to another processor the counter may be a little behind.
    return anchorNs + static_cast<int64_t>(static_cast<double>(static_cast<int64_t>(ticks - anchorTicks)) * nsPerTick);
  }
  const int64_t steady = nanosecondsOf(std::chrono::steady_clock::now());
  if (anchorNs == 0) {
    anchorTicks = ticks;
    anchorNs = steady;
  } else if (steady - anchorNs >= kCalibrationSpanNs) {
    const double rate = static_cast<double>(steady - anchorNs) / static_cast<double>(static_cast<int64_t>(ticks - anchorTicks));
    // A counter between 10 MHz and 100 GHz is believable; anything else
    // (one that does not advance) leaves the clock in charge.
    if (rate >= 0.01 && rate <= 100.0) {
      nsPerTick = rate;
      anchorTicks = ticks;
      anchorNs = steady;
    } else {
      counterUsable = false;
    }
  }
  return steady;
}

}  // namespace km::core

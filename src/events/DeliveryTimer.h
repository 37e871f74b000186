// The clock that times each delivery of the dispatch loop.
#pragma once

#include <cstdint>

namespace km::core {

// Nanoseconds on the steady clock's timeline, read once or twice per
// delivery. Where the processor has a time-stamp counter that ticks at a
// constant rate (x86), the counter is read instead of the clock once its rate
// has been measured against the clock over the first 20 ms of reads; a
// replaced deliveryClock (tests) and every other processor read the clock.
class DeliveryTimer {
 public:
  DeliveryTimer() noexcept;
  int64_t now() noexcept;
  // Whether reads come from the counter now (for tests).
  bool onCounter() const noexcept { return nsPerTick > 0; }

 private:
  bool counterUsable;
  uint64_t anchorTicks = 0;
  int64_t anchorNs = 0;
  double nsPerTick = 0;
};

}  // namespace km::core

// Process-wide traffic counters and the dispatch loop's own figures, read and
// reset by the once-a-minute statistics tick. Counters are relaxed atomics:
// approximate counts are fine, torn or lost words are not.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace km::core {

extern std::atomic<uint32_t> throttledVideo;
extern std::atomic<uint32_t> throttledAudio;
extern std::atomic<uint32_t> searchRequests;
extern std::atomic<uint32_t> searchCancels;
extern std::atomic<uint32_t> searchResults;
extern std::atomic<uint32_t> searchResultBytes;
extern std::atomic<uint32_t> ipcSent;
extern std::atomic<uint32_t> ipcDelivered;
extern std::atomic<uint32_t> ipcDeliveredBytes;
extern std::atomic<uint32_t> memoryInUse;

// State the dispatch loop keeps and hands to the statistics tick. Owned by the
// dispatch thread.
struct DispatchStatistics {
  uint32_t queueDepth = 0;
  uint32_t eventsDispatched = 0;
  uint32_t idleSeconds = 0;
  uint64_t logDeliveryMicros = 0;
  std::chrono::steady_clock::time_point lastReport{};
  std::vector<std::pair<uint32_t, uint32_t>> top;  // (plug-in id, references)
  std::string topText;
};

}  // namespace km::core

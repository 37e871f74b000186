// Process-wide traffic counters and the dispatch loop's own figures, read and
// reset by the once-a-minute statistics tick. Counters are relaxed atomics:
// approximate counts are fine, torn or lost words are not.
#pragma once

#include <array>
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
// The latest memory reading in bytes (64-bit on every target), and what it
// was at the previous statistics tick.
extern std::atomic<uint64_t> memoryInUse;
extern std::atomic<uint64_t> memoryInUseAtLastReport;

// (plug-in id, references held), largest count first, lower id first among
// equal counts; at most kTopHolders pairs.
using TopList = std::vector<std::pair<uint32_t, uint32_t>>;
inline constexpr std::size_t kTopHolders = 5;
void rebuildTopList(TopList& top, const std::array<std::atomic<uint32_t>, 256>& held);

// State the dispatch loop keeps and hands to the statistics tick. Owned by the
// dispatch thread.
struct DispatchStatistics {
  uint32_t queueDepth = 0;
  uint32_t eventsDispatched = 0;
  uint32_t idleSeconds = 0;
  uint64_t logDeliveryMicros = 0;
  std::chrono::steady_clock::time_point lastReport{};
  TopList top;
  std::string topText;
};

// One statistics line per this period at most.
inline constexpr std::chrono::seconds kStatisticsPeriod{60};

// The clock of the statistics tick (and of the dispatch loop's first
// lastReport); steady_clock::now unless a test replaces it before the loop runs.
using StatisticsClock = std::chrono::steady_clock::time_point (*)();
extern StatisticsClock statisticsClock;

}  // namespace km::core

// The once-a-minute statistics line: queue, traffic, refusals, IPC and search
// volume, memory and the plug-ins holding the most payload references. Runs
// on the dispatch thread, without queueMutex.
#include <fmt/format.h>

#include "core/DvrCore.h"
#include "events/DispatchLoop.h"
#include "events/PayloadBlock.h"
#include "events/Statistics.h"
#include "log/CoreLog.h"
#include "log/FormatSize.h"

namespace km::core {

namespace {

constexpr int32_t kStatisticsLevel = 25;

// The memory figure, and its change since the previous tick when there is one.
std::string memoryText(uint64_t inUse, uint64_t previous) {
  std::string text = formatSize(static_cast<int64_t>(inUse));
  const int64_t change = static_cast<int64_t>(inUse - previous);
  if (change > 0) {
    text += " +" + formatSize(change);
  } else if (change < 0) {
    text += " " + formatSize(change);
  }
  return text;
}

}  // namespace

void rebuildTopList(TopList& top, const std::array<std::atomic<uint32_t>, 256>& held) {
  top.clear();
  for (uint32_t id = 0; id < held.size(); ++id) {
    const uint32_t count = held[id].load(std::memory_order_seq_cst);
    if (count == 0) continue;
    // Before the first smaller count: equal counts keep ascending id order.
    auto at = top.begin();
    while (at != top.end() && at->second >= count) ++at;
    if (at - top.begin() >= static_cast<std::ptrdiff_t>(kTopHolders)) continue;
    top.insert(at, {id, count});
    if (top.size() > kTopHolders) top.pop_back();
  }
}

void DvrCore::statisticsTick(DispatchStatistics& stats) {
  const auto now = statisticsClock();
  if (now - stats.lastReport < kStatisticsPeriod) return;
  stats.lastReport = now;

  // Read and reset in one step: an increment from another thread lands
  // either in this line or in the next one, never in neither.
  const uint32_t events = std::exchange(stats.eventsDispatched, 0);
  const uint32_t idle = std::exchange(stats.idleSeconds, 0);
  const uint64_t logMicros = std::exchange(stats.logDeliveryMicros, 0);
  const uint32_t video = throttledVideo.exchange(0, std::memory_order_relaxed);
  const uint32_t audio = throttledAudio.exchange(0, std::memory_order_relaxed);
  const uint32_t sent = ipcSent.exchange(0, std::memory_order_relaxed);
  const uint32_t delivered = ipcDelivered.exchange(0, std::memory_order_relaxed);
  const uint32_t deliveredBytes = ipcDeliveredBytes.exchange(0, std::memory_order_relaxed);
  const uint32_t requests = searchRequests.exchange(0, std::memory_order_relaxed);
  const uint32_t cancels = searchCancels.exchange(0, std::memory_order_relaxed);
  const uint32_t results = searchResults.exchange(0, std::memory_order_relaxed);
  const uint32_t resultBytes = searchResultBytes.exchange(0, std::memory_order_relaxed);
  const uint64_t inUse = memoryInUse.load(std::memory_order_relaxed);
  const uint64_t previousInUse = memoryInUseAtLastReport.exchange(inUse, std::memory_order_relaxed);

  rebuildTopList(stats.top, heldReferences);
  if (logThreshold(0) > kStatisticsLevel) return;

  stats.topText.clear();
  for (const auto& [id, count] : stats.top) {
    fmt::format_to(std::back_inserter(stats.topText), logLocale(), "{}{} {:L}", stats.topText.empty() ? "" : ", ",
                   moduleNameOf(plugins, id), count);
  }
  coreLog(kStatisticsLevel,
          "InQ:{:L} events:{:L} idle:{}s throttled[v:{:L} a:{:L}]"
          "\nltm:{:L}us ipc[r:{:L} p:{:L} d:{}] srch[r:{:L} c:{:L} p:{:L} d:{}]"
          "\nmemory[inuse:{}] refblks:{:L}({}) top: {}",
          stats.queueDepth, events, idle, video, audio, logMicros, sent, delivered, formatSize(deliveredBytes),
          requests, cancels, results, formatSize(resultBytes), memoryText(inUse, previousInUse),
          payloadBlockCount.load(std::memory_order_seq_cst),
          formatSize(payloadBlockBytes.load(std::memory_order_seq_cst)), stats.topText);
}

}  // namespace km::core

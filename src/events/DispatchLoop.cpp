// The dispatch loop: one event at a time, to every plug-in that wants it, in
// plug-in order, on the main thread.
#include "events/DispatchLoop.h"

#include <atomic>
#include <thread>
#include <vector>

#include "core/DvrCore.h"
#include "events/DeliveryTimer.h"
#include "events/EventModel.h"
#include "events/PayloadBlock.h"
#include "events/Wants.h"
#include "log/CoreLog.h"
#include "plugins/Plugin.h"

namespace km::core {

DeliveryClock deliveryClock = &std::chrono::steady_clock::now;

namespace {
// Records a drained batch may keep room for (184 bytes each): enough for the
// bursts of a busy camera without allocating, not enough to matter after one.
constexpr std::size_t kRetainedBatch = 4096;

// Looking out for the next event: some 64 pauses of the processor, a few
// microseconds, far less than a sleep and a wake-up cost.
constexpr int kLookOutRounds = 64;

inline void pauseBriefly() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__arm__) || defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#else
  std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}
}  // namespace

std::string_view moduleNameOf(const PluginList& plugins, uint32_t pluginId) {
  if (pluginId == 0) return "Core";
  for (const PluginPtr& plugin : plugins) {
    if (plugin->hasId() && pluginIdOf(plugin->idWord()) == pluginId) return plugin->displayName();
  }
  return "unknown";
}

void DvrCore::dispatchLoop() {
  using namespace std::chrono;
  DispatchStatistics stats;
  stats.lastReport = statisticsClock() - kStatisticsPeriod;  // the first tick reports at once
  // Everything queued is taken in one go and delivered from here, in order:
  // posting threads then meet the lock once per batch instead of once per
  // event. The two vectors trade places, so neither allocates once both
  // have grown to the usual batch.
  std::vector<EventParms> batch;
  // Going to sleep makes the next poster pay for a wake-up call and the next
  // event wait for the scheduler: after a batch the loop first looks out for
  // the next event for a few microseconds (not on a single processor, where
  // that would only hold the poster up).
  const bool lookOut = std::thread::hardware_concurrency() > 1;
  bool afterBatch = false;
  for (;;) {
    if (afterBatch && lookOut) {
      for (int look = 0; look < kLookOutRounds && !eventsQueued.load(std::memory_order_relaxed); ++look) pauseBriefly();
    }
    afterBatch = false;
    {
      std::unique_lock lock(queueMutex);
      if (eventQueue.empty()) {
        // The deadline matters only when there is something to wait for.
        const auto deadline = steady_clock::now() + seconds(1);
        dispatcherWaiting = true;
        queueCond.wait_until(lock, deadline, [this] { return stopping() || !eventQueue.empty(); });
        dispatcherWaiting = false;
      }
      if (eventQueue.empty()) {
        if (stopping()) return;
        ++stats.idleSeconds;
        stats.queueDepth = 0;
        lock.unlock();
        statisticsTick(stats);
        continue;
      }
      batch.swap(eventQueue);
      eventsQueued.store(false, std::memory_order_relaxed);
    }
    afterBatch = true;
    for (std::size_t next = 0; next < batch.size(); ++next) {
      const EventParms e = batch[next];
      ++stats.eventsDispatched;
      if (statisticsClock() - stats.lastReport >= kStatisticsPeriod) {
        // Due for a line: those still queued are the rest of the batch and
        // whatever came in since it was taken.
        std::lock_guard guard(queueMutex);
        stats.queueDepth = static_cast<uint32_t>(batch.size() - next - 1 + eventQueue.size());
      }
      statisticsTick(stats);
      onConfigEvent(e);
      deliverToPlugins(e, stats);
      release(e.payload, 0);
    }
    batch.clear();
    // A burst leaves no lasting mark on the footprint.
    if (batch.capacity() > kRetainedBatch) batch = std::vector<EventParms>();
  }
}

void DvrCore::deliverToPlugins(const EventParms& e, DispatchStatistics& stats) {
  thread_local DeliveryTimer timer;
  // The read that ends one delivery also starts the next (a read costs as
  // much as a whole delivery to a plug-in that returns at once), except after
  // a report: writing it must not count against the next plug-in.
  int64_t lastRead = 0;
  bool haveLastRead = false;
  for (const PluginPtr& plugin : plugins) {
    if (!wants(plugin->declaration, e)) continue;
    const int64_t t0 = haveLastRead ? lastRead : timer.now();
    const uint32_t id = plugin->pluginId();
    // Each plug-in gets its own copy: what one scribbles on, the next never sees.
    const EventParms delivered = e;
    DeliveryReference reference(e.payload, id);
    reference.settle(plugin->deliverFromDispatch(delivered));
    const int64_t t1 = timer.now();
    lastRead = t1;
    haveLastRead = true;
    const int64_t took = t1 > t0 ? t1 - t0 : 0;
    if (e.type == DVR_TYPE_LOG) {
      if (e.flags & DVR_FLAG_LIVE) stats.logDeliveryMicros += static_cast<uint64_t>(took / 1000);
    } else if (took > kSlowDelivery.count()) {
      coreLog(0, "{} took {}ms for {} event from {} [{:L}]", plugin->displayName(), took / 1'000'000,
              typeName(e.type), moduleNameOf(plugins, moduleSlotOf(e.source)), e.length);
      haveLastRead = false;
    }
  }
}

}  // namespace km::core

// The dispatch loop: one event at a time, to every plug-in that wants it, in
// plug-in order, on the main thread.
#include "events/DispatchLoop.h"

#include <optional>

#include "core/DvrCore.h"
#include "events/EventModel.h"
#include "events/PayloadBlock.h"
#include "events/Wants.h"
#include "log/CoreLog.h"
#include "plugins/Plugin.h"

namespace km::core {

DeliveryClock deliveryClock = &std::chrono::steady_clock::now;

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
  for (;;) {
    EventParms e;
    {
      std::unique_lock lock(queueMutex);
      if (eventQueue.empty()) {
        // The deadline matters only when there is something to wait for.
        const auto deadline = steady_clock::now() + seconds(1);
        queueCond.wait_until(lock, deadline, [this] { return stopping() || !eventQueue.empty(); });
      }
      if (eventQueue.empty()) {
        if (stopping()) return;
        ++stats.idleSeconds;
        stats.queueDepth = 0;
        lock.unlock();
        statisticsTick(stats);
        continue;
      }
      e = eventQueue.front();
      eventQueue.pop_front();
      stats.queueDepth = static_cast<uint32_t>(eventQueue.size());
      ++stats.eventsDispatched;
    }
    statisticsTick(stats);
    onConfigEvent(e);
    deliverToPlugins(e, stats);
    release(e.payload, 0);
  }
}

void DvrCore::deliverToPlugins(const EventParms& e, DispatchStatistics& stats) {
  // The clock read that ends one delivery also starts the next (a read costs
  // as much as a whole delivery to a plug-in that returns at once), except
  // after a report: writing it must not count against the next plug-in.
  // (A flag beside the time rather than an optional: GCC 12 for ARM warns
  // that an optional time point may be read uninitialised.)
  std::chrono::steady_clock::time_point lastRead{};
  bool haveLastRead = false;
  for (const PluginPtr& plugin : plugins) {
    if (!wants(plugin->declaration, e)) continue;
    const auto t0 = haveLastRead ? lastRead : deliveryClock();
    const uint32_t id = plugin->pluginId();
    // Each plug-in gets its own copy: what one scribbles on, the next never sees.
    const EventParms delivered = e;
    DeliveryReference reference(e.payload, id);
    reference.settle(plugin->deliverEvent(delivered));
    const auto t1 = deliveryClock();
    lastRead = t1;
    haveLastRead = true;
    const int64_t took = std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count();
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

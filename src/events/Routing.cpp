// post and route: the one way into the core for every event.
#include "core/DvrCore.h"
#include "events/EventModel.h"
#include "events/PayloadBlock.h"

namespace km::core {

int32_t post(EventParms* e) {
  if (!e) return 1;
  DvrCore* core = theCore;
  if (!core) return 1;
  if (!e->payload) e->length = 0;
  try {
    return core->route(*e);
  } catch (...) {
    // Nothing may unwind into a plug-in; an event the core could not take is refused.
    return 1;
  }
}

int32_t DvrCore::route(EventParms& e) {
  switch (baseType(e.type)) {
    case DVR_TYPE_LOG:
      if (e.flags & DVR_FLAG_QUERY) return logThreshold(pluginIdOf(e.source));
      if (filterLogEvent(e) == 0) return stopping() ? 1 : 0;
      break;
    case DVR_TYPE_DECREF:
      return releaseKept(e.payload, pluginIdOf(e.source));
    case DVR_TYPE_CANCEL:
      if (e.flags & DVR_FLAG_QUERY) return threadWaiters.isCancelled(e.requestId) ? 1 : 0;
      threadWaiters.cancel(e.requestId);
      searchCancels.fetch_add(1, std::memory_order_relaxed);
      return 0;
    case DVR_TYPE_IPC:
      return sendIpc(e);
    case DVR_TYPE_CRYPTO:
      return cryptoRequest(e);
    default:
      break;
  }
  if (stopping()) return 1;
  if (searchRequest(e)) return 0;
  if (const int32_t refused = admitLiveFrame(e)) return refused;
  return queueEvent(e, QueueWhen::Running);
}

// Live audio and video: a stream is admitted from a key frame on, cut from the
// 765th non-key frame after it, and refused while memory is short.
int32_t DvrCore::admitLiveFrame(const EventParms& e) {
  if (!(e.flags & DVR_FLAG_LIVE) || (e.type != DVR_TYPE_VIDEO && e.type != DVR_TYPE_AUDIO)) return 0;
  std::lock_guard guard(liveSourceMutex);
  int16_t& counter = liveSources.try_emplace(e.source, int16_t{0}).first->second;
  if (throttling.load(std::memory_order_relaxed)) {
    counter = 0;
    (e.type == DVR_TYPE_VIDEO ? throttledVideo : throttledAudio).fetch_add(1, std::memory_order_relaxed);
    return 5;
  }
  if (!isLiveVideoFrame(e)) return 0;
  if (isKeyFrame(e)) {
    counter = 1;
    return 0;
  }
  if (counter == 0) return 3;
  // Saturates instead of wrapping, so a stream without key frames stays cut.
  if (counter <= kMaxFramesAfterKey) ++counter;
  return counter > kMaxFramesAfterKey ? 4 : 0;
}

int32_t DvrCore::queueEvent(EventParms& e, QueueWhen when) {
  PayloadBlockPtr block;
  if (e.length > 0 && e.payload) block = newPayloadBlock(e.payload, e.length);

  const bool searchAnswer = e.requestId != 0 && (e.source == kCoreId || pluginIdOf(e.source) != 0);
  if (searchAnswer && threadWaiters.admitAnswer(e.requestId, block.get(), e.length) != 0) return 1;

  EventParms queued = e;
  queued.payload = block.get();
  // The core's own reference, taken before the dispatch loop can see the event.
  acquire(queued.payload, 0);
  block.release();
  bool tooLate = false;
  bool wake = false;
  try {
    std::lock_guard guard(queueMutex);
    // Checked again under the lock: an event that slipped past route's check
    // while the stop came would otherwise land behind the loop's last look.
    tooLate = when == QueueWhen::Running && stopping();
    if (!tooLate) {
      eventQueue.push_back(queued);
      eventsQueued.store(true, std::memory_order_relaxed);
    }
    wake = dispatcherWaiting;
  } catch (...) {
    release(queued.payload, 0);
    throw;
  }
  if (tooLate) {
    // Outside queueMutex: freeing the block takes the search registry's lock.
    release(queued.payload, 0);
    return 1;
  }
  if (wake) queueCond.notify_one();
  return 0;
}

}  // namespace km::core

#include "events/EventModel.h"

namespace km::core {

std::string_view typeName(uint32_t type) noexcept {
  switch (baseType(type)) {
    case DVR_TYPE_UNSPECIFIED: return "unspecified";
    case DVR_TYPE_VIDEO: return "video";
    case DVR_TYPE_AUDIO: return "audio";
    case DVR_TYPE_ALARM: return "alarm";
    case DVR_TYPE_PTZ: return "ptz";
    case DVR_TYPE_SERIAL: return "serial";
    case DVR_TYPE_WATCHDOG: return "watchdog";
    case DVR_TYPE_LOG: return "log";
    case DVR_TYPE_CONFIG: return "config";
    case DVR_TYPE_DECREF: return "decref";
    case DVR_TYPE_POS: return "pos";
    case DVR_TYPE_CANCEL: return "cancel";
    case DVR_TYPE_IPC: return "ipc";
    case DVR_TYPE_CRYPTO: return "crypto";
    case DVR_TYPE_ANALYTIC: return "analytic";
    default: return "unknown";
  }
}

namespace {

template <class Cls>
std::any view(const EventParms& e) {
  return std::any(static_cast<const Cls*>(&e));
}

template <class Stored, class Live>
std::any storedOr(const EventParms& e) {
  return (e.flags & DVR_FLAG_STORED) ? view<Stored>(e) : view<Live>(e);
}

}  // namespace

std::any typedView(const EventParms& e) {
  const bool output = (e.frameFlags & DVR_FRAME_FLAG_OUTPUT) != 0;
  switch (baseType(e.type)) {
    case DVR_TYPE_VIDEO:
      if (e.flags & DVR_FLAG_STORED) return view<StoredVideoEvt>(e);
      return (e.type == DVR_TYPE_VIDEO && output) ? view<VideoOutEvt>(e) : view<VideoEvt>(e);
    case DVR_TYPE_AUDIO:
      if (e.flags & DVR_FLAG_STORED) return view<StoredAudioEvt>(e);
      return (e.type == DVR_TYPE_AUDIO && output) ? view<AudioOutEvt>(e) : view<AudioEvt>(e);
    case DVR_TYPE_ALARM: return storedOr<StoredAlarmEvt, AlarmEvt>(e);
    case DVR_TYPE_PTZ: return view<PTZEvt>(e);
    case DVR_TYPE_SERIAL: return view<SerialEvt>(e);
    case DVR_TYPE_WATCHDOG: return view<WatchdogEvt>(e);
    case DVR_TYPE_LOG: return storedOr<StoredLogEvt, LogEvt>(e);
    case DVR_TYPE_CONFIG: return view<ConfigEvt>(e);
    case DVR_TYPE_POS: return storedOr<StoredPOSEvt, POSEvt>(e);
    case DVR_TYPE_ANALYTIC: return storedOr<StoredAnalyticEvt, AnalyticEvt>(e);
    default: return {};
  }
}

bool isLiveVideoFrame(const EventParms& e) {
  const std::any v = typedView(e);
  return std::any_cast<const VideoEvt*>(&v) != nullptr;
}

EventParms makeCoreEvent(uint32_t type, uint32_t flags, uint32_t param, const void* payload,
                         uint32_t length) noexcept {
  EventParms e = makeEventRecord(type, flags);
  e.source = kCoreId;
  e.param = param;
  e.payload = const_cast<void*>(payload);
  e.length = payload ? length : 0;
  return e;
}

}  // namespace km::core

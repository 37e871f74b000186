// plugin_events.hpp - typed C++ views of the event record (C++20 only).
//
// Every class here is the same 184-byte EventParms (192 on 64-bit builds): no
// data members, no virtual functions. Each carries its class flag F (live or
// stored) and its type code T as compile-time constants, and a default
// constructor that yields a ready-to-post record of that kind:
//
//     km::core::VideoEvt frame;             // size, version, type 1, live
//     frame.source = DVR_SOURCE_PLUGIN(myId);
//     frame.setKeyFrame(true);
//     frame.setPayload(bytes, n);
//     post(&frame);
#ifndef DVRCORE_PLUGIN_EVENTS_HPP
#define DVRCORE_PLUGIN_EVENTS_HPP

#include <cstdint>
#include <cstring>
#include <string_view>

#include "plugin_api.h"

namespace km::core {

inline constexpr uint32_t kLiveClass = DVR_FLAG_LIVE;     // 16777216
inline constexpr uint32_t kStoredClass = DVR_FLAG_STORED; // 67108864

// Zero-filled record with the header words every event carries.
inline EventParms makeEventRecord(uint32_t type, uint32_t flags) noexcept {
  EventParms e;
  std::memset(&e, 0, sizeof e);
  e.size = sizeof(EventParms);
  e.version = DVR_EVENT_VERSION;
  e.paramsSize = DVR_EVENT_PARAMS_SIZE;
  e.paramsVersion = DVR_EVENT_PARAMS_VERSION;
  e.type = type;
  e.flags = flags;
  return e;
}

// Common base of the typed views: F and T as constants, payload helpers.
template <uint32_t F, uint32_t T>
struct TypedEvt : EventParms {
  static constexpr uint32_t classFlag = F;
  static constexpr uint32_t typeCode = T;

  TypedEvt() noexcept : EventParms(makeEventRecord(T, F)) {}

  void setPayload(const void* bytes, uint32_t n) noexcept {
    payload = const_cast<void*>(bytes);
    length = bytes ? n : 0;
  }
  std::string_view bytes() const noexcept {
    return payload ? std::string_view(static_cast<const char*>(payload), length)
                   : std::string_view();
  }
};

// Video and audio: time stamp and frame bits in the type-specific area.
template <uint32_t F, uint32_t T>
struct MediaBase : TypedEvt<F, T> {
  bool isKeyFrame() const noexcept {
    return (this->frameKind & DVR_FRAME_KIND_MASK) == DVR_FRAME_KIND_KEY;
  }
  void setKeyFrame(bool key) noexcept {
    this->frameKind = static_cast<uint8_t>((this->frameKind & ~DVR_FRAME_KIND_MASK) |
                                           (key ? DVR_FRAME_KIND_KEY : 0u));
  }
  bool isOutputFrame() const noexcept { return (this->frameFlags & DVR_FRAME_FLAG_OUTPUT) != 0; }
  void setTimestamp(uint32_t seconds, uint16_t millis) noexcept {
    this->frameSeconds = seconds;
    this->frameMillis = millis;
  }
};

template <uint32_t F, uint32_t T>
struct VideoBase : MediaBase<F, T> {};
template <uint32_t F, uint32_t T>
struct AudioBase : MediaBase<F, T> {};

// Payload is an XML document.
template <uint32_t F, uint32_t T>
struct XmlEvt : TypedEvt<F, T> {
  XmlEvt() noexcept { this->flags |= DVR_FLAG_XML; }
};

// Payload is plain text.
template <uint32_t F, uint32_t T>
struct TxtEvt : TypedEvt<F, T> {
  TxtEvt() noexcept { this->flags |= DVR_FLAG_TEXT; }
};

struct VideoEvt : VideoBase<16777216u, 1u> {};
struct VideoOutEvt : VideoEvt {
  VideoOutEvt() noexcept { frameFlags |= DVR_FRAME_FLAG_OUTPUT; }
};
struct StoredVideoEvt : VideoBase<67108864u, 1u> {};
struct AudioEvt : AudioBase<16777216u, 2u> {};
struct AudioOutEvt : AudioEvt {
  AudioOutEvt() noexcept { frameFlags |= DVR_FRAME_FLAG_OUTPUT; }
};
struct StoredAudioEvt : AudioBase<67108864u, 2u> {};
struct AlarmEvt : XmlEvt<16777216u, 4u> {};
struct StoredAlarmEvt : XmlEvt<67108864u, 4u> {};
struct PTZEvt : XmlEvt<16777216u, 8u> {};
struct SerialEvt : TxtEvt<16777216u, 16u> {};
// Not interpreted by the core; goes back to its own origin only.
struct WatchdogEvt : EventParms {
  static constexpr uint32_t classFlag = 0;
  static constexpr uint32_t typeCode = 32u;
  WatchdogEvt() noexcept : EventParms(makeEventRecord(typeCode, 0)) {}
};
struct LogEvt : TxtEvt<16777216u, 64u> {
  // Severity 0-100 in param.
  void setLevel(int32_t level) noexcept { param = static_cast<uint32_t>(level); }
};
struct StoredLogEvt : XmlEvt<67108864u, 64u> {};
struct ConfigEvt : XmlEvt<16777216u, 256u> {};
struct POSEvt : TxtEvt<16777216u, 1024u> {};
struct StoredPOSEvt : XmlEvt<67108864u, 1024u> {};
struct AnalyticEvt : XmlEvt<16777216u, 65536u> {};
struct StoredAnalyticEvt : XmlEvt<67108864u, 65536u> {};

static_assert(sizeof(VideoOutEvt) == sizeof(EventParms) && sizeof(StoredAnalyticEvt) == sizeof(EventParms),
              "typed views add no data");

}  // namespace km::core

#endif  // DVRCORE_PLUGIN_EVENTS_HPP

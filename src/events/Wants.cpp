#include "events/Wants.h"

#include "events/EventModel.h"

namespace km::core {

namespace {

constexpr bool asksForLive(uint32_t interest) noexcept { return (interest & DVR_INTEREST_LIVE) != 0; }

// Own media comes back only as an output frame; core media with the modifier
// bit never reaches a plug-in whose id is 0.
bool wantsMedia(uint32_t idWord, const EventParms& e, uint32_t exactType, uint32_t interest) noexcept {
  if (e.type == exactType && sameOrigin(idWord, e.source)) return (e.frameFlags & DVR_FRAME_FLAG_OUTPUT) != 0;
  const bool hasIdZero = idWord != kCoreId && pluginIdOf(idWord) == 0;
  if (e.type == (exactType | DVR_TYPE_MODIFIER) && hasIdZero) return false;
  return asksForLive(interest);
}

}  // namespace

bool wants(const LoadOut& declaration, const EventParms& e) noexcept {
  const uint32_t idWord = declaration.idWord;
  // Search answers go back to the plug-in whose id the request carries.
  if (e.flags & DVR_FLAG_STORED) return sameOrigin(idWord, e.requestId);
  const bool ownEvent = sameOrigin(idWord, e.source);
  switch (baseType(e.type)) {
    case DVR_TYPE_VIDEO: return wantsMedia(idWord, e, DVR_TYPE_VIDEO, declaration.videoInterest);
    case DVR_TYPE_AUDIO: return wantsMedia(idWord, e, DVR_TYPE_AUDIO, declaration.audioInterest);
    case DVR_TYPE_ALARM: return asksForLive(declaration.alarmInterest);
    case DVR_TYPE_PTZ: return asksForLive(declaration.ptzInterest);
    case DVR_TYPE_SERIAL: return asksForLive(declaration.serialInterest);
    case DVR_TYPE_WATCHDOG: return ownEvent;
    case DVR_TYPE_LOG: return !ownEvent && asksForLive(declaration.logInterest);
    case DVR_TYPE_CONFIG: return ownEvent ? e.param != 0 : true;
    case DVR_TYPE_POS: return asksForLive(declaration.posInterest);
    case DVR_TYPE_ANALYTIC: return ownEvent ? e.param != 0 : asksForLive(declaration.analyticInterest);
    default: return false;
  }
}

}  // namespace km::core

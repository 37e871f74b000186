#include "events/AsyncEvent.h"

#include <cstring>
#include <new>

namespace km::core {

AsyncEvent::AsyncEvent(const EventParms& source) : EventParms(source) {
  payload = nullptr;
  if (source.payload && source.length) {
    ownedPayload.reset(new (std::nothrow) unsigned char[source.length]);
    if (ownedPayload) {
      std::memcpy(ownedPayload.get(), source.payload, source.length);
      payload = ownedPayload.get();
    }
  }
}

}  // namespace km::core

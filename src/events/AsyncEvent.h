// An event copy that owns a private copy of its payload, shared read-only by
// threads that outlive the poster (search threads).
#pragma once

#include <memory>

#include "plugin_api.h"

namespace km::core {

struct AsyncEvent : EventParms {
  // Copies the record and its payload. When the payload is empty or cannot be
  // allocated, `payload` is null and `length` is unchanged.
  explicit AsyncEvent(const EventParms& source);

  AsyncEvent(const AsyncEvent&) = delete;
  AsyncEvent& operator=(const AsyncEvent&) = delete;

 private:
  std::unique_ptr<unsigned char[]> ownedPayload;
};

}  // namespace km::core

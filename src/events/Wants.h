// Which plug-ins receive which events.
#pragma once

#include "plugin_api.h"

namespace km::core {

// Whether a plug-in with this declaration receives the dequeued event: its
// interest words, and for some types the event's origin.
bool wants(const LoadOut& declaration, const EventParms& e) noexcept;

}  // namespace km::core

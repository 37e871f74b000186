// Configuration and status hooks of the run sequence. The configuration
// files and the status document are not handled yet: the defaults of the
// constructor stay in force and nothing is published.
#include "core/DvrCore.h"

namespace km::core {

void DvrCore::loadConfig() {}

void DvrCore::publishStatus() {}

void DvrCore::onConfigEvent(const EventParms&) {}

}  // namespace km::core

// Memory watch hooks of the tick. The watch itself (limits, readings,
// throttling episodes and alarms) is not built yet.
#include "core/DvrCore.h"

namespace km::core {

void DvrCore::memoryAlarm() {}

void DvrCore::setUpMemoryLimits() {}

void DvrCore::logMemoryLimits() {}

void DvrCore::takeMemoryReading() {}

}  // namespace km::core

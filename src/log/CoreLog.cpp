#include "log/CoreLog.h"

#include "core/DvrCore.h"
#include "events/EventModel.h"

namespace km::core {

bool coreLogPasses(int32_t level) noexcept {
  DvrCore* core = theCore;
  return core && core->logThreshold(0) <= level;
}

void postCoreLogLine(int32_t level, std::string_view text) noexcept {
  DvrCore* core = theCore;
  if (!core || text.empty()) return;
  EventParms e = makeCoreEvent(DVR_TYPE_LOG, DVR_FLAG_LIVE | DVR_FLAG_TEXT, static_cast<uint32_t>(level),
                               text.data(), static_cast<uint32_t>(text.size()));
  try {
    core->route(e);
  } catch (...) {
    // Logging never brings its caller down.
  }
}

const std::locale& logLocale() {
  static const std::locale chosen = [] {
    try {
      return std::locale("en_US.UTF-8");
    } catch (...) {
      return std::locale::classic();
    }
  }();
  return chosen;
}

namespace detail {
namespace {
thread_local std::string threadBuffer;
thread_local bool threadBufferInUse = false;
}  // namespace

MessageBuffer::MessageBuffer() {
  if (threadBufferInUse) {
    buffer = &nested;
  } else {
    threadBufferInUse = true;
    if (threadBuffer.capacity() < 2048) threadBuffer.reserve(2048);
    threadBuffer.clear();
    buffer = &threadBuffer;
  }
}

MessageBuffer::~MessageBuffer() {
  if (buffer == &threadBuffer) threadBufferInUse = false;
}
}  // namespace detail

}  // namespace km::core

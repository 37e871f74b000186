// The log path inside the core: thresholds, the live log filter and the
// console line with its syslog copy.
#include <syslog.h>

#include <chrono>
#include <cstdio>

#include "core/DvrCore.h"
#include "events/EventModel.h"
#include "log/ConsoleLine.h"
#include "plugins/Plugin.h"

namespace km::core {

namespace {

// The dispatch loop no longer runs: the log plug-in gets the line now, on
// this thread. Like the queue, this path never hands a plug-in its own lines
// (which would also recurse for a log plug-in that logs from inside OnEvent).
void handToLogPlugin(Plugin* log, const EventParms& e) {
  if (!log || sameOrigin(log->idWord(), e.source)) return;
  (void)log->deliverEvent(e);
}

// Writes one whole console line. A line that cannot be written (a full
// pipe, a console nobody reads: the process ignores SIGPIPE) is simply
// missing from the console; the stream drops it, so the next line starts
// clean.
void writeToConsole(const char* data, std::size_t size) noexcept {
  if (std::fwrite(data, 1, size, stdout) != size || std::fflush(stdout) != 0) std::clearerr(stdout);
}

// This thread's name buffer for console lines.
std::string& threadModuleName() {
  thread_local std::string name;
  return name;
}

}  // namespace

int32_t DvrCore::logThreshold(uint32_t slot) const noexcept {
  const int32_t entry = logLevels[slot & 0xFFu].load(std::memory_order_relaxed);
  return entry < 0 ? 25 : entry;
}

int32_t DvrCore::filterLogEvent(const EventParms& e) {
  if (!(e.flags & DVR_FLAG_LIVE)) return 1;
  if (e.length == 0) return 0;
  const int32_t level = e.type == DVR_TYPE_LOG ? static_cast<int32_t>(e.param) : 0;
  const uint32_t slot = moduleSlotOf(e.source);
  if (logThreshold(slot) > level) return 0;
  if (e.flags & DVR_FLAG_TEXT) writeConsoleLine(slot, level, e.length, e.payload);
  // logPlugin is set before any other thread runs and reset only after every
  // plug-in thread has ended.
  if (stopping()) handToLogPlugin(logPlugin.get(), e);
  return 1;
}

void DvrCore::writeConsoleLine(uint32_t slot, int32_t level, uint32_t length, const void* text) {
  if (!text || length == 0) return;
  const std::string_view line = trimLineEnd(std::string_view(static_cast<const char*>(text), length));
  if (line.empty()) return;
  if (level > 99) {
    syslog(LOG_CRIT, "%.*s", static_cast<int>(line.size()), line.data());
    level = 100;
  }
  if (background.load(std::memory_order_relaxed)) return;

  using namespace std::chrono;
  const auto sinceEpoch = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(sinceEpoch / 1000);
  ConsoleLineParts parts;
  parts.millis = static_cast<unsigned>(sinceEpoch % 1000);
  localtime_r(&seconds, &parts.localTime);
  parts.text = line;
  if (consoleColour) {
    parts.levelColour = levelColour(level);
    parts.moduleColour = kModuleColour;
    parts.resetColour = kResetColour;
  }

  try {
    std::lock_guard guard(logMutex);
    std::string& name = threadModuleName();
    name.clear();
    if (auto found = moduleNames.find(slot); found != moduleNames.end()) {
      name = found->second;
    } else {
      fmt::format_to(std::back_inserter(name), "PI{:02x}", slot);
    }
    parts.moduleName = name;
    fmt::basic_memory_buffer<char, 500> buffer;
    formatConsoleLine(buffer, parts);
    writeToConsole(buffer.data(), buffer.size());
  } catch (...) {
    // Out of memory for a long line: the console misses it, the log plug-in does not.
  }
}

}  // namespace km::core

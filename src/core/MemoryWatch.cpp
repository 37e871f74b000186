// The memory watch of the tick: limits, readings, throttling episodes and the
// memory alarm. Everything here runs on the I/O thread, except memoryAlarm at
// start-up (main thread, before the I/O thread exists).
#include "core/MemoryWatch.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <cstdio>
#include <limits>

#include "config/Xml.h"
#include "core/DvrCore.h"
#include "events/EventModel.h"
#include "log/CoreLog.h"
#include "log/FormatSize.h"

namespace km::core {

uint64_t throttlingLimit = kDefaultThrottlingLimit;
uint64_t stackLimit = 0;
MemoryClock memoryClock = &std::chrono::steady_clock::now;
MemoryReader memoryReader = &getHeapAlloc;

namespace {

constexpr uint64_t kSmallMachine = 536'870'912;  // 512 MiB

int64_t steadyNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(memoryClock().time_since_epoch()).count();
}

// A descriptor closed on every path.
class ReadOnlyFile {
 public:
  explicit ReadOnlyFile(const char* path) noexcept : fd(::open(path, O_RDONLY | O_CLOEXEC)) {}
  ~ReadOnlyFile() {
    if (fd >= 0) ::close(fd);
  }
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
  int get() const noexcept { return fd; }

 private:
  int fd;
};

}  // namespace

uint64_t throttlingLimitFor(std::optional<uint64_t> ram) noexcept {
  if (!ram || *ram < kSmallMachine) return kDefaultThrottlingLimit;
  return *ram / 100 * 80;
}

std::optional<uint64_t> totalRam() noexcept {
  struct sysinfo info {};
  if (::sysinfo(&info) != 0) return std::nullopt;
  return static_cast<uint64_t>(info.totalram) * info.mem_unit;
}

uint64_t stackSoftLimit() noexcept {
  // The 64-bit call, so that an unlimited stack reads as the largest value
  // on the 32-bit target too.
  struct rlimit64 limit {};
  if (::getrlimit64(RLIMIT_STACK, &limit) != 0) return 0;
  return limit.rlim_cur;
}

uint64_t readResidentBytes(const char* statmPath) noexcept {
  ReadOnlyFile file(statmPath);
  if (file.get() < 0) return 0;
  // Seven numbers of at most 20 digits each fit; only the first two matter.
  char text[256];
  const ssize_t length = ::read(file.get(), text, sizeof text - 1);
  if (length <= 0) return 0;
  text[length] = '\0';
  unsigned long programPages = 0;
  unsigned long residentPages = 0;
  if (std::sscanf(text, "%lu %lu", &programPages, &residentPages) != 2) return 0;
  static const uint64_t pageSize = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  return static_cast<uint64_t>(residentPages) * pageSize;
}

uint64_t getHeapAlloc() noexcept { return readResidentBytes("/proc/self/statm"); }

std::string memoryAlarmText(bool throttling, int64_t steadyNs) {
  XmlDocument doc;
  doc.appendDeclaration();
  XmlNode memory = doc.appendElement("kDVR").appendChild("Memory");
  memory.appendAttribute("ID", int64_t{std::numeric_limits<int32_t>::min()});  // the core's id
  memory.appendAttribute("Throttling", throttling ? "1" : "0");
  memory.appendAttribute("Time", steadyNs / 1'000'000'000);
  memory.appendAttribute("mseTime", steadyNs / 1'000'000);
  std::string text;
  doc.print(text, XmlDocument::Form::Compact);
  return text;
}

void DvrCore::memoryAlarm() {
  try {
    const std::string text = memoryAlarmText(throttling.load(std::memory_order_relaxed), steadyNanoseconds());
    EventParms e = makeCoreEvent(DVR_TYPE_ALARM, DVR_FLAG_LIVE | DVR_FLAG_XML, 0, text.data(),
                                 static_cast<uint32_t>(text.size()));
    queueEvent(e);
  } catch (...) {
    // Out of memory: the plug-ins learn the state from the next alarm.
  }
}

void DvrCore::checkMemory(bool low) {
  if (!throttlingEnabled) return;
  const int64_t now = steadyNanoseconds();
  // Refusals follow every reading; messages and alarms mark whole episodes.
  throttling.store(low, std::memory_order_relaxed);
  if (low) {
    if (lowMemorySince == kNoEpisode) {
      coreLog(50, "available system memory is low, throttling audio/video");
      memoryAlarm();
    }
    lowMemorySince = now;
    return;
  }
  // No episode, or the last low reading is less than a minute old (also when
  // the clock reads earlier than that reading).
  const int64_t recoveredBefore = now < INT64_MIN + kRecoveryNs ? INT64_MIN : now - kRecoveryNs;
  if (recoveredBefore < lowMemorySince) return;
  coreLog(50, "available system memory ok, not throttling audio/video");
  memoryAlarm();
  lowMemorySince = kNoEpisode;
}

void DvrCore::setUpMemoryLimits() {
  throttlingLimit = throttlingLimitFor(totalRam());
  stackLimit = stackSoftLimit();
}

void DvrCore::logMemoryLimits() {
  coreLog(25, "memory limits, throttling:{} stack:{}", formatSize(static_cast<int64_t>(throttlingLimit)),
          formatSize(static_cast<int64_t>(stackLimit)));
}

void DvrCore::takeMemoryReading() {
  const uint64_t reading = memoryReader();
  memoryInUse.store(reading, std::memory_order_relaxed);
  checkMemory(reading > throttlingLimit);
}

}  // namespace km::core

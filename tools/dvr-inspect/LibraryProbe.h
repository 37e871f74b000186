// What happens to a library when the core loads it, found out by doing it:
// the core's own loadPlugin with a stub `post` that records what the plug-in
// posts, then Unload. Runs in a child process (see ChildRun.h), because the
// library's code may crash or never return.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "plugin_api.h"

namespace dvrinspect {

// The entry points, in the order the header lists them.
inline constexpr std::array<const char*, 10> kEntryPoints = {
    DVR_ENTRY_LOAD,     DVR_ENTRY_UNLOAD, DVR_ENTRY_OPEN,  DVR_ENTRY_CLOSE,          DVR_ENTRY_ON_EVENT,
    DVR_ENTRY_ON_SEARCH, DVR_ENTRY_READ,  DVR_ENTRY_WRITE, DVR_ENTRY_ON_IPC_RESULT, DVR_ENTRY_IOCTL};

// One event the plug-in posted while it was being inspected.
struct PostedEvent {
  uint32_t size = 0;
  uint32_t version = 0;
  uint32_t type = 0;
  uint32_t flags = 0;
  uint32_t source = 0;
  uint32_t requestId = 0;
  uint32_t param = 0;
  uint32_t length = 0;
  bool duringLoad = true;  // false: after Load had returned
  std::string text;        // the payload of a log or text event, cut short
};

struct ProbeResult {
  bool opened = false;      // dlopen accepted the file
  uint32_t exports = 0;     // bit i: kEntryPoints[i] found with dlsym
  bool loadCalled = false;  // the core called Load (it has Load and Unload)
  km::core::LoadOut declaration{};
  int32_t loadCode = 0;
  std::string errorText;
  int64_t loadTimeNs = 0;
  bool unloadCalled = false;
  std::vector<PostedEvent> posted;
  uint32_t postedUncounted = 0;  // events beyond the recorded ones

  bool exportsEntry(const char* name) const;
};

// The steps the probe reports before taking them, so that a crash or a hang
// can be pinned on one.
enum class ProbeStage { Open, Load, Unload, Done };
const char* stageName(ProbeStage stage);

// Loads the library as the core does, lists its entry points, calls Unload
// when Load succeeded. Calls `entering` before each step.
ProbeResult probeLibrary(const std::filesystem::path& library, const std::function<void(ProbeStage)>& entering);

}  // namespace dvrinspect

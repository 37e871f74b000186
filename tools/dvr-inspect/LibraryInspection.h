// One library as the core would see it: what it exports and declares, what
// the core does with it, and what its author probably got wrong.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "ChildRun.h"
#include "ElfIdentity.h"
#include "LibraryProbe.h"

namespace dvrinspect {

// Something the author should know; `code` is stable for scripts.
struct Warning {
  std::string code;
  std::string text;
};

// Which live events of one type the core's routing hands the plug-in, by origin.
struct Reach {
  std::string type;      // "video", ... as the core names types
  uint32_t code;         // DVR_TYPE_*
  bool fromCore = false;
  bool fromOthers = false;
  bool fromItself = false;
  const char* itselfOnlyWhen = nullptr;  // its own events only under this condition
};

// What the core does with a library that loads.
struct Behaviour {
  bool hasId = false;
  uint32_t pluginId = 0;    // 0 without id
  std::string name;         // "21:camera", as the core's messages print it
  std::string moduleName;   // "camera": the module column of the log file
  bool opens = false;       // Open and Close exported
  const char* eventEntry = nullptr;   // "OnEvent", "Write" or none
  const char* configEntry = nullptr;  // "OnEvent", "IOCTL" (code 2) or none
  const char* packetEntry = nullptr;  // "OnIpcResult", "IOCTL" (code 4) or none; needs an id
  const char* searchEntry = nullptr;  // "OnSearch", "Read" or none
  bool worker = false;
  bool reader = false;
  std::vector<Reach> receives;  // types that reach it from some origin
  // Each call the core will make, with the thread that makes it.
  struct Call {
    std::string entry;  // "Load", "IOCTL code 1", ...
    std::string thread;
  };
  std::vector<Call> calls;
  bool logPluginName = false;   // named LogPI.so
  bool withheld = false;        // id 8
  bool first = false;           // id 6
};

struct LibraryInspection {
  std::filesystem::path path;
  std::string fileName;
  ElfIdentity elf;
  ChildOutcome::End end = ChildOutcome::End::NotStarted;
  int signal = 0;
  int exitCode = 0;
  std::string stage;      // where a crash or hang happened: "dlopen", "Load", "Unload"
  std::string childFailure;
  std::chrono::milliseconds limit{0};
  std::optional<ProbeResult> probe;  // when the probe finished

  bool loads = false;           // the core keeps it (before the duplicate test)
  int32_t loadCode = 0;         // as the core records it
  std::string errorText;
  // The core's line for it in the load step; empty for the log plug-in
  // (start-up says nothing) and for a library that would stop the core.
  std::string coreMessage;
  bool logPlugin = false;       // named LogPI.so: start-up loads it, without a message
  std::optional<Behaviour> behaviour;  // when it loads
  std::vector<Warning> warnings;

  // Would stop the core or keep the library out: failed load, crash, hang.
  bool fails() const { return !loads; }
  bool finished() const { return end == ChildOutcome::End::Finished; }
  // The crash or hang in words, when the probe did not finish.
  std::string abortText() const;
};

// Opens the library as the core does, in a child process with a time limit.
LibraryInspection inspectLibrary(const std::filesystem::path& library, std::chrono::milliseconds limit);

// "21" or "00": how the core prints an id word.
std::string idText(uint32_t idWord);

}  // namespace dvrinspect

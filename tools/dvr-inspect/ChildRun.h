// Probing a library in a child process with a time limit, so that a library
// whose code crashes or never returns ends the child, not the inspector.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>

#include "ProbeWire.h"

namespace dvrinspect {

struct ChildOutcome {
  enum class End {
    Finished,   // the whole result arrived
    TimedOut,   // killed at the time limit
    Signalled,  // killed by a signal (a crash)
    Exited,     // ended without a whole result (e.g. a sanitizer's report)
    NotStarted, // no child could be made
  };
  End end = End::NotStarted;
  int signal = 0;    // Signalled
  int exitCode = 0;  // Exited
  std::string failure;  // NotStarted: why
  ProbeReport report;
};

// Runs probeLibrary in a child of its own process group, with no core dumps
// and its standard output sent to our standard error (so that a plug-in that
// prints cannot spoil ours). Kills the group at `limit`. Call from a
// single-threaded process.
ChildOutcome probeInChild(const std::filesystem::path& library, std::chrono::milliseconds limit);

}  // namespace dvrinspect

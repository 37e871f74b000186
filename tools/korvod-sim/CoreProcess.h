// The core as a child process: started with its end of the daemon pipe as its
// only argument, in its own working directory and process group.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

namespace korvodsim {

class CoreProcess {
 public:
  // Why the core could not be started (the message names the path).
  struct StartFailed : std::runtime_error {
    using std::runtime_error::runtime_error;
  };

  // Starts `executable` with `pipeFd` as its argument, from `workdir`; with
  // an `emulator` (a path), runs "emulator executable pipeFd" instead. The
  // child keeps only `pipeFd` beyond the standard streams: every other
  // descriptor of ours must be close-on-exec. The child starts with default
  // signal handlers and no blocked signals. Throws StartFailed.
  static CoreProcess start(const std::filesystem::path& executable, const std::filesystem::path& workdir,
                           int pipeFd, const std::filesystem::path& emulator = {});

  pid_t pid() const noexcept { return child; }
  // Collects the exit status if the core has ended; never blocks.
  bool reap();
  bool ended() const noexcept { return status.has_value(); }
  // The exit code, 128 + the signal number for a core killed by a signal.
  // Only once ended().
  int exitCode() const;
  // "exited with code 3", "was killed by signal 9 (Killed)".
  std::string describeEnd() const;
  // Sends `signal` unless the core has already been reaped.
  void signal(int signal) const;

 private:
  explicit CoreProcess(pid_t child) : child(child) {}

  pid_t child;
  std::optional<int> status;  // as waitpid reports it
};

}  // namespace korvodsim

// Turns SIGINT, SIGTERM and SIGCHLD into bytes on a pipe, so that the main
// loop sees them through poll() like any other input. One instance per
// process; its handlers are removed again when it goes.
#pragma once

#include <vector>

#include "UniqueFd.h"

namespace korvodsim {

class SignalPipe {
 public:
  // Throws std::system_error when the pipe or a handler cannot be set up.
  SignalPipe();
  ~SignalPipe();
  SignalPipe(const SignalPipe&) = delete;
  SignalPipe& operator=(const SignalPipe&) = delete;

  // Readable when a signal has arrived.
  int fd() const noexcept { return readEnd.get(); }
  // The signals that arrived since the last call, in arrival order.
  std::vector<int> take();

 private:
  UniqueFd readEnd;
  UniqueFd writeEnd;
};

}  // namespace korvodsim

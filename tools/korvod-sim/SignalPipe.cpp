#include "SignalPipe.h"

#include <fcntl.h>
#include <signal.h>

#include <cerrno>
#include <system_error>

namespace korvodsim {

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGCHLD};

// The handler's only state: where to write. Set before the handlers go in.
volatile sig_atomic_t signalWriteFd = -1;

extern "C" void onSignal(int signal) {
  const int savedErrno = errno;
  const unsigned char byte = static_cast<unsigned char>(signal);
  // A full pipe already wakes the loop; losing a repeated byte is harmless.
  (void)!::write(signalWriteFd, &byte, 1);
  errno = savedErrno;
}

[[noreturn]] void fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

}  // namespace

SignalPipe::SignalPipe() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) fail("pipe2");
  readEnd.reset(ends[0]);
  writeEnd.reset(ends[1]);
  signalWriteFd = writeEnd.get();

  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  // Interrupted system calls restart; the loop learns of the signal through poll().
  action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
  for (const int signal : kSignals) {
    if (::sigaction(signal, &action, nullptr) != 0) fail("sigaction");
  }
}

SignalPipe::~SignalPipe() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  for (const int signal : kSignals) ::sigaction(signal, &action, nullptr);
  signalWriteFd = -1;
}

std::vector<int> SignalPipe::take() {
  std::vector<int> signals;
  unsigned char bytes[64];
  for (;;) {
    const ssize_t got = ::read(readEnd.get(), bytes, sizeof bytes);
    if (got <= 0) break;
    signals.insert(signals.end(), bytes, bytes + got);
  }
  return signals;
}

}  // namespace korvodsim

// The transform's random source: the kernel's random device. Keeps no state;
// any thread.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "config/Transform.h"

namespace km::core {

namespace {

constexpr std::size_t kGuidSize = 16;
// EX_IOERR: without randomness no transformed data may be made.
constexpr int kExitNoRandomness = 74;

// "<what>: <device>: <system error text>" on standard error.
void reportSystemError(const char* what, const char* devicePath) noexcept {
  const int saved = errno;
  char message[512];
  std::snprintf(message, sizeof message, "CoCreateGuid(): %s: %s", what, devicePath);
  errno = saved;
  std::perror(message);
}

[[noreturn]] void failSystemError(const char* what, const char* devicePath) noexcept {
  reportSystemError(what, devicePath);
  std::_Exit(kExitNoRandomness);
}

}  // namespace

int readRandomDevice(const char* devicePath, uint8_t* guid) noexcept {
  int fd;
  do {
    fd = ::open(devicePath, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) failSystemError("open", devicePath);

  std::size_t got = 0;
  while (got < kGuidSize) {
    const ssize_t count = ::read(fd, guid + got, kGuidSize - got);
    if (count < 0) {
      if (errno == EINTR) continue;
      failSystemError("read", devicePath);
    }
    if (count == 0) {
      std::fprintf(stderr, "CoCreateGuid(): read: %s: EOF, got %zd of %zd bytes requested\n", devicePath,
                   static_cast<ssize_t>(got), static_cast<ssize_t>(kGuidSize));
      std::_Exit(kExitNoRandomness);
    }
    got += static_cast<std::size_t>(count);
  }

  // The bytes are good even when the device does not close cleanly.
  if (::close(fd) != 0) reportSystemError("close", devicePath);
  return 0;
}

int CoCreateGuid(uint8_t* guid) noexcept { return readRandomDevice("/dev/urandom", guid); }

}  // namespace km::core

#include "config/RandomSource.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/CryptoPrimitives.h"
#include "config/Transform.h"

namespace km::core {

namespace {

// EX_IOERR: without randomness no transformed data may be made.
constexpr int kExitNoRandomness = 74;

// "CoCreateGuid(): <what>: <device>: <system error text>" on standard error.
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

void RandomPool::discard() noexcept {
  crypto::wipe(bytes.data(), bytes.size());
  handedOut = kSize;
}

RandomSource::~RandomSource() {
  if (device >= 0 && ::close(device) != 0) reportSystemError("close", devicePath);
}

void RandomSource::guid(uint8_t* out, RandomPool& pool) noexcept {
  if (pool.handedOut + kGuidSize > RandomPool::kSize && !refill(pool)) {
    readDevice(out);
    return;
  }
  uint8_t* const next = pool.bytes.data() + pool.handedOut;
  std::memcpy(out, next, kGuidSize);
  crypto::wipe(next, kGuidSize);
  pool.handedOut += kGuidSize;
}

bool RandomSource::refill(RandomPool& pool) noexcept {
  if (kernelRefused.load(std::memory_order_relaxed)) return false;
  std::size_t got = 0;
  while (got < RandomPool::kSize) {
    // A signal may cut a long request short, or interrupt it before any byte.
    const ssize_t count = call(pool.bytes.data() + got, RandomPool::kSize - got, GRND_NONBLOCK);
    if (count > 0) {
      got += static_cast<std::size_t>(count);
    } else if (count < 0 && errno == EINTR) {
      continue;
    } else if (count < 0 && errno == EAGAIN) {
      // Early in boot the kernel's generator may not be seeded yet; the
      // device does not wait for it, so neither does a request.
      pool.discard();
      return false;
    } else {
      // The kernel cannot serve the call: the device serves from now on.
      kernelRefused.store(true, std::memory_order_relaxed);
      pool.discard();
      return false;
    }
  }
  pool.handedOut = 0;
  return true;
}

void RandomSource::readDevice(uint8_t* out) noexcept {
  std::call_once(deviceOpened, [this] {
    do {
      device = ::open(devicePath, O_RDONLY | O_CLOEXEC);
    } while (device < 0 && errno == EINTR);
    if (device < 0) failSystemError("open", devicePath);
  });

  std::size_t got = 0;
  while (got < kGuidSize) {
    const ssize_t count = ::read(device, out + got, kGuidSize - got);
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
}

namespace {

RandomPool& threadPool() noexcept {
  thread_local RandomPool pool;
  return pool;
}

// The forking thread is the only one in the child; its pool is a copy of the
// parent's and must not be handed out a second time.
void discardPoolInChild() noexcept { threadPool().discard(); }

}  // namespace

int CoCreateGuid(uint8_t* guid) noexcept {
  static RandomSource kernel(&::getrandom, "/dev/urandom");
  static const bool forkHooked = ::pthread_atfork(nullptr, nullptr, &discardPoolInChild) == 0;
  (void)forkHooked;
  kernel.guid(guid, threadPool());
  return 0;
}

}  // namespace km::core

// The transform's random source: the kernel's getrandom call, or the random
// device where the kernel lacks that call. Without randomness no transformed
// data may be made: a source that fails ends the process (exit status 74)
// after a message on standard error.
#pragma once

#include <sys/types.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace km::core {

// Random bytes drawn from the kernel in one call and handed out 16 at a time:
// one system call costs about as much as encrypting a KiB, so a request must
// not pay one each. Belongs to one thread. Bytes are wiped as they are handed
// out, and what is left when the pool is discarded or destroyed.
class RandomPool {
 public:
  static constexpr std::size_t kSize = 1024;

  RandomPool() noexcept = default;
  ~RandomPool() { discard(); }
  RandomPool(const RandomPool&) = delete;
  RandomPool& operator=(const RandomPool&) = delete;

  // Forgets what is left; the next request refills. A forked child calls it
  // so that it never hands out the bytes its parent still holds.
  void discard() noexcept;

 private:
  friend class RandomSource;
  std::array<uint8_t, kSize> bytes{};
  std::size_t handedOut = kSize;  // empty until the first fill
};

class RandomSource {
 public:
  static constexpr std::size_t kGuidSize = 16;
  // getrandom's shape.
  using KernelCall = ssize_t (*)(void* buffer, std::size_t length, unsigned int flags);

  // Nothing is opened yet; `devicePath` must outlive the source.
  RandomSource(KernelCall call, const char* devicePath) noexcept : call(call), devicePath(devicePath) {}
  // Closes the device if it was opened.
  ~RandomSource();
  RandomSource(const RandomSource&) = delete;
  RandomSource& operator=(const RandomSource&) = delete;

  // 16 random bytes: from `pool`, refilled by one kernel call when empty.
  // Once the kernel has refused the call (no getrandom, or a filter that
  // forbids it), every request reads 16 bytes from the device, opened on the
  // first such request and kept open; so does a request made while the
  // kernel's generator is not yet seeded (the call never waits for it). A
  // device that cannot be opened or read ends the process. Thread-safe;
  // `pool` belongs to the calling thread.
  void guid(uint8_t* out, RandomPool& pool) noexcept;

 private:
  bool refill(RandomPool& pool) noexcept;
  void readDevice(uint8_t* out) noexcept;

  const KernelCall call;
  const char* const devicePath;
  std::atomic<bool> kernelRefused{false};
  std::once_flag deviceOpened;
  int device = -1;  // written once, under deviceOpened
};

}  // namespace km::core

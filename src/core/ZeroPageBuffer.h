// ZeroPageBuffer: a fixed-size, zero-filled byte buffer in pages of its own,
// which become resident only once something is written into them. A large
// buffer that is mostly unused (the daemon receive buffer: 64 KiB, of which
// a few hundred bytes carry an idle core's packets) then costs the process
// only the pages it has used, instead of all of them from construction on.
//
// Owned by one object; not copyable. Construction throws std::bad_alloc when
// the pages cannot be reserved.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <new>

namespace km::core {

template <std::size_t Size>
class ZeroPageBuffer {
 public:
  ZeroPageBuffer() {
    void* pages = ::mmap(nullptr, Size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) throw std::bad_alloc();
    bytes = static_cast<unsigned char*>(pages);
  }
  ~ZeroPageBuffer() { ::munmap(bytes, Size); }
  ZeroPageBuffer(const ZeroPageBuffer&) = delete;
  ZeroPageBuffer& operator=(const ZeroPageBuffer&) = delete;

  unsigned char* data() noexcept { return bytes; }
  const unsigned char* data() const noexcept { return bytes; }
  static constexpr std::size_t size() noexcept { return Size; }

 private:
  unsigned char* bytes;
};

}  // namespace km::core

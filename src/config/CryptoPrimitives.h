// The seam to OpenSSL's libcrypto: AES-128 in cipher-block chaining mode and
// SHA-256, through the EVP interfaces (AES-NI where the processor has it).
// Nothing else in the tree talks to OpenSSL for the transform.
//
// Thread-safe: each thread has its own cipher contexts, created on its first
// call, re-keyed only when the key changes and freed when the thread ends.
// None of these throws; each reports failure (a broken or exhausted crypto
// library) as false.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

struct evp_cipher_ctx_st;

namespace km::core::crypto {

inline constexpr std::size_t kAesBlockSize = 16;
inline constexpr std::size_t kAes128KeySize = 16;
inline constexpr std::size_t kSha256Size = 32;

using Aes128Key = std::array<uint8_t, kAes128KeySize>;
using AesBlock = std::array<uint8_t, kAesBlockSize>;
using Sha256Digest = std::array<uint8_t, kSha256Size>;

// CBC over `length` bytes (a multiple of 16): each plain block is XORed with
// the preceding cipher block (`iv` for the first) and encrypted. `in` and
// `out` are either the same area or do not overlap at all. With a zero IV a
// single block is the plain AES-128 block encryption.
bool aes128CbcEncrypt(const Aes128Key& key, const AesBlock& iv, const uint8_t* in, uint8_t* out,
                      std::size_t length) noexcept;

// The inverse: each cipher block is decrypted and XORed with the preceding
// cipher block (`iv` for the first). Same overlap rule.
bool aes128CbcDecrypt(const Aes128Key& key, const AesBlock& iv, const uint8_t* in, uint8_t* out,
                      std::size_t length) noexcept;

// A CBC pass on this thread's context for one direction, for data that comes
// in pieces: starting it is the only step that may fail for want of memory,
// so a caller can start it before it changes any byte. Each update continues
// the chain. One run per thread and direction at a time.
class CbcRun {
 public:
  CbcRun(bool encrypt, const Aes128Key& key, const AesBlock& iv) noexcept;
  CbcRun(const CbcRun&) = delete;
  CbcRun& operator=(const CbcRun&) = delete;

  explicit operator bool() const noexcept { return context != nullptr; }
  // `length` a multiple of 16; the overlap rule above holds.
  bool update(const uint8_t* in, uint8_t* out, std::size_t length) noexcept;

 private:
  evp_cipher_ctx_st* context;
};

bool sha256(const void* data, std::size_t length, Sha256Digest& digest) noexcept;

// Overwrites memory that held plain data or key material, in a way the
// compiler may not remove.
void wipe(void* data, std::size_t length) noexcept;

// A zero-filled heap area for plain data, wiped before it is freed. Holds
// nothing (false) when the allocation failed; never throws.
class WipedBuffer {
 public:
  explicit WipedBuffer(std::size_t size) noexcept;
  ~WipedBuffer();
  WipedBuffer(const WipedBuffer&) = delete;
  WipedBuffer& operator=(const WipedBuffer&) = delete;

  explicit operator bool() const noexcept { return bytes != nullptr; }
  uint8_t* data() const noexcept { return bytes; }
  std::size_t size() const noexcept { return length; }

 private:
  uint8_t* bytes;
  std::size_t length;
};

}  // namespace km::core::crypto

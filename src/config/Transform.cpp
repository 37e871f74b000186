#include "config/Transform.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "config/CryptoPrimitives.h"

namespace km::core {

namespace {

constexpr std::size_t kBlock = Transform::kBlockSize;

// The built-in key is this pattern written twice, assembled at run time.
constexpr std::array<uint8_t, 8> kBuiltInPattern{0x5b, 0xc3, 0x17, 0x8e, 0xa4, 0x2d, 0x69, 0xf0};

// Zero bytes after x data bytes: up to 16 bytes in all, else up to the next
// multiple of 16, a whole block when x already is one.
constexpr uint64_t paddingFor(uint64_t x) noexcept { return x <= kBlock ? kBlock - x : kBlock - x % kBlock; }

constexpr int32_t compressCode(int status) noexcept {
  switch (status) {
    case Z_MEM_ERROR:
      return kCompressMemory;
    case Z_BUF_ERROR:
      return kCompressBuffer;
    default:
      return kCompressFailed;
  }
}

constexpr int32_t decompressCode(int status) noexcept {
  switch (status) {
    case Z_MEM_ERROR:
      return kDecompressMemory;
    case Z_BUF_ERROR:
      return kDecompressBuffer;
    case Z_DATA_ERROR:
      return kDecompressData;
    default:
      return kDecompressFailed;
  }
}

// The plain length of a decrypted block run of a bytes. Zero padding ends at
// the first zero byte; zero bytes followed by a count byte (the number of
// padding bytes) are cut by the count.
uint32_t unpaddedLength(const uint8_t* data, uint32_t a) noexcept {
  if (a < 2) return a;
  const uint8_t last = data[a - 1];
  const uint8_t beforeLast = data[a - 2];
  if (beforeLast != 0 || last == 0) {
    const void* zero = std::memchr(data, 0, a);
    return zero ? static_cast<uint32_t>(static_cast<const uint8_t*>(zero) - data) : a;
  }
  const int32_t count = static_cast<int8_t>(last);
  return count >= 1 && static_cast<uint32_t>(count) <= a - 1 ? a - static_cast<uint32_t>(count) : a;
}

crypto::Aes128Key cipherKey(const std::array<uint8_t, Transform::kWideKeySize>& keyBytes) noexcept {
  crypto::Aes128Key key;
  std::copy_n(keyBytes.begin(), key.size(), key.begin());
  return key;
}

// The random first block: bytes 0-7 of a fresh identifier, then its bytes
// 6-9 twice.
crypto::AesBlock randomBlock() noexcept {
  uint8_t guid[16];
  CoCreateGuid(guid);
  crypto::AesBlock block;
  std::memcpy(block.data(), guid, 8);
  std::memcpy(block.data() + 8, guid + 6, 4);
  std::memcpy(block.data() + 12, guid + 6, 4);
  return block;
}

}  // namespace

Transform::Transform(bool compress, bool encrypt) noexcept : Transform(compress, encrypt, kBuiltInPattern) {}

Transform::Transform(bool compress, bool encrypt, const std::array<uint8_t, 8>& value) noexcept
    : keyLength(kKeySize), compress(compress), encrypt(encrypt) {
  std::copy(value.begin(), value.end(), keyBytes.begin());
  std::copy(value.begin(), value.end(), keyBytes.begin() + value.size());
}

Transform::Transform(bool compress, bool encrypt, std::string_view key, bool wide) noexcept
    : compress(compress), encrypt(encrypt) {
  if (encrypt) setKey(key, wide);
}

Transform::~Transform() { crypto::wipe(keyBytes.data(), keyBytes.size()); }

void Transform::setKey(std::string_view key, bool wideKey) noexcept {
  keyBytes.fill(0);
  keyLength = wideKey ? kWideKeySize : kKeySize;
  std::memcpy(keyBytes.data(), key.data(), std::min(key.size(), keyLength));
  wide = wideKey;
}

uint64_t Transform::requiredCapacity(uint64_t length) noexcept { return transformedLength(length) + kBlock; }

uint64_t Transform::transformedLength(uint64_t length) noexcept { return kBlock + length + paddingFor(length); }

const uint8_t* Transform::encode(const void* input, uint32_t& length, int32_t& error, int32_t& zlibStatus) noexcept {
  error = kTransformOk;
  zlibStatus = Z_OK;
  const uint8_t* result = encodeChecked(static_cast<const uint8_t*>(input), length, error, zlibStatus);
  if (!result) length = 0;
  return result;
}

const uint8_t* Transform::decode(const void* input, uint32_t& length, int32_t& error, int32_t& zlibStatus) noexcept {
  error = kTransformOk;
  zlibStatus = Z_OK;
  const uint8_t* result = decodeChecked(static_cast<const uint8_t*>(input), length, error, zlibStatus);
  if (!result) length = 0;
  return result;
}

const uint8_t* Transform::encodeChecked(const uint8_t* input, uint32_t& length, int32_t& error,
                                        int32_t& zlibStatus) noexcept {
  if (!buffer || capacity == 0) {
    error = kBufferInvalid;
    return nullptr;
  }
  if (!input || length == 0) {
    error = kInputInvalid;
    return nullptr;
  }
  const uint32_t n = length;
  if (capacity < requiredCapacity(n)) {
    error = kBufferTooSmall;
    return nullptr;
  }

  uint32_t m = n;  // bytes to pad and encrypt, at offset 16
  if (compress) {
    // zlib reads and writes at once; it must not write over its own input.
    if (overlapsBuffer(input, n)) {
      error = kInputInvalid;
      return nullptr;
    }
    uint8_t* out = encrypt ? buffer + kBlock : buffer;
    uLongf outLength = encrypt ? capacity - kBlock : capacity;
    zlibStatus = compress2(out, &outLength, input, n, Z_DEFAULT_COMPRESSION);
    if (zlibStatus != Z_OK) {
      error = compressCode(zlibStatus);
      return nullptr;
    }
    m = static_cast<uint32_t>(outLength);
  } else {
    std::memmove(encrypt ? buffer + kBlock : buffer, input, n);
  }
  if (!encrypt) {
    length = m;
    return buffer;
  }

  crypto::CbcRun run(true, cipherKey(keyBytes), crypto::AesBlock{});
  const uint32_t total = encryptInPlace(run, m, error);
  if (total == 0) return nullptr;
  length = total;
  return buffer;
}

uint32_t Transform::encryptInPlace(crypto::CbcRun& run, uint32_t m, int32_t& error) noexcept {
  const uint64_t total = transformedLength(m);
  // A compressed stream may fill the buffer up to its last byte; padded, it
  // would then need up to 16 bytes more than there are.
  if (total > capacity) {
    error = kBufferTooSmall;
    return 0;
  }
  std::memset(buffer + kBlock + m, 0, total - kBlock - m);
  const crypto::AesBlock first = randomBlock();
  std::memcpy(buffer, first.data(), kBlock);
  // A zero IV makes the first cipher block the plain encryption of R, and
  // every later block is chained to the one before it.
  if (!run.update(buffer, buffer, total)) {
    error = kBufferInvalid;
    return 0;
  }
  return static_cast<uint32_t>(total);
}

uint32_t Transform::encodeInPlace(uint32_t length, int32_t& error) noexcept {
  error = kTransformOk;
  if (!buffer || capacity == 0) {
    error = kBufferInvalid;
    return 0;
  }
  if (length == 0 || compress || !encrypt) {
    error = kInputInvalid;
    return 0;
  }
  if (transformedLength(length) > capacity) {
    error = kBufferTooSmall;
    return 0;
  }
  // Started before the first byte moves: only the start can fail.
  crypto::CbcRun run(true, cipherKey(keyBytes), crypto::AesBlock{});
  if (!run) {
    error = kBufferInvalid;
    return 0;
  }
  std::memmove(buffer + kBlock, buffer, length);
  return encryptInPlace(run, length, error);
}

uint32_t Transform::decodeInPlace(uint32_t length, int32_t& error) noexcept {
  error = kTransformOk;
  if (!buffer || capacity == 0) {
    error = kBufferInvalid;
    return 0;
  }
  if (length < kBlock || length % kBlock != 0 || compress || !encrypt) {
    error = kInputInvalid;
    return 0;
  }
  if (capacity < length) {
    error = kBufferTooSmall;
    return 0;
  }
  const uint32_t plain = length - kBlock;
  if (plain == 0) return 0;

  crypto::AesBlock chain;
  std::memcpy(chain.data(), buffer, kBlock);
  crypto::CbcRun run(false, cipherKey(keyBytes), chain);
  crypto::AesBlock first;
  if (!run || !run.update(buffer + kBlock, first.data(), kBlock)) {
    error = kBufferInvalid;
    return 0;
  }
  uint8_t* const rest = buffer + 2 * kBlock;
  const uint32_t restLength = plain - static_cast<uint32_t>(kBlock);

  // A first plain byte other than zero means the result cannot be empty:
  // decrypt where the data lies and move the result to the front.
  if (first[0] != 0) {
    const bool decrypted = run.update(rest, rest, restLength);
    std::memcpy(buffer + kBlock, first.data(), kBlock);
    crypto::wipe(first.data(), first.size());
    if (!decrypted) {
      error = kBufferInvalid;
      return 0;
    }
    const uint32_t a = unpaddedLength(buffer + kBlock, plain);
    std::memmove(buffer, buffer + kBlock, a);
    buffer[a] = 0;
    return a;
  }

  // The result may be empty, and then the data must stay as it was: decrypt
  // into an area of its own first.
  crypto::WipedBuffer whole(plain);
  if (!whole || !run.update(rest, whole.data() + kBlock, restLength)) {
    crypto::wipe(first.data(), first.size());
    error = kBufferInvalid;
    return 0;
  }
  std::memcpy(whole.data(), first.data(), kBlock);
  crypto::wipe(first.data(), first.size());
  const uint32_t a = unpaddedLength(whole.data(), plain);
  if (a == 0) return 0;
  std::memcpy(buffer, whole.data(), a);
  buffer[a] = 0;
  return a;
}

const uint8_t* Transform::decodeChecked(const uint8_t* input, uint32_t& length, int32_t& error,
                                        int32_t& zlibStatus) noexcept {
  if (!buffer || capacity == 0) {
    error = kBufferInvalid;
    return nullptr;
  }
  // Encrypted data is the random block and whole blocks after it; anything
  // else cannot be decrypted block by block.
  if (!input || length == 0 || (encrypt && (length < kBlock || length % kBlock != 0))) {
    error = kInputInvalid;
    return nullptr;
  }
  const uint32_t n = length;
  if (capacity < n) {
    error = kBufferTooSmall;
    return nullptr;
  }

  if (!encrypt && !compress) {
    std::memmove(buffer, input, n);
    if (n < capacity) buffer[n] = 0;
    return buffer;
  }

  if (!encrypt) {
    if (overlapsBuffer(input, n)) {
      error = kInputInvalid;
      return nullptr;
    }
    uLongf outLength = capacity;
    zlibStatus = uncompress(buffer, &outLength, input, n);
    if (zlibStatus != Z_OK) {
      error = decompressCode(zlibStatus);
      return nullptr;
    }
    if (outLength < capacity) buffer[outLength] = 0;
    length = static_cast<uint32_t>(outLength);
    return buffer;
  }

  if (!decryptToBuffer(input, n)) {
    error = kBufferInvalid;
    return nullptr;
  }
  const uint32_t plain = n - kBlock;

  if (!compress) {
    const uint32_t a = unpaddedLength(buffer, plain);
    buffer[a] = 0;
    length = a;
    return buffer;
  }

  // The compressed stream ends where zlib says; its padding needs no removal
  // (and cutting at a zero byte or writing a terminator into the stream would
  // damage it). The output goes behind the n input bytes.
  uint8_t* out = buffer + n;
  uLongf outLength = capacity - n;
  zlibStatus = uncompress(out, &outLength, buffer, plain);
  if (zlibStatus != Z_OK) {
    error = decompressCode(zlibStatus);
    return nullptr;
  }
  if (outLength < capacity - n) out[outLength] = 0;
  length = static_cast<uint32_t>(outLength);
  return out;
}

bool Transform::decryptToBuffer(const uint8_t* input, uint32_t n) noexcept {
  const crypto::Aes128Key key = cipherKey(keyBytes);
  crypto::AesBlock chain;
  std::memcpy(chain.data(), input, kBlock);
  const uint32_t plain = n - kBlock;
  if (!overlapsBuffer(input, n)) return crypto::aes128CbcDecrypt(key, chain, input + kBlock, buffer, plain);
  // The input lies in the buffer: decrypt it in place behind its first block,
  // then move the plain bytes to the start.
  std::memmove(buffer, input, n);
  const bool decrypted = crypto::aes128CbcDecrypt(key, chain, buffer + kBlock, buffer + kBlock, plain);
  std::memmove(buffer, buffer + kBlock, plain);
  return decrypted;
}

bool Transform::overlapsBuffer(const uint8_t* input, uint32_t length) const noexcept {
  const std::less<const uint8_t*> before;
  return before(input, buffer + capacity) && before(buffer, input + length);
}

namespace {

// The digest of the last identity text a thread was given. The text is fixed
// once the core runs, so this is one digest per thread for the process's life.
struct IdentityDigest {
  std::string identity;
  crypto::Sha256Digest digest{};
  bool valid = false;

  IdentityDigest() noexcept = default;
  IdentityDigest(const IdentityDigest&) = delete;
  IdentityDigest& operator=(const IdentityDigest&) = delete;
  ~IdentityDigest() { crypto::wipe(digest.data(), digest.size()); }

  const crypto::Sha256Digest* of(std::string_view text) noexcept {
    if (valid && identity == text) return &digest;
    valid = false;
    if (!crypto::sha256(text.data(), text.size(), digest)) return nullptr;
    try {
      identity.assign(text);
      valid = true;
    } catch (...) {
      // Not kept: the next request digests the text again.
    }
    return &digest;
  }
};

}  // namespace

bool setIdentityKey(Transform& transform, std::string_view deviceIdentity) noexcept {
  if (deviceIdentity.empty()) return true;
  thread_local IdentityDigest last;
  const crypto::Sha256Digest* const digest = last.of(deviceIdentity);
  if (!digest) return false;
  transform.setKey({reinterpret_cast<const char*>(digest->data()), digest->size()}, true);
  return true;
}

namespace {

const char* messageOf(int32_t code) noexcept {
  switch (code) {
    case kCompressMemory:
      return "memory error in compression";
    case kCompressBuffer:
      return "invalid compression buffer";
    case kCompressFailed:
      return "compression failed";
    case kDecompressMemory:
      return "memory error in decompression";
    case kDecompressBuffer:
      return "invalid decompression buffer";
    case kDecompressData:
      return "decompressing an invalid compressed image";
    case kDecompressFailed:
      return "decompression failed";
    case kBufferInvalid:
      return "transform buffer invalid for operation";
    case kBufferTooSmall:
      return "transform buffer too small for operation";
    case kInputInvalid:
      return "input buffer invalid for operation";
    case kVerifyMemory:
      return "memory error in verifying saving transformed file";
    case kVerifySizeMismatch:
      return "size mismatch in verifying saving transformed file";
    case kVerifyDataMismatch:
      return "data mismatch in verifying saving transformed file";
    case kCreateFailed:
      return "failed to create file when saving transformed file";
    case kWriteFailed:
      return "failed to write file when saving transformed file";
    case kLocateFailed:
      return "failed to locate file";
    case kOpenFailed:
      return "failed to open file for reading";
    case kSizeFailed:
      return "failed to determine size of file to read";
    case kAllocFailed:
      return "failed to allocate memory for reading file";
    case kReadFailed:
      return "failed to read file";
    default:
      return nullptr;
  }
}

}  // namespace

void transformMessage(int32_t code, int32_t detail, std::string& text) noexcept {
  try {
    const char* message = messageOf(code);
    if (!message) {
      char unknown[32];
      const int written = std::snprintf(unknown, sizeof unknown, "[%d,%d]", code, detail);
      text.assign(unknown, static_cast<std::size_t>(std::max(written, 0)));
      return;
    }
    text = message;
    if (code == kCompressFailed || code == kDecompressFailed || code == kLocateFailed) {
      // The detail part is cut to 15 characters.
      char suffix[16];
      const int written = std::snprintf(suffix, sizeof suffix, " (err %d)", detail);
      if (written > 0) text += suffix;
    }
  } catch (...) {
    text.clear();
  }
}

}  // namespace km::core

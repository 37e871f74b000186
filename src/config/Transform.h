// Transform: the codec that turns bytes into transformed data and back, and
// saves and loads transformed files.
//
// Transformed data (encryption on, compression off), for n input bytes:
//   offset 0, 16 bytes:  AES-128 encryption of a fresh random block R
//   offset 16, n + p:    the input and p zero bytes in cipher-block chaining,
//                        each block XORed with the cipher block before it
// p = 16 - n for n <= 16, else 16 - n % 16. That is exactly AES-128-CBC with
// a zero IV over R followed by the padded input: the zero IV turns the first
// block into the encryption of R. There is no header and no length field.
// Decoding removes the padding by looking for the first zero byte (or a count
// in the last byte), so text without zero bytes comes back exactly and data
// with a zero byte comes back cut at it.
//
// With compression, the input is first deflated by zlib (compress2, default
// level); with encryption off the (possibly compressed) bytes are stored as
// they are.
//
// A Transform works in a buffer owned by its caller (`buffer`, `capacity`)
// and is used by one thread at a time. It never throws and never logs;
// failures are negative codes (transformMessage gives their text). Encoding
// and decoding allocate nothing; the file operations allocate one temporary
// copy, wiped before it is freed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "config/CryptoPrimitives.h"

namespace km::core {

// Result codes. 0 is success.
enum TransformCode : int32_t {
  kTransformOk = 0,
  kCompressMemory = -1,          // zlib: out of memory while compressing
  kCompressBuffer = -2,          // zlib: compressed data does not fit the buffer
  kCompressFailed = -3,          // zlib: any other compression error
  kDecompressMemory = -10,       // zlib: out of memory while inflating
  kDecompressBuffer = -11,       // zlib: inflated data does not fit the buffer
  kDecompressData = -12,         // zlib: not a valid compressed stream
  kDecompressFailed = -13,       // zlib: any other inflation error
  kBufferInvalid = -20,          // no buffer, or capacity 0
  kBufferTooSmall = -21,         // capacity below what the operation needs
  kInputInvalid = -22,           // no input, length 0, or not a transformed length
  kVerifyMemory = -30,           // save: no memory for the verification copy
  kVerifySizeMismatch = -31,     // save: decoding gives another length
  kVerifyDataMismatch = -32,     // save: decoding gives other bytes
  kCreateFailed = -33,           // save: output cannot be created, or no stream
  kWriteFailed = -34,            // save or load-to-file: short write
  kLocateFailed = -40,           // load: stat failed (detail: errno)
  kOpenFailed = -41,             // load: cannot open, or no input stream
  kSizeFailed = -42,             // load: seeking to find the size failed
  kAllocFailed = -43,            // load: no memory for the file's content
  kReadFailed = -44,             // load: short read, or no stream
};

class Transform {
 public:
  static constexpr std::size_t kBlockSize = 16;
  static constexpr std::size_t kKeySize = 16;
  static constexpr std::size_t kWideKeySize = 32;

  // The built-in key (an 8-byte pattern written twice).
  Transform(bool compress, bool encrypt) noexcept;
  // `value` written twice is the key.
  Transform(bool compress, bool encrypt, const std::array<uint8_t, 8>& value) noexcept;
  // setKey(key, wide) when encrypt is on; otherwise the key stays empty.
  Transform(bool compress, bool encrypt, std::string_view key, bool wide) noexcept;
  // Wipes the key.
  ~Transform();

  Transform(const Transform&) = delete;
  Transform& operator=(const Transform&) = delete;

  // The first 16 bytes of `key` (32 when wide), padded with zero bytes when
  // shorter. Encryption always uses the first 16 bytes; wide only changes
  // how many are kept.
  void setKey(std::string_view key, bool wide) noexcept;

  // Transforms `length` bytes of `input` into the buffer. Returns the buffer
  // start and sets `length` to the transformed length; on failure returns
  // nullptr, sets `length` to 0 and `error` to a negative code. `zlibStatus`
  // receives zlib's own result on the compression paths.
  const uint8_t* encode(const void* input, uint32_t& length, int32_t& error, int32_t& zlibStatus) noexcept;
  // Turns transformed data back. Returns a pointer into the buffer with the
  // plain bytes (followed by a zero byte when there is room) and sets
  // `length`; on failure nullptr, `length` 0 and `error`.
  const uint8_t* decode(const void* input, uint32_t& length, int32_t& error, int32_t& zlibStatus) noexcept;

  // The capacity encode demands for `length` input bytes: length + p + 32.
  static uint64_t requiredCapacity(uint64_t length) noexcept;
  // The length of the transformed data for `length` input bytes: 16 + length + p.
  static uint64_t transformedLength(uint64_t length) noexcept;

  // --- in place, with compression off and encryption on ------------------------
  // For a caller whose data already lies at the start of `buffer`: the data
  // is transformed where it is, so it is never copied to another area. Other
  // options give -22.

  // Transforms the first `length` bytes of the buffer. The capacity must hold
  // transformedLength(length) bytes (encode asks for 16 more). Returns the
  // transformed length, or 0 with `error` set and the buffer as it was.
  uint32_t encodeInPlace(uint32_t length, int32_t& error) noexcept;
  // Turns the first `length` bytes of the buffer back: the plain bytes at the
  // start followed by a zero byte. Returns the plain length; when that is 0,
  // and on failure (`error` set), the buffer is left as it was.
  uint32_t decodeInPlace(uint32_t length, int32_t& error) noexcept;

  // --- files and streams ------------------------------------------------------

  // Creates `path` ("wb") and runs saveToStream into it.
  int32_t save(const char* path, const void* input, uint32_t length, int32_t* detail = nullptr) noexcept;
  // Encodes, decodes a copy to verify it, then writes the copy with one
  // fwrite. Nothing is written unless the verification passed.
  // `verification` is 1 when the failure happened while verifying, else 0.
  // `detail` (optional) receives the zlib status of a compression failure.
  int32_t saveToStream(const void* input, uint32_t length, std::FILE* out, int32_t& verification,
                       int32_t* detail = nullptr) noexcept;
  // Transforms the whole file `inPath` into `outPath`. `detail`: errno for
  // -40, the zlib status for compression failures.
  int32_t saveFile(const char* inPath, const char* outPath, int32_t* detail = nullptr) noexcept;
  // Reads the transformed file whole and decodes it into the buffer. An empty
  // file gives length 0 and an empty text. `detail`: errno for -40, the zlib
  // status for decompression failures.
  const uint8_t* load(const char* path, uint32_t& length, int32_t& error, int32_t& detail) noexcept;
  // Reads `size` bytes from `in` and decodes them; size 0 gives the buffer
  // with a zero byte at its start and length 0.
  const uint8_t* loadFromStream(std::FILE* in, uint64_t size, uint32_t& length, int32_t& error,
                                int32_t* detail = nullptr) noexcept;
  // Loads `inPath` and writes the plain data to `outPath` ("wb"). The output
  // is created only once the input has decoded.
  int32_t loadToFile(const char* inPath, const char* outPath, int32_t* detail = nullptr) noexcept;
  // Decodes `size` bytes from `in` and writes the plain data to `out`.
  int32_t loadStreamToStream(std::FILE* in, std::FILE* out, uint64_t size, int32_t* detail = nullptr) noexcept;

  // --- state ------------------------------------------------------------------

  // Working and output buffer, owned by the caller; set both before use.
  uint8_t* buffer = nullptr;
  uint32_t capacity = 0;

  bool compressing() const noexcept { return compress; }
  bool encrypting() const noexcept { return encrypt; }
  bool wideKey() const noexcept { return wide; }
  // The stored key: 16 bytes, 32 when wide, none when built without
  // encryption from a key string.
  std::string_view key() const noexcept {
    return {reinterpret_cast<const char*>(keyBytes.data()), keyLength};
  }

 private:
  const uint8_t* encodeChecked(const uint8_t* input, uint32_t& length, int32_t& error,
                               int32_t& zlibStatus) noexcept;
  const uint8_t* decodeChecked(const uint8_t* input, uint32_t& length, int32_t& error,
                               int32_t& zlibStatus) noexcept;
  // Pads the m bytes at offset 16, puts the encryption of a fresh random
  // block in front and chains everything, through `run` (started with a zero
  // IV). Returns the transformed length, or 0 when it would not fit the
  // buffer or the cipher failed.
  uint32_t encryptInPlace(crypto::CbcRun& run, uint32_t m, int32_t& error) noexcept;
  // Decrypts the n-byte input to the buffer start (n - 16 plain bytes).
  bool decryptToBuffer(const uint8_t* input, uint32_t n) noexcept;
  bool overlapsBuffer(const uint8_t* input, uint32_t length) const noexcept;

  std::array<uint8_t, kWideKeySize> keyBytes{};
  std::size_t keyLength = 0;
  bool wide = false;
  bool compress = false;
  bool encrypt = true;
};

// Fills the 16 bytes with random bytes from the kernel (getrandom; the
// device "/dev/urandom" where the kernel lacks that call); gives 0. Without
// working randomness the process ends with exit status 74 after a message on
// standard error. Thread-safe; see RandomSource.
int CoCreateGuid(uint8_t* guid) noexcept;

// The key of the crypto service for a device identity text: the SHA-256
// digest of the text set as a wide key; the built-in key stays when the text
// is empty. False only when the digest could not be computed. Each thread
// keeps the digest of the last text it was given, so a text is digested once
// per thread, not once per request.
bool setIdentityKey(Transform& transform, std::string_view deviceIdentity) noexcept;

// The English text of a result code. For -3, -13 and -40 " (err <detail>)"
// is appended (at most 15 characters); a code without a message gives
// "[<code>,<detail>]".
void transformMessage(int32_t code, int32_t detail, std::string& text) noexcept;

}  // namespace km::core

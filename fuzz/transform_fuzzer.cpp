// The transform codec: arbitrary data decoded and loaded under every option
// combination and key, and arbitrary data encoded and decoded again (also
// through a saved stream), with buffers of exactly the size the codec is
// given, so that any access past them is caught.
//
// Input: byte 0 holds the options (0x01 compress, 0x02 encrypt), the key kind
// (bits 2-3: built-in, 8-byte value, key string, wide key string) and the
// capacity slack (bits 4-7); byte 1 the key length; then the key bytes and
// the data.
//
// Checked: every answer is a documented code with length 0 on failure; a
// result lies inside the buffer; a stream load gives what a decode gives;
// encode then decode gives the input back (compression: exactly; encryption
// alone: exactly for data without zero bytes, else a prefix); a save succeeds
// exactly when that round trip is exact, and its file loads back.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "config/Transform.h"

using namespace km::core;

namespace {

struct Options {
  bool compress;
  bool encrypt;
  unsigned keyKind;
  uint32_t slack;
  std::string_view key;
};

std::unique_ptr<Transform> makeTransform(const Options& o) {
  switch (o.keyKind) {
    case 0:
      return std::make_unique<Transform>(o.compress, o.encrypt);
    case 1: {
      std::array<uint8_t, 8> value{};
      std::memcpy(value.data(), o.key.data(), std::min(o.key.size(), value.size()));
      return std::make_unique<Transform>(o.compress, o.encrypt, value);
    }
    default:
      return std::make_unique<Transform>(o.compress, o.encrypt, o.key, o.keyKind == 3);
  }
}

bool documentedCode(int32_t code) {
  switch (code) {
    case kCompressMemory: case kCompressBuffer: case kCompressFailed: case kDecompressMemory:
    case kDecompressBuffer: case kDecompressData: case kDecompressFailed: case kBufferInvalid:
    case kBufferTooSmall: case kInputInvalid: case kVerifyMemory: case kVerifySizeMismatch:
    case kVerifyDataMismatch: case kCreateFailed: case kWriteFailed: case kLocateFailed:
    case kOpenFailed: case kSizeFailed: case kAllocFailed: case kReadFailed:
      return true;
    default:
      return false;
  }
}

// A buffer of exactly `capacity` bytes, handed to the transform.
struct Buffer {
  explicit Buffer(Transform& t, uint32_t capacity) : bytes(std::make_unique<uint8_t[]>(std::max<uint32_t>(capacity, 1))) {
    t.buffer = capacity ? bytes.get() : nullptr;
    t.capacity = capacity;
  }
  std::unique_ptr<uint8_t[]> bytes;
};

// The result of one codec call, checked against its buffer.
std::optional<std::string> checked(const Transform& t, const uint8_t* result, uint32_t length, int32_t error) {
  if (!result) {
    FUZZ_CHECK(length == 0 && documentedCode(error));
    return std::nullopt;
  }
  FUZZ_CHECK(error == 0);
  FUZZ_CHECK(result >= t.buffer && length <= t.capacity &&
             static_cast<std::size_t>(result - t.buffer) <= t.capacity - length);
  return std::string(reinterpret_cast<const char*>(result), length);
}

std::optional<std::string> decode(const Options& o, std::string_view data, uint32_t capacity) {
  auto t = makeTransform(o);
  Buffer buffer(*t, capacity);
  uint32_t length = static_cast<uint32_t>(data.size());
  int32_t error = 0, zlib = 0;
  const uint8_t* result = t->decode(data.empty() ? nullptr : data.data(), length, error, zlib);
  return checked(*t, result, length, error);
}

std::optional<std::string> loadStream(const Options& o, std::string_view data, uint32_t capacity) {
  auto t = makeTransform(o);
  Buffer buffer(*t, capacity);
  std::string copy(data);
  std::FILE* in = ::fmemopen(copy.data(), std::max<std::size_t>(copy.size(), 1), "rb");
  FUZZ_CHECK(in);
  uint32_t length = 0;
  int32_t error = 0;
  const uint8_t* result = t->loadFromStream(in, data.size(), length, error);
  std::fclose(in);
  if (data.empty()) {
    FUZZ_CHECK(!result || length == 0);
    return std::nullopt;
  }
  return checked(*t, result, length, error);
}

void checkRoundTrip(const Options& o, std::string_view plain) {
  const uint32_t n = static_cast<uint32_t>(plain.size());
  auto t = makeTransform(o);
  Buffer buffer(*t, static_cast<uint32_t>(Transform::requiredCapacity(n)) + o.slack);
  uint32_t length = n;
  int32_t error = 0, zlib = 0;
  const std::optional<std::string> encoded = checked(*t, t->encode(plain.data(), length, error, zlib), length, error);
  if (!encoded) {
    // Only compression can outgrow the capacity encode demands.
    FUZZ_CHECK(o.compress && (error == kCompressBuffer || error == kBufferTooSmall));
    return;
  }
  if (!o.compress && !o.encrypt) FUZZ_CHECK(*encoded == plain);
  if (o.encrypt) FUZZ_CHECK(encoded->size() % 16 == 0 && encoded->size() >= 32);

  const std::optional<std::string> decoded = decode(o, *encoded, static_cast<uint32_t>(encoded->size()) + n + 64);
  FUZZ_CHECK(decoded);
  const bool exact = *decoded == plain;
  if (o.compress || !o.encrypt || plain.find('\0') == std::string_view::npos) {
    FUZZ_CHECK(exact);
  } else {
    FUZZ_CHECK(plain.starts_with(*decoded));
  }

  // Saving verifies the same round trip in its own buffer and writes only
  // what passed; decoding compressed data needs room for the encoded and the
  // plain bytes side by side.
  char* saved = nullptr;
  std::size_t savedSize = 0;
  std::FILE* out = ::open_memstream(&saved, &savedSize);
  FUZZ_CHECK(out);
  auto s = makeTransform(o);
  Buffer saveBuffer(*s, static_cast<uint32_t>(Transform::requiredCapacity(n)) + n + 64 + o.slack);
  int32_t verification = -1;
  const int32_t code = s->saveToStream(plain.data(), n, out, verification);
  std::fclose(out);
  const std::string file(saved ? saved : "", savedSize);
  std::free(saved);
  if (exact) {
    FUZZ_CHECK(code == 0 && verification == 0);
    FUZZ_CHECK(loadStream(o, file, static_cast<uint32_t>(file.size()) + n + 64) == std::optional<std::string>(plain));
  } else {
    FUZZ_CHECK((code == kVerifySizeMismatch || code == kVerifyDataMismatch) && verification == 1 && file.empty());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  Options o{};
  o.compress = data[0] & 0x01;
  o.encrypt = data[0] & 0x02;
  o.keyKind = (data[0] >> 2) & 0x03;
  o.slack = static_cast<uint32_t>(data[0] >> 4) * 3;
  const std::size_t keyLength = std::min<std::size_t>(data[1], size - 2);
  o.key = std::string_view(reinterpret_cast<const char*>(data) + 2, keyLength);
  const std::string_view payload(reinterpret_cast<const char*>(data) + 2 + keyLength, size - 2 - keyLength);

  // Arbitrary data given to decode and load, with buffers around the sizes
  // the codec needs, and too small.
  const uint32_t n = static_cast<uint32_t>(payload.size());
  for (const uint32_t capacity : {n + o.slack, n > 0 ? n - 1 : 0u, 2 * n + 64}) {
    const std::optional<std::string> decoded = decode(o, payload, capacity);
    const std::optional<std::string> loaded = loadStream(o, payload, capacity);
    if (n > 0) FUZZ_CHECK(decoded == loaded);
  }
  if (!payload.empty()) checkRoundTrip(o, payload);

  std::string text;
  transformMessage(static_cast<int32_t>(data[0]) - 64, static_cast<int32_t>(data[1]) - 128, text);
  FUZZ_CHECK(!text.empty());
  return 0;
}

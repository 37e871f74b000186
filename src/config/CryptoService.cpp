// The crypto service behind "crypto" events: transforms a plug-in's buffer in
// place, or transforms it back, under the key derived from the device
// identity. Runs on the posting thread; every request has its own Transform,
// key and scratch buffer and reads only the fixed identity text, so requests
// run in parallel without a lock.
#include <cstring>
#include <limits>

#include "config/CryptoPrimitives.h"
#include "config/Transform.h"
#include "core/DvrCore.h"

namespace km::core {

namespace {

constexpr uint32_t kOperationMask = 0x00FFFFFFu;
constexpr uint32_t kScratchExtra = 48;  // random block, padding and slack

// Answers of cryptoRequest besides 0 and a needed size.
constexpr int32_t kUnknownOperation = -1;
constexpr int32_t kBadRequest = -2;
constexpr int32_t kNothingDecoded = -13;
// The scratch buffer could not be allocated or the cipher failed: refused,
// like any event the core cannot take.
constexpr int32_t kRefused = 1;

// A size answer must stay a positive 32-bit value; requests beyond that (and
// those where `param` + 48 would wrap) are refused before any byte is read.
constexpr uint32_t kMaxParam = static_cast<uint32_t>(std::numeric_limits<int32_t>::max()) - kScratchExtra;

bool isTransformedLength(uint32_t length) noexcept {
  return length >= Transform::kBlockSize && length % Transform::kBlockSize == 0;
}

}  // namespace

int32_t DvrCore::cryptoRequest(EventParms& e) {
  const uint32_t operation = e.flags & kOperationMask;
  if (operation != DVR_CRYPTO_TRANSFORM && operation != DVR_CRYPTO_TRANSFORM_BACK) return kUnknownOperation;
  if (e.length == 0 || !e.payload) return kBadRequest;
  // The caller's buffer is never read or written beyond `length`.
  if (e.param > e.length || e.param > kMaxParam) return kBadRequest;
  auto* const payload = static_cast<uint8_t*>(e.payload);

  if (operation == DVR_CRYPTO_TRANSFORM && e.param == 0) {
    // Nothing to transform gives nothing transformed.
    e.flags = DVR_CRYPTO_TRANSFORM_BACK;
    return 0;
  }
  if (operation == DVR_CRYPTO_TRANSFORM_BACK && !isTransformedLength(e.param)) return kBadRequest;

  Transform transform(false, true);
  if (!setIdentityKey(transform, deviceIdentity)) return kRefused;
  crypto::WipedBuffer scratch(e.param + kScratchExtra);
  if (!scratch) return kRefused;
  transform.buffer = scratch.data();
  transform.capacity = static_cast<uint32_t>(scratch.size());

  uint32_t length = e.param;
  int32_t error = 0;
  int32_t zlibStatus = 0;
  if (operation == DVR_CRYPTO_TRANSFORM) {
    const uint8_t* transformed = transform.encode(payload, length, error, zlibStatus);
    if (!transformed) return kRefused;
    if (length > e.length) return static_cast<int32_t>(length);
    std::memcpy(payload, transformed, length);
    e.param = length;
    e.flags = DVR_CRYPTO_TRANSFORM_BACK;
    return 0;
  }

  const uint8_t* plain = transform.decode(payload, length, error, zlibStatus);
  if (!plain || length == 0) return kNothingDecoded;
  if (length > e.length) return static_cast<int32_t>(length);
  std::memcpy(payload, plain, length);
  std::memset(payload + length, 0, e.length - length);
  e.param = length;
  e.flags = DVR_CRYPTO_TRANSFORM;
  return 0;
}

}  // namespace km::core

// The crypto service behind "crypto" events: transforms a plug-in's buffer in
// place, or transforms it back, under the key derived from the device
// identity. Runs on the posting thread; every request has its own Transform
// and key, works only in the caller's buffer (the plain data is never copied
// elsewhere) and reads only the fixed identity text; what it keeps between
// requests (cipher contexts, the identity's digest, random bytes) belongs to
// the posting thread. So requests run in parallel without a lock.
#include <cstring>
#include <limits>

#include "config/Transform.h"
#include "core/DvrCore.h"

namespace km::core {

namespace {

constexpr uint32_t kOperationMask = 0x00FFFFFFu;
// The largest `param` accepted: a size answer must stay a positive 32-bit
// value, with room for the random block, padding and slack.
constexpr uint32_t kMaxParam = static_cast<uint32_t>(std::numeric_limits<int32_t>::max()) - 48;

// Answers of cryptoRequest besides 0 and a needed size.
constexpr int32_t kUnknownOperation = -1;
constexpr int32_t kBadRequest = -2;
constexpr int32_t kNothingDecoded = -13;
// The digest could not be computed or the cipher could not start: refused,
// like any event the core cannot take.
constexpr int32_t kRefused = 1;

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
  transform.buffer = payload;
  transform.capacity = e.length;
  int32_t error = 0;

  if (operation == DVR_CRYPTO_TRANSFORM) {
    // Known before any byte is touched; kMaxParam keeps it within int32.
    const uint64_t needed = Transform::transformedLength(e.param);
    if (needed > e.length) return static_cast<int32_t>(needed);
    const uint32_t length = transform.encodeInPlace(e.param, error);
    if (length == 0) return kRefused;
    e.param = length;
    e.flags = DVR_CRYPTO_TRANSFORM_BACK;
    return 0;
  }

  // The plain result is always shorter than the transformed data, so it fits.
  const uint32_t length = transform.decodeInPlace(e.param, error);
  if (length == 0) return kNothingDecoded;
  std::memset(payload + length, 0, e.length - length);
  e.param = length;
  e.flags = DVR_CRYPTO_TRANSFORM;
  return 0;
}

}  // namespace km::core

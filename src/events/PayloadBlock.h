// Reference-counted payload blocks shared by the core and the plug-ins.
//
// A queued event's payload lives in a block of exactly length + 8 bytes: the
// total size, the reference count, then the payload. Plug-ins only ever see
// the payload pointer. All functions are thread-safe; the counters change only
// by atomic read-modify-write.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace km::core {

// Blocks alive, and the sum of their total sizes.
extern std::atomic<uint32_t> payloadBlockCount;
extern std::atomic<uint32_t> payloadBlockBytes;
// References currently held, per plug-in id; index 0 is the core (and any
// plug-in without an id).
extern std::array<std::atomic<uint32_t>, 256> heldReferences;

// Where newPayloadBlock takes its memory: std::malloc unless a test makes it
// fail (blocks are given back with std::free). Set before any block exists.
using BlockAllocator = void* (*)(std::size_t);
extern BlockAllocator blockAllocator;

// Owns a new block until it is handed to the queue (release()); a block that
// is never handed over is uncounted and freed.
struct UnqueuedBlockDeleter {
  void operator()(void* payload) const noexcept;
};
using PayloadBlockPtr = std::unique_ptr<void, UnqueuedBlockDeleter>;

// Allocates a block holding a copy of `length` bytes (reference count 0) and
// counts it. Null when the allocation fails; nothing is counted then.
PayloadBlockPtr newPayloadBlock(const void* bytes, uint32_t length) noexcept;

// One more reference for `pluginId`; nothing for a null payload.
void acquire(const void* payload, uint32_t pluginId) noexcept;

// Gives back a reference of `pluginId`; the last one frees the block and wakes
// whoever waits for it. Nothing for a null payload. Always 0.
int32_t release(const void* payload, uint32_t pluginId) noexcept;

// The reference a plug-in is given for one delivery: acquired when made,
// given back by settle() unless the plug-in answered "keep", in which case
// its "decref" gives it back later. Dispatch thread.
class DeliveryReference {
 public:
  DeliveryReference(const void* payload, uint32_t pluginId) noexcept;
  DeliveryReference(const DeliveryReference&) = delete;
  DeliveryReference& operator=(const DeliveryReference&) = delete;
  void settle(bool kept) noexcept;

 private:
  const void* payload;
  uint32_t pluginId;
  bool tracked = false;  // known to releaseKept (false only when out of memory)
};

// A plug-in's "decref": gives back one reference that this plug-in id holds
// from a delivery. Anything else (a stray pointer, a block the plug-in does
// not hold, a second decref for the same reference) is ignored, so a faulty
// plug-in cannot free a block under the others. Always 0.
int32_t releaseKept(const void* payload, uint32_t pluginId) noexcept;

// Called when a block's last reference is gone, just before its memory is
// given back, with its payload address (only for comparison). Set once
// before any block exists.
using BlockFreedHook = void (*)(const void* payload) noexcept;
void setBlockFreedHook(BlockFreedHook hook) noexcept;

// The block's reference count (for tests and reports); 0 for null.
uint32_t referenceCount(const void* payload) noexcept;

// Tells the leak checker of sanitizer builds that this block is left alive on
// purpose (an event still queued when the core is destroyed: it is reported,
// not freed). Nothing in other builds, and nothing for null.
void leaveAlive(const void* payload) noexcept;

}  // namespace km::core

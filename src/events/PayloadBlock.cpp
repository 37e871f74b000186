#include "events/PayloadBlock.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <unordered_set>

namespace km::core {

std::atomic<uint32_t> payloadBlockCount{0};
std::atomic<uint32_t> payloadBlockBytes{0};
std::array<std::atomic<uint32_t>, 256> heldReferences{};

namespace {

struct BlockHeader {
  uint32_t totalSize;
  std::atomic<uint32_t> references;
};
static_assert(sizeof(BlockHeader) == 8, "the payload starts 8 bytes into its block");

BlockHeader* headerOf(const void* payload) noexcept {
  return reinterpret_cast<BlockHeader*>(static_cast<char*>(const_cast<void*>(payload)) - sizeof(BlockHeader));
}

std::atomic<BlockFreedHook> blockFreedHook{nullptr};

// Payload addresses of the blocks alive, so that a plug-in's decref can be
// checked before anything is read in front of the pointer.
struct LiveBlocks {
  std::mutex lock;  // guards `blocks`
  std::unordered_set<const void*> blocks;
};
LiveBlocks& liveBlocks() {
  static LiveBlocks* registry = new LiveBlocks;  // never destroyed: blocks may outlive statics
  return *registry;
}

void freeBlock(const void* payload, BlockHeader* header) noexcept {
  {
    LiveBlocks& live = liveBlocks();
    std::lock_guard guard(live.lock);
    live.blocks.erase(payload);
  }
  payloadBlockCount.fetch_sub(1, std::memory_order_seq_cst);
  payloadBlockBytes.fetch_sub(header->totalSize, std::memory_order_seq_cst);
  header->~BlockHeader();
  std::free(header);
  if (BlockFreedHook hook = blockFreedHook.load(std::memory_order_acquire)) hook(payload);
}

// Decrements `counter` unless it is already 0; the value before, 0 when it
// did not.
uint32_t decrementIfPositive(std::atomic<uint32_t>& counter) noexcept {
  uint32_t value = counter.load(std::memory_order_relaxed);
  while (value != 0) {
    if (counter.compare_exchange_weak(value, value - 1, std::memory_order_acq_rel)) return value;
  }
  return 0;
}

}  // namespace

void UnqueuedBlockDeleter::operator()(void* payload) const noexcept {
  if (payload) freeBlock(payload, headerOf(payload));
}

PayloadBlockPtr newPayloadBlock(const void* bytes, uint32_t length) noexcept {
  if (length > std::numeric_limits<uint32_t>::max() - sizeof(BlockHeader)) return nullptr;
  const uint32_t total = length + static_cast<uint32_t>(sizeof(BlockHeader));
  void* raw = std::malloc(total);
  if (!raw) return nullptr;
  auto* header = new (raw) BlockHeader{total, {0}};
  void* payload = header + 1;
  if (length) std::memcpy(payload, bytes, length);
  try {
    LiveBlocks& live = liveBlocks();
    std::lock_guard guard(live.lock);
    live.blocks.insert(payload);
  } catch (...) {
    header->~BlockHeader();
    std::free(raw);
    return nullptr;
  }
  payloadBlockCount.fetch_add(1, std::memory_order_seq_cst);
  payloadBlockBytes.fetch_add(total, std::memory_order_seq_cst);
  return PayloadBlockPtr(payload);
}

void acquire(const void* payload, uint32_t pluginId) noexcept {
  if (!payload) return;
  headerOf(payload)->references.fetch_add(1, std::memory_order_relaxed);
  heldReferences[pluginId & 0xFFu].fetch_add(1, std::memory_order_relaxed);
}

int32_t release(const void* payload, uint32_t pluginId) noexcept {
  if (!payload) return 0;
  BlockHeader* header = headerOf(payload);
  heldReferences[pluginId & 0xFFu].fetch_sub(1, std::memory_order_relaxed);
  if (header->references.fetch_sub(1, std::memory_order_acq_rel) == 1) freeBlock(payload, header);
  return 0;
}

int32_t releaseKept(const void* payload, uint32_t pluginId) noexcept {
  if (!payload) return 0;
  std::atomic<uint32_t>& held = heldReferences[pluginId & 0xFFu];
  BlockHeader* header = nullptr;
  {
    LiveBlocks& live = liveBlocks();
    std::lock_guard guard(live.lock);
    if (!live.blocks.contains(payload)) return 0;
    header = headerOf(payload);
    // Under the registry lock the block cannot be freed; a count of 0 means
    // its last holder is on the way to free it.
    if (decrementIfPositive(held) == 0) return 0;
    const uint32_t before = decrementIfPositive(header->references);
    if (before == 0) {
      held.fetch_add(1, std::memory_order_relaxed);
      return 0;
    }
    if (before != 1) return 0;
  }
  // We took the count to 0 under the lock; nobody else can have done so.
  freeBlock(payload, header);
  return 0;
}

void setBlockFreedHook(BlockFreedHook hook) noexcept { blockFreedHook.store(hook, std::memory_order_release); }

uint32_t referenceCount(const void* payload) noexcept {
  return payload ? headerOf(payload)->references.load(std::memory_order_acquire) : 0;
}

}  // namespace km::core

#include "events/PayloadBlock.h"

#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <memory_resource>
#include <new>
#include <unordered_map>

#if defined(__SANITIZE_ADDRESS__)
#define DVRCORE_LEAK_CHECKER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(leak_sanitizer)
#define DVRCORE_LEAK_CHECKER 1
#endif
#endif
#ifdef DVRCORE_LEAK_CHECKER
#include <sanitizer/lsan_interface.h>
#endif

namespace km::core {

std::atomic<uint32_t> payloadBlockCount{0};
std::atomic<uint32_t> payloadBlockBytes{0};
std::array<std::atomic<uint32_t>, 256> heldReferences{};
BlockAllocator blockAllocator = &std::malloc;

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

// The references plug-ins hold, per block and plug-in id, so that a "decref"
// can be checked before anything is read in front of its pointer. An entry
// exists only while its references are held, so its block is alive for as
// long as the entry is. A reference is entered before the plug-in is called,
// so a "decref" posted by another of its threads before the call has even
// returned is honoured too.
class PluginReferences {
 public:
  bool add(const void* payload, uint32_t pluginId) noexcept {
    try {
      std::lock_guard guard(lock);
      ++counts[Key{payload, pluginId}];
      return true;
    } catch (...) {
      return false;
    }
  }
  // Takes one reference out of the registry; false when there is none.
  bool take(const void* payload, uint32_t pluginId) noexcept {
    std::lock_guard guard(lock);
    const auto found = counts.find(Key{payload, pluginId});
    if (found == counts.end()) return false;
    if (--found->second == 0) counts.erase(found);
    return true;
  }

 private:
  struct Key {
    const void* payload;
    uint32_t pluginId;
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    std::size_t operator()(const Key& key) const noexcept {
      return std::hash<const void*>()(key.payload) ^ (static_cast<std::size_t>(key.pluginId) << 1);
    }
  };
  std::mutex lock;  // guards nodes and counts
  // Entries come and go with every delivery: their memory is recycled
  // instead of going back to the heap each time.
  std::pmr::unsynchronized_pool_resource nodes;
  std::pmr::unordered_map<Key, uint32_t, KeyHash> counts{&nodes};
};

PluginReferences& pluginReferences() {
  static PluginReferences* registry = new PluginReferences;  // never destroyed: blocks may outlive statics
  return *registry;
}

void freeBlock(const void* payload, BlockHeader* header) noexcept {
  payloadBlockCount.fetch_sub(1, std::memory_order_seq_cst);
  payloadBlockBytes.fetch_sub(header->totalSize, std::memory_order_seq_cst);
  // The waiters are woken while the block still exists: once its memory is
  // back in the heap, a new block at the same address could be admitted as
  // another search thread's answer and be taken for this one.
  if (BlockFreedHook hook = blockFreedHook.load(std::memory_order_acquire)) hook(payload);
  header->~BlockHeader();
  std::free(header);
}

}  // namespace

void UnqueuedBlockDeleter::operator()(void* payload) const noexcept {
  if (payload) freeBlock(payload, headerOf(payload));
}

PayloadBlockPtr newPayloadBlock(const void* bytes, uint32_t length) noexcept {
  if (length > std::numeric_limits<uint32_t>::max() - sizeof(BlockHeader)) return nullptr;
  const uint32_t total = length + static_cast<uint32_t>(sizeof(BlockHeader));
  void* raw = blockAllocator(total);
  if (!raw) return nullptr;
  auto* header = new (raw) BlockHeader{total, {0}};
  void* payload = header + 1;
  if (length) std::memcpy(payload, bytes, length);
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

DeliveryReference::DeliveryReference(const void* payload, uint32_t pluginId) noexcept
    : payload(payload), pluginId(pluginId & 0xFFu) {
  if (!payload) return;
  acquire(payload, this->pluginId);
  tracked = pluginReferences().add(payload, this->pluginId);
}

void DeliveryReference::settle(bool kept) noexcept {
  if (!payload || kept) return;
  // A decref the plug-in posted during the call has given the reference back already.
  if (tracked) {
    releaseKept(payload, pluginId);
  } else {
    release(payload, pluginId);
  }
}

int32_t releaseKept(const void* payload, uint32_t pluginId) noexcept {
  if (payload && pluginReferences().take(payload, pluginId & 0xFFu)) release(payload, pluginId);
  return 0;
}

void setBlockFreedHook(BlockFreedHook hook) noexcept { blockFreedHook.store(hook, std::memory_order_release); }

uint32_t referenceCount(const void* payload) noexcept {
  return payload ? headerOf(payload)->references.load(std::memory_order_acquire) : 0;
}

void leaveAlive([[maybe_unused]] const void* payload) noexcept {
#ifdef DVRCORE_LEAK_CHECKER
  if (payload) __lsan_ignore_object(headerOf(payload));
#endif
}

}  // namespace km::core

// The search registry: cancelled request ids and the running search threads,
// so that stored answers are admitted only from the thread that runs the
// provider's search call, one payload at a time.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>

namespace km::core {

class SearchHandler {
 public:
  // One per search thread; shared with a poster that waits on it.
  struct StoredProvider {
    std::mutex mutex;  // guards outstanding
    std::condition_variable cond;
    const void* outstanding = nullptr;  // payload of the last admitted answer, while alive
  };

  // Adds the id to the cancelled set. Thread-safe.
  void cancel(uint32_t requestId);
  bool isCancelled(uint32_t requestId);
  // A new request with this id starts uncancelled.
  void uncancel(uint32_t requestId);

  // Registers / unregisters the calling thread as a running search thread.
  std::shared_ptr<StoredProvider> enterSearchThread();
  void leaveSearchThread();
  bool isSearchThread();

  // Admission of a search answer with its new payload block (may be null):
  // 0 admitted, 1 refused (cancelled id, or not posted by a search thread).
  // May wait until the thread's previous answer payload has been freed.
  int32_t admitAnswer(uint32_t requestId, const void* block, uint32_t length);

  // A payload block was freed: wake the search thread waiting for it.
  void blockFreed(const void* payload) noexcept;

 private:
  std::mutex lock;  // guards cancelled and providers
  std::unordered_set<uint32_t> cancelled;
  std::unordered_map<std::thread::id, std::shared_ptr<StoredProvider>> providers;
};

}  // namespace km::core

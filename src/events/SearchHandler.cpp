#include "events/SearchHandler.h"

#include <algorithm>

#include "events/Statistics.h"

namespace km::core {

void SearchHandler::cancel(uint32_t requestId) {
  std::lock_guard guard(lock);
  if (cancelled.try_emplace(requestId, nextCancel).second) {
    cancelOrder.emplace_back(requestId, nextCancel++);
    forgetOldCancels();
  }
  abandonWaiters(requestId);
}

bool SearchHandler::isCancelled(uint32_t requestId) {
  std::lock_guard guard(lock);
  return cancelled.contains(requestId);
}

bool SearchHandler::beginRequest(uint32_t requestId) {
  std::lock_guard guard(lock);
  // Its entry in cancelOrder goes stale and is dropped by a later pruning.
  cancelled.erase(requestId);
  return !providers.contains(std::this_thread::get_id());
}

std::size_t SearchHandler::cancelledCount() {
  std::lock_guard guard(lock);
  return cancelled.size();
}

// A process that runs for months sees an endless stream of cancelled ids.
// The oldest are forgotten first; an id whose search may still be answering
// is never forgotten (it moves to the back instead), since forgetting it
// would let the stale search's answers through again.
void SearchHandler::forgetOldCancels() {
  for (std::size_t budget = cancelOrder.size(); cancelled.size() > kMaxCancelled && budget > 0; --budget) {
    const auto entry = cancelOrder.front();
    cancelOrder.pop_front();
    const auto found = cancelled.find(entry.first);
    if (found == cancelled.end() || found->second != entry.second) continue;
    if (activeSearches.contains(entry.first)) {
      cancelOrder.push_back(entry);
      continue;
    }
    cancelled.erase(found);
  }
  // Stale entries (ids uncancelled by a new request) are swept out in one go
  // once they make up half of the order.
  if (cancelOrder.size() > 2 * std::max(kMaxCancelled, cancelled.size())) {
    std::erase_if(cancelOrder, [this](const auto& entry) {
      const auto found = cancelled.find(entry.first);
      return found == cancelled.end() || found->second != entry.second;
    });
  }
}

void SearchHandler::abandonWaiters(uint32_t requestId) {
  for (auto& [thread, provider] : providers) {
    if (provider->requestId != requestId) continue;
    std::lock_guard inner(provider->mutex);
    if (provider->outstanding) {
      provider->abandoned = true;
      provider->cond.notify_all();
    }
  }
}

void SearchHandler::searchThreadStarting(uint32_t requestId) {
  std::lock_guard guard(lock);
  ++activeSearches[requestId];
  ++runningThreads;
}

std::shared_ptr<SearchHandler::StoredProvider> SearchHandler::enterSearchThread(uint32_t requestId) {
  auto provider = std::make_shared<StoredProvider>(requestId);
  std::lock_guard guard(lock);
  provider->stopping = stopped;  // not shared yet
  providers[std::this_thread::get_id()] = provider;
  return provider;
}

void SearchHandler::leaveSearchThread() {
  std::lock_guard guard(lock);
  providers.erase(std::this_thread::get_id());
}

void SearchHandler::searchThreadEnded(uint32_t requestId) noexcept {
  std::lock_guard guard(lock);
  const auto found = activeSearches.find(requestId);
  if (found != activeSearches.end() && --found->second == 0) activeSearches.erase(found);
  // Notified under the lock: the waiter may destroy the registry as soon as
  // it has seen the count reach 0.
  if (runningThreads > 0 && --runningThreads == 0) threadsEnded.notify_all();
}

void SearchHandler::waitForSearchThreads() {
  std::unique_lock guard(lock);
  threadsEnded.wait(guard, [this] { return runningThreads == 0; });
}

int32_t SearchHandler::admitAnswer(uint32_t requestId, const void* block, uint32_t length) {
  std::shared_ptr<StoredProvider> provider;
  {
    std::lock_guard guard(lock);
    if (cancelled.contains(requestId)) return 1;
    auto found = providers.find(std::this_thread::get_id());
    if (found == providers.end()) return 1;
    provider = found->second;
  }
  if (block) {
    std::unique_lock wait(provider->mutex);
    provider->cond.wait(wait, [&] { return !provider->outstanding || provider->abandoned || provider->stopping; });
    if (provider->outstanding) return 1;
    provider->outstanding = block;
  }
  searchResults.fetch_add(1, std::memory_order_relaxed);
  searchResultBytes.fetch_add(length, std::memory_order_relaxed);
  return 0;
}

void SearchHandler::blockFreed(const void* payload) noexcept {
  std::lock_guard guard(lock);
  for (auto& [thread, provider] : providers) {
    std::lock_guard inner(provider->mutex);
    if (provider->outstanding == payload) {
      provider->outstanding = nullptr;
      provider->abandoned = false;
      provider->cond.notify_one();
    }
  }
}

void SearchHandler::stopAnswering() noexcept {
  std::lock_guard guard(lock);
  stopped = true;
  for (auto& [thread, provider] : providers) {
    std::lock_guard inner(provider->mutex);
    provider->stopping = true;
    provider->cond.notify_all();
  }
}

}  // namespace km::core

#include "events/SearchHandler.h"

#include "events/Statistics.h"

namespace km::core {

void SearchHandler::cancel(uint32_t requestId) {
  std::lock_guard guard(lock);
  cancelled.insert(requestId);
}

bool SearchHandler::isCancelled(uint32_t requestId) {
  std::lock_guard guard(lock);
  return cancelled.contains(requestId);
}

void SearchHandler::uncancel(uint32_t requestId) {
  std::lock_guard guard(lock);
  cancelled.erase(requestId);
}

std::shared_ptr<SearchHandler::StoredProvider> SearchHandler::enterSearchThread() {
  auto provider = std::make_shared<StoredProvider>();
  std::lock_guard guard(lock);
  providers[std::this_thread::get_id()] = provider;
  return provider;
}

void SearchHandler::leaveSearchThread() {
  std::lock_guard guard(lock);
  providers.erase(std::this_thread::get_id());
}

bool SearchHandler::isSearchThread() {
  std::lock_guard guard(lock);
  return providers.contains(std::this_thread::get_id());
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
    provider->cond.wait(wait, [&] { return provider->outstanding == nullptr; });
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
      provider->cond.notify_one();
    }
  }
}

}  // namespace km::core

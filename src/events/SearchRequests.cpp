// Search requests: which plug-ins serve them, and the one thread per provider
// and request that runs the provider's search call.
#include <exception>
#include <thread>

#include "core/DvrCore.h"
#include "events/AsyncEvent.h"
#include "events/EventModel.h"
#include "log/CoreLog.h"
#include "plugins/Plugin.h"

namespace km::core {

namespace {

void startDetachedThread(std::function<void()> body) { std::thread(std::move(body)).detach(); }

// The same rule dvr-inspect reports: OnSearch, or the Read of an
// asynchronous reader that declares stored events of some type.
bool servesSearches(const Plugin& plugin) {
  return km::core::servesSearches(plugin.declaration, plugin.OnSearch != nullptr, plugin.Read != nullptr);
}

bool isSearchRequest(const EventParms& e) {
  return e.source != kCoreId && pluginIdOf(e.source) == 0 && e.requestId != 0;
}

}  // namespace

SearchThreadLauncher searchThreadLauncher = &startDetachedThread;

void DvrCore::refreshSearchProviders() {
  PluginList providers;
  for (const PluginPtr& plugin : plugins) {
    if (servesSearches(*plugin)) providers.push_back(plugin);
  }
  std::lock_guard guard(searchProvidersMutex);
  searchProviders.swap(providers);
}

void DvrCore::withdrawSearchProviders() {
  PluginList providers;
  std::lock_guard guard(searchProvidersMutex);
  searchProviders.swap(providers);
}

bool DvrCore::searchRequest(const EventParms& e) {
  if (!isSearchRequest(e)) return false;
  // Taken, and nothing more, when empty or posted by a search thread.
  if (e.length == 0) return true;
  if (!threadWaiters.beginRequest(e.requestId)) return true;

  std::shared_ptr<const AsyncEvent> request;
  PluginList providers;
  try {
    request = std::make_shared<const AsyncEvent>(e);
    std::lock_guard guard(searchProvidersMutex);
    providers = searchProviders;
  } catch (const std::exception& error) {
    coreLog(75, "Search request {:#x} not started: {}", e.requestId, error.what());
  }
  if (request) {
    for (const PluginPtr& plugin : providers) startSearchThread(plugin, request);
  }
  searchRequests.fetch_add(1, std::memory_order_relaxed);
  return true;
}

// A thread that cannot be started costs that provider this request; the
// other providers are still served and the poster still gets its 0.
void DvrCore::startSearchThread(const PluginPtr& plugin, const std::shared_ptr<const AsyncEvent>& request) {
  const uint32_t requestId = request->requestId;
  threadWaiters.searchThreadStarting(requestId);
  try {
    searchThreadLauncher([this, plugin, request]() mutable { runSearchThread(std::move(plugin), std::move(request)); });
  } catch (const std::exception& error) {
    threadWaiters.searchThreadEnded(requestId);
    coreLog(75, "Search thread for {:02x}:{} not started: {}", plugin->pluginId(), plugin->displayName(),
            error.what());
  }
}

void DvrCore::runSearchThread(PluginPtr plugin, std::shared_ptr<const AsyncEvent> request) noexcept {
  const uint32_t requestId = request->requestId;
  try {
    threadWaiters.enterSearchThread(requestId);
    plugin->deliverSearch(*request);
  } catch (...) {
    // Only the registry entry can fail (out of memory): the provider is not called.
  }
  threadWaiters.leaveSearchThread();
  // The last search thread of a request frees its copy; the last owner of a
  // plug-in closes and unloads it, here if need be.
  request.reset();
  plugin.reset();
  threadWaiters.searchThreadEnded(requestId);
}

}  // namespace km::core

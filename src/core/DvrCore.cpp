#include "core/DvrCore.h"

#include "events/PayloadBlock.h"
#include "log/CoreLog.h"
#include "plugins/Plugin.h"

namespace km::core {

DvrCore* theCore = nullptr;

namespace {
void wakeSearchThreads(const void* payload) noexcept {
  if (DvrCore* core = theCore) core->threadWaiters.blockFreed(payload);
}
}  // namespace

DvrCore::DvrCore(std::string exePath)
    : tickTimer(io, std::chrono::steady_clock::time_point{}), ipcSocket(io), exePath(std::move(exePath)) {
  for (auto& level : logLevels) level.store(-1, std::memory_order_relaxed);
  moduleNames.emplace(0u, "core");
  setBlockFreedHook(&wakeSearchThreads);
}

DvrCore::~DvrCore() {
  ipcSendQueue.clear();
  ipcOutbox.clear();
  // Events queued after the dispatch loop returned (a late memory alarm, a
  // status document) keep their blocks: reported below, never freed.
  {
    std::lock_guard guard(queueMutex);
    for (const EventParms& left : eventQueue) leaveAlive(left.payload);
  }

  if (payloadBlockCount.load(std::memory_order_seq_cst) != 0) {
    coreLog(0, "refblks: {:L}({:L})", payloadBlockCount.load(std::memory_order_seq_cst),
            payloadBlockBytes.load(std::memory_order_seq_cst));
    for (uint32_t id = 0; id < heldReferences.size(); ++id) {
      const uint32_t held = heldReferences[id].load(std::memory_order_seq_cst);
      if (held == 0) continue;
      const auto name = moduleNames.find(id);
      coreLog(0, "Plugin {:02x}:{} unloaded holding {:L} event reference(s).", id,
              name != moduleNames.end() ? name->second : std::string("unknown"), held);
    }
  }

  // Members go in reverse declaration order; the plug-ins are released here,
  // while the log path they may still use is intact: the lists first, the
  // log plug-in last (its own threads are joined before the member is reset).
  boost::system::error_code ignored;
  ipcSocket.close(ignored);
  pipeOpen.store(false, std::memory_order_release);
  tickTimer.cancel();
  ipcRoutes.clear();
  // Detached search threads still use the registry and the log path: the
  // core outlives them. A search call returns once its plug-in is closed
  // (after a run the close step has closed all but the log plug-in), and
  // while the lists still hold every plug-in no search thread can be the
  // one that unloads a library.
  withdrawSearchProviders();
  threadWaiters.stopAnswering();
  for (const PluginPtr& plugin : plugins) plugin->closePlugin();
  if (logPlugin) logPlugin->closePlugin();
  threadWaiters.waitForSearchThreads();
  failedPlugins.clear();
  plugins.clear();
  if (logPlugin) {
    logPlugin->unloadPlugin();
    logPlugin.reset();
  }
}

}  // namespace km::core

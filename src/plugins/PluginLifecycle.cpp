// The open, close and unload steps across all plug-ins.
#include "plugins/PluginLifecycle.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/DvrCore.h"
#include "core/Privileges.h"
#include "log/CoreLog.h"
#include "plugins/Plugin.h"

namespace km::core {

bool closesBefore(const Plugin& a, const Plugin& b) {
  if (a.declaration.closeRank != b.declaration.closeRank) return a.declaration.closeRank > b.declaration.closeRank;
  return strcasecmp(a.fileName.c_str(), b.fileName.c_str()) < 0;
}

bool isWithheld(const Plugin& plugin) { return plugin.hasId() && plugin.pluginId() == 8; }

std::vector<PluginPtr> withoutWithheld(const std::vector<PluginPtr>& plugins) {
  std::vector<PluginPtr> kept;
  std::copy_if(plugins.begin(), plugins.end(), std::back_inserter(kept),
               [](const PluginPtr& plugin) { return !isWithheld(*plugin); });
  return kept;
}

void sortForClosing(std::vector<PluginPtr>& plugins) {
  std::sort(plugins.begin(), plugins.end(), [](const PluginPtr& a, const PluginPtr& b) { return closesBefore(*a, *b); });
}

void DvrCore::openStep() {
  for (const PluginPtr& plugin : plugins) {
    coreLog(25, "Opening {:02x}:{}", plugin->pluginId(), plugin->displayName());
    plugin->openPlugin();
    refreshSearchProviders();
  }
  if (logPlugin) plugins.push_back(logPlugin);
  refreshSearchProviders();
  if (getuid() == 0) return;
  if (!setCapabilities(kRunningCapabilities)) coreLog(50, "capset failed: {}", std::strerror(errno));
}

void DvrCore::closeStep() {
  withdrawSearchProviders();
  // Plug-ins with id 8 (the log plug-in among them) stay open to the end; the
  // I/O thread lets go of them before the list does.
  PluginList closing = withoutWithheld(plugins);
  handIpcRoutes(closing);
  plugins = std::move(closing);

  sortForClosing(plugins);
  for (const PluginPtr& plugin : plugins) {
    coreLog(25, "Closing {:02x}:{}", plugin->pluginId(), plugin->displayName());
    plugin->closePlugin();
  }
}

void DvrCore::unloadStep() {
  handIpcRoutes({});
  for (const PluginPtr& plugin : plugins) {
    coreLog(25, "Unloading {:02x}:{}", plugin->pluginId(), plugin->displayName());
    plugin->unloadPlugin();
  }
}

}  // namespace km::core

// The open, close and unload steps across all plug-ins.
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

namespace {

bool closesBefore(const PluginPtr& a, const PluginPtr& b) {
  if (a->declaration.closeRank != b->declaration.closeRank) {
    return a->declaration.closeRank > b->declaration.closeRank;
  }
  return strcasecmp(a->fileName.c_str(), b->fileName.c_str()) < 0;
}

bool isWithheld(const Plugin& plugin) { return plugin.hasId() && plugin.pluginId() == 8; }

}  // namespace

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
  PluginList closing;
  std::copy_if(plugins.begin(), plugins.end(), std::back_inserter(closing),
               [](const PluginPtr& plugin) { return !isWithheld(*plugin); });
  handIpcRoutes(closing);
  plugins = std::move(closing);

  std::sort(plugins.begin(), plugins.end(), closesBefore);
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

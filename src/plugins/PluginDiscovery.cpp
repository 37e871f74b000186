// The load step: scan, sort, load, refuse duplicate ids.
#include "plugins/PluginDiscovery.h"

#include <strings.h>

#include <algorithm>
#include <fmt/std.h>
#include <system_error>
#include <unordered_set>

#include "core/DvrCore.h"
#include "log/CoreLog.h"
#include "plugins/Plugin.h"

namespace km::core {

namespace {

bool hasExactSoExtension(const std::string& fileName) {
  const auto dot = fileName.rfind('.');
  return dot != std::string::npos && fileName.compare(dot, std::string::npos, ".so") == 0;
}

void scanFolder(const std::filesystem::path& folder, std::unordered_set<std::string>& seenNames,
                std::vector<std::filesystem::path>& found) {
  std::error_code error;
  std::filesystem::directory_iterator entries(folder, error);
  // A folder that cannot be read contributes nothing; neither does the rest of
  // one whose iteration fails half-way.
  for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
    const std::filesystem::path& path = entries->path();
    const std::string fileName = path.filename().string();
    if (!hasExactSoExtension(fileName)) continue;
    std::error_code statusError;
    if (!std::filesystem::is_regular_file(path, statusError)) continue;
    if (fileName == "LogPI.so") continue;
    if (!seenNames.insert(fileName).second) continue;
    found.push_back(path);
  }
}

bool loadsFirst(const std::filesystem::path& path) { return path.native().find("dIDUvi") != std::string::npos; }

bool loadOrder(const std::filesystem::path& a, const std::filesystem::path& b) {
  const bool aFirst = loadsFirst(a);
  if (aFirst != loadsFirst(b)) return aFirst;
  return strcasecmp(a.filename().c_str(), b.filename().c_str()) < 0;
}

// Both without id, or both with the same id.
bool conflicts(const Plugin& a, const Plugin& b) {
  if (a.hasId() != b.hasId()) return false;
  return !a.hasId() || pluginIdOf(a.idWord()) == pluginIdOf(b.idWord());
}

}  // namespace

std::vector<std::filesystem::path> findPluginLibraries(const std::filesystem::path& exeDir) {
  std::unordered_set<std::string> seenNames;
  std::vector<std::filesystem::path> found;
  for (const char* folder : {"protected-plugins", "plugins"}) scanFolder(exeDir / folder, seenNames, found);
  std::sort(found.begin(), found.end(), loadOrder);
  return found;
}

std::string moduleNameOf(const std::string& fileName) {
  const auto dot = fileName.rfind('.');
  std::string stem = dot == std::string::npos ? fileName : fileName.substr(0, dot);
  for (char& c : stem) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return stem;
}

void DvrCore::loadStep() {
  const auto exeDir = std::filesystem::path(exePath).parent_path();
  for (const auto& path : findPluginLibraries(exeDir)) {
    PluginPtr plugin = Plugin::loadPlugin(path, &post, deviceIdentity);
    if (!plugin->handle) {
      coreLog(75, "Failed to load plugin {}: {}", plugin->fileName, plugin->errorText);
      failedPlugins.push_back(std::move(plugin));
      continue;
    }
    const auto taken = std::find_if(plugins.begin(), plugins.end(),
                                    [&](const PluginPtr& loaded) { return conflicts(*loaded, *plugin); });
    if (taken != plugins.end()) {
      coreLog(50, "pluginId {:02x} already loaded from {} trying to load {}", plugin->pluginId(),
              (*taken)->fileName, std::filesystem::path(plugin->fileName));
      continue;  // dropping the only owner unloads it
    }
    coreLog(25, "Loaded plugin {:02x}:{}", plugin->pluginId(), plugin->displayName());
    {
      std::lock_guard guard(logMutex);
      moduleNames[plugin->pluginId()] = moduleNameOf(plugin->fileName);
    }
    if (plugin->hasId() && plugin->pluginId() == 6) {
      plugins.insert(plugins.begin(), std::move(plugin));
    } else {
      plugins.push_back(std::move(plugin));
    }
  }
  for (const PluginPtr& plugin : plugins) plugin->ProvideWorkerThreadIf();
}

}  // namespace km::core

// The load step: scan, sort, load, refuse duplicate ids.
#include "plugins/PluginDiscovery.h"

#include <strings.h>

#include <algorithm>
#include <fmt/std.h>
#include <system_error>
#include <unordered_map>

#include "core/DvrCore.h"
#include "log/CoreLog.h"
#include "plugins/Plugin.h"

namespace km::core {

namespace {

using Reason = PluginScan::Skipped::Reason;

void scanFolder(const std::filesystem::path& folder, std::unordered_map<std::string, std::filesystem::path>& kept,
                PluginScan& scan) {
  std::error_code error;
  std::filesystem::directory_iterator entries(folder, error);
  // A folder that cannot be read contributes nothing; neither does the rest of
  // one whose iteration fails half-way.
  for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
    const std::filesystem::path& path = entries->path();
    const std::string fileName = path.filename().string();
    if (!isPluginFileName(fileName)) {
      scan.skipped.push_back({path, Reason::NotSoName, {}});
      continue;
    }
    std::error_code statusError;
    if (!std::filesystem::is_regular_file(path, statusError)) {
      scan.skipped.push_back({path, Reason::NotRegularFile, {}});
      continue;
    }
    if (fileName == kLogPluginFileName) {
      scan.skipped.push_back({path, Reason::LogPluginName, {}});
      continue;
    }
    const auto [earlier, isNew] = kept.try_emplace(fileName, path);
    if (!isNew) {
      scan.skipped.push_back({path, Reason::SameNameEarlier, earlier->second});
      continue;
    }
    scan.libraries.push_back(path);
  }
}

bool loadsFirst(const std::filesystem::path& path) { return path.native().find("dIDUvi") != std::string::npos; }

bool takesTheFront(const Plugin& plugin) { return plugin.hasId() && plugin.pluginId() == 6; }

}  // namespace

bool isPluginFileName(const std::string& fileName) {
  const auto dot = fileName.rfind('.');
  return dot != std::string::npos && fileName.compare(dot, std::string::npos, ".so") == 0;
}

bool loadsBefore(const std::filesystem::path& a, const std::filesystem::path& b) {
  const bool aFirst = loadsFirst(a);
  if (aFirst != loadsFirst(b)) return aFirst;
  return strcasecmp(a.filename().c_str(), b.filename().c_str()) < 0;
}

std::filesystem::path logPluginPath(const std::filesystem::path& exeDir) {
  return exeDir / "plugins" / kLogPluginFileName;
}

PluginScan scanPluginFolders(const std::filesystem::path& exeDir) {
  std::unordered_map<std::string, std::filesystem::path> kept;
  PluginScan scan;
  for (const char* folder : {"protected-plugins", "plugins"}) scanFolder(exeDir / folder, kept, scan);
  std::sort(scan.libraries.begin(), scan.libraries.end(), loadsBefore);
  return scan;
}

std::vector<std::filesystem::path> findPluginLibraries(const std::filesystem::path& exeDir) {
  return scanPluginFolders(exeDir).libraries;
}

std::string moduleNameOf(const std::string& fileName) {
  const auto dot = fileName.rfind('.');
  std::string stem = dot == std::string::npos ? fileName : fileName.substr(0, dot);
  for (char& c : stem) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return stem;
}

bool conflicts(const Plugin& a, const Plugin& b) {
  if (a.hasId() != b.hasId()) return false;
  return !a.hasId() || pluginIdOf(a.idWord()) == pluginIdOf(b.idWord());
}

void loadInOrder(const std::vector<std::filesystem::path>& libraries, const LibraryLoader& load,
                 const LoadStepListener& listener, std::vector<PluginPtr>& plugins, std::vector<PluginPtr>& failed) {
  for (const auto& path : libraries) {
    PluginPtr plugin = load(path);
    if (!plugin->loadSucceeded()) {
      if (listener.failed) listener.failed(*plugin);
      failed.push_back(std::move(plugin));
      continue;
    }
    const auto taken = std::find_if(plugins.begin(), plugins.end(),
                                    [&](const PluginPtr& loaded) { return conflicts(*loaded, *plugin); });
    if (taken != plugins.end()) {
      if (listener.refused) listener.refused(**taken, *plugin);
      continue;  // dropping the only owner unloads it
    }
    if (listener.loaded) listener.loaded(*plugin);
    if (takesTheFront(*plugin)) {
      plugins.insert(plugins.begin(), std::move(plugin));
    } else {
      plugins.push_back(std::move(plugin));
    }
  }
}

void DvrCore::loadStep() {
  LoadStepListener listener;
  listener.failed = [](const Plugin& plugin) {
    coreLog(75, "Failed to load plugin {}: {}", plugin.fileName, plugin.errorText);
  };
  listener.refused = [](const Plugin& taken, const Plugin& plugin) {
    coreLog(50, "pluginId {:02x} already loaded from {} trying to load {}", plugin.pluginId(), taken.fileName,
            std::filesystem::path(plugin.fileName));
  };
  listener.loaded = [this](const Plugin& plugin) {
    coreLog(25, "Loaded plugin {:02x}:{}", plugin.pluginId(), plugin.displayName());
    std::lock_guard guard(logMutex);
    moduleNames[plugin.pluginId()] = moduleNameOf(plugin.fileName);
  };
  const auto load = [this](const std::filesystem::path& path) { return Plugin::loadPlugin(path, &post, deviceIdentity); };
  loadInOrder(findPluginLibraries(std::filesystem::path(exePath).parent_path()), load, listener, plugins,
              failedPlugins);
  for (const PluginPtr& plugin : plugins) plugin->ProvideWorkerThreadIf();
}

}  // namespace km::core

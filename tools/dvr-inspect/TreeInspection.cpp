#include "TreeInspection.h"

#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <optional>
#include <unordered_map>

#include <fmt/format.h>
#include <fmt/std.h>

#include "plugins/Plugin.h"
#include "plugins/PluginDiscovery.h"
#include "plugins/PluginLifecycle.h"

namespace fs = std::filesystem;

namespace dvrinspect {

namespace {

using km::core::Plugin;
using km::core::PluginPtr;
using km::core::PluginScan;

bool isDirectory(const fs::path& path) {
  std::error_code ignored;
  return fs::is_directory(path, ignored);
}

bool hasPluginFolder(const fs::path& dir) {
  return isDirectory(dir / "plugins") || isDirectory(dir / "protected-plugins");
}

std::optional<fs::path> exeDirOf(const fs::path& dir) {
  for (const fs::path& candidate : {dir, dir / "bin"}) {
    if (hasPluginFolder(candidate)) return candidate;
  }
  const fs::path name = dir.filename();
  if (name == "plugins" || name == "protected-plugins") return dir.parent_path();
  return std::nullopt;
}

// What the core would hold for the library: its declaration and codes.
PluginPtr standInFor(const LibraryInspection& in) {
  km::core::LoadOut preset{};
  preset.size = sizeof preset;
  preset.version = DVR_LOAD_OUT_VERSION;
  const km::core::LoadOut& declaration = in.probe ? in.probe->declaration : preset;
  return Plugin::standIn(in.fileName, declaration, in.loads ? 0 : (in.loadCode ? in.loadCode : -1), in.errorText);
}

TreeInspection::Entry entryOf(const Plugin& plugin, const fs::path& path) {
  return {fmt::format("{:02x}:{}", plugin.pluginId(), plugin.displayName()), plugin.fileName, path,
          plugin.declaration.closeRank};
}

std::string insideTree(const fs::path& path, const fs::path& exeDir) {
  return path.lexically_relative(exeDir).string();
}

// "x.SO", or a versioned "x.so.1.2": names an author may expect the core to load.
bool looksLikeLibrary(const std::string& name) {
  const auto dot = name.rfind('.');
  if (dot != std::string::npos && strcasecmp(name.c_str() + dot, ".so") == 0) return true;
  const auto so = name.find(".so.");
  return so != std::string::npos && name.find_first_not_of("0123456789.", so + 4) == std::string::npos;
}

// Entries of the plug-in folders worth a word: names that look like
// libraries but are not loaded, and the log plug-in's name in the wrong place.
void noteSkipped(const PluginScan& scan, TreeInspection& tree) {
  for (const PluginScan::Skipped& skipped : scan.skipped) {
    const std::string name = skipped.path.filename().string();
    const std::string where = insideTree(skipped.path, tree.exeDir);
    switch (skipped.reason) {
      case PluginScan::Skipped::Reason::NotSoName: {
        if (looksLikeLibrary(name)) {
          tree.skipped.push_back({skipped.path, "not loaded: the name must end exactly in \".so\""});
        }
        break;
      }
      case PluginScan::Skipped::Reason::NotRegularFile:
        tree.skipped.push_back({skipped.path, "not loaded: not a regular file (a folder, or a link to nothing)"});
        break;
      case PluginScan::Skipped::Reason::LogPluginName:
        if (skipped.path.parent_path().filename() != "plugins") {
          tree.skipped.push_back({skipped.path, "ignored: the core loads the log plug-in only from plugins/"});
          tree.warnings.push_back({"log-plugin-ignored", fmt::format("{} is ignored: the core loads the log plug-in "
                                                                     "only from plugins/LogPI.so", where)});
        }
        break;
      case PluginScan::Skipped::Reason::SameNameEarlier:
        tree.skipped.push_back({skipped.path, fmt::format("hidden by {} (same file name)",
                                                          insideTree(skipped.keptInstead, tree.exeDir))});
        tree.warnings.push_back({"shadowed", fmt::format("{} is hidden by {}: the core loads only the latter", where,
                                                         insideTree(skipped.keptInstead, tree.exeDir))});
        break;
    }
  }
}

// Two names the load order cannot tell apart, and two paths that are one file.
void noteAmbiguities(const std::vector<fs::path>& libraries, TreeInspection& tree) {
  std::map<std::pair<dev_t, ino_t>, fs::path> files;
  for (size_t i = 0; i < libraries.size(); ++i) {
    for (size_t j = i + 1; j < libraries.size(); ++j) {
      if (!km::core::loadsBefore(libraries[i], libraries[j]) && !km::core::loadsBefore(libraries[j], libraries[i])) {
        tree.warnings.push_back({"load-order-tie", fmt::format("{} and {} differ only in letter case: their load "
                                                               "order is not defined",
                                                               insideTree(libraries[i], tree.exeDir),
                                                               insideTree(libraries[j], tree.exeDir))});
      }
    }
    struct stat status {};
    if (::stat(libraries[i].c_str(), &status) != 0) continue;
    const auto [earlier, isNew] = files.try_emplace({status.st_dev, status.st_ino}, libraries[i]);
    if (!isNew) {
      tree.warnings.push_back({"same-library", fmt::format("{} and {} are the same file: the dynamic loader gives "
                                                           "the core one copy for both, so Load runs twice on it",
                                                           insideTree(earlier->second, tree.exeDir),
                                                           insideTree(libraries[i], tree.exeDir))});
    }
  }
}

void noteCloseTies(const std::vector<PluginPtr>& closing, TreeInspection& tree) {
  for (size_t i = 0; i + 1 < closing.size(); ++i) {
    if (!km::core::closesBefore(*closing[i], *closing[i + 1]) && !km::core::closesBefore(*closing[i + 1], *closing[i])) {
      tree.warnings.push_back({"close-order-tie", fmt::format("{} and {} have the same close rank and names that "
                                                              "differ only in case: their close order is not defined",
                                                              closing[i]->fileName, closing[i + 1]->fileName)});
    }
  }
}

}  // namespace

bool TreeInspection::fails() const {
  if (!refused.empty()) return true;
  if (logPluginPresent && !logPlugin.loads) return true;
  return std::any_of(libraries.begin(), libraries.end(), [](const LibraryInspection& in) { return in.fails(); });
}

std::variant<TreeInspection, std::string> inspectTree(const fs::path& dir, std::chrono::milliseconds limit) {
  std::error_code error;
  const fs::path canonical = fs::canonical(dir, error);
  if (error) return fmt::format("{}: {}", dir.string(), error.message());
  const std::optional<fs::path> exeDir = exeDirOf(canonical);
  if (!exeDir) {
    return fmt::format("{}: not an install tree: no \"plugins\" or \"protected-plugins\" folder in it or in its bin/",
                       dir.string());
  }

  TreeInspection tree;
  tree.exeDir = *exeDir;
  tree.hasCore = fs::is_regular_file(tree.exeDir / "dvrcore", error);
  const PluginScan scan = km::core::scanPluginFolders(tree.exeDir);
  const fs::path logPath = km::core::logPluginPath(tree.exeDir);
  tree.logPluginPresent = fs::is_regular_file(logPath, error);
  if (scan.libraries.empty() && !tree.logPluginPresent) {
    return fmt::format("{}: no plug-in library in {}/protected-plugins or {}/plugins", dir.string(),
                       tree.exeDir.string(), tree.exeDir.string());
  }
  noteSkipped(scan, tree);
  noteAmbiguities(scan.libraries, tree);

  // Start-up: the log plug-in first, whether or not it loads.
  tree.logPlugin = inspectLibrary(logPath, limit);
  const PluginPtr logPlugin = standInFor(tree.logPlugin);
  if (!tree.logPluginPresent) {
    tree.warnings.push_back({"no-log-plugin", "no plugins/LogPI.so: the core runs without a log plug-in (no log "
                                              "file), and its empty record still closes as 00:LogPI"});
  }

  // The load step, with the core's code, on stand-ins for the probed libraries.
  std::unordered_map<const Plugin*, fs::path> paths;
  const km::core::LibraryLoader load = [&](const fs::path& library) {
    tree.libraries.push_back(inspectLibrary(library, limit));
    PluginPtr standIn = standInFor(tree.libraries.back());
    paths[standIn.get()] = library;
    return standIn;
  };
  km::core::LoadStepListener listener;
  listener.refused = [&](const Plugin& taken, const Plugin& plugin) {
    tree.refused.push_back({paths[&plugin],
                            fmt::format("pluginId {:02x} already loaded from {} trying to load {}", plugin.pluginId(),
                                        taken.fileName, fs::path(plugin.fileName)),
                            taken.fileName});
  };
  listener.loaded = [&](const Plugin& plugin) { tree.loadOrder.push_back(entryOf(plugin, paths[&plugin])); };
  std::vector<PluginPtr> plugins;
  std::vector<PluginPtr> failed;
  km::core::loadInOrder(scan.libraries, load, listener, plugins, failed);
  if (!tree.logPlugin.finished()) {
    tree.warnings.push_back({"core-stops", fmt::format("the core would not get past start-up: its log plug-in {}",
                                                       tree.logPlugin.abortText())});
  }
  for (const LibraryInspection& in : tree.libraries) {
    if (in.finished()) continue;
    tree.warnings.push_back({"core-stops", fmt::format("the core would stop at {}, which {}: the libraries after it "
                                                       "in load order are never reached",
                                                       insideTree(in.path, tree.exeDir), in.abortText())});
    break;
  }

  // The open step, then the log plug-in joins the list.
  for (const PluginPtr& plugin : plugins) tree.openOrder.push_back(entryOf(*plugin, paths[plugin.get()]));
  paths[logPlugin.get()] = logPath;
  plugins.push_back(logPlugin);
  if (logPlugin->loadSucceeded()) {
    for (const PluginPtr& plugin : plugins) {
      if (plugin == logPlugin || !km::core::conflicts(*plugin, *logPlugin)) continue;
      tree.warnings.push_back({"log-id-shared", fmt::format("{} and the log plug-in both have id {}: no duplicate "
                                                            "test covers the log plug-in, so both run and share one "
                                                            "log slot and module name",
                                                            plugin->fileName, idText(plugin->idWord()))});
    }
  }

  // The close step.
  for (const PluginPtr& plugin : plugins) {
    if (!km::core::isWithheld(*plugin)) continue;
    (plugin == logPlugin ? tree.keptToTheEnd : tree.closedAtOnce).push_back(entryOf(*plugin, paths[plugin.get()]));
  }
  std::vector<PluginPtr> closing = km::core::withoutWithheld(plugins);
  km::core::sortForClosing(closing);
  for (const PluginPtr& plugin : closing) tree.closeOrder.push_back(entryOf(*plugin, paths[plugin.get()]));
  noteCloseTies(closing, tree);
  return tree;
}

}  // namespace dvrinspect

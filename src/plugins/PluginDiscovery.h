// Finding the plug-in libraries of this installation and loading them in the
// load step's order. The core's load step and the inspector tool share these
// functions, so what the tool shows is what the core does.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace km::core {

class Plugin;
using PluginPtr = std::shared_ptr<Plugin>;

// The log plug-in's file name: loaded by start-up from "plugins" beside the
// executable, and skipped by the scan in both folders.
inline constexpr const char* kLogPluginFileName = "LogPI.so";

// "<exeDir>/plugins/LogPI.so".
std::filesystem::path logPluginPath(const std::filesystem::path& exeDir);

// What the scan found in "protected-plugins" then "plugins" under an
// executable's directory.
struct PluginScan {
  // An entry of a plug-in folder that is not loaded, and why.
  struct Skipped {
    enum class Reason {
      NotSoName,        // its extension is not exactly ".so"
      NotRegularFile,   // a directory, a broken link, a device...
      LogPluginName,    // "LogPI.so": start-up's business, never the scan's
      SameNameEarlier,  // a library of the same file name was kept first
    };
    std::filesystem::path path;
    Reason reason;
    std::filesystem::path keptInstead;  // for SameNameEarlier: the library kept
  };

  // Regular files (after links) named exactly "*.so", not "LogPI.so", the
  // first of each file name only; sorted with paths containing "dIDUvi"
  // first, then by file name without regard to case.
  std::vector<std::filesystem::path> libraries;
  // Everything else in the folders, in the order the folders yielded it.
  std::vector<Skipped> skipped;
};

PluginScan scanPluginFolders(const std::filesystem::path& exeDir);

// Whether the core would load a file of this name: its extension, the part
// from the last ".", is exactly ".so".
bool isPluginFileName(const std::string& fileName);

// The load order: a path containing "dIDUvi" first, then file names without
// regard to case. Paths neither of which loads before the other have no
// defined order.
bool loadsBefore(const std::filesystem::path& a, const std::filesystem::path& b);

// The libraries of scanPluginFolders, in load order.
std::vector<std::filesystem::path> findPluginLibraries(const std::filesystem::path& exeDir);

// The file name without its last extension, in lower case: the module name.
std::string moduleNameOf(const std::string& fileName);

// What the load step tells as it goes; each may be left empty.
struct LoadStepListener {
  // A library whose load failed, before it joins `failed`.
  std::function<void(const Plugin& failed)> failed;
  // A library refused because `taken` (already in the list) has its id;
  // called while `refused` is still alive, which is dropped right after.
  std::function<void(const Plugin& taken, const Plugin& refused)> refused;
  // A library that loaded, before it joins the list.
  std::function<void(const Plugin& loaded)> loaded;
};

// Makes the `Plugin` of one library: the core's loadPlugin, or a stand-in.
using LibraryLoader = std::function<PluginPtr(const std::filesystem::path& library)>;

// The load step over `libraries` (in load order): loads each with `load`,
// keeps failures in `failed`, refuses a plug-in whose id is already in
// `plugins` (both without id, or both with the same id), and puts the
// plug-in with id 6 first, the others in load order.
void loadInOrder(const std::vector<std::filesystem::path>& libraries, const LibraryLoader& load,
                 const LoadStepListener& listener, std::vector<PluginPtr>& plugins,
                 std::vector<PluginPtr>& failed);

// Whether two loaded plug-ins claim the same id in the load step's sense.
bool conflicts(const Plugin& a, const Plugin& b);

}  // namespace km::core

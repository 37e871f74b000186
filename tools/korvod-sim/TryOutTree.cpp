#include "TryOutTree.h"

#include <stdlib.h>

#include <cerrno>
#include <set>
#include <system_error>

#include <fmt/format.h>

namespace fs = std::filesystem;

namespace korvodsim {

namespace {

constexpr const char* kLogPlugin = "LogPI.so";

// The core loads only names whose last extension is exactly ".so".
bool loadableName(const std::string& name) {
  const auto dot = name.rfind('.');
  return dot != std::string::npos && name.compare(dot, std::string::npos, ".so") == 0;
}

void copyInto(const fs::path& from, const fs::path& to) {
  std::error_code error;
  fs::copy_file(from, to, fs::copy_options::overwrite_existing, error);
  if (error) throw TryOutTree::SetUpFailed(fmt::format("cannot copy {} to {}: {}", from.string(), to.string(), error.message()));
}

}  // namespace

void TryOutTree::checkLibraries(const std::vector<fs::path>& libraries) {
  std::set<std::string> names;
  for (const fs::path& library : libraries) {
    std::error_code error;
    const fs::file_status status = fs::status(library, error);
    if (!fs::exists(status)) throw BadLibrary(fmt::format("--plugin: no file at {}", library.string()));
    if (!fs::is_regular_file(status)) throw BadLibrary(fmt::format("--plugin: {} is not a file", library.string()));
    const std::string name = library.filename().string();
    if (!loadableName(name)) {
      throw BadLibrary(fmt::format("--plugin: the core loads only files named *.so, not {} (dvrcore_add_plugin "
                                   "names a plug-in NAME.so)", name));
    }
    if (!names.insert(name).second) {
      throw BadLibrary(fmt::format("--plugin: two libraries named {}; the core would load only one", name));
    }
  }
}

TryOutTree::TryOutTree(const fs::path& core, const std::vector<fs::path>& libraries) {
  checkLibraries(libraries);
  std::error_code error;
  const fs::path temporary = fs::temp_directory_path(error);
  if (error) throw SetUpFailed(fmt::format("no temporary directory: {}", error.message()));
  std::string pattern = (temporary / "korvod-sim-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) {
    throw SetUpFailed(fmt::format("cannot create a directory in {}: {}", temporary.string(),
                                  std::generic_category().message(errno)));
  }
  rootDir = pattern;
  try {
    fs::create_directory(rootDir / "plugins");
    copyInto(core, executable());
    bool ownLogPlugin = false;
    for (const fs::path& library : libraries) ownLogPlugin = ownLogPlugin || library.filename() == kLogPlugin;
    const fs::path coreLogPlugin = core.parent_path() / "plugins" / kLogPlugin;
    if (!ownLogPlugin && fs::is_regular_file(coreLogPlugin, error)) {
      copyInto(coreLogPlugin, rootDir / "plugins" / kLogPlugin);
      files.push_back(kLogPlugin);
    }
    for (const fs::path& library : libraries) {
      const std::string name = library.filename().string();
      copyInto(library, rootDir / "plugins" / name);
      if (name == kLogPlugin) {
        files.insert(files.begin(), name);
      } else {
        files.push_back(name);
      }
    }
  } catch (const fs::filesystem_error& failure) {
    fs::remove_all(rootDir, error);
    throw SetUpFailed(failure.what());
  } catch (...) {
    fs::remove_all(rootDir, error);
    throw;
  }
}

TryOutTree::~TryOutTree() {
  std::error_code ignored;
  fs::remove_all(rootDir, ignored);
}

}  // namespace korvodsim
